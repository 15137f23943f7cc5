// The bus: frame lengths, arbitration, acknowledgement and delivery, the
// noise grammar, and the records of the frames on it.
#include "sim/can_bus.h"
#include "sim/records_bus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <tuple>

#include "sim_bus/spi_driver.h"
#include "support/child_process.h"
#include "support/temp_files.h"

using namespace simboard;

namespace
{

using simboard_test::Bytes;
using simboard_test::Frame;
CanFrame Std(uint32_t id, const Bytes &data, bool remote = false) { return Frame(id, false, data, remote); }
CanFrame Ext(uint32_t id, const Bytes &data, bool remote = false) { return Frame(id, true, data, remote); }

constexpr Ticks US = TICKS_PER_US;

Ticks Duration(const CanFrame &f, double rate = 100000) { return CanBitsToTicks(CanFrameBits(f).total, rate); }

// The records of the documented examples, in bus order.
std::vector<BusRecord> Examples()
{
    return {
        {1234567, false, Std(0x67D, {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0})},
        {1235807, false, Std(0x5FD, {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14})},
        {2000000, false, Frame(0x048EABCD, true, {}, true, 8)},
        {2100000, false, Frame(0x123, false, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, false, 15)},
        {2101000, false, Frame(0x67D, false, {1, 2}, true, 2)},
        {2101000, true, CanFrame()},
    };
}

} // namespace

// The worked frame lengths: exact stuffing over SOF..CRC, 13 tail bits.
TEST(CanFrameBits, WorkedFrames)
{
    struct Case {
        CanFrame frame;
        int unstuffed, stuff, total;
    } cases[] = {
        {Std(0x67D, {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0}), 98, 13, 124},
        {Std(0x5FD, {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14}), 98, 8, 119},
        {Std(0x67D, {0x2B, 0x00, 0x50, 0x00, 0x5A, 0x5A, 0, 0}), 98, 9, 120},
        {Std(0x5FD, {0x60, 0x00, 0x50, 0x00, 0, 0, 0, 0}), 98, 13, 124},
        {Ext(0x048EABCD, {0, 0, 0, 0, 0, 0, 0, 0}), 118, 14, 145},
        // The CRC's 11111 after a stuff bit 1 and its 0000 after the stuff bit 0
        // that follows: each stuff bit begins the next run.
        {Std(0x000, {0x20}), 42, 6, 61},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frame.id);
        const CanBitCount n = CanFrameBits(c.frame);
        EXPECT_EQ(std::make_tuple(n.unstuffed, n.stuff, n.total, n.unacknowledged),
                  std::make_tuple(c.unstuffed, c.stuff, c.total, c.unstuffed + c.stuff + 19));
    }
    EXPECT_EQ(CanBitsToTicks(119, 125000), 952 * US);
    EXPECT_EQ(CanBitsToTicks(1, 300000), 4 * US); // 3.33 µs rounds up
}

TEST(CanBus, ArbitrationOrderAndSameRateRule)
{
    // Each pair: the first wins.
    struct Order {
        CanFrame win, lose;
    } orders[] = {
        {Std(0x122, {}), Std(0x123, {})},
        {Std(0x123, {1}), Std(0x123, {}, true)},       // data beats remote
        {Std(0x123, {}, true), Ext(0x123u << 18, {})}, // standard beats extended of the same base
        {Ext(0x048EABCC, {}), Ext(0x048EABCD, {})},    // extension bits
        {Ext(0x048EABCD, {}), Ext(0x048EABCD, {}, true)},
        {Ext(0x122u << 18 | 0x3FFFF, {}), Std(0x123, {})}, // the base decides first
    };
    for (const Order &o : orders)
        EXPECT_LT(CanArbitrationKey(o.win), CanArbitrationKey(o.lose)) << o.win.id;

    struct Rates {
        double a, b;
        bool same;
    } rates[] = {{100000, 100500, true}, {100000, 100503, false}, {500000, 497500, true}, {0, 0, false}};
    for (const Rates &r : rates)
        EXPECT_EQ(CanSameRate(r.a, r.b), r.same) << r.a << " " << r.b;
}

