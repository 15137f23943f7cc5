// The CAN controller driver on the wire: every instruction as one chip-select
// frame with its exact bytes, recorded by the board's scripted SPI double,
// which also plays the controller's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "can/can.h"
#include "can/mcp_spi.h"
#include "sim/records.h"
#include "support/board_fixture.h"
#include "support/temp_files.h"

namespace
{

class CanWireTest : public ToolOnBoardTest
{
protected:
    void SetUp() override
    {
        ToolOnBoardTest::SetUp();
        Configure({{"SIMBOARD_CONTROLLER", "script"}});
    }

    // MOSI bytes and bit count of every chip-select frame from `first` on.
    std::vector<Bytes> Frames(uint32_t first = 1)
    {
        std::vector<Bytes> frames;
        for (uint32_t k = first;; ++k) {
            uint8_t mosi[64];
            uint32_t bits = 0;
            if (SimBoard_SpiFrame(k, mosi, sizeof(mosi), &bits) != 0)
                break;
            frames.push_back(Bytes(mosi, mosi + (bits + 7) / 8));
        }
        return frames;
    }

    uint32_t FrameCount() { return static_cast<uint32_t>(Frames().size()); }

    // A transmit through buffer 0 whose READ STATUS finds nothing pending.
    int IdleTransmit(const CanMessage &message, uint8_t buffer = 0)
    {
        Answer({0xFF, 0x00});
        return CAN_Transmit(buffer, message);
    }

    // What the double answers: one byte per byte clocked, the instruction's included.
    void Answer(Bytes miso) { ASSERT_EQ(SimBoard_SpiScript(miso.data(), static_cast<uint32_t>(miso.size())), 0); }

