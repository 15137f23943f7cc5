// The controller against its datasheet: registers and their reset values,
// instructions, modes, bit timing, transmission, errors and reception.
#include "sim/mcp2515.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "sim_bus/spi_driver.h"

using namespace simboard;
using simboard_test::Bytes;
using simboard_test::Frame;

namespace
{

constexpr Ticks US = TICKS_PER_US;
// TXB0's header and data from SIDH: 0x67D standard, DLC 8, the part-ID request.
const Bytes FRAME_67D = {0xCF, 0xA0, 0x00, 0x00, 0x08, 0x40, 0x18, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00};

struct Board {
    CanBus bus; // outlives the controller attached to it
    Mcp2515 mcp;
    simboard_test::SpiDriver spi{mcp};
    std::vector<std::string> notes;

    explicit Board(McpVariant v = McpVariant::Normal, uint32_t osc = 16000000) : mcp(osc, v)
    {
        mcp.ConnectBus(&bus);
        mcp.SetNoteSink([this](Ticks, const std::string &t) { notes.push_back(t); });
    }
    Bytes Regs(const Bytes &addresses)
    {
        Bytes values;
        for (uint8_t a : addresses)
            values.push_back(spi.Read(a));
        return values;
    }
    bool Noted(const std::string &part) const
    {
        return std::any_of(notes.begin(), notes.end(), [&](const std::string &n) { return n.find(part) != n.npos; });
    }
    // A test node's frame on the bus; 0 when acknowledged.
    int Send(const CanFrame &f)
    {
        if (node < 0)
            node = bus.AttachTestNode(100000, false);
        return bus.FindTestNode(node)->Send(bus, f, &spi.now);
    }
    int node = -1;
};

} // namespace

TEST(Mcp2515, PowerOnAndResetValues)
{
    const Bytes defined = {0x0D, 0x0E, 0x0F, 0x1E, 0x7F, 0x28, 0x2A, 0x2B, 0x30, 0x60};
    const Bytes values = {0x38, 0x80, 0x87, 0x80, 0x87, 0x00, 0x00, 0x00, 0x00, 0x00};
    Board b;
    EXPECT_EQ(b.Regs(defined), values);
    EXPECT_EQ(b.Regs({0x00, 0x01, 0x31}), Bytes(3, 0x00));
    // RESET restores the defined registers and keeps the undefined ones.
    b.spi.Write(0x28, {0x02, 0x90, 0x09});
    b.spi.Write(0x00, {0x12});
    b.spi.Write(0x31, {0xAB});
    b.spi.Write(0x2B, {0x03});
    b.spi.BitModify(0x0F, 0xE0, 0x00);
    EXPECT_EQ(b.spi.Read(0x0E), 0x00);
    b.spi.Reset();
    EXPECT_EQ(b.Regs(defined), values);
    EXPECT_EQ(b.Regs({0x00, 0x31}), (Bytes{0x12, 0xAB}));
}

TEST(Mcp2515, BitRateFromCnfAndOscillator)
{
    const struct {
        uint32_t osc;
        uint8_t cnf3, cnf2, cnf1;
        double rate;
        bool noted; // outside the datasheet's rules: the rate stands, with a note
    } cases[] = {
        {16000000, 0x02, 0x90, 0x09, 100000, false},
        {16000000, 0x02, 0x90, 0x00, 1000000, false},
        {8000000, 0x02, 0x90, 0x09, 50000, false},
        // BTLMODE 0: PS2 is the larger of PS1 and 2 TQ: 1 + 1 + 3 + 3 = 8 TQ.
        {16000000, 0x07, 0x10, 0x09, 100000, false},
        // PRSEG 2, PHSEG1 3, PHSEG2 4: 1 + 3 + 4 + 5 = 13 TQ.
        {16000000, 0x04, 0x9A, 0x00, 16000000.0 / 26, false},
        {16000000, 0x00, 0x90, 0x09, 16000000.0 / 120, true}, // PS2 of 1 TQ
        {16000000, 0x02, 0x90, 0x89, 100000, true},           // SJW 3 TQ, as long as PS2
    };
    for (const auto &c : cases) {
        Board b(McpVariant::Normal, c.osc);
        b.spi.Write(0x28, {c.cnf3, c.cnf2, c.cnf1});
        EXPECT_DOUBLE_EQ(b.mcp.ConfiguredBitRate(), c.rate);
        b.spi.BitModify(0x0F, 0xE0, 0x00);
        EXPECT_DOUBLE_EQ(b.mcp.BitRate(), c.rate);
        EXPECT_EQ(b.Noted("bit timing"), c.noted) << std::hex << int(c.cnf3) << int(c.cnf2) << int(c.cnf1);
    }
}

