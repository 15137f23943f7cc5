// The ISP client over the whole simulated board: the chip's bootloader
// answers on the bus, and its memories show what the commands did.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/console.h"
#include "can/can.h"
#include "isp/isp_commands.h"
#include "isp/sdo_transport.h"
#include "support/board_fixture.h"
#include "support/temp_files.h"

namespace
{

constexpr uint32_t RAM = 0x10000300;

Bytes Pattern(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + 5);
    return bytes;
}

Bytes ChipMemory(uint32_t address, uint32_t count)
{
    Bytes bytes(count);
    EXPECT_EQ(SimBoard_ChipRead(address, bytes.data(), count), 0);
    return bytes;
}

class IspBoardTest : public ToolOnBoardTest
{
protected:
    // Opens the interface, on the fast wire if asked, and unlocks the bootloader.
    void Connect(bool fast = false)
    {
        CAN_SetFastPath(fast, SDO_REPLY_COB_ID);
        ASSERT_EQ(CAN_Open(100000), 0);
        uint32_t partId = 0;
        ASSERT_EQ(ISP_ReadPartId(&partId), 0);
        ASSERT_EQ(partId, 0x1430102Bu);
        ASSERT_EQ(ISP_Unlock(0x5A5A), 0);
        console.clear();
    }
};

TEST_F(IspBoardTest, ACommandStopsAtTheFirstWriteTheChipRefuses)
{
    // A refused parameter keeps an earlier command's value: nothing after it
    // may go out, least of all the action. A compare address refused with
    // COMPARE_ERROR's code compared nothing: no offset is read.
    const Bytes data = Pattern(16);
    uint8_t read[20];
    const struct {
        const char *abort;
        std::function<int()> command;
        int status;
        uint32_t requests;
    } cases[] = {
        {"0x5050:1:0x0F000003", [] { return ISP_CopyRamToFlash(0x1000, RAM, 4096); }, 3, 1},
        {"0x5050:2:0x0F000002", [] { return ISP_CopyRamToFlash(0x1000, RAM, 4096); }, 2, 2},
        {"0x5060:1:0x0F00000A", [] { return ISP_Compare(0x1000, RAM, 4096); }, 10, 1},
        {"0x5060:2:0x06020000", [] { return ISP_Compare(0x1000, RAM, 4096); }, -1, 2},
        {"0x5070:1:0x0F000001", [] { return ISP_Execute(0); }, 1, 1},
        {"0x5015:0:0x0F00000D", [&] { return ISP_WriteToRam(RAM, 16, data.data()); }, 13, 1},
        {"0x1F50:1:0x0F000006", [&] { return ISP_WriteToRam(RAM, 16, data.data()); }, 6, 2},
        {"0x5010:0:0x0F00000D", [&] { return ISP_ReadMemory(0x1000, 16, read); }, 13, 1},
        {"0x5011:0:0x0F000006", [&] { return ISP_ReadMemory(0x1000, 16, read); }, 6, 2},
        {"0x1F50:1:0x0F000013", [&] { return ISP_ReadMemory(0x1000, 16, read); }, 19, 3},
        {"0x1F50:1:0x0F000000", [&] { return ISP_ReadMemory(0x1000, 16, read); }, -1, 3},
        // The bootloader reads whole words: refused before anything is sent.
        {"", [&] { return ISP_ReadMemory(0x1001, 16, read); }, 13, 0},
        {"", [&] { return ISP_ReadMemory(0x1002, 16, read); }, 13, 0},
        {"", [&] { return ISP_ReadMemory(0x1000, 18, read); }, 6, 0},
    };
    for (const auto &c : cases) {
        Restart({{"SIMBOARD_CHIP_ABORT", c.abort}});
        Connect();
        const uint32_t before = SimBoard_ChipRequests();
        EXPECT_EQ(c.command(), c.status) << c.abort;
        EXPECT_EQ(SimBoard_ChipRequests() - before, c.requests) << c.abort;
        EXPECT_EQ(SimBoard_ChipState(), 2) << c.abort << ": still in its bootloader, unlocked";
    }
}