    // The calls of a driver entry point that opening the interface makes.
    long OpeningCalls(const char *entry)
    {
        TempDir temp("wire");
        Restart({{"SIMBOARD_CONTROLLER", "script"}, {"SIMBOARD_TRACE", temp.Path("usb.trace")}});
        EXPECT_EQ(CAN_OpenInterface(), 0);
        std::vector<simboard::TraceLine> lines;
        EXPECT_TRUE(simboard::ReadTraceFile(temp.Path("usb.trace"), &lines));
        return std::count_if(lines.begin(), lines.end(),
                             [&](const simboard::TraceLine &line) { return line.tag == "USB" && line.entry == entry; });
    }
};

TEST_F(CanWireTest, ATransmitIsStatusLoadAndRequestToSend)
{
    ASSERT_EQ(CAN_OpenInterface(), 0);
    const uint8_t data[8] = {0x40, 0x18, 0x10, 0x02, 0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(IdleTransmit(CanMessage(0x67D, 0, 0, 8, data)), 0);
    std::vector<Bytes> frames = Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Bytes{0xA0, 0x00})) << "READ STATUS";
    EXPECT_EQ(frames[1], (Bytes{0x40, 0xCF, 0xA0, 0x00, 0x00, 0x08, 0x40, 0x18, 0x10, 0x02, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(frames[2], (Bytes{0x81}));

    // The extended example, through buffer 2.
    ASSERT_EQ(IdleTransmit(CanMessage(0x123 | (0x2ABCDu << 11), 0, 1, 0, nullptr), 2), 0);
    frames = Frames(4);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1], (Bytes{0x44, 0x24, 0x6A, 0xAB, 0xCD, 0x00}));
    EXPECT_EQ(frames[2], (Bytes{0x84}));
}

TEST_F(CanWireTest, ABusyBufferSendsNothingMore)
{
    ASSERT_EQ(CAN_OpenInterface(), 0);
    const uint8_t data[8] = {};
    Answer({0xFF, 0x04}); // TXB0 pending
    EXPECT_EQ(CAN_Transmit(0, CanMessage(0x67D, 0, 0, 8, data)), -1);
    EXPECT_EQ(FrameCount(), 1u);
    Answer({0xFF, 0x04});
    EXPECT_EQ(CAN_Transmit(1, CanMessage(0x67D, 0, 0, 8, data)), 0);
    EXPECT_EQ(FrameCount(), 4u);

    // A READ STATUS whose FT_Read fails reads as every buffer busy.
    const long reads = OpeningCalls("FT_Read");
    Restart({{"SIMBOARD_CONTROLLER", "script"}, {"SIMBOARD_FAIL", "FT_Read:" + std::to_string(reads + 1) + ":4"}});
    ASSERT_EQ(CAN_OpenInterface(), 0);
    EXPECT_NE(IdleTransmit(CanMessage(0x67D, 0, 0, 8, data)), 0);
    ASSERT_EQ(Frames().size(), 1u) << "nothing loaded or sent";
    EXPECT_EQ(Frames()[0][0], 0xA0);
}

TEST_F(CanWireTest, ReceivedHeadersDecodeIntoTheDriversLayout)
{
    ASSERT_EQ(CAN_OpenInterface(), 0);
    // The set-up leaves chip select asserted: the first instruction ends the
    // frame that the set-up began.
    uint8_t status = 0;
    Answer({0xFF, 0x00});
    ASSERT_EQ(MCP_ReadStatus(&status), 0);
    const struct {
        Bytes header;
        uint32_t id;
        uint8_t extended, remote, length;
    } cases[] = {
        {{0xBF, 0xA0, 0x12, 0x34, 0x08}, 0x5FD, 0, 0, 8},                    // stale extension bytes dropped
        {{0xBF, 0xB0, 0x00, 0x00, 0x00}, 0x5FD, 0, 1, 0},                    // SRR: standard remote
        {{0x24, 0x6A, 0xAB, 0xCD, 0x48}, 0x123 | (0x2ABCDu << 11), 1, 1, 8}, // RTR in DLC for extended
        {{0x24, 0x7A, 0xAB, 0xCD, 0x03}, 0x123 | (0x2ABCDu << 11), 1, 0, 3}, // SRR ignored when extended
        {{0x00, 0x00, 0x00, 0x00, 0x0F}, 0x000, 0, 0, 8},                    // DLC 15 read as 8
    };
    for (const auto &c : cases) {
        const uint32_t first = FrameCount() + 1;
        Bytes miso = {0xFF};
        miso.insert(miso.end(), c.header.begin(), c.header.end());
        for (uint8_t i = 0; i < 8; ++i)
            miso.push_back(static_cast<uint8_t>(0xD0 + i));
        Answer(miso);
        CanMessage message;
        ASSERT_EQ(CAN_ReadMessage(0, &message), 0);
        EXPECT_EQ(message.id, c.id);
        EXPECT_EQ(message.extended, c.extended);
        EXPECT_EQ(message.remote, c.remote);
        EXPECT_EQ(message.length, c.length);
        EXPECT_EQ(message.data[7], 0xD7) << "all eight data registers are read";
        const std::vector<Bytes> frames = Frames(first);
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_EQ(frames[0][0], 0x90);
        EXPECT_EQ(frames[0].size(), 14u);
        EXPECT_EQ(frames[1], (Bytes{0x05, 0x2C, 0x01, 0x00})) << "RX0IF cleared";
        EXPECT_EQ(frames[2][0], 0x03);
    }
}

TEST_F(CanWireTest, RxStatusNamesTheBuffersThatHoldAFrame)
{
    ASSERT_EQ(CAN_OpenInterface(), 0);
    const struct {
        uint8_t status;
        int8_t which;
        uint8_t filter, extended, remote;
    } cases[] = {{0x00, -1, 0, 0, 0}, {0x40, 0, 0, 0, 0}, {0x80, 1, 0, 0, 0},
                 {0xC0, 2, 0, 0, 0},  {0x5E, 0, 6, 1, 1}, {0x8F, 1, 7, 0, 1}};
    for (const auto &c : cases) {
        Answer({0xFF, c.status});
        int8_t which = 9;
        uint8_t filter = 9, extended = 9, remote = 9;
        ASSERT_EQ(CAN_GetRxStatus(&which, &filter, &extended, &remote), 0);
        EXPECT_EQ(which, c.which) << int(c.status);
        EXPECT_EQ(filter, c.filter) << int(c.status);
        EXPECT_EQ(extended, c.extended) << int(c.status);
        EXPECT_EQ(remote, c.remote) << int(c.status);
    }
}

TEST_F(CanWireTest, AnInstructionStopsAtItsFirstFailedUsbWrite)
{
    // FT_Writes of an instruction: per piece chip select, then the MPSSE
    // command (a write also its data bytes); the last one releases chip select.
    const long setUp = OpeningCalls("FT_Write");
    uint8_t read[5] = {}, data[8] = {};
    const uint8_t three[3] = {1, 2, 3};
    const struct {
        const char *what;
        int failing; // FT_Write of the instruction that fails with status 4
        std::function<int()> instruction;
        uint64_t clocked;
        Bytes readBack; // what a skipped read leaves in `read`
    } cases[] = {
        {"WRITE's head", 2, [&] { return MCP_WriteRegisters(0x36, 3, three); }, 0, {}},
        {"WRITE's release", 7, [&] { return MCP_WriteRegisters(0x36, 3, three); }, 5, {}},
        {"READ's head", 2, [&] { return MCP_ReadRegisters(0x0E, 2, read); }, 0, {0xFF, 0xFF}},
        {"READ RX BUFFER's instruction", 2, [&] { return MCP_ReadRxBuffer(0, read, data); }, 0, Bytes(5, 0x00)},
        {"RTS's release", 4, [&] { return MCP_RequestToSend(0); }, 1, {}},
        // READ STATUS takes six writes; the load's head fails: no RTS after it.
        {"transmit's load", 8, [&] { return IdleTransmit(CanMessage(0x67D, 0, 0, 3, three)); }, 2, {}},
    };
    for (const auto &c : cases) {
        Restart({{"SIMBOARD_CONTROLLER", "script"},
                 {"SIMBOARD_FAIL", "FT_Write:" + std::to_string(setUp + c.failing) + ":4"}});
        ASSERT_EQ(CAN_OpenInterface(), 0) << c.what;
        std::memset(read, 0x55, sizeof(read));
        const uint64_t before = SimBoard_SpiByteCount();
        EXPECT_EQ(c.instruction(), 4) << c.what;
        EXPECT_EQ(SimBoard_SpiByteCount() - before, c.clocked) << c.what;
        EXPECT_EQ(Bytes(read, read + c.readBack.size()), c.readBack) << c.what;
        if (c.clocked == 0) {
            // Its release was still sent: the next instruction is a frame of its own.
            const uint32_t next = FrameCount() + 1;
            uint8_t status = 0;
            Answer({0xFF, 0x00});
            EXPECT_EQ(MCP_ReadStatus(&status), 0) << c.what;
            EXPECT_EQ(Frames(next), (std::vector<Bytes>{{0xA0, 0x00}})) << c.what;
        }
    }
}

} // namespace
