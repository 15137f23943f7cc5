// The board as one piece: the CAN controller on the engine's SPI port, a node
// of the bus, on which the chip, the noise node and test nodes sit. Driven
// only through the entry points and the control interface.
#include "sim/sim_board_fixture.h"

namespace
{

// Controller registers and bits (MCP2515 datasheet).
const uint8_t kCnf1 = 0x2A, kCanintf = 0x2C, kTxb0ctrl = 0x30, kRxb0Sidh = 0x61;
const uint8_t kRx0If = 0x01, kTxReq = 0x08;

// LOAD TX BUFFER TXB0 from SIDH: 0x67D standard, DLC 8, the part-ID request.
const Bytes kLoadPartIdRequest{0x40, 0xCF, 0xA0, 0x00, 0x00, 0x08, 0x40, 0x18, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00};

class Wiring : public SimBoardTest
{
protected:
    void TearDown() override
    {
        SimBoard_Set("SIMBOARD_FLASH", "");
        SimBoardTest::TearDown();
        std::remove(FlashPath().c_str());
    }

    // The board with the controller it ships with, plus these settings; the
    // port's record open in MPSSE mode, SK at 1 MHz.
    void Start(std::vector<std::pair<std::string, std::string>> settings = {})
    {
        settings.insert(settings.begin(), {"SIMBOARD_CONTROLLER", ""});
        Apply(settings);
        handle = OpenMpsse(0);
        Write(handle, {0x86, 0x05, 0x00});
    }

    std::string FlashPath() const { return tracePath + "-flash.bin"; }