TEST(Mcp2515, BitModifyOnlyOnTheRegistersThatAllowIt)
{
    struct Case {
        uint8_t address, before, mask, data, after;
    } cases[] = {
        {0x2B, 0xF0, 0x0F, 0x05, 0xF5}, // CANINTE: masked
        {0x60, 0x60, 0x04, 0x04, 0x66}, // RXB0CTRL: BUKT and its read-only copy
        {0x3F, 0x87, 0x08, 0x08, 0x8F}, // a CANCTRL mirror: masked
        {0x01, 0xFF, 0xE0, 0x40, 0x40}, // filter SIDL: whole byte (unimplemented bits read 0)
        {0x36, 0x00, 0x0F, 0xAA, 0xAA}, // TXB0D0: whole byte
    };
    for (const Case &c : cases) {
        Board b;
        b.mcp.Poke(c.address, c.before);
        b.spi.BitModify(c.address, c.mask, c.data);
        EXPECT_EQ(b.mcp.Peek(c.address), c.after) << std::hex << int(c.address);
    }
}

TEST(Mcp2515, ConfigurationOnlyRegistersAndReadOnlyBits)
{
    Board b;
    b.spi.BringUp();
    b.notes.clear();
    b.spi.Write(0x28, {0x05, 0x05, 0x05}); // CNF3-1: ignored in normal mode
    b.spi.Write(0x24, {0xAA});             // RXM1SIDH
    b.spi.BitModify(0x0D, 0x07, 0x07);     // TXRTSCTRL mode bits
    b.spi.Write(0x1C, {0x55});             // TEC: read-only
    b.spi.Write(0x61, {0x77});             // RXB0SIDH: read-only
    b.spi.Write(0x30, {0x73});             // TXB0CTRL: only TXP is written here (TXREQ off)
    EXPECT_EQ(b.Regs({0x28, 0x29, 0x2A, 0x24, 0x0D, 0x1C, 0x61, 0x30}),
              (Bytes{0x02, 0x90, 0x09, 0x00, 0x38, 0x00, 0x00, 0x03}));
    EXPECT_TRUE(b.Noted("write to 0x28 ignored"));

    // Back in configuration mode the same writes land.
    b.spi.BitModify(0x0F, 0xE0, 0x80);
    EXPECT_EQ(b.spi.Read(0x0E), 0x80);
    b.spi.Write(0x28, {0x05, 0x05, 0x05});
    EXPECT_EQ(b.spi.ReadMany(0x28, 3), (Bytes{0x05, 0x05, 0x05}));
}

