// The driver front: handles, statuses and their order, injected failures,
// the board time of calls, and the receive queue's delivery model.
#include "sim/sim_board_fixture.h"

#include <functional>

namespace
{

using simboard::TraceLine;

using DriverFront = SimBoardTest;

SB_HANDLE H(uint64_t value) { return reinterpret_cast<SB_HANDLE>(value); }

TEST_F(DriverFront, HandlesAreNumberedPerOpenAndDieWithClose)
{
    SB_HANDLE a = nullptr, b = nullptr, untouched = H(0x1234);
    ASSERT_EQ(0u, FT_Open(0, &a));
    ASSERT_EQ(0u, FT_Open(1, &b));
    EXPECT_EQ(H(0x5B00000010), a);
    EXPECT_EQ(H(0x5B00000020), b);
    EXPECT_EQ(3u, FT_Open(0, &untouched)) << "a record open already";
    EXPECT_EQ(2u, FT_Open(2, &untouched)) << "no record at that position";
    EXPECT_EQ(H(0x1234), untouched);
    EXPECT_EQ(6u, FT_Open(0, nullptr));
    ASSERT_EQ(0u, FT_Close(a));
    EXPECT_EQ(1u, FT_Close(a)) << "closed handle";
    ASSERT_EQ(0u, FT_Open(0, &a));
    EXPECT_EQ(H(0x5B00000030), a) << "handles are never reused";
    SimBoard_Reset();
    ASSERT_EQ(0u, FT_Open(1, &a));
    EXPECT_EQ(H(0x5B00000010), a) << "numbering starts again after a reset";
}

// A bad handle gives 1, a bad argument 6, and neither costs board time nor
// reaches the engine.
TEST_F(DriverFront, BadHandlesAndArgumentsAreRefusedWithoutCost)
{
    SB_HANDLE h = OpenMpsse(0);
    SB_HANDLE bad = H(0x5B000000F0);
    uint8_t buffer[4] = {0xAA, 0xAA};
    uint32_t n = 77, type = 0;
    const struct {
        const char *what;
        std::function<SB_STATUS()> call;
        SB_STATUS expected;
    } cases[] = {
        {"CreateDeviceInfoList null", [&] { return FT_CreateDeviceInfoList(nullptr); }, 6},
        {"GetDeviceInfoList null", [&] { return FT_GetDeviceInfoList(nullptr, &n); }, 6},
        {"Close", [&] { return FT_Close(bad); }, 1},
        {"Purge between live handles", [&] { return FT_Purge(H(0x5B00000011), 3); }, 1},
        {"SetUSBParameters size", [&] { return FT_SetUSBParameters(h, 100, 64); }, 6},
        {"SetUSBParameters above", [&] { return FT_SetUSBParameters(h, 65536 + 64, 64); }, 6},
        {"SetLatencyTimer 1", [&] { return FT_SetLatencyTimer(h, 1); }, 6},
        {"SetBitMode 3", [&] { return FT_SetBitMode(h, 0, 3); }, 6},
        {"GetQueueStatus null", [&] { return FT_GetQueueStatus(h, nullptr); }, 6},
        {"Read", [&] { return FT_Read(bad, buffer, 1, &n); }, 1},
        {"Read null count", [&] { return FT_Read(h, buffer, 1, nullptr); }, 6},
        {"Write", [&] { return FT_Write(bad, buffer, 1, &n); }, 1},
        {"Write null count", [&] { return FT_Write(h, buffer, 2, nullptr); }, 6},
        {"GetDeviceInfo", [&] { return FT_GetDeviceInfo(bad, &type, nullptr, nullptr, nullptr, nullptr); }, 1},
    };
    for (const auto &c : cases) {
        uint64_t time = SimBoard_Time();
        EXPECT_EQ(c.expected, c.call()) << c.what;
        EXPECT_EQ(time, SimBoard_Time()) << c.what;
    }
    EXPECT_TRUE(Exchange(h, {}).empty()) << "no refused write reached the engine";
    // A null output of FT_GetDeviceInfo is skipped.
    EXPECT_EQ(0u, FT_GetDeviceInfo(h, &type, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(6u, type);
}

TEST_F(DriverFront, InjectedFailuresReturnTheirStatusAndDoNothingElse)
{
    Apply("SIMBOARD_FAIL", "FT_Write:2:4,FT_Read:2:18,FT_Read:1-:5,FT_Open:1:3,FT_Close:1:0x12,"
                           "FT_CreateDeviceInfoList:1:4");
    uint32_t count = 9;
    EXPECT_EQ(4u, FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0u, FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(2u, count);

    SB_HANDLE h = H(0x77);
    uint64_t time = SimBoard_Time();
    EXPECT_EQ(3u, FT_Open(0, &h));
    EXPECT_EQ(H(0x77), h);
    EXPECT_EQ(time, SimBoard_Time());
    h = OpenMpsse(0);
    EXPECT_EQ(H(0x5B00000010), h) << "a failed open opens nothing";

    uint8_t bad[] = {0xAA, 0x87};
    uint32_t written = 9, queued = 0, read = 9;
    ASSERT_EQ(0u, FT_Write(h, bad, 1, &written));
    EXPECT_EQ(4u, FT_Write(h, bad + 1, 1, &written));
    EXPECT_EQ(0u, written);
    ASSERT_EQ(0u, FT_GetQueueStatus(h, &queued));
    EXPECT_EQ(2u, queued) << "the answer came by the latency timer, not by the failed send immediate";

    uint8_t buffer[2];
    EXPECT_EQ(5u, FT_Read(h, buffer, 2, &read));
    EXPECT_EQ(0u, read);
    EXPECT_EQ(18u, FT_Read(h, buffer, 2, &read)) << "the first matching rule wins";
    EXPECT_EQ(5u, FT_Read(h, buffer, 2, &read));
    EXPECT_EQ(18u, FT_Close(h));
    EXPECT_EQ(0u, FT_GetQueueStatus(h, &queued)) << "a failed close leaves the handle valid";
    EXPECT_EQ(2u, queued) << "and the bytes in its queue";

    EXPECT_EQ("0000000000 USB FT_CreateDeviceInfoList#1 = 4 IO_ERROR injected count=0", RawLines("USB")[0]);
}

// Board time of each call on a high-speed chip (u = 125 µs) and a full-speed
// one (u = 1000 µs), and the count of calls since the reset.
TEST_F(DriverFront, CallsCostTheirUsbTime)
{
    for (const char *devices : {"FT2232H", "FT2232D"}) {
        Apply("SIMBOARD_DEVICES", devices);
        const uint64_t u = std::string(devices) == "FT2232H" ? 125 : 1000;
        const size_t outPacket = u == 125 ? 512 : 64;
        uint32_t n = 0, type = 0;
        SB_HANDLE h = nullptr;
        uint64_t t = SimBoard_Time();
        auto advanced = [&t]() {
            uint64_t delta = SimBoard_Time() - t;
            t = SimBoard_Time();
            return delta;
        };
        SB_DEVICE_RECORD records[2];
        ASSERT_EQ(0u, FT_CreateDeviceInfoList(&n));
        ASSERT_EQ(0u, FT_GetDeviceInfoList(records, &n));
        EXPECT_EQ(1000u, advanced()) << devices;
        ASSERT_EQ(0u, FT_Open(0, &h));
        EXPECT_EQ(10000u, advanced());
        ASSERT_EQ(0u, FT_ResetDevice(h));
        ASSERT_EQ(0u, FT_Purge(h, 3));
        ASSERT_EQ(0u, FT_SetChars(h, 0, 0, 0, 0));
        ASSERT_EQ(0u, FT_SetLatencyTimer(h, 2));
        ASSERT_EQ(0u, FT_SetBitMode(h, 0, 2));
        EXPECT_EQ(5 * u, advanced());
        ASSERT_EQ(0u, FT_SetTimeouts(h, 100, 100));
        ASSERT_EQ(0u, FT_SetUSBParameters(h, 4096, 4096));
        ASSERT_EQ(0u, FT_GetDeviceInfo(h, &type, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(0u, advanced());
        // Writes: u per packet started; 0x85 costs no clocking.
        Write(h, Bytes(outPacket + 1, 0x85));
        EXPECT_EQ(2 * u, advanced());
        ASSERT_EQ(0u, FT_GetQueueStatus(h, &n));
        EXPECT_EQ(u, advanced());
        ASSERT_EQ(0u, FT_Close(h));
        EXPECT_EQ(1000u, advanced());
        EXPECT_EQ(14u, SimBoard_UsbCallCount());
    }
}

// Answers wait in the chip until a send immediate (every exchange of these
// suites), a full packet, or the latency timer (the worst case: one latency
// after the oldest answer).
TEST_F(DriverFront, AnswersAreDeliveredByPacketOrLatencyAndReadsEndAtTheirTimeOut)
{
    SB_HANDLE h = OpenMpsse(0, 40);
    uint32_t queued = 0;
    Write(h, {0xAB});
    uint64_t t = SimBoard_Time();
    Write(h, {0xAA});
    ASSERT_EQ(0u, FT_GetQueueStatus(h, &queued));
    EXPECT_EQ(4u, queued) << "both pairs leave together";
    EXPECT_EQ(t + 40000, SimBoard_Time()) << "one latency period after the oldest answer";
    EXPECT_EQ((Bytes{0xFA, 0xAB, 0xFA, 0xAA}), ReadAll(h));

    // 255 bad commands answer 510 bytes: a full high-speed packet goes at once.
    Write(h, Bytes(255, 0xAA));
    t = SimBoard_Time();
    ASSERT_EQ(0u, FT_GetQueueStatus(h, &queued));
    EXPECT_EQ(510u, queued);
    EXPECT_EQ(t + 125, SimBoard_Time());

    // A full-speed packet carries 62 bytes: the 64th answer byte waits.
    Apply("SIMBOARD_DEVICES", "FT2232D");
    h = OpenMpsse(0, 255);
    Write(h, Bytes(32, 0xAA));
    ASSERT_EQ(0u, FT_GetQueueStatus(h, &queued));
    EXPECT_EQ(62u, queued);

    // Reads end at their time-out: this answer's delivery (255 ms) falls after
    // the time-out (100 ms).
    Apply("SIMBOARD_DEVICES", "");
    h = OpenMpsse(0, 255, 100);
    uint8_t buffer[8];
    uint32_t read = 9;
    Write(h, {0xAA});
    t = SimBoard_Time();
    ASSERT_EQ(0u, FT_Read(h, buffer, 2, &read));
    EXPECT_EQ(0u, read);
    EXPECT_EQ(t + 100000, SimBoard_Time());
    // A read waits for a delivery within its time-out: 255 ms after the
    // answer was produced, 100 ms before this read began; then one u.
    ASSERT_EQ(0u, FT_SetTimeouts(h, 1000, 1000));
    t = SimBoard_Time();
    ASSERT_EQ(0u, FT_Read(h, buffer, 2, &read));
    EXPECT_EQ(2u, read);
    EXPECT_EQ(t - 100000 + 255000 + 125, SimBoard_Time());
    // Fewer bytes than asked: status 0 with what there is, at the time-out.
    Write(h, {0xAB, 0x87});
    t = SimBoard_Time();
    ASSERT_EQ(0u, FT_Read(h, buffer, 3, &read));
    EXPECT_EQ(2u, read);
    EXPECT_EQ(t + 1000000, SimBoard_Time());
    // Time-out 0 is no limit: the board ends such a read after 60 s.
    ASSERT_EQ(0u, FT_SetTimeouts(h, 0, 0));
    t = SimBoard_Time();
    ASSERT_EQ(0u, FT_Read(h, buffer, 1, &read));
    EXPECT_EQ(0u, read);
    EXPECT_EQ(t + 60000000, SimBoard_Time());
    std::vector<TraceLine> notes = Trace("NOTE");
    ASSERT_EQ(1u, notes.size());
    EXPECT_EQ("read time-out 0: read would block forever", notes[0].note);

    // The receive queue holds at most 65536 bytes: full packets are
    // delivered, the rest waits for the latency timer.
    Apply("SIMBOARD_DEVICES", "");
    h = OpenMpsse(0);
    Write(h, Bytes(33000, 0xAA));
    size_t total = ReadAll(h).size();
    total += ReadAll(h).size();
    EXPECT_EQ(65536u, total);
    uint64_t lost = 0;
    for (const TraceLine &note : Trace("NOTE")) {
        unsigned n = 0;
        ASSERT_EQ(1, std::sscanf(note.note.c_str(), "receive queue full: %u answer bytes lost", &n)) << note.note;
        lost += n;
    }
    EXPECT_EQ(66000u - 65536u, lost);
}

// What empties the receive queue and what drops a partial command.
TEST_F(DriverFront, ResetPurgeAndCloseDiscardWhatTheyShould)
{
    SB_HANDLE h = OpenMpsse(0);
    uint32_t queued = 0;
    const struct {
        const char *what;
        std::function<void()> action;
        bool dropsAnswers, dropsPartial;
    } cases[] = {
        {"ResetDevice", [&] { ASSERT_EQ(0u, FT_ResetDevice(h)); }, true, true},
        {"Purge receive", [&] { ASSERT_EQ(0u, FT_Purge(h, 1)); }, true, false},
        {"Purge transmit", [&] { ASSERT_EQ(0u, FT_Purge(h, 2)); }, false, true},
        {"Purge other bits", [&] { ASSERT_EQ(0u, FT_Purge(h, 0xFC)); }, false, false},
        {"SetUSBParameters", [&] { ASSERT_EQ(0u, FT_SetUSBParameters(h, 65536, 65536)); }, true, false},
        {"Close and open",
         [&] {
             ASSERT_EQ(0u, FT_Close(h));
             ASSERT_EQ(0u, FT_Open(0, &h));
         },
         true, true},
    };
    for (const auto &c : cases) {
        // A delivered answer, then a partial 0x80 that lacks its direction.
        Write(h, {0xAB, 0x87, 0x80, 0x00});
        c.action();
        ASSERT_EQ(0u, FT_GetQueueStatus(h, &queued));
        EXPECT_EQ(c.dropsAnswers ? 0u : 2u, queued) << c.what;
        ASSERT_EQ(0u, FT_Purge(h, 1));
        // If the partial command survived, 0xAA is its direction operand.
        EXPECT_EQ(c.dropsPartial ? Bytes({0xFA, 0xAA}) : Bytes(), Exchange(h, {0xAA})) << c.what;
        Write(h, {0x80, 0x00, 0x00});
        ASSERT_EQ(0u, FT_Purge(h, 3));
    }
    // The chip side survives a close: the pins, and a frame begun before it.
    const size_t spiLines = RawLines("SPI").size();
    Write(h, {0x80, 0x00, 0x0B});
    ASSERT_EQ(0u, FT_Close(h));
    ASSERT_EQ(0u, FT_Open(0, &h));
    EXPECT_EQ(Bytes{0xF4}, Exchange(h, {0x81}));
    EXPECT_EQ(spiLines + 1, RawLines("SPI").size()) << "select only, the frame is still open";
}

TEST_F(DriverFront, BytesOutsideMpsseModeAreDropped)
{
    Apply("SIMBOARD_DEVICES", "FT232H,FT232R");
    SB_HANDLE h = nullptr;
    ASSERT_EQ(0u, FT_Open(0, &h));
    uint64_t t = SimBoard_Time();
    Write(h, {0xAA, 0x87, 0x81});
    // Serial port mode: 10 bit times at 9600 baud per byte.
    EXPECT_EQ(t + 125 + 3125, SimBoard_Time());
    ASSERT_EQ(0u, FT_SetBitMode(h, 0xFF, 0x01));
    Write(h, {0xAA, 0x87});
    SB_HANDLE r = OpenMpsse(1);
    Write(r, {0xAA, 0x87});
    EXPECT_TRUE(ReadAll(h).empty());
    EXPECT_TRUE(ReadAll(r).empty());
    std::vector<std::string> notes;
    for (const TraceLine &line : Trace("NOTE"))
        notes.push_back(line.text);
    EXPECT_EQ((std::vector<std::string>{"0 UART mode: 3 bytes dropped", "0 bit mode 0x01 not modelled: 2 bytes dropped",
                                        "1 no MPSSE engine: 2 bytes dropped"}),
              notes);
    EXPECT_TRUE(Trace("MPSSE").empty());
}

} // namespace