TEST_F(IspBoardTest, SegmentsCarryToggleCountAndLastFlagOnTheBus)
{
    const struct {
        uint32_t size;
        std::vector<uint8_t> commandBytes; // byte 0 of each segment
    } cases[] = {
        {0, {0x0F}},
        {7, {0x01}},
        {8, {0x00, 0x1D}},
        {14, {0x00, 0x11}},
        {16, {0x00, 0x10, 0x0B}},
        {22, {0x00, 0x10, 0x00, 0x1D}},
    };
    for (const auto &c : cases) {
        Restart({});
        Connect();
        int listener = SimBoard_NodeAttach(100000, 1);
        const Bytes data = Pattern(c.size);
        ASSERT_EQ(ISP_WriteToRam(RAM, c.size, data.data()), 0) << c.size;
        std::vector<uint8_t> seen;
        SimBoardFrame frame;
        while (SimBoard_NodeReceive(listener, &frame) == 1)
            if (frame.id == 0x67D && (frame.data[0] >> 5) == 0)
                seen.push_back(frame.data[0]);
        EXPECT_EQ(seen, c.commandBytes) << c.size;
        EXPECT_EQ(ChipMemory(RAM, c.size), data) << c.size;
        EXPECT_EQ(g_sdoToggle, 0) << c.size;
    }
}