TEST(CanBus, AcknowledgeDeliveryAndQueuesFollowTheRate)
{
    CanBus bus;
    int a = bus.AttachTestNode(100000, false);
    int other = bus.AttachTestNode(125000, false);
    int listener = bus.AttachTestNode(100000, true);
    Ticks now = 0;
    const CanFrame f = Std(0x67D, {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0});

    // Only a node at another rate and a listener: nobody acknowledges, and
    // the unacknowledged attempt reaches no one.
    EXPECT_EQ(bus.FindTestNode(a)->Send(bus, f, &now), 1);
    EXPECT_EQ(now, CanBitsToTicks(CanFrameBits(f).unacknowledged, 100000));
    EXPECT_EQ(bus.FindTestNode(listener)->Queued(), 0u);

    // A node within 0.5 % acknowledges; everyone at the rate receives.
    int near = bus.AttachTestNode(100400, false);
    Ticks start = now;
    EXPECT_EQ(bus.FindTestNode(a)->Send(bus, f, &now), 0);
    EXPECT_EQ(now - start, 1240 * US);
    TestNode::Received r;
    ASSERT_TRUE(bus.FindTestNode(listener)->Take(&r));
    EXPECT_EQ(r.frame, f);
    EXPECT_EQ(r.end, now);
    EXPECT_EQ(bus.FindTestNode(near)->Queued(), 1u);
    EXPECT_EQ(bus.FindTestNode(other)->Queued(), 0u);
    EXPECT_EQ(bus.FindTestNode(a)->Queued(), 0u); // not its own frame

    // Refused sends put nothing on the bus.
    CanFrame bad = f;
    bad.dlc = 16;
    EXPECT_EQ(bus.FindTestNode(a)->Send(bus, bad, &now), -1);
    EXPECT_EQ(bus.FindTestNode(a)->Send(bus, Std(0x800, {}), &now), -1);
    EXPECT_EQ(bus.FrameCount(), 2u);
    EXPECT_EQ(bus.BusTime(), (1300 + 1240) * US); // the attempt's 130 bits, then 124

    // Handles are not reused after a detach.
    EXPECT_TRUE(bus.DetachTestNode(near));
    EXPECT_EQ(bus.FindTestNode(near), nullptr);
    EXPECT_GT(bus.AttachTestNode(100000, false), near);

    // A node's queue keeps the newest 1024 frames.
    for (uint32_t i = 0; i < TestNode::QUEUE_LIMIT + 6; ++i)
        ASSERT_EQ(bus.FindTestNode(a)->Send(bus, Std(i & 0x7FF, {static_cast<uint8_t>(i)}), &now), 0);
    EXPECT_EQ(bus.FindTestNode(listener)->Queued(), TestNode::QUEUE_LIMIT);
    ASSERT_TRUE(bus.FindTestNode(listener)->Take(&r));
    EXPECT_EQ(r.frame.id, 6u);
}

TEST(CanBus, SimultaneousFramesGoInArbitrationOrderBackToBack)
{
    CanBus bus;
    std::vector<NoiseEntry> entries;
    ASSERT_EQ(ParseNoise("200#01@3000,100#02@3000,180#@3000,300#03@5000/125000", &entries), "");
    bus.AttachNoise(entries);
    int rx = bus.AttachTestNode(100000, false);
    std::vector<std::pair<uint32_t, Ticks>> seen;
    std::vector<bool> acks;
    bus.AddObserver([&](const CanFrame &f, Ticks end, bool ack) {
        seen.push_back({f.id, end});
        acks.push_back(ack);
    });

    // Nothing is delivered before its end time.
    bus.RunUntil(3000 * US);
    EXPECT_TRUE(seen.empty());
    bus.RunUntil(5700 * US);
    Ticks d100 = Duration(Std(0x100, {2})), d180 = Duration(Std(0x180, {})), d200 = Duration(Std(0x200, {1}));
    // The 125 kbit/s entry goes at its own rate: nobody acknowledges it there.
    Ticks d300 = CanBitsToTicks(CanFrameBits(Std(0x300, {3})).unacknowledged, 125000);
    const Ticks t = 3000 * US;
    EXPECT_EQ(
        seen,
        (std::vector<std::pair<uint32_t, Ticks>>{
            {0x100, t + d100}, {0x180, t + d100 + d180}, {0x200, t + d100 + d180 + d200}, {0x300, 5000 * US + d300}}));
    EXPECT_EQ(acks, (std::vector<bool>{true, true, true, false}));
    EXPECT_EQ(bus.FindTestNode(rx)->Queued(), 3u);
}

