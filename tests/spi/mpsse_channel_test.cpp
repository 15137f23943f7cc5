// MPSSE channel discovery, set-up, clock and synchronisation against the
// scripted driver: the exact calls and bytes, and what each failure returns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Mpsse/src/mpsse_channel.h"
#include "spi/fake_driver.h"
#include "support/tool_fixture.h"

namespace {

using fake::g_driver;
using Lines = std::vector<std::string>;

class MpsseTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        fake::Install();
    }
    D2xxHandle handle = fake::HandleFor(0);
};

TEST_F(MpsseTest, ChannelsAreCountedAndOpenedByTheirPositionInTheWholeList)
{
    g_driver.devices = {fake::Record(6, 0x11), fake::Record(5, 0x20), fake::Record(6, 0x32)};
    uint32_t count = 99;
    ASSERT_EQ(MPSSE_CountChannels(&count), 0u);
    EXPECT_EQ(count, 2u);

    MPSSE_DeviceRecord record{};
    ASSERT_EQ(MPSSE_GetChannelRecord(1, &record), 0u);
    EXPECT_STREQ(record.description, "type 6 at 0x32");

    const struct {
        uint32_t index;
        const char *open;
    } cases[] = {{0, "FT_Open 0"}, {1, "FT_Open 2"}};
    for (const auto &c : cases) {
        g_driver.log.clear();
        D2xxHandle opened = nullptr;
        ASSERT_EQ(MPSSE_OpenChannelByIndex(c.index, &opened), 0u);
        EXPECT_EQ(g_driver.log, (Lines{"FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", c.open}));
    }
}

TEST_F(MpsseTest, TooFewChannelsOpensNothingWhetherTheListIsShortOrJustHasOtherDevices)
{
    g_driver.devices = {fake::Record(6, 0x11), fake::Record(5, 0x20), fake::Record(6, 0x32)};
    // Index 2: three devices are listed, but only two are channels. Index 3:
    // the list itself is too short.
    for (uint32_t index : {2u, 3u}) {
        g_driver.log.clear();
        D2xxHandle opened = reinterpret_cast<D2xxHandle>(0x77);
        EXPECT_EQ(MPSSE_OpenChannelByIndex(index, &opened), 1u) << index;
        EXPECT_EQ(opened, reinterpret_cast<D2xxHandle>(0x77));
        for (const std::string &line : g_driver.log)
            EXPECT_EQ(line.find("FT_Open"), std::string::npos) << index;
        MPSSE_DeviceRecord record{};
        record.type = 0xEE;
        EXPECT_EQ(MPSSE_GetChannelRecord(index, &record), 1u);
        EXPECT_EQ(record.type, 0xEEu);
    }
}

TEST_F(MpsseTest, ChannelRuleFollowsChipTypeAndInterface)
{
    const struct {
        uint32_t type, locId;
        bool channel;
    } cases[] = {
        {4, 0x11, true},  {4, 0x12, false},                     // FT2232C/D: interface A only
        {6, 0x21, true},  {6, 0x22, true},  {6, 0x23, false},   // FT2232H: A and B
        {7, 0x13, false}, {7, 0x14, false}, {7, 0x12, true},    // FT4232H: C and D have no engine
        {8, 0x10, true},  {8, 0x00, true},  {8, 0x37, true},    // FT232H: whatever its location
        {5, 0x11, false}, {9, 0x11, false}, {3, 0x11, false},   // no engine
    };
    for (const auto &c : cases) {
        g_driver.devices = {fake::Record(c.type, c.locId)};
        uint32_t count = 0;
        ASSERT_EQ(MPSSE_CountChannels(&count), 0u);
        EXPECT_EQ(count, c.channel ? 1u : 0u) << "type " << c.type << " loc 0x" << std::hex << c.locId;
    }
}