TEST_F(IspBoardTest, TheProgressBarAndTheLabelsOfAWriteAndARead)
{
    Connect();
    const Bytes data = Pattern(16);
    g_verbosity = 1;
    ASSERT_EQ(ISP_WriteToRam(RAM, 16, data.data()), 0);
    EXPECT_EQ(console, "\r\n0%" + std::string(73, ' ') + "100%\r\n[" + std::string(34 + 34 + 9, '\xDB') + "]");

    console.clear();
    g_verbosity = 4;
    // Eight bytes of a longer buffer: the bytes past them are never shown.
    const uint8_t eight[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                               0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_EQ(ISP_WriteToRam(RAM, 8, eight), 0);
    EXPECT_NE(console.find("\r\n Uploading data [0x0000-0x0007] : 0xA0 0xA1 0xA2 0xA3 0xA4 0xA5 0xA6"),
              std::string::npos);
    // The last segment's dump: no blank before the bracket, the line ended,
    // and what lies past the data shown as the zeros the segment carries.
    EXPECT_NE(console.find("\r\n Uploading data[0x0007-0x000E] : 0xA7 0x00 0x00 0x00 0x00 0x00 0x00\r\n"),
              std::string::npos);

    console.clear();
    g_verbosity = 0;
    ASSERT_EQ(ISP_WriteToRam(RAM, 16, data.data()), 0);
    EXPECT_EQ(console, "");

    // A read of those 16 bytes: the same bar over the bytes received, then
    // each reply and the data of each segment.
    uint8_t read[24];
    std::memset(read, 0xEE, sizeof read); // past the 16 bytes read: never shown
    g_verbosity = 1;
    ASSERT_EQ(ISP_ReadMemory(RAM, 16, read), 0);
    EXPECT_EQ(console, "\r\n0%" + std::string(73, ' ') + "100%\r\n[" + std::string(77, '\xDB') + "]");
    console.clear();
    g_verbosity = 4;
    ASSERT_EQ(ISP_ReadMemory(RAM, 16, read), 0);
    EXPECT_EQ(console, "\r\n Reply to 'Write Read Address' : 0x5010|0x00 confirms download."
                       "\r\n Reply to 'Write Read Length' : 0x5011|0x00 confirms download."
                       "\r\n Reply to 'Read Size of Data' : 0x1F50|0x01 sent 4 bytes : 0x10 0x00 0x00 0x00"
                       "\r\n Reply to 'Read Data Bytes [0x0000-0x0007]' : Downloaded 7 bytes : "
                       " 0x05 0x12 0x1F 0x2C 0x39 0x46 0x53"
                       "\r\n Downloading data [0x0000-0x0007] : 0x05 0x12 0x1F 0x2C 0x39 0x46 0x53"
                       "\r\n Reply to 'Read Data Bytes [0x0007-0x000E]' : Downloaded 7 bytes : "
                       " 0x60 0x6D 0x7A 0x87 0x94 0xA1 0xAE"
                       "\r\n Downloading data [0x0007-0x000E] : 0x60 0x6D 0x7A 0x87 0x94 0xA1 0xAE"
                       "\r\n Reply to 'Read Data Bytes [0x000E-0x0010]' : Downloaded 2 bytes :  0xBB 0xC8"
                       "\r\n Downloading data [0x000E-0x0015] : 0xBB 0xC8 0x00 0x00 0x00 0x00 0x00");
}

TEST_F(IspBoardTest, AReadGivesWhatTheChipShowsOnEitherWire)
{
    // No 256-byte block of flash like another; below 0x200 the chip shows its boot ROM.
    Bytes flash = Pattern(32768);
    for (size_t i = 0; i < flash.size(); ++i)
        flash[i] = static_cast<uint8_t>(flash[i] ^ (i >> 8));
    auto shown = [&](uint32_t a) {
        return a < 0x200 ? static_cast<uint8_t>((0x1FFF0000 + (a & ~3u)) >> (a % 4 * 8)) : flash[a];
    };
    const struct {
        uint32_t address, size;
    } cases[] = {{0x1F8, 16}, {0x1004, 4}, {0x2000, 28}, {0x7BF0, 1040}};
    for (bool fast : {false, true}) {
        Restart({});
        Connect(fast);
        ASSERT_EQ(SimBoard_ChipWrite(0, flash.data(), flash.size()), 0);
        for (const auto &c : cases) {
            Bytes expected(c.size + 4, 0xEE), read = expected;
            for (uint32_t i = 0; i < c.size; ++i)
                expected[i] = shown(c.address + i);
            const uint32_t before = SimBoard_ChipRequests();
            EXPECT_EQ(ISP_ReadMemory(c.address, c.size, read.data()), 0) << c.address << (fast ? " fast" : "");
            EXPECT_EQ(read, expected) << c.address << (fast ? " fast" : "") << ": nothing past the size";
            EXPECT_EQ(SimBoard_ChipRequests() - before, 3 + (c.size + 6) / 7) << "address, length, upload, segments";
        }
    }
}

// With rollover on, a second frame goes to buffer 1 while buffer 0 is full.
TEST_F(IspBoardTest, AReplyInTheOtherBufferIsFoundAloneOrBehindAForeignFrame)
{
    Configure({{"SIMBOARD_CHIP", "absent"}});
    ASSERT_EQ(CAN_Open(100000), 0);
    const int node = SimBoard_NodeAttach(100000, 0);
    SimBoard_McpPoke(0x60, 0x64);
    SimBoardFrame foreign{0x123, 0, 0, 8, {1, 2, 3, 4, 5, 6, 7, 8}, 0};
    SimBoardFrame reply{0x5FD, 0, 0, 8, {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14}, 0};
    for (bool alone : {false, true}) {
        ASSERT_EQ(SimBoard_NodeSend(node, &foreign), 0);
        ASSERT_EQ(SimBoard_NodeSend(node, &reply), 0);
        CanMessage message;
        if (alone) {
            ASSERT_EQ(CAN_ReadMessage(0, &message), 0);
        }
        SdoFrame frame;
        ASSERT_EQ(SDO_WaitReply(SDO_REPLY_COB_ID, &frame), 0) << alone;
        EXPECT_EQ(SDO_GetValue(&frame), 0x1430102Bu);
        int8_t which = 0;
        CAN_GetRxStatus(&which, nullptr, nullptr, nullptr);
        EXPECT_EQ(which, -1) << "both buffers were read out";
    }
}

} // namespace