TEST(CanBus, SettleRunsUrgentFramesAndLeavesPeriodicOnesDue)
{
    CanBus bus;
    std::vector<NoiseEntry> entries;
    ASSERT_EQ(ParseNoise("7FF#@500", &entries), "");
    bus.AttachNoise(entries);
    int tx = bus.AttachTestNode(100000, false);
    std::vector<uint32_t> order;
    bus.AddObserver([&](const CanFrame &f, Ticks, bool) { order.push_back(f.id); });
    Ticks now = 0;
    EXPECT_EQ(bus.FindTestNode(tx)->Send(bus, Std(0x001, {}), &now), 0);
    // The test frame took the idle bus at 0; the noise frame due at 500 µs
    // waits for it and is still on the bus when Send returns.
    EXPECT_EQ(order, std::vector<uint32_t>{0x001});
    Ticks d = Duration(Std(0x001, {}));
    EXPECT_EQ(now, d);
    EXPECT_EQ(bus.FreeAt(), d);

    // A frame sent while another is on the bus starts when it ends: the
    // noise frame due at 1000 µs has started when the test frame comes.
    now = 1001 * US;
    bus.RunUntil(now);
    EXPECT_EQ(bus.FindTestNode(tx)->Send(bus, Std(0x002, {}), &now), 0);
    EXPECT_EQ(order, (std::vector<uint32_t>{0x001, 0x7FF, 0x7FF, 0x002}));
    EXPECT_EQ(now, 1000 * US + Duration(Std(0x7FF, {})) + Duration(Std(0x002, {})));

    // At the same moment the lower identifier wins: the test frame at
    // 1500 µs goes before the noise frame due then.
    now = 1500 * US;
    bus.RunUntil(now);
    EXPECT_EQ(bus.FindTestNode(tx)->Send(bus, Std(0x003, {}), &now), 0);
    EXPECT_EQ(order.back(), 0x003u);
}

TEST(NoiseGrammar, ValidAndRefusedEntries)
{
    std::vector<NoiseEntry> e;
    ASSERT_EQ(ParseNoise("080#0102030405060708@20000,1ABCDEF0#R@500000,7ff#R8@100/1000000", &e), "");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(std::make_tuple(e[0].frame, e[0].periodUs, e[0].bitRate),
              std::make_tuple(Std(0x080, {1, 2, 3, 4, 5, 6, 7, 8}), 20000u, 100000u));
    EXPECT_EQ(e[1].frame, Ext(0x1ABCDEF0, {}, true));
    EXPECT_EQ(std::make_tuple(e[2].frame, e[2].bitRate), std::make_tuple(Frame(0x7FF, false, {}, true, 8), 1000000u));

    struct Case {
        const char *text;
        const char *reason;
    } cases[] = {
        {"800#@1000", "standard identifier above 7FF"},
        {"20000000#@1000", "extended identifier above 1FFFFFFF"},
        {"1234#@1000", "1 to 3 hexadecimal digits"},
        {"123#010@1000", "pairs"},
        {"123#010203040506070809@1000", "more than 8 bytes"},
        {"123#R9@1000", "DLC must be a digit 0 to 8"},
        {"123#01@99", "at least 100"},
        {"123#01@-5", "decimal"},
        {"12301@100", "missing '#'"},
        {"123#01@1000/9999", "10000 to 1000000"},
        {"123#01@1000,,", "entry 2 \"\": empty entry"},
    };
    for (const Case &c : cases) {
        std::vector<NoiseEntry> kept(1);
        std::string why = ParseNoise(c.text, &kept);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << ": " << why;
        EXPECT_EQ(kept.size(), 1u) << "a refused text leaves the entries alone";
    }
}

TEST(CanBus, SaturatedBusStarvesAFrameWithoutHanging)
{
    CanBus bus;
    std::vector<NoiseEntry> entries;
    // Two identifiers that win over the test frame, each due more often than
    // a frame lasts.
    ASSERT_EQ(ParseNoise("000#@100,001#@100", &entries), "");
    bus.AttachNoise(entries);
    int tx = bus.AttachTestNode(100000, false);
    Ticks now = 150 * US; // the first noise frame is on the bus
    EXPECT_EQ(bus.FindTestNode(tx)->Send(bus, Std(0x700, {}), &now), 1);
    EXPECT_GE(now, 1000150 * US);
    EXPECT_LT(now, 1002150 * US);
}

