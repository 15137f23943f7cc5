// The tool's channel set-up on the default board, driven through the entry
// points as the tool's SPI master makes its calls, and the controller reset
// that follows: the trace must hold exactly these lines, whether the SPI test
// double or the CAN controller sits on the port.
#include "sim/sim_board_fixture.h"

namespace
{

// The trace of the set-up and the reset, after the three list passes.
const char *const kExpected[] = {
    "0000013000 USB FT_Open#1 index=0 = 0 OK handle=0x5B00000010",
    "0000013000 USB FT_GetDeviceInfo#1 handle=0x5B00000010 = 0 OK type=6 id=0x04036010 serial=\"SB000001A\" "
    "description=\"Dual RS232-HS A\"",
    "0000013125 USB FT_ResetDevice#1 handle=0x5B00000010 = 0 OK",
    "0000013250 USB FT_Purge#1 handle=0x5B00000010 mask=0x3 = 0 OK",
    "0000013250 USB FT_SetUSBParameters#1 handle=0x5B00000010 in=65536 out=65536 = 0 OK",
    "0000013375 USB FT_SetChars#1 handle=0x5B00000010 event=0x00 eventEnable=0 error=0x00 errorEnable=0 = 0 OK",
    "0000013375 USB FT_SetTimeouts#1 handle=0x5B00000010 read=5000 write=5000 = 0 OK",
    "0000013500 USB FT_SetLatencyTimer#1 handle=0x5B00000010 ms=255 = 0 OK",
    "0000013625 USB FT_SetBitMode#1 handle=0x5B00000010 mask=0x00 mode=0x00 = 0 OK",
    "0000013750 USB FT_SetBitMode#2 handle=0x5B00000010 mask=0x00 mode=0x02 = 0 OK",
    "0000013875 MPSSE 0 84 loopback-on",
    "0000013875 USB FT_Write#1 handle=0x5B00000010 count=1 = 0 OK written=1 | 84",
    "0000014000 USB FT_GetQueueStatus#1 handle=0x5B00000010 = 0 OK queue=0",
    "0000014125 MPSSE 0 AA bad-command | FA AA",
    "0000014125 USB FT_Write#2 handle=0x5B00000010 count=1 = 0 OK written=1 | AA",
    "0000269125 USB FT_GetQueueStatus#2 handle=0x5B00000010 = 0 OK queue=2",
    "0000269250 USB FT_Read#1 handle=0x5B00000010 count=2 = 0 OK read=2 | FA AA",
    "0000269375 MPSSE 0 AB bad-command | FA AB",
    "0000269375 USB FT_Write#3 handle=0x5B00000010 count=1 = 0 OK written=1 | AB",
    "0000524375 USB FT_GetQueueStatus#3 handle=0x5B00000010 = 0 OK queue=2",
    "0000524500 USB FT_Read#2 handle=0x5B00000010 count=2 = 0 OK read=2 | FA AB",
    "0000524625 MPSSE 0 8B div5-on",
    "0000524625 USB FT_Write#4 handle=0x5B00000010 count=1 = 0 OK written=1 | 8B",
    "0000524750 MPSSE 0 86 AF 04 divisor divisor=1199 sck=5000Hz",
    "0000524750 USB FT_Write#5 handle=0x5B00000010 count=3 = 0 OK written=3 | 86 AF 04",
    "0000524875 MPSSE 0 85 loopback-off",
    "0000524875 USB FT_Write#6 handle=0x5B00000010 count=1 = 0 OK written=1 | 85",
    "0000525000 USB FT_GetQueueStatus#4 handle=0x5B00000010 = 0 OK queue=0",
    "0000525125 MPSSE 0 80 00 0B set-low value=0x00 dir=0x0B pins=0xF4",
    "0000525125 SPI 0 select",
    "0000525125 USB FT_Write#7 handle=0x5B00000010 count=3 = 0 OK written=3 | 80 00 0B",
    "0000525250 MPSSE 0 80 00 0B set-low value=0x00 dir=0x0B pins=0xF4",
    "0000525250 USB FT_Write#8 handle=0x5B00000010 count=3 = 0 OK written=3 | 80 00 0B",
    "0000525375 USB FT_Write#9 handle=0x5B00000010 count=3 = 0 OK written=3 | 11 00 00",
    "0000527100 MPSSE 0 11 00 00 data bytes=1 out=falling msb slave=selected",
    "0000527100 USB FT_Write#10 handle=0x5B00000010 count=1 = 0 OK written=1 | C0",
    "0000527225 MPSSE 0 80 08 0B set-low value=0x08 dir=0x0B pins=0xFC",
    "0000527225 SPI 0 frame 1 bits=8 mosi: C0 miso: FF",
    "0000527225 USB FT_Write#11 handle=0x5B00000010 count=3 = 0 OK written=3 | 80 08 0B",
};

class WorkedExample : public SimBoardTest, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(WorkedExample, SetUpAndControllerResetLeaveTheDocumentedTrace)
{
    const std::string controller = GetParam();
    Apply("SIMBOARD_CONTROLLER", controller);
    SimBoard_McpPoke(0x2A, 0x55); // a value that only the controller's RESET clears (CNF1)
    std::vector<std::string> expected = {"0000000000 BOARD start devices=\"FT2232H\" engine=\"ok\" fail=\"\""};
    for (int pass = 1; pass <= 3; ++pass) {
        uint32_t count = 0;
        SB_DEVICE_RECORD records[2];
        ASSERT_EQ(0u, FT_CreateDeviceInfoList(&count));
        ASSERT_EQ(0u, FT_GetDeviceInfoList(records, &count));
        const std::string time = "000000" + std::to_string(pass) + "000 ";
        for (const char *entry : {"CreateDeviceInfoList", "GetDeviceInfoList"})
            expected.push_back(time + "USB FT_" + entry + "#" + std::to_string(pass) + " = 0 OK count=2");
        for (const char *record : {"0 flags=0x00000002 type=6 id=0x04036010 loc=0x00000011 serial=\"SB000001A\" "
                                   "description=\"Dual RS232-HS A\" handle=0x0",
                                   "1 flags=0x00000002 type=6 id=0x04036010 loc=0x00000012 serial=\"SB000001B\" "
                                   "description=\"Dual RS232-HS B\" handle=0x0"})
            expected.push_back(time + "REC " + record);
    }
    expected.insert(expected.end(), std::begin(kExpected), std::end(kExpected));
    SB_HANDLE handle = nullptr;
    ASSERT_EQ(0u, FT_Open(0, &handle));
    uint32_t type = 0, id = 0, queued = 0, read = 0;
    char serial[16], description[64];
    ASSERT_EQ(0u, FT_GetDeviceInfo(handle, &type, &id, serial, description, nullptr));
    ASSERT_EQ(0u, FT_ResetDevice(handle));
    ASSERT_EQ(0u, FT_Purge(handle, 3));
    ASSERT_EQ(0u, FT_SetUSBParameters(handle, 65536, 65536));
    ASSERT_EQ(0u, FT_SetChars(handle, 0, 0, 0, 0));
    ASSERT_EQ(0u, FT_SetTimeouts(handle, 5000, 5000));
    ASSERT_EQ(0u, FT_SetLatencyTimer(handle, 255));
    ASSERT_EQ(0u, FT_SetBitMode(handle, 0, 0));
    ASSERT_EQ(0u, FT_SetBitMode(handle, 0, 2));
    Write(handle, {0x84});
    ASSERT_EQ(0u, FT_GetQueueStatus(handle, &queued));
    // The echo search: write the byte, poll the queue, read the pair.
    for (uint8_t command : {0xAA, 0xAB}) {
        Write(handle, {command});
        ASSERT_EQ(0u, FT_GetQueueStatus(handle, &queued));
        uint8_t pair[2] = {};
        ASSERT_EQ(0u, FT_Read(handle, pair, 2, &read));
    }
    // Then the clock, the pins and the controller's reset: one chip-select
    // frame carrying C0.
    Write(handle, {0x8B});
    Write(handle, {0x86, 0xAF, 0x04});
    Write(handle, {0x85});
    ASSERT_EQ(0u, FT_GetQueueStatus(handle, &queued));
    for (const Bytes &bytes : {Bytes{0x80, 0x00, 0x0B}, Bytes{0x80, 0x00, 0x0B}, Bytes{0x11, 0x00, 0x00}, Bytes{0xC0},
                               Bytes{0x80, 0x08, 0x0B}})
        Write(handle, bytes);

    EXPECT_EQ(expected, RawLines());
    EXPECT_EQ(33u, SimBoard_UsbCallCount());
    if (controller == "mcp2515") {
        EXPECT_EQ(0x00, SimBoard_McpPeek(0x2A)) << "the controller took the RESET";
    }
}

INSTANTIATE_TEST_SUITE_P(Controllers, WorkedExample, ::testing::Values("script", "mcp2515"));

} // namespace