    // Chip select low, the bytes of one instruction (SPI mode 0, MSB first),
    // chip select high: one write, then what came back on MISO.
    static Bytes Frame(const Bytes &mosi)
    {
        const uint16_t length = static_cast<uint16_t>(mosi.size() - 1);
        Bytes commands(mosi);
        commands.insert(commands.begin(),
                        {0x80, 0x00, 0x0B, 0x31, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
        commands.insert(commands.end(), {0x80, 0x08, 0x0B});
        return commands;
    }
    Bytes Instruction(const Bytes &mosi)
    {
        Bytes miso = Exchange(handle, Frame(mosi));
        EXPECT_EQ(mosi.size(), miso.size());
        return miso;
    }

    // The bring-up at 100 kbit/s with a 16 MHz oscillator: RESET, CNF3-1,
    // RXB0 open to every frame, normal mode.
    void BringUp()
    {
        Instruction({0xC0});
        Instruction({0x02, 0x28, 0x02, 0x90, 0x09});
        Instruction({0x02, 0x60, 0x60});
        Instruction({0x05, 0x0F, 0xE0, 0x00});
    }

    Bytes PeekRxb0Data()
    {
        Bytes data(8);
        for (uint8_t k = 0; k < 8; ++k)
            data[k] = SimBoard_McpPeek(0x66 + k);
        return data;
    }

    SB_HANDLE handle = nullptr;
};

// What the control interface adds to the bus's test nodes (refused arguments,
// DLC 15 carried through, numbering from 1 after a reset) and the chip's memories.
TEST_F(Wiring, TestNodesAndChipMemoriesThroughTheControlInterface)
{
    Start({{"SIMBOARD_FLASH", FlashPath()}});
    SimBoardFrame frame{}, got{};
    frame.id = 0x100;
    frame.dlc = 15; // goes out as DLC 15 with 8 data bytes
    EXPECT_EQ(-1, SimBoard_NodeAttach(0, 0));
    int listener = SimBoard_NodeAttach(100000, 1);
    int sender = SimBoard_NodeAttach(100000, 0);
    EXPECT_EQ(-1, SimBoard_NodeSend(sender, nullptr));
    EXPECT_EQ(-1, SimBoard_NodeReceive(sender, nullptr));
    EXPECT_EQ(0, SimBoard_NodeSend(sender, &frame));
    ASSERT_EQ(1, SimBoard_NodeReceive(listener, &got));
    EXPECT_EQ(15, got.dlc);
    EXPECT_EQ(0x100u, got.id);
    EXPECT_EQ(SimBoard_Time(), got.time_us);
    EXPECT_EQ(0u, SimBoard_ChipRequests()) << "not the chip's identifier: acknowledged and ignored";
    SimBoard_Reset();
    EXPECT_EQ(-1, SimBoard_NodeReceive(listener, &got));
    EXPECT_EQ(0u, SimBoard_CanFrameCount());
    EXPECT_EQ(0u, SimBoard_BusTime() + SimBoard_FlashTime());
    EXPECT_EQ(1, SimBoard_NodeAttach(100000, 0));

    // The flash file named by the setting carries flash over a reset.
    const Bytes image{0xDE, 0xAD, 0xBE, 0xEF};
    Bytes back(4);
    EXPECT_EQ(0, SimBoard_ChipWrite(0x1000, image.data(), 4));
    EXPECT_EQ(-1, SimBoard_ChipRead(0, nullptr, 4));
    SimBoard_Reset();
    ASSERT_EQ(0, SimBoard_ChipRead(0x1000, back.data(), 4));
    EXPECT_EQ(image, back);
    Apply("SIMBOARD_CHIP", "absent");
    EXPECT_EQ(0, SimBoard_ChipState());
}

// The reply is in RXB0 when the write that requested the part ID returns.
// The frames' bytes and times are left to the chip log's and the ISP client's
// suites, which read them off the bus.
TEST_F(Wiring, ThePartIdReplyIsInRxb0WhenTheRequestsWriteReturnsAndNotesFollowTheirCommand)
{
    Start();
    BringUp();
    Instruction(kLoadPartIdRequest);
    EXPECT_EQ(0u, SimBoard_CanFrameCount());
    // Request to send TXB0 in a write of its own.
    Write(handle, {0x80, 0x00, 0x0B, 0x11, 0x00, 0x00, 0x81, 0x80, 0x08, 0x0B});
    EXPECT_EQ(2u, SimBoard_CanFrameCount());
    EXPECT_EQ(kRx0If, SimBoard_McpPeek(kCanintf) & kRx0If);
    EXPECT_EQ(0xBF, SimBoard_McpPeek(kRxb0Sidh)); // 0x5FD
    EXPECT_EQ(0xA0, SimBoard_McpPeek(kRxb0Sidh + 1));
    EXPECT_EQ((Bytes{0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14}), PeekRxb0Data());
    EXPECT_EQ(0, SimBoard_McpPeek(kTxb0ctrl) & kTxReq);
    EXPECT_EQ(1240u + 1190u, SimBoard_BusTime()); // 13 and 8 stuff bits

    // The controller's notes stand in the trace after the line of the command
    // that caused them, like the SPI lines.
    Instruction({0x02, kCnf1, 0x03}); // refused outside configuration mode
    EXPECT_EQ(0x09, SimBoard_McpPeek(kCnf1));
    std::vector<std::string> lines = RawLines();
    size_t note = 0;
    while (note < lines.size() && lines[note].find(" NOTE 0 controller: write to 0x2A ignored") == std::string::npos)
        ++note;
    ASSERT_GE(note, 1u);
    ASSERT_LT(note + 2, lines.size());
    EXPECT_NE(std::string::npos, lines[note - 1].find(" MPSSE 0 31 02 00 data bytes=3")) << lines[note - 1];
    EXPECT_NE(std::string::npos, lines[note + 1].find(" MPSSE 0 80 08 0B set-low")) << lines[note + 1];
    EXPECT_NE(std::string::npos, lines[note + 2].find(" SPI 0 frame")) << lines[note + 2];
}

// A noise frame that ends while one write runs is in the controller for the
// commands after it in the same write.
TEST_F(Wiring, TheBusCatchesUpBeforeEachEngineCommand)
{
    Start({{"SIMBOARD_NOISE", "080#0102030405060708@20000"}});
    BringUp();
    Bytes commands = Frame({0x05, kCanintf, kRx0If, 0x00}); // clear RX0IF
    // 4096 bytes of clock without data: 32.8 ms at 1 MHz, over one noise period.
    commands.insert(commands.end(), {0x8F, 0xFF, 0x0F});
    Bytes read = Frame({0x03, kCanintf, 0x00});
    commands.insert(commands.end(), read.begin(), read.end());
    Bytes miso = Exchange(handle, commands);
    ASSERT_EQ(7u, miso.size());
    EXPECT_EQ(kRx0If, miso[6] & kRx0If);
    EXPECT_EQ(0x10, SimBoard_McpPeek(kRxb0Sidh)); // 0x080
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 7, 8}), PeekRxb0Data());
}

} // namespace
