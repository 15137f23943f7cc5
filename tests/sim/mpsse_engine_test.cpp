// The MPSSE engine against the documented command set: decoding and lengths,
// bad-command answers, loopback, bit order, the clock, pins with their
// pull-ups, the SPI slave port with its clock-edge rule, and failing engines.
#include "sim/sim_board_fixture.h"

namespace
{

using simboard::TraceLine;

using Engine = SimBoardTest;

struct AnswerCase {
    const char *chip;
    Bytes commands; // followed by 0x87
    Bytes answer;
};

const AnswerCase kAnswerCases[] = {
    // Bit 7 set and no command of that chip: FA and the byte.
    {"FT2232H", {0x9F}, {0xFA, 0x9F}},
    {"FT4232H", {0x9E}, {0xFA, 0x9E}},
    {"FT2232D", {0x8B}, {0xFA, 0x8B}},
    {"FT2232D", {0x9D}, {0xFA, 0x9D}},
    // Commands of the chip take their operands: 0xAA after them is an operand.
    {"FT232H", {0x9E, 0x00, 0x00, 0xAB}, {0xFA, 0xAB}},
    {"FT2232H", {0x8F, 0xAA, 0x00, 0xAB}, {0xFA, 0xAB}},
    {"FT2232D", {0x80, 0xAA, 0x00, 0xAB}, {0xFA, 0xAB}},
    {"FT2232H", {0x4B, 0x00, 0xAA, 0xAB}, {0xFA, 0xAB}},
    // A byte write takes length + 1 data bytes; a bit read has no data byte.
    {"FT2232H", {0x10, 0x01, 0x00, 0xAA, 0xAA, 0xAB}, {0xFA, 0xAB}},
    {"FT2232H", {0x22, 0x07, 0xAB}, {0xFF, 0xFA, 0xAB}},
    // Bit 7 clear and no command: consumed alone, no answer.
    {"FT2232H", {0x00, 0x0F, 0x40, 0x7F, 0x4C, 0xAB}, {0xFA, 0xAB}},
    // Loopback: full duplex reads back what it writes in every clock mode and
    // bit order; bit reads shift in at bit 0 MSB first, from bit 7 LSB first.
    {"FT2232H", {0x84, 0x31, 0x03, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}, {0xDE, 0xAD, 0xBE, 0xEF}},
    {"FT2232H", {0x84, 0x80, 0x01, 0x0B, 0x34, 0x00, 0x00, 0xC3}, {0xC3}},
    {"FT2232H", {0x84, 0x3C, 0x00, 0x00, 0x17}, {0x17}},
    {"FT2232H", {0x84, 0x33, 0x0A, 0xA0}, {0x05}}, // a length above 7 keeps its low three bits
    {"FT2232H", {0x84, 0x3B, 0x02, 0x05}, {0xA0}},
    // A read alone in loopback reads DO's held level: the last bit written,
    // or 0x80's pin 1.
    {"FT2232H", {0x84, 0x80, 0x02, 0x0B, 0x20, 0x01, 0x00}, {0xFF, 0xFF}},
    {"FT2232H", {0x84, 0x11, 0x00, 0x00, 0x01, 0x22, 0x03}, {0x0F}},
    // Pins: outputs read their level; inputs read 1 (pull-ups); MISO reads 1
    // while the slave does not drive it. An input's level register takes
    // effect when it becomes an output.
    {"FT2232H", {0x81}, {0xFF}},
    {"FT2232H", {0x80, 0xA5, 0xF0, 0x81}, {0xAF}},
    {"FT2232H", {0x80, 0x00, 0xF0, 0x80, 0x00, 0xFF, 0x81}, {0x00}},
    // High byte: 8 pins, 4 on the FT2232D, none on the FT4232H.
    {"FT2232H", {0x82, 0x0F, 0xFF, 0x83}, {0x0F}},
    {"FT2232D", {0x82, 0x00, 0xFF, 0x83}, {0xF0}},
    {"FT4232H", {0x82, 0x00, 0xFF, 0x83}, {0xFF}},
    // Pin 5 reads 1 undriven: a wait for high ends at once, one for low
    // stalls the engine and holds what follows.
    {"FT2232H", {0x88, 0xAA}, {0xFA, 0xAA}},
    {"FT2232H", {0x80, 0x00, 0x20, 0x89, 0xAA}, {0xFA, 0xAA}},
    {"FT2232H", {0x95, 0xAA}, {}},
};

TEST_F(Engine, AnswersFollowTheChipsCommandSet)
{
    for (const AnswerCase &c : kAnswerCases) {
        Apply("SIMBOARD_DEVICES", c.chip);
        EXPECT_EQ(c.answer, Exchange(OpenMpsse(0), c.commands)) << c.chip << " " << testing::PrintToString(c.commands);
        EXPECT_EQ(0u, SimBoard_SpiByteCount()) << "loopback reaches no slave";
    }
}

TEST_F(Engine, CommandsSpanWritesAndStallsEndByPurgeOrBitMode)
{
    SB_HANDLE h = OpenMpsse(0);
    Write(h, {0x80});
    Write(h, {0x00});
    Write(h, {0x0B, 0x81});
    EXPECT_EQ(Bytes{0xF4}, Exchange(h, {}));
    // Data clocks as it arrives: the command completes with its last byte.
    Write(h, {0x84, 0x31, 0x01});
    Write(h, {0x00, 0x12});
    EXPECT_TRUE(ReadAll(h).empty()) << "the command waits for its second data byte";
    EXPECT_EQ((Bytes{0x12, 0x34}), Exchange(h, {0x34}));

    // A stall ends only by a transmit purge, a reset, a bit mode or a close.
    Write(h, {0x89, 0xAA, 0x87});
    EXPECT_TRUE(Exchange(h, {}).empty());
    ASSERT_EQ(0u, FT_Purge(h, 1));
    EXPECT_TRUE(Exchange(h, {0xAA}).empty()) << "a receive purge leaves the stall";
    ASSERT_EQ(0u, FT_Purge(h, 2));
    EXPECT_EQ((Bytes{0xFA, 0xAA}), Exchange(h, {0xAA}));
    Write(h, {0x95});
    ASSERT_EQ(0u, FT_SetBitMode(h, 0, 2));
    EXPECT_EQ((Bytes{0xFA, 0xAB}), Exchange(h, {0xAB}));
    std::vector<TraceLine> notes = Trace("NOTE");
    ASSERT_EQ(2u, notes.size());
    EXPECT_EQ("engine stalled on wait-low", notes[0].note);
    EXPECT_EQ("engine stalled on clock-until-low", notes[1].note);
}

struct ClockCase {
    const char *chip;
    Bytes setup, clocking;
    uint64_t micros; // board time of the clocking, whole µs, after one u
    const char *divisorLine;
};

const ClockCase kClockCases[] = {
    {"FT2232H", {0x8B, 0x86, 0xAF, 0x04}, {0x8F, 0x00, 0x00}, 1600, "divisor=1199 sck=5000Hz"},
    {"FT2232H", {0x8A, 0x86, 0x02, 0x00}, {0x8F, 0xFF, 0xFF}, 52428, "divisor=2 sck=10000000Hz"},
    {"FT2232H", {0x86, 0xFF, 0xFF}, {0x8E, 0x00}, 10922, "divisor=65535 sck=91Hz"},
    {"FT2232D", {0x86, 0x6F, 0x17}, {0x13, 0x00, 0x00}, 1000, "divisor=5999 sck=1000Hz"},
    {"FT2232H", {0x8B, 0x8C, 0x86, 0xAF, 0x04}, {0x8E, 0x00}, 300, "divisor=1199 sck=5000Hz"},
    {"FT2232H", {0x8B, 0x86, 0xAF, 0x04}, {0x11, 0x01, 0x00, 0x00, 0x00}, 3200, "divisor=1199 sck=5000Hz"},
    {"FT2232H", {0x8B, 0x86, 0xAF, 0x04}, {0x80, 0x00, 0x0B, 0x81, 0x84, 0x85}, 0, "divisor=1199 sck=5000Hz"},
    // Reset state: divide-by-5 on, divisor 0: 6 MHz.
    {"FT2232H", {}, {0x8F, 0xFF, 0xFF}, 87381, nullptr},
};

TEST_F(Engine, EachBitTakesOneSkPeriodOfBoardTime)
{
    for (const ClockCase &c : kClockCases) {
        Apply("SIMBOARD_DEVICES", c.chip); // a reset starts the trace again
        SB_HANDLE h = OpenMpsse(0);
        Write(h, c.setup);
        uint64_t t = SimBoard_Time();
        Write(h, c.clocking);
        EXPECT_EQ(t + (std::string(c.chip) == "FT2232D" ? 1000 : 125) + c.micros, SimBoard_Time()) << c.divisorLine;
        std::string divisor;
        for (const TraceLine &line : Trace("MPSSE"))
            if (line.name == "divisor")
                divisor = line.head.substr(line.head.find("divisor ") + 8);
        EXPECT_EQ(c.divisorLine ? c.divisorLine : "", divisor);
    }
}

struct ModeCase {
    const char *name;
    uint8_t idle;    // pin 0's level with chip select low
    Bytes transfer;  // the command and operands, without data
    Bytes script;    // what the slave presents
    Bytes data;      // what the engine writes
    Bytes slaveGot;  // SI bytes the slave sampled
    Bytes engineGot; // what the engine read
};

// The outcome of each SPI mode's commands under the clock-edge rule.
const ModeCase kModeCases[] = {
    {"mode 0 full duplex", 0, {0x31, 0x01, 0x00}, {0x80, 0x3C}, {0xC0, 0xA5}, {0xC0, 0xA5}, {0x80, 0x3C}},
    {"mode 0 read", 0, {0x20, 0x01, 0x00}, {0x80, 0x3C}, {}, {0x00, 0x00}, {0x80, 0x3C}},
    {"mode 0 bits", 0, {0x33, 0x07}, {0x96}, {0x69}, {0x69}, {0x96}},
    // Mode 1: the slave gets DO's level before the command, then the bits but the last.
    {"mode 1 full duplex", 0, {0x34, 0x01, 0x00}, {0x80, 0x3C}, {0xC0, 0xA5}, {0x60, 0x52}, {0x80, 0x3C}},
    {"mode 1 write", 0, {0x10, 0x00, 0x00}, {}, {0xC0}, {0x60}, {}},
    // Mode 2: the engine gets SO's level before the command, then the bits but the last.
    {"mode 2 full duplex", 1, {0x34, 0x01, 0x00}, {0x80, 0x3C}, {0xC0, 0xA5}, {0xC0, 0xA5}, {0xC0, 0x1E}},
    {"mode 2 read high", 1, {0x24, 0x00, 0x00}, {0x80}, {}, {0x00}, {0xC0}},
    // Mode 3: both sides get the bits.
    {"mode 3 full duplex", 1, {0x31, 0x01, 0x00}, {0x80, 0x3C}, {0xC0, 0xA5}, {0xC0, 0xA5}, {0x80, 0x3C}},
    {"mode 3 bits", 1, {0x33, 0x03}, {0xB0}, {0x50}, {0x50}, {0x0B}},
};

TEST_F(Engine, SpiModesFollowTheClockEdgeRule)
{
    for (const ModeCase &c : kModeCases) {
        SimBoard_Reset();
        SB_HANDLE h = OpenMpsse(0);
        ASSERT_EQ(0, SimBoard_SpiScript(c.script.data(), static_cast<uint32_t>(c.script.size())));
        Bytes commands{0x80, c.idle, 0x0B};
        commands.insert(commands.end(), c.transfer.begin(), c.transfer.end());
        commands.insert(commands.end(), c.data.begin(), c.data.end());
        EXPECT_EQ(c.engineGot, Exchange(h, commands)) << c.name;
        Write(h, {0x80, static_cast<uint8_t>(0x08 | c.idle), 0x0B});
        Bytes mosi(c.slaveGot.size() + 2, 0xEE);
        uint32_t bits = 0;
        ASSERT_EQ(0, SimBoard_SpiFrame(1, mosi.data(), static_cast<uint32_t>(mosi.size()), &bits));
        uint32_t expectedBits =
            (c.transfer[0] & 0x02) ? (c.transfer[1] & 7u) + 1 : 8u * static_cast<uint32_t>(c.slaveGot.size());
        EXPECT_EQ(expectedBits, bits) << c.name;
        mosi.resize((bits + 7) / 8);
        EXPECT_EQ(c.slaveGot, mosi) << c.name;
    }
}

// Frames record what the slave sampled and presented; a scripted byte is
// used up only once its first bit is clocked.
TEST_F(Engine, FramesAndScriptedBytes)
{
    SB_HANDLE h = OpenMpsse(0);
    uint8_t script[] = {0x3C};
    ASSERT_EQ(0, SimBoard_SpiScript(script, 1));
    // A full byte with a scripted answer, then three bits (the queue is empty:
    // SO undriven reads 1), then an empty frame.
    Write(h, {0x80, 0x00, 0x0B, 0x31, 0x00, 0x00, 0xA5, 0x13, 0x02, 0xA0, 0x80, 0x08, 0x0B});
    Write(h, {0x80, 0x00, 0x0B, 0x80, 0x08, 0x0B});
    std::vector<std::string> spi;
    for (const TraceLine &line : Trace("SPI"))
        spi.push_back(line.text);
    EXPECT_EQ((std::vector<std::string>{"0 select", "0 frame 1 bits=11 mosi: A5 b101 miso: 3C b111", "0 select",
                                        "0 frame 2 bits=0 mosi: miso:"}),
              spi);
    uint8_t mosi[2] = {};
    uint32_t bits = 0;
    ASSERT_EQ(0, SimBoard_SpiFrame(1, mosi, 2, &bits));
    EXPECT_EQ(11u, bits);
    EXPECT_EQ((Bytes{0xA5, 0xA0}), Bytes(mosi, mosi + 2)) << "a partial byte's bits stand from bit 7 down";
    EXPECT_EQ(-1, SimBoard_SpiFrame(3, mosi, 2, &bits));
    EXPECT_EQ(-1, SimBoard_SpiFrame(0, mosi, 2, &bits));

    EXPECT_EQ(Bytes{0x3C}, Exchange(h, {})) << "the full-duplex byte's answer";

    uint8_t three[] = {0x11, 0x22, 0x33};
    ASSERT_EQ(0, SimBoard_SpiScript(three, 3));
    EXPECT_EQ(Bytes{0x11}, Exchange(h, {0x80, 0x00, 0x0B, 0x20, 0x00, 0x00, 0x80, 0x08, 0x0B}));
    // Selected, the next queued byte's first bit is on MISO (0x22: bit 7 is 0).
    EXPECT_EQ(Bytes{0xF0}, Exchange(h, {0x80, 0x00, 0x0B, 0x81}));
    EXPECT_EQ((Bytes{0x22, 0x33, 0xFF}), Exchange(h, {0x20, 0x02, 0x00, 0x80, 0x08, 0x0B}));
    EXPECT_EQ(Bytes{0xFC}, Exchange(h, {0x81})) << "deselected, MISO reads 1";
}

// SK edges made by 0x80 reach a selected slave; an SK change in the same
// command as the select or the release does not. TMS commands move chip
// select like any pin write.
TEST_F(Engine, PinEdgesAndDataReachTheSlaveOnlyWhileSelected)
{
    SB_HANDLE h = OpenMpsse(0);
    Write(h, {0x80, 0x01, 0x0B,   // select, SK rises with it: not seen
              0x80, 0x00, 0x0B,   // falling
              0x80, 0x03, 0x0B,   // rising with DO rising: samples DO before the edge (0)
              0x80, 0x02, 0x0B,   // falling
              0x80, 0x03, 0x0B,   // rising: samples 1
              0x80, 0x08, 0x0B}); // release with SK falling: not seen
    // 4B writes bits 0 (select) and 1 (release) LSB first, DO takes bit 7.
    Write(h, {0x4B, 0x01, 0x82});
    std::vector<std::string> frames;
    for (const TraceLine &line : Trace("SPI"))
        if (line.name == "frame")
            frames.push_back(std::to_string(line.bits) + " " + line.mosiTail);
    EXPECT_EQ((std::vector<std::string>{"2 b01", "1 b1"}), frames);
    EXPECT_EQ(Bytes{0xFE}, Exchange(h, {0x81})) << "chip select ends high";

    // Data commands reach no slave with chip select high, SK an input, or in loopback.
    const uint64_t spiBytes = SimBoard_SpiByteCount();
    Write(h, {0x80, 0x08, 0x0B, 0x11, 0x00, 0x00, 0xFF});
    Write(h, {0x80, 0x00, 0x0A, 0x11, 0x00, 0x00, 0xFF});
    Write(h, {0x80, 0x00, 0x0B, 0x84, 0x11, 0x00, 0x00, 0xFF, 0x85, 0x80, 0x08, 0x0B});
    EXPECT_EQ(spiBytes, SimBoard_SpiByteCount());
    std::vector<std::string> slaves;
    for (const TraceLine &line : Trace("MPSSE"))
        if (line.name == "data")
            slaves.push_back(line.Field("slave"));
    EXPECT_EQ((std::vector<std::string>{"deselected", "selected", "loopback"}), slaves);
}

// Leaving MPSSE mode releases chip select; a reset writes the frame still
// open as unfinished.
TEST_F(Engine, FramesEndAtBitModeResetOrBoardReset)
{
    SB_HANDLE h = OpenMpsse(0);
    Write(h, {0x80, 0x00, 0x0B, 0x11, 0x00, 0x00, 0x42});
    ASSERT_EQ(0u, FT_SetBitMode(h, 0, 0));
    ASSERT_EQ(0u, FT_SetBitMode(h, 0, 2));
    Write(h, {0x80, 0x00, 0x0B, 0x13, 0x01, 0x80});
    const std::string next = tracePath + ".next";
    Apply("SIMBOARD_TRACE", next);
    std::vector<std::string> spi = RawLines("SPI");
    std::remove(tracePath.c_str());
    tracePath = next;
    ASSERT_EQ(4u, spi.size());
    EXPECT_NE(std::string::npos, spi[1].find("frame 1 bits=8 mosi: 42 miso: FF")) << spi[1];
    EXPECT_NE(std::string::npos, spi[3].find("SPI 0 frame 2 unfinished bits=2 mosi: b10 miso: b11")) << spi[3];
}

TEST_F(Engine, NothingOnThePortReadsOnes)
{
    Apply("SIMBOARD_CONTROLLER", "absent");
    SB_HANDLE h = OpenMpsse(0);
    uint8_t byte = 0;
    EXPECT_EQ(-1, SimBoard_SpiScript(&byte, 1));
    EXPECT_EQ(-1, SimBoard_SpiFrame(1, &byte, 1, nullptr));
    EXPECT_EQ((Bytes{0xFF, 0xFF}), Exchange(h, {0x80, 0x00, 0x0B, 0x31, 0x01, 0x00, 0x03, 0x00}));
    SimBoard_McpPoke(0x2A, 0x12);
    EXPECT_EQ(0xFF, SimBoard_McpPeek(0x2A));
}

TEST_F(Engine, DeadAndTricklingEngines)
{
    Apply("SIMBOARD_ENGINE", "dead");
    SB_HANDLE h = OpenMpsse(0, 16, 100);
    uint64_t t = SimBoard_Time();
    Write(h, {0x80, 0x00, 0x0B, 0xAA, 0x87});
    EXPECT_EQ(t + 125, SimBoard_Time()) << "only the USB transfer";
    EXPECT_TRUE(ReadAll(h).empty());
    EXPECT_TRUE(Trace("SPI").empty()) << "no pin changed";
    EXPECT_TRUE(Trace("MPSSE").empty());
    std::vector<TraceLine> notes = Trace("NOTE");
    ASSERT_EQ(1u, notes.size());
    EXPECT_EQ("engine dead: written bytes are ignored", notes[0].note);

    // Dying after a byte count, across writes: the answer produced before
    // the death is still delivered, and the pins stay.
    Apply("SIMBOARD_ENGINE", "dead-after:4");
    h = OpenMpsse(0, 16);
    Write(h, {0x80, 0x00});
    Write(h, {0x0B, 0xAA, 0xAB, 0xAB});
    EXPECT_EQ((Bytes{0xFA, 0xAA}), ReadAll(h));
    EXPECT_EQ(1u, RawLines("SPI").size()) << "selected, and it stays selected";
    EXPECT_TRUE(Exchange(h, {0x81}).empty());

    // A trickling engine's read takes one byte per microframe.
    Apply("SIMBOARD_ENGINE", "trickle");
    h = OpenMpsse(0, 16);
    Write(h, {0xAA, 0xAB, 0x87});
    uint8_t buffer[4];
    uint32_t read = 0;
    t = SimBoard_Time();
    ASSERT_EQ(0u, FT_Read(h, buffer, 4, &read));
    EXPECT_EQ((Bytes{0xFA, 0xAA, 0xFA, 0xAB}), Bytes(buffer, buffer + read));
    EXPECT_EQ(t + 4 * 125 + 125, SimBoard_Time());
}

} // namespace