TEST_F(MpsseTest, EmptyListAndFailingListCalls)
{
    uint32_t count = 5;
    EXPECT_EQ(MPSSE_CountChannels(&count), 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(g_driver.log, (Lines{"FT_CreateDeviceInfoList"}));

    g_driver.devices = {fake::Record(6, 0x11)};
    for (const char *entry : {"FT_CreateDeviceInfoList", "FT_GetDeviceInfoList"}) {
        g_driver.failEntry = entry;
        g_driver.failStatus = 4;
        EXPECT_EQ(MPSSE_CountChannels(&count), 4u) << entry;
        D2xxHandle opened = nullptr;
        EXPECT_EQ(MPSSE_OpenChannelByIndex(0, &opened), 4u) << entry;
        EXPECT_EQ(opened, nullptr);
    }
    g_driver.failEntry = "FT_Open";
    g_driver.failStatus = 3;
    D2xxHandle opened = nullptr;
    EXPECT_EQ(MPSSE_OpenChannelByIndex(0, &opened), 3u);
}

TEST_F(MpsseTest, ClockCommandsByChipAndRate)
{
    const struct {
        uint32_t type, rate;
        D2xxStatus status;
        Lines writes;
    } cases[] = {
        {6, 5000, 0, {"8B", "86 AF 04"}},
        {6, 6000000, 0, {"8B", "86 00 00"}},
        {6, 10000000, 0, {"8A", "86 02 00"}},
        {6, 30000000, 0, {"8A", "86 00 00"}},
        {8, 7500000, 0, {"8A", "86 03 00"}},
        {6, 92, 0, {"8B", "86 C0 FE"}}, // the slowest rate whose divisor fits 16 bits
        {6, 91, 6, {}},
        {6, 0, 6, {}},
        {6, 30000001, 6, {}},
    };
    for (const auto &c : cases) {
        g_driver.log.clear();
        EXPECT_EQ(MPSSE_SetClock(handle, c.type, c.rate), c.status) << c.type << " " << c.rate;
        EXPECT_EQ(g_driver.Writes(), c.writes) << c.type << " " << c.rate;
    }
}

TEST_F(MpsseTest, Ft2232dClocksFromItsFixed12MHzBaseWithoutDivideBy5)
{
    // A divisor from a 30 MHz base (86 6F 17 for 5000 Hz) would clock this
    // chip at a fifth of the rate asked; above 6 MHz it cannot clock at all.
    const struct {
        uint32_t rate;
        D2xxStatus status;
        Lines writes;
    } cases[] = {
        {5000, 0, {"86 AF 04"}},
        {6000000, 0, {"86 00 00"}},
        {1000000, 0, {"86 05 00"}},
        {6000001, 6, {}},
        {30000000, 6, {}},
        {91, 6, {}},
    };
    for (const auto &c : cases) {
        g_driver.log.clear();
        EXPECT_EQ(MPSSE_SetClock(handle, DEVICE_TYPE_FT2232C, c.rate), c.status) << c.rate;
        EXPECT_EQ(g_driver.Writes(), c.writes) << c.rate;
    }
}

TEST_F(MpsseTest, SetUpSequenceWithTheToolsSettings)
{
    ASSERT_EQ(MPSSE_SetupChannel(handle, 5000, 255), 0u);
    EXPECT_EQ(g_driver.log, (Lines{
                                "FT_GetDeviceInfo",
                                "FT_ResetDevice",
                                "FT_Purge 3",
                                "FT_SetUSBParameters 65536 65536",
                                "FT_SetChars 0 0 0 0",
                                "FT_SetTimeouts 5000 5000",
                                "FT_SetLatencyTimer 255",
                                "FT_SetBitMode 0 0",
                                "FT_SetBitMode 0 2",
                                "FT_Write 84",
                                "FT_GetQueueStatus 0",
                                "FT_Write AA",
                                "FT_GetQueueStatus 2",
                                "FT_Read 2 -> 2",
                                "FT_Write AB",
                                "FT_GetQueueStatus 2",
                                "FT_Read 2 -> 2",
                                "FT_Write 8B",
                                "FT_Write 86 AF 04",
                                "FT_Write 85",
                                "FT_GetQueueStatus 0",
                            }));
    // 50 ms before the clock, 20 ms after, 1 ms per echo-search pass.
    EXPECT_EQ(PLAT_VirtualClockMs(), 72u);
}

TEST_F(MpsseTest, SetUpRefusesWhatCannotBeSetBeforeTouchingTheDevice)
{
    EXPECT_EQ(MPSSE_SetupChannel(handle, 30000001, 255), 6u);
    EXPECT_EQ(MPSSE_SetupChannel(handle, 0, 255), 6u);
    EXPECT_EQ(MPSSE_SetupChannel(handle, 5000, 256), 6u);
    EXPECT_TRUE(g_driver.log.empty());

    // Above 6 MHz on an FT2232C/D: only its type was asked for.
    g_driver.deviceType = 4;
    EXPECT_EQ(MPSSE_SetupChannel(handle, 10000000, 16), 6u);
    EXPECT_EQ(g_driver.log, (Lines{"FT_GetDeviceInfo"}));
}

TEST_F(MpsseTest, FailingDriverCallEndsTheSetUpWithItsStatus)
{
    const struct {
        const char *entry;
        uint32_t call;
    } cases[] = {
        {"FT_GetDeviceInfo", 1}, {"FT_ResetDevice", 1},    {"FT_Purge", 1},
        {"FT_SetUSBParameters", 1}, {"FT_SetChars", 1},    {"FT_SetTimeouts", 1},
        {"FT_SetLatencyTimer", 1}, {"FT_SetBitMode", 2},   {"FT_Write", 1},
        {"FT_Write", 4},           {"FT_GetQueueStatus", 2}, {"FT_Read", 1},
    };
    for (const auto &c : cases) {
        fake::Install();
        g_driver.failEntry = c.entry;
        g_driver.failCall = c.call;
        g_driver.failStatus = 17;
        EXPECT_EQ(MPSSE_SetupChannel(handle, 5000, 255), 17u) << c.entry << " #" << c.call;
        EXPECT_EQ(g_driver.log.back(), std::string(c.entry) + " failed");
    }
}

TEST_F(MpsseTest, EchoFoundAcrossSplitReadsAndAfterAFalseStart)
{
    g_driver.echoBadCommands = false;
    const struct {
        std::vector<std::vector<uint8_t>> arrivals;
        uint32_t passes;
    } cases[] = {
        {{{0x00, 0xFA}, {0xAB, 0x55}}, 2}, // the pair split over two reads
        {{{0xFA, 0x01, 0xFA, 0xAB}}, 1},   // 0xFA then another byte, then the pair
        {{{0xFA}, {0xFA}, {0xAB}}, 3},     // 0xFA 0xFA 0xAB: the second 0xFA counts
    };
    for (const auto &c : cases) {
        g_driver.arrivals.assign(c.arrivals.begin(), c.arrivals.end());
        PLAT_VirtualClockReset();
        bool found = false;
        EXPECT_EQ(MPSSE_AwaitBadCommandEcho(handle, false, 0xAB, &found), 0u);
        EXPECT_TRUE(found);
        EXPECT_EQ(PLAT_VirtualSleepCount(), c.passes);
    }
}

TEST_F(MpsseTest, DeadEngineGivesUpAfter4097PassesWith18)
{
    g_driver.echoBadCommands = false;
    EXPECT_EQ(MPSSE_SetupChannel(handle, 5000, 255), 18u);
    uint32_t copies = 0;
    for (const std::string &bytes : g_driver.Writes())
        copies += bytes == "AA";
    EXPECT_EQ(copies, 4097u);
    EXPECT_EQ(PLAT_VirtualSleepCount(), 4097u);
    EXPECT_EQ(g_driver.Writes().back(), "AA"); // neither 0xAB nor a clock after it
}

TEST_F(MpsseTest, EchoFirstSeenInTheLastPassCounts)
{
    g_driver.echoBadCommands = false;
    for (int i = 0; i < 4096; ++i)
        g_driver.arrivals.push_back({0x00});
    g_driver.arrivals.push_back({0xFA, 0xAA});
    bool found = false;
    EXPECT_EQ(MPSSE_AwaitBadCommandEcho(handle, true, 0xAA, &found), 0u);
    EXPECT_TRUE(found);
    EXPECT_EQ(PLAT_VirtualSleepCount(), 4097u);
}

TEST_F(MpsseTest, QueueAndReadAnomaliesEndInsteadOfLooping)
{
    // More waiting than the scratch buffer holds during an echo search.
    g_driver.echoBadCommands = false;
    g_driver.arrivals.push_back(std::vector<uint8_t>(4097, 0x00));
    bool found = true;
    EXPECT_EQ(MPSSE_AwaitBadCommandEcho(handle, false, 0xAB, &found), 5u);
    EXPECT_FALSE(found);

    // A drain whose reads bring none of the bytes the driver reports.
    g_driver.arrivals.assign(1, std::vector<uint8_t>(10, 0x00));
    g_driver.readsReturnNothing = true;
    EXPECT_EQ(MPSSE_DrainReceiveQueue(handle), 4u);

    // A drain of more than one scratch buffer reads it in 4096-byte pieces.
    fake::Install();
    g_driver.arrivals.assign(1, std::vector<uint8_t>(5000, 0x00));
    EXPECT_EQ(MPSSE_DrainReceiveQueue(handle), 0u);
    EXPECT_EQ(g_driver.log, (Lines{"FT_GetQueueStatus 5000", "FT_Read 4096 -> 4096", "FT_Read 904 -> 904"}));
}

TEST_F(MpsseTest, HighPinByte)
{
    EXPECT_EQ(FT_WriteGPIO(handle, 0xF0, 0x0F), 0u);
    EXPECT_EQ(g_driver.Writes(), (Lines{"82 0F F0"}));

    uint8_t value = 0;
    g_driver.arrivals.push_back({0x5A});
    EXPECT_EQ(FT_ReadGPIO(handle, &value), 0u);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(g_driver.Writes().back(), "83 87");

    // No answer within the read time-out.
    EXPECT_EQ(FT_ReadGPIO(handle, &value), 4u);
}

} // namespace