TEST(BusRecords, FrameLogLinesAndSocketCanBytes)
{
    const char *expected[] = {
        "(0000000001.234567) simcan0 67D#4018100200000000",
        "(0000000001.235807) simcan0 5FD#431810022B103014",
        "(0000000002.000000) simcan0 048EABCD#R8",
        "(0000000002.100000) simcan0 123#1122334455667788_F",
        "(0000000002.101000) simcan0 67D#R2",
        "(0000000002.101000) simcan0 20000020#0000000000000000",
    };
    std::vector<BusRecord> ex = Examples();
    for (size_t i = 0; i < ex.size(); ++i)
        EXPECT_EQ(FrameLogLine(ex[i]), expected[i]);
    EXPECT_EQ(FrameLogLine(BusRecord{0, false, Std(0x7, {})}), "(0000000000.000000) simcan0 007#");
    // DLC 15 keeps 8 as the length and the raw code in the last header byte.
    std::array<uint8_t, 16> dlc15 = {0x00, 0x00, 0x01, 0x23, 0x08, 0,    0,    0x0F,
                                     0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(SocketCanBytes(ex[3]), dlc15);
}

TEST(BusRecords, CaptureAndLogFilesAreExactAndFlushedPerRecord)
{
    const TempDir dir("simbus");
    const std::string pcap = dir.Path("example.pcap"), log = dir.Path("example.log");
    {
        BusRecorder rec;
        std::string why;
        ASSERT_TRUE(rec.Open(pcap, log, &why)) << why;
        CanBus bus;
        rec.Observe(bus);
        // A frame nobody acknowledges, then one that is.
        int a = bus.AttachTestNode(100000, false);
        Ticks now = 1234567 * TICKS_PER_US - CanBitsToTicks(CanFrameBits(Examples()[0].frame).unacknowledged, 100000);
        EXPECT_EQ(bus.FindTestNode(a)->Send(bus, Examples()[0].frame, &now), 1);
        bus.AttachTestNode(100000, false);
        EXPECT_EQ(bus.FindTestNode(a)->Send(bus, Examples()[1].frame, &now), 0);
        // Flushed record by record: the files are complete while still open.
        const Bytes bytes = ReadFile(pcap);
        ASSERT_EQ(bytes.size(), 24u + 3 * 32u);
        std::string hex;
        for (uint8_t x : Bytes(bytes.begin(), bytes.begin() + 56))
            hex += "0123456789ABCDEF"[x >> 4] + std::string(1, "0123456789ABCDEF"[x & 15]);
        // The file header, then the first record's header and its SocketCAN bytes.
        EXPECT_EQ(hex, "D4C3B2A1020004000000000000000000FFFF0000E3000000"
                       "01000000479403001000000010000000"
                       "0000067D080000004018100200000000");
        std::string expect = "(0000000001.234567) simcan0 67D#4018100200000000\n"
                             "(0000000001.234567) simcan0 20000020#0000000000000000\n";
        EXPECT_EQ(ReadFileText(log).substr(0, expect.size()), expect);
    }
}

// An independent reader of the capture format, where installed.
TEST(BusRecords, TsharkReadsTheCapture)
{
    if (!HaveProgram("tshark"))
        GTEST_SKIP() << "tshark is not installed";
    const TempDir dir("simbus");
    std::string pcap = dir.Path("tshark.pcap"), why, out;
    {
        PcapWriter w;
        ASSERT_TRUE(w.Open(pcap, &why)) << why;
        for (const BusRecord &r : Examples())
            w.Write(r);
    }
    ASSERT_TRUE(RunCommand("tshark -r '" + pcap +
                               "' -T fields -E separator=, -e frame.time_epoch -e can.id -e can.flags.xtd "
                               "-e can.flags.err -e can.len 2>/dev/null",
                           &out));
    // time, identifier (tshark prints it in decimal or hex), extended, error, length
    std::string rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f(1);
        for (char c : line)
            c == ',' ? f.emplace_back() : f.back() += c;
        f.resize(5);
        char id[16];
        std::snprintf(id, sizeof id, "0x%lX", std::strtoul(f[1].c_str(), nullptr, 0));
        rows += f[0] + " " + id + " " + f[2] + " " + f[3] + " " + f[4] + "\n";
    }
    EXPECT_EQ(rows, "1.234567000 0x67D 0 0 8\n1.235807000 0x5FD 0 0 8\n2.000000000 0x48EABCD 1 0 8\n"
                    "2.100000000 0x123 0 0 8\n2.101000000 0x67D 0 0 2\n2.101000000 0x0  1 8\n");
}
