#include "sim/records_bus.h"
#include "sim_bus/spi_driver.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace simboard;
using simboard_test::Frame;

namespace
{

BusRecord Rec(uint64_t us, const CanFrame &f, bool errorFrame = false)
{
    BusRecord r;
    r.timeUs = us;
    r.frame = f;
    r.errorFrame = errorFrame;
    return r;
}

std::string TempPath(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/simbus_" + std::to_string(getpid()) + "_" + name;
}

// The records of the documented examples, in bus order.
std::vector<BusRecord> Examples()
{
    return {
        Rec(1234567, Frame(0x67D, false, {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0})),
        Rec(1235807, Frame(0x5FD, false, {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14})),
        Rec(2000000, Frame(0x048EABCD, true, {}, true, 8)),
        Rec(2100000, Frame(0x123, false, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, false, 15)),
        Rec(2101000, Frame(0x67D, false, {1, 2}, true, 2)),
        Rec(2101000, CanFrame(), true),
    };
}

std::string FileText(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The examples written with one of the writers to a file of the test's own.
template <class Writer> std::string WriteExamples(const char *name)
{
    std::string path = TempPath(name), why;
    Writer w;
    EXPECT_TRUE(w.Open(path, &why)) << why;
    for (const BusRecord &r : Examples())
        w.Write(r);
    return path;
}

} // namespace

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
    EXPECT_EQ(FrameLogLine(Rec(0, Frame(0x7, false, {}))), "(0000000000.000000) simcan0 007#");
    // DLC 15 keeps 8 as the length and the raw code in the last header byte.
    std::array<uint8_t, 16> dlc15 = {0x00, 0x00, 0x01, 0x23, 0x08, 0,    0,    0x0F,
                                     0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(SocketCanBytes(ex[3]), dlc15);
}

TEST(BusRecords, CaptureAndLogFilesAreExactAndFlushedPerRecord)
{
    std::string pcap = TempPath("example.pcap");
    std::string log = TempPath("example.log");
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
        std::string text = FileText(pcap);
        std::vector<uint8_t> bytes(text.begin(), text.end());
        ASSERT_EQ(bytes.size(), 24u + 3 * 32u);
        const std::vector<uint8_t> header = {0xD4, 0xC3, 0xB2, 0xA1, 2,    0,    4, 0, 0,   0, 0, 0,
                                             0,    0,    0,    0,    0xFF, 0xFF, 0, 0, 227, 0, 0, 0};
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 24), header);
        const std::vector<uint8_t> first = {0x01, 0,    0,    0,    0x47, 0x94, 0x03, 0,    0x10, 0,    0,
                                            0,    0x10, 0,    0,    0,    0,    0,    0x06, 0x7D, 0x08, 0,
                                            0,    0,    0x40, 0x18, 0x10, 0x02, 0,    0,    0,    0};
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 24, bytes.begin() + 56), first);
        std::string expect = "(0000000001.234567) simcan0 67D#4018100200000000\n"
                             "(0000000001.234567) simcan0 20000020#0000000000000000\n";
        EXPECT_EQ(FileText(log).substr(0, expect.size()), expect);
    }
    std::remove(pcap.c_str());
    std::remove(log.c_str());
}

// Independent readers of the public formats, where installed.
TEST(BusRecords, TsharkReadsTheCapture)
{
    if (!HaveProgram("tshark"))
        GTEST_SKIP() << "tshark is not installed";
    std::string pcap = WriteExamples<PcapWriter>("tshark.pcap"), out;
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
    // Decoded as CANopen, the example's payload is an SDO request.
    out.clear();
    ASSERT_TRUE(RunCommand("tshark -r '" + pcap + "' -d 'can.subdissector,canopen' 2>/dev/null", &out));
    EXPECT_NE(out.find("SDO"), std::string::npos) << out;
    std::remove(pcap.c_str());
}

TEST(BusRecords, CanUtilsReadTheFrameLog)
{
    if (!HaveProgram("log2asc"))
        GTEST_SKIP() << "can-utils is not installed";
    std::string log = WriteExamples<FrameLogWriter>("canutils.log"), out;
    ASSERT_TRUE(RunCommand("log2asc -I '" + log + "' simcan0 2>&1", &out)) << out;
    for (const char *text : {"67D", "48EABCDx", "ErrorFrame"})
        EXPECT_NE(out.find(text), std::string::npos) << out;
    std::remove(log.c_str());
}
