// The CAN controller driver over the whole simulated board: what it leaves in
// the controller and on the bus when it opens, sends and closes.
#include <gtest/gtest.h>

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
    SimBoardFrame ping{0x100, 0, 0, 0, {}, 0};
    SimBoard_NodeSend(node, &ping);
    SimBoardFrame got;
    EXPECT_EQ(SimBoard_NodeReceive(node, &got), 0);
    EXPECT_EQ(SimBoard_CanFrameCount(), frames + 1);
}

// A rate the controller cannot time is refused before any USB call; 1 Mbit/s,
// the fastest, opens.
TEST_F(CanBoardTest, RatesThatCannotBeTimedAreRefusedBeforeAnyUsbCall)
{
    for (int32_t rate : {0, -100000, 15384, 2000000}) {
        EXPECT_NE(CAN_Open(rate), 0) << rate;
        EXPECT_EQ(SimBoard_UsbCallCount(), 0u) << rate;
    }
    EXPECT_EQ(console, "");
    EXPECT_EQ(CAN_Open(1000000), 0);
}

TEST_F(CanBoardTest, APositiveFailureAndAModeTimeoutDoNotCancelOut)
{
    // The 20th write fails with status 1 and the mode never reads back: the
    // plain sum would be 1 + (-1) = 0, a success.
    Configure({{"SIMBOARD_CONTROLLER", "absent"}, {"SIMBOARD_FAIL", "FT_Write:20:1"}});
    EXPECT_EQ(CAN_Open(100000), -1);
}

} // namespace
