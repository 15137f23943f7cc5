// The CAN controller driver over the whole simulated board: what it leaves in
// the controller, and what reaches the bus and comes back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "can/can.h"
#include "support/board_fixture.h"

namespace
{

// The controller's registers that the checks read.
constexpr uint8_t CANSTAT = 0x0E, CANCTRL = 0x0F, CNF3 = 0x28, CNF2 = 0x29, CNF1 = 0x2A, CANINTE = 0x2B, CANINTF = 0x2C,
                  TXB0CTRL = 0x30, RXB0CTRL = 0x60, RXB1CTRL = 0x70;

class CanBoardTest : public ToolOnBoardTest
{
protected:
    void SetUp() override
    {
        ToolOnBoardTest::SetUp();
        // Only the test's own nodes on the bus.
        Configure({{"SIMBOARD_CHIP", "absent"}});
    }

    SimBoardFrame Frame(uint32_t id, bool extended, bool remote, uint8_t dlc, std::vector<uint8_t> data = {})
    {
        SimBoardFrame frame;
        std::memset(&frame, 0, sizeof(frame));
        frame.id = id;
        frame.extended = extended;
        frame.remote = remote;
        frame.dlc = dlc;
        if (!data.empty())
            std::memcpy(frame.data, data.data(), data.size());
        return frame;
    }
};

TEST_F(CanBoardTest, OpenLeavesTheControllerInNormalModeReceivingEveryFrame)
{
    ASSERT_EQ(CAN_Open(100000), 0);
    EXPECT_EQ(console, "......");
    const uint8_t registers[][2] = {{CNF3, 0x02},     {CNF2, 0x90},     {CNF1, 0x09},
                                    {RXB0CTRL, 0x60}, {RXB1CTRL, 0x60}, {CANINTE, 0x03},
                                    {CANINTF, 0x00},  {CANCTRL, 0x07},  {CANSTAT, 0x00}};
    for (const auto &r : registers)
        EXPECT_EQ(SimBoard_McpPeek(r[0]), r[1]) << int(r[0]);
    // Filter SIDL registers, filter 3 past the control registers at 0x10.
    for (uint8_t sidl : {0x01, 0x05, 0x09, 0x11, 0x15, 0x19})
        EXPECT_EQ(SimBoard_McpPeek(sidl), 0x40) << int(sidl);
}

TEST_F(CanBoardTest, ATransmittedFrameReachesTheBusByteForByte)
{
    ASSERT_EQ(CAN_Open(100000), 0);
    int node = SimBoard_NodeAttach(100000, 0);
    ASSERT_GE(node, 1);
    const uint8_t data[8] = {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0};
    ASSERT_EQ(CAN_Transmit(0, CanMessage(0x67D, 0, 0, 8, data)), 0);

    SimBoardFrame got;
    ASSERT_EQ(SimBoard_NodeReceive(node, &got), 1);
    EXPECT_EQ(std::vector<uint32_t>({got.id, got.extended, got.remote, got.dlc}),
              std::vector<uint32_t>({0x67D, 0, 0, 8}));
    EXPECT_EQ(std::memcmp(got.data, data, 8), 0);
    EXPECT_EQ(SimBoard_NodeReceive(node, &got), 0);
}

TEST_F(CanBoardTest, FramesFromTheBusAreReadWithTheirIdentifierFlagsAndLength)
{
    ASSERT_EQ(CAN_Open(100000), 0);
    int node = SimBoard_NodeAttach(100000, 0);
    const struct {
        SimBoardFrame sent;
        uint32_t id; // the driver's layout: base in bits 10-0, extension in 28-11
        uint8_t extended, remote, length;
    } cases[] = {
        {Frame(0x123, false, false, 3, {1, 2, 3}), 0x123, 0, 0, 3},
        {Frame(0x048EABCD, true, false, 8, {9, 8, 7, 6, 5, 4, 3, 2}), 0x123 | (0x2ABCDu << 11), 1, 0, 8},
        {Frame(0x5FD, false, true, 2), 0x5FD, 0, 1, 2},
        {Frame(0x1ABCDEF0, true, true, 0), (0x1ABCDEF0u >> 18) | ((0x1ABCDEF0u & 0x3FFFF) << 11), 1, 1, 0},
        {Frame(0x7FF, false, false, 15, {1, 2, 3, 4, 5, 6, 7, 8}), 0x7FF, 0, 0, 8},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(SimBoard_NodeSend(node, &c.sent), 0);
        int8_t which = -1;
        uint8_t extended = 9, remote = 9;
        ASSERT_EQ(CAN_GetRxStatus(&which, nullptr, &extended, &remote), 0);
        EXPECT_EQ(which, 0);
        EXPECT_EQ(extended, c.extended);
        EXPECT_EQ(remote, c.remote);
        CanMessage message;
        ASSERT_EQ(CAN_ReadMessage(0, &message), 0);
        EXPECT_EQ(message.id, c.id) << std::hex << c.sent.id;
        EXPECT_EQ(message.extended, c.extended);
        EXPECT_EQ(message.remote, c.remote);
        EXPECT_EQ(message.length, c.length);
        if (!c.remote) {
            EXPECT_EQ(std::memcmp(message.data, c.sent.data, c.length), 0);
        }
        ASSERT_EQ(CAN_GetRxStatus(&which, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(which, -1) << "the read freed the buffer";
    }
}

TEST_F(CanBoardTest, AFrameNobodyAcknowledgesKeepsItsBufferBusy)
{
    ASSERT_EQ(CAN_Open(100000), 0);
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(CAN_Transmit(0, CanMessage(0x67D, 0, 0, 8, data)), 0);
    uint8_t pending = 0;
    ASSERT_EQ(CAN_GetTxPending(&pending), 0);
    EXPECT_EQ(pending, 0x01);
    EXPECT_EQ(CAN_Transmit(0, CanMessage(0x67D, 0, 0, 8, data)), -1);
    EXPECT_EQ(CAN_Transmit(1, CanMessage(0x123, 0, 0, 8, data)), 0);
    EXPECT_EQ(CAN_Transmit(2, CanMessage(0x124, 0, 0, 8, data)), 0);
}

TEST_F(CanBoardTest, ClosingAbortsWhatIsPendingAndLeavesTheBus)
{
    ASSERT_EQ(CAN_Open(100000), 0);
    const uint8_t data[8] = {0x2F, 0x51, 0x1F, 0x01, 0x01, 0, 0, 0};
    ASSERT_EQ(CAN_Transmit(0, CanMessage(0x67D, 0, 0, 8, data)), 0);
    const uint64_t frames = SimBoard_CanFrameCount();
    ASSERT_EQ(CAN_Close(), 0);
    EXPECT_EQ(SimBoard_McpPeek(CANSTAT) & 0xE0, 0x80) << "configuration mode";
    EXPECT_EQ(SimBoard_McpPeek(TXB0CTRL) & 0x08, 0) << "no transmission request left";
    // A node that appears later is not sent the stale request.
    int node = SimBoard_NodeAttach(100000, 0);
    SimBoardFrame ping = Frame(0x100, false, false, 0);
    SimBoard_NodeSend(node, &ping);
    SimBoardFrame got;
    EXPECT_EQ(SimBoard_NodeReceive(node, &got), 0);
    EXPECT_EQ(SimBoard_CanFrameCount(), frames + 1);
}

TEST_F(CanBoardTest, OpenFailuresTouchNothingTheyShouldNot)
{
    const struct {
        const char *what;
        std::vector<std::pair<std::string, std::string>> settings;
        int32_t rate;
        const char *dots;
        bool anyUsb;
    } cases[] = {
        {"no device", {{"SIMBOARD_DEVICES", "none"}}, 100000, "..", true},
        {"open fails", {{"SIMBOARD_FAIL", "FT_Open:1:3"}}, 100000, ".....", true},
        {"set-up fails", {{"SIMBOARD_FAIL", "FT_SetBitMode:1:4"}}, 100000, "......", true},
        {"rate 0", {}, 0, "", false},
        {"negative rate", {}, -100000, "", false},
        {"rate below the slowest timing", {}, 15384, "", false},
        {"rate above 1 Mbit/s", {}, 2000000, "", false},
    };
    for (const auto &c : cases) {
        Restart(c.settings);
        EXPECT_NE(CAN_Open(c.rate), 0) << c.what;
        EXPECT_EQ(console, c.dots) << c.what;
        EXPECT_EQ(SimBoard_SpiByteCount(), 0u) << c.what;
        EXPECT_EQ(SimBoard_UsbCallCount() > 0, c.anyUsb) << c.what;
    }
    Restart({});
    EXPECT_EQ(CAN_Open(1000000), 0) << "1 Mbit/s, the fastest rate";
}

TEST_F(CanBoardTest, APositiveFailureAndAModeTimeoutDoNotCancelOut)
{
    // The 20th write fails with status 1 and the mode never reads back: the
    // plain sum would be 1 + (-1) = 0, a success.
    Configure({{"SIMBOARD_CONTROLLER", "absent"}, {"SIMBOARD_FAIL", "FT_Write:20:1"}});
    EXPECT_EQ(CAN_Open(100000), -1);
}

} // namespace