TEST(Mcp2515, SpiFramingResetStartUpAndClockLimit)
{
    Board low(McpVariant::MisoLow); // SO held low: reads 0, yet executes
    low.spi.Write(0x2B, {0x03});
    EXPECT_EQ(low.spi.Read(0x2B), 0x00);
    EXPECT_EQ(low.mcp.Peek(0x2B), 0x03);
    Board b;
    // Unknown instruction: nothing driven, nothing done.
    EXPECT_EQ(b.spi.Frame({0x46, 0x2B, 0x03}), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(b.spi.Read(0x2B), 0x00);
    // A partial byte at release is discarded: the data byte never lands.
    b.spi.Frame({0x02, 0x2B}, 7, 0xFE);
    EXPECT_EQ(b.spi.Read(0x2B), 0x00);
    // WRITE and READ run on through the map and wrap at 0x7F; an address
    // above 0x7F addresses the register at (address AND 0x7F).
    b.spi.Write(0x2B, {0x01, 0x02});
    EXPECT_EQ(b.spi.ReadMany(0xAB, 2), (Bytes{0x01, 0x02}));
    EXPECT_EQ(b.spi.ReadMany(0x7F, 2), (Bytes{0x87, 0x00}));
    // READ STATUS repeats its byte; the instruction byte itself reads 0xFF.
    b.mcp.Poke(0x2C, 0x05);
    EXPECT_EQ(b.spi.Frame({0xA0, 0, 0, 0}), (Bytes{0xFF, 0x09, 0x09, 0x09}));

    b.spi.Frame({0xC0});
    // A frame beginning within 128 oscillator periods (8 µs) is ignored.
    b.spi.Write(0x2B, {0x07});
    b.spi.now += 8 * US;
    EXPECT_EQ(b.spi.Read(0x2B), 0x00);
    EXPECT_TRUE(b.Noted("start-up"));

    // SCK above 10 MHz: the frame is not decoded and SO stays undriven.
    b.spi.halfPeriod = 2; // 15 MHz
    EXPECT_EQ(b.spi.Frame({0x03, 0x0F, 0x00}), (Bytes{0xFF, 0xFF, 0xFF}));
    b.spi.Write(0x2B, {0x07});
    b.spi.halfPeriod = 3; // exactly 10 MHz is within the datasheet
    EXPECT_EQ(b.spi.Read(0x2B), 0x00);
    EXPECT_EQ(b.spi.Read(0x0F), 0x87);
    EXPECT_TRUE(b.Noted("SCK above 10 MHz"));
}

TEST(Mcp2515, NoAcknowledgeLeavesTheFramePending)
{
    Board b;
    std::vector<bool> acks;
    b.bus.AddObserver([&](const CanFrame &, Ticks, bool ack) { acks.push_back(ack); });
    b.spi.BringUp();
    b.spi.LoadAndSend(FRAME_67D);
    EXPECT_EQ(b.spi.ReadStatus() & 0x04, 0x04);
    EXPECT_EQ(b.Regs({0x1C, 0x2D, 0x30}), (Bytes{128, 0x15, 0x18}));
    EXPECT_EQ(b.spi.Read(0x2C) & 0x80, 0x80); // MERRF
    EXPECT_EQ(acks, std::vector<bool>{false});

    // The controller will not leave normal mode while the frame is pending.
    b.spi.BitModify(0x0F, 0xE0, 0x80);
    EXPECT_EQ(b.spi.Read(0x0E) & 0xE0, 0x00);

    // An acknowledging node lets the retry complete at the next bus activity,
    // and the deferred configuration request then takes effect.
    int node = b.bus.AttachTestNode(100000, false);
    b.spi.now = b.bus.Settle(b.spi.now);
    EXPECT_EQ(acks, (std::vector<bool>{false, true}));
    EXPECT_EQ(b.bus.FindTestNode(node)->Queued(), 1u);
    EXPECT_EQ(b.spi.ReadStatus(), 0x08); // TX0IF, TXREQ clear
    // TXERR stays until the next request; configuration mode cleared TEC.
    EXPECT_EQ(b.Regs({0x30, 0x1C}), (Bytes{0x10, 0}));
    EXPECT_EQ(b.spi.Read(0x0E) & 0xE0, 0x80);
}

TEST(Mcp2515, OneShotMakesASingleAttempt)
{
    // TEC + 8, TXREQ cleared and TXERR left; no error-passive flags, unless
    // the receive error counter stands at 128 (RXEP, RXWAR, EWARN).
    for (uint8_t rec : {0, 127, 128}) {
        Board o;
        o.spi.BringUp();
        o.mcp.Poke(0x1D, rec);
        o.spi.BitModify(0x0F, 0x08, 0x08);
        o.spi.LoadAndSend(FRAME_67D);
        const uint8_t eflg = rec == 0 ? 0x00 : rec == 127 ? 0x03 : 0x0B;
        EXPECT_EQ(o.Regs({0x30, 0x1C, 0x2D}), (Bytes{0x10, 8, eflg})) << int(rec);
    }
}

TEST(Mcp2515, AbortAndPendingBufferRules)
{
    Board b;
    b.spi.BringUp();
    b.spi.LoadAndSend(FRAME_67D); // nobody acknowledges: TXB0 pending
    b.notes.clear();
    b.spi.Write(0x31, {0x00});
    EXPECT_EQ(b.spi.Read(0x31), 0xCF);
    EXPECT_TRUE(b.Noted("ignored while TXB0 is pending"));

    // ABAT aborts every pending frame and reads 1 until cleared.
    b.spi.BitModify(0x0F, 0x10, 0x10);
    EXPECT_EQ(b.spi.Read(0x30) & 0x48, 0x40); // ABTF, TXREQ clear
    EXPECT_EQ(b.spi.Read(0x0F) & 0x10, 0x10);
    b.spi.BitModify(0x0F, 0x10, 0x00);

    // Clearing TXREQ by hand aborts too; setting it clears ABTF, MLOA, TXERR.
    b.spi.Frame({0x81});
    EXPECT_EQ(b.spi.Read(0x30), 0x18);
    b.spi.BitModify(0x30, 0x08, 0x00);
    EXPECT_EQ(b.spi.Read(0x30), 0x50);
}

TEST(Mcp2515, TransmitOrderByPriority)
{
    Board b;
    std::vector<uint32_t> order;
    b.bus.AddObserver([&](const CanFrame &f, Ticks, bool) { order.push_back(f.id); });
    b.bus.AttachTestNode(100000, false);
    b.spi.BringUp();
    b.spi.BitModify(0x0F, 0xE0, 0x80); // configuration: requests wait
    // Identifiers 0x100, 0x200, 0x300 in buffers 0, 1, 2; TXB0 with TXP 3.
    b.spi.Frame({0x40, 0x20, 0x00, 0, 0, 0});
    b.spi.Frame({0x42, 0x40, 0x00, 0, 0, 0});
    b.spi.Frame({0x44, 0x60, 0x00, 0, 0, 0});
    b.spi.Write(0x30, {0x03});
    b.spi.Frame({0x87});
    EXPECT_EQ(b.spi.ReadStatus(), 0x54); // TXB0, TXB1 and TXB2 requests pending
    b.spi.BitModify(0x0F, 0xE0, 0x00);
    EXPECT_EQ(order, (std::vector<uint32_t>{0x100, 0x300, 0x200}));
    EXPECT_EQ(b.spi.ReadStatus(), 0xA8);
}

TEST(Mcp2515, ReceiveOverflowWithAFrameInRxb0)
{
    Board b;
    b.spi.BringUp();
    EXPECT_EQ(b.Send(Frame(0x5FD, 0, {1, 2, 3})), 0);
    EXPECT_EQ(b.spi.RxStatus(), 0x40);
    // A second frame while RXB0 is unread is lost, but still acknowledged.
    EXPECT_EQ(b.Send(Frame(0x5FE, false, {9})), 0);
    EXPECT_EQ(b.Regs({0x2D, 0x2C}), (Bytes{0x40, 0x01})); // no ERRIF: ERRIE is off
    EXPECT_EQ(b.spi.Frame({0x90, 0, 0, 0, 0, 0, 0}), (Bytes{0xFF, 0xBF, 0xA0, 0x00, 0x00, 0x03, 0x01}));
    EXPECT_EQ(b.spi.Read(0x2C), 0x00);
    // With ERRIE the overflow raises ERRIF, and CANSTAT.ICOD shows it.
    b.spi.BitModify(0x2D, 0x40, 0x00);
    b.spi.BitModify(0x2B, 0x20, 0x20);
    b.Send(Frame(0x001, false, {}));
    b.Send(Frame(0x002, false, {}));
    EXPECT_EQ(b.Regs({0x2C, 0x0E}), (Bytes{0x21, 0x02}));
}

TEST(Mcp2515, AcceptanceFiltersAndRollover)
{
    // Writes (address, count, bytes...), then two frames with data {1} and
    // {2} (extended above 0x7FF): RX STATUS after the first, CANINTF's
    // receive flags and EFLG after both.
    const struct {
        Bytes writes;
        uint32_t first;
        bool remote;
        uint32_t second;
        uint8_t rxStatus, intf, eflg;
    } cases[] = {
        // Filters off: without rollover the second frame overflows RXB0.
        {{0x60, 1, 0x60, 0x70, 1, 0x60}, 0x123, false, 0x124, 0x40, 1, 0x40},
        {{0x60, 1, 0x64}, 0x123, false, 0x124, 0x40, 3, 0},
        // RXF1 hits, and the second frame rolls over into RXB1.
        {{0x60, 1, 0x04, 0x20, 2, 0xFF, 0xE0, 0x04, 2, 0x24, 0x60}, 0x123, 0, 0x123, 0x41, 3, 0},
        // RXF3, extended.
        {{0x24, 4, 0xFF, 0xE3, 0xFF, 0xFF, 0x10, 4, 0x24, 0x6A, 0xAB, 0xCD}, 0x048EABCD, 0, 0x048EABCE, 0x93, 2, 0},
        // A buffer for standard frames only.
        {{0x60, 1, 0x20, 0x70, 1, 0x60}, 0x048EABCD, true, 0x100, 0x9A, 3, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        Board b;
        b.spi.Write(0x28, {0x02, 0x90, 0x09});
        for (size_t k = 0; k < c.writes.size(); k += 2 + c.writes[k + 1])
            b.spi.Write(c.writes[k], Bytes(&c.writes[k + 2], &c.writes[k + 2] + c.writes[k + 1]));
        b.spi.BitModify(0x0F, 0xE0, 0x00);
        b.Send(Frame(c.first, c.first > 0x7FF, {1}, c.remote));
        EXPECT_EQ(b.spi.RxStatus(), c.rxStatus);
        b.Send(Frame(c.second, c.second > 0x7FF, {2}));
        EXPECT_EQ(b.spi.Read(0x2C) & 0x03, c.intf);
        EXPECT_EQ(b.spi.Read(0x2D), c.eflg);
    }
}

TEST(Mcp2515, ModeRequestsListenOnlyLoopbackAndSleep)
{
    Board b;
    b.spi.Write(0x28, {0x02, 0x90, 0x09});
    struct Step {
        uint8_t canctrl, canctrlRead, canstat;
    } steps[] = {
        {0x60, 0x60, 0x60}, // listen-only
        {0x40, 0x40, 0x40}, // loopback
        {0xE0, 0xE0, 0x40}, // invalid: REQOP reads back, OPMOD stays
        {0x20, 0x20, 0x20}, // sleep
        {0x00, 0x00, 0x00}, // normal
        {0x80, 0x80, 0x80}, // configuration
    };
    for (const Step &s : steps) {
        b.spi.Write(0x0F, {s.canctrl});
        EXPECT_EQ(b.spi.Read(0x0F), s.canctrlRead);
        EXPECT_EQ(b.spi.Read(0x0E) & 0xE0, s.canstat) << std::hex << int(s.canctrl);
    }
    b.spi.Write(0x60, {0x60});

    // Listen-only: receives, never acknowledges.
    b.spi.BitModify(0x0F, 0xE0, 0x60);
    EXPECT_EQ(b.Send(Frame(0x10, false, {})), 1);
    EXPECT_EQ(b.spi.Read(0x2C), 0x00);   // unacknowledged frames reach nobody
    b.bus.AttachTestNode(100000, false); // acknowledges from now on
    EXPECT_EQ(b.Send(Frame(0x11, false, {})), 0);
    EXPECT_EQ(b.spi.Read(0x2C), 0x01);

    // Loopback: the frame goes to its own receive buffer, not the bus.
    b.spi.Write(0x2C, {0x00});
    b.spi.BitModify(0x0F, 0xE0, 0x40);
    uint64_t count = b.bus.FrameCount();
    b.spi.LoadAndSend({0x02, 0x00, 0, 0, 0x01, 0x5A});
    EXPECT_EQ(b.bus.FrameCount(), count);
    EXPECT_EQ(b.Regs({0x2C, 0x66}), (Bytes{0x05, 0x5A}));

    // Sleep with WAKIE: bus activity wakes it into listen-only; that frame is lost.
    b.spi.Write(0x2C, {0x00});
    b.spi.Write(0x2B, {0x40});
    b.spi.BitModify(0x0F, 0xE0, 0x20);
    EXPECT_EQ(b.spi.Read(0x0E) & 0xE0, 0x20);
    b.Send(Frame(0x12, false, {}));
    EXPECT_EQ(b.Regs({0x0E, 0x2C}), (Bytes{0x64, 0x40})); // ICOD: wake-up
}
