// The SPI channel API against the scripted driver: pin bytes, chip select,
// transfers in every mode, the channel list, refusals and the null-argument
// report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TopLayer/SPI/src/ftdi_spi.h"
#include "spi/fake_driver.h"
#include "support/tool_fixture.h"

namespace {

using fake::g_driver;
using Lines = std::vector<std::string>;

constexpr uint32_t SYSTEM_OPTIONS = SPI_CS_ACTIVE_LOW; // mode 0, line 0, active low

class SpiTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        fake::Install();
        g_driver.devices = {fake::Record(6, 0x11), fake::Record(6, 0x12)};
    }

    // Opens channel index and sets it up; the log then starts empty.
    SpiHandle OpenSetUp(uint32_t index = 0, uint32_t options = SYSTEM_OPTIONS, uint32_t pins = 0)
    {
        SpiHandle handle = nullptr;
        EXPECT_EQ(SPI_OpenChannel(index, &handle), 0u);
        settings = SpiChannelSettings{5000, 255, options, pins, 0};
        EXPECT_EQ(SPI_InitChannel(handle, &settings), 0u);
        g_driver.log.clear();
        PLAT_VirtualClockReset();
        return handle;
    }

    SpiChannelSettings settings{};
    uint8_t buffer[16] = {0xC0, 0x55, 0x0F};
    uint8_t in[16] = {};
    uint32_t transferred = 99;
};

TEST_F(SpiTest, SystemSettingsThenChipSelectAndClose)
{
    SpiHandle handle = OpenSetUp();
    EXPECT_EQ(settings.pins, 0x0Bu);
    EXPECT_EQ(settings.pinState, 0x0B);

    ASSERT_EQ(SPI_Write(handle, buffer, 1, &transferred, XFER_CS_ASSERT), 0u);
    ASSERT_EQ(SPI_Read(handle, in, 0, &transferred, XFER_BITS | XFER_CS_RELEASE), 0u);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(PLAT_VirtualClockMs(), 2u); // the pause before the release
    ASSERT_EQ(SPI_CloseChannel(handle), 0u);
    EXPECT_EQ(g_driver.log, (Lines{"FT_Write 80 00 0B", "FT_Write 11 00 00", "FT_Write C0", "FT_Write 80 08 0B",
                                   "FT_Write 80 00 00", "FT_Close"}));
    // Gone from the list.
    EXPECT_EQ(SPI_CloseChannel(handle), 18u);
}

TEST_F(SpiTest, InitialPinsByModeLineAndPolarity)
{
    const struct {
        uint32_t options, pinsIn, pinsOut;
        const char *pinWrite;
        const char *assert, *release;
    } cases[] = {
        {0x20, 0x00000000, 0x0000000B, "80 00 0B", "80 00 0B", "80 08 0B"},
        {0x27, 0x00000000, 0x00000113, "80 01 13", "80 01 13", "80 11 13"}, // mode 3, line 1
        {0x12, 0xFF000004, 0xFF000183, "80 01 83", "80 81 83", "80 01 83"}, // mode 2, line 4, active high
        {0x01, 0x0000FF00, 0x0000FE0B, "80 FE 0B", "80 FE 0B", "80 F6 0B"}, // mode 1, active high
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        SpiTest::SetUp();
        SpiHandle handle = nullptr;
        ASSERT_EQ(SPI_OpenChannel(0, &handle), 0u);
        settings = SpiChannelSettings{5000, 255, c.options, c.pinsIn, 0};
        ASSERT_EQ(SPI_InitChannel(handle, &settings), 0u);
        EXPECT_EQ(settings.pins, c.pinsOut);
        EXPECT_EQ(settings.pinState, c.pinsOut & 0xFFFF);
        EXPECT_EQ(g_driver.Writes().back(), c.pinWrite);
        g_driver.log.clear();
        ASSERT_EQ(SPI_Write(handle, buffer, 1, &transferred, XFER_CS_ASSERT | XFER_CS_RELEASE), 0u);
        Lines writes = g_driver.Writes();
        ASSERT_EQ(writes.size(), 4u);
        EXPECT_EQ(writes[0], c.assert);
        EXPECT_EQ(writes[3], c.release);
    }
}

TEST_F(SpiTest, TransferCommandsInEveryMode)
{
    const struct {
        uint32_t mode;
        const char *writeBytes, *writeBits, *readBytes, *readBits, *duplexBytes, *duplexBits;
    } cases[] = {
        {0, "11", "13", "20", "22", "31", "33"},
        {1, "10", "12", "24", "26", "34", "36"},
        {2, "10", "12", "24", "26", "34", "36"},
        {3, "11", "13", "20", "22", "31", "33"},
    };
    const std::string b0 = "C0", b1 = "55", b2 = "0F";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        SpiTest::SetUp();
        SpiHandle handle = OpenSetUp(0, SYSTEM_OPTIONS | c.mode);
        const std::string wB = c.writeBytes, wb = c.writeBits, rB = c.readBytes, rb = c.readBits,
                          dB = c.duplexBytes, db = c.duplexBits;

        ASSERT_EQ(SPI_Write(handle, buffer, 3, &transferred, 0), 0u);
        EXPECT_EQ(transferred, 3u);
        ASSERT_EQ(SPI_Write(handle, buffer, 12, &transferred, XFER_BITS), 0u);
        EXPECT_EQ(transferred, 12u);

        g_driver.arrivals = {{0x12, 0x34}};
        ASSERT_EQ(SPI_Read(handle, in, 2, &transferred, 0), 0u);
        EXPECT_EQ(transferred, 2u);
        EXPECT_EQ(in[1], 0x34);
        g_driver.arrivals = {{0xAB}, {0x05}};
        ASSERT_EQ(SPI_Read(handle, in, 12, &transferred, XFER_BITS), 0u);
        EXPECT_EQ(transferred, 12u);
        EXPECT_EQ(in[0], 0xAB);
        EXPECT_EQ(in[1], 0x05);

        g_driver.arrivals = {{0x66, 0x77}};
        ASSERT_EQ(SPI_ReadWrite(handle, in, buffer, 2, &transferred, 0), 0u);
        EXPECT_EQ(in[0], 0x66);
        g_driver.arrivals = {{0x01}, {0x02}};
        ASSERT_EQ(SPI_ReadWrite(handle, in, buffer, 9, &transferred, XFER_BITS), 0u);
        EXPECT_EQ(transferred, 9u);
        EXPECT_EQ(in[1], 0x02);

        EXPECT_EQ(g_driver.log, (Lines{
                                    "FT_Write " + wB + " 02 00", "FT_Write " + b0 + " " + b1 + " " + b2,
                                    "FT_Write " + wb + " 07 " + b0, "FT_Write " + wb + " 03 " + b1,
                                    "FT_Write " + rB + " 01 00 87", "FT_Read 2 -> 2",
                                    "FT_Write " + rb + " 07 87", "FT_Read 1 -> 1",
                                    "FT_Write " + rb + " 03 87", "FT_Read 1 -> 1",
                                    "FT_Write " + dB + " 01 00", "FT_Write " + b0 + " " + b1, "FT_Read 2 -> 2",
                                    "FT_Write " + db + " 07 " + b0, "FT_Read 1 -> 1",
                                    "FT_Write " + db + " 00 " + b1, "FT_Read 1 -> 1",
                                }));
    }
}

TEST_F(SpiTest, ByteSizesOutsideTheSixteenBitLengthAreRefused)
{
    SpiHandle handle = OpenSetUp();
    static uint8_t big[65537];
    for (uint32_t size : {0u, 65537u}) {
        EXPECT_EQ(SPI_Write(handle, big, size, &transferred, XFER_CS_ASSERT), 6u) << size;
        EXPECT_EQ(SPI_Read(handle, big, size, &transferred, XFER_CS_ASSERT), 6u) << size;
        EXPECT_EQ(SPI_ReadWrite(handle, big, big, size, &transferred, XFER_CS_ASSERT), 6u) << size;
    }
    EXPECT_TRUE(g_driver.log.empty());
    ASSERT_EQ(SPI_Write(handle, big, 65536, &transferred, 0), 0u);
    EXPECT_EQ(g_driver.Writes().front(), "11 FF FF");
    EXPECT_EQ(transferred, 65536u);
}

TEST_F(SpiTest, ChipSelectLinesOutsideTheLowByteAreRefused)
{
    SpiHandle handle = OpenSetUp();
    for (uint32_t line : {5u, 6u, 7u}) {
        SpiChannelSettings bad{5000, 255, SPI_CS_ACTIVE_LOW | (line << 2), 0, 0};
        EXPECT_EQ(SPI_InitChannel(handle, &bad), 6u);
        EXPECT_EQ(bad.pins, 0u);
        EXPECT_EQ(SPI_ChangeCS(handle, SPI_CS_ACTIVE_LOW | (line << 2)), 6u);
    }
    EXPECT_TRUE(g_driver.log.empty());
    // The channel keeps its settings.
    ASSERT_EQ(SPI_Write(handle, buffer, 1, &transferred, XFER_CS_ASSERT), 0u);
    EXPECT_EQ(g_driver.Writes().front(), "80 00 0B");
}

TEST_F(SpiTest, ChangeCsMovesChipSelectAndClockIdle)
{
    SpiHandle handle = OpenSetUp();
    ASSERT_EQ(SPI_ChangeCS(handle, SPI_CS_ACTIVE_LOW | (1 << 2) | 2), 0u); // line 1, mode 2
    ASSERT_EQ(SPI_Write(handle, buffer, 1, &transferred, XFER_CS_ASSERT | XFER_CS_RELEASE), 0u);
    // Line 0 stays an output; the clock idles high; mode 2 writes with 0x10.
    EXPECT_EQ(g_driver.Writes(), (Lines{"80 01 1B", "80 01 1B", "10 00 00", "C0", "80 11 1B"}));
    // The caller's record is not the channel's: its pins stay as set up.
    EXPECT_EQ(settings.pins, 0x0Bu);
}

TEST_F(SpiTest, ClosingOneOfTwoChannelsLeavesTheOtherUsable)
{
    SpiHandle first = OpenSetUp(0);
    SpiHandle second = OpenSetUp(1);
    ASSERT_NE(first, second);
    ASSERT_EQ(SPI_CloseChannel(first), 0u);
    g_driver.log.clear();
    EXPECT_EQ(SPI_Write(second, buffer, 1, &transferred, XFER_CS_ASSERT), 0u);
    EXPECT_EQ(g_driver.Writes().size(), 3u);
    EXPECT_EQ(SPI_Write(first, buffer, 1, &transferred, XFER_CS_ASSERT), 18u);
    EXPECT_EQ(g_driver.Writes().size(), 3u);
}

TEST_F(SpiTest, UnlistedAndNeverSetUpChannelsSendNothing)
{
    SpiHandle opened = nullptr;
    ASSERT_EQ(SPI_OpenChannel(0, &opened), 0u);
    g_driver.log.clear();
    bool busy = false;
    for (SpiHandle handle : {reinterpret_cast<SpiHandle>(0x999), opened}) {
        EXPECT_EQ(SPI_Write(handle, buffer, 1, &transferred, XFER_CS_ASSERT), 18u);
        EXPECT_EQ(SPI_Read(handle, in, 1, &transferred, XFER_CS_ASSERT), 18u);
        EXPECT_EQ(SPI_Read(handle, in, 0, &transferred, XFER_BITS | XFER_CS_RELEASE), 18u);
        EXPECT_EQ(SPI_ReadWrite(handle, in, buffer, 1, &transferred, 0), 18u);
        EXPECT_EQ(SPI_IsBusy(handle, &busy), 18u);
        EXPECT_EQ(SPI_ChangeCS(handle, SYSTEM_OPTIONS), 18u);
    }
    SpiChannelSettings unlisted{5000, 255, SYSTEM_OPTIONS, 0, 0};
    EXPECT_EQ(SPI_InitChannel(reinterpret_cast<SpiHandle>(0x999), &unlisted), 18u);
    EXPECT_EQ(SPI_CloseChannel(reinterpret_cast<SpiHandle>(0x999)), 18u);
    EXPECT_TRUE(g_driver.log.empty());

    // Closing a channel that was never set up drives no pins.
    EXPECT_EQ(SPI_CloseChannel(opened), 0u);
    EXPECT_EQ(g_driver.log, (Lines{"FT_Close"}));
}

TEST_F(SpiTest, FailedSetUpLeavesTheChannelNotSetUp)
{
    SpiHandle handle = OpenSetUp();
    g_driver.failEntry = "FT_ResetDevice";
    g_driver.failStatus = 4;
    EXPECT_EQ(SPI_InitChannel(handle, &settings), 4u);
    g_driver.failEntry.clear();
    g_driver.log.clear();
    EXPECT_EQ(SPI_Write(handle, buffer, 1, &transferred, XFER_CS_ASSERT), 18u);
    EXPECT_TRUE(g_driver.log.empty());
}

TEST_F(SpiTest, ShortAnswersAreIoErrorsNotData)
{
    SpiHandle handle = OpenSetUp();
    bool busy = false;
    EXPECT_EQ(SPI_IsBusy(handle, &busy), 4u);
    g_driver.arrivals = {{0x12}};
    EXPECT_EQ(SPI_Read(handle, in, 2, &transferred, 0), 4u);
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(SPI_Read(handle, in, 3, &transferred, XFER_BITS), 4u);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(SPI_ReadWrite(handle, in, buffer, 2, &transferred, 0), 4u);
    g_driver.writeShortBy = 1;
    EXPECT_EQ(SPI_Write(handle, buffer, 3, &transferred, 0), 4u);
}

TEST_F(SpiTest, IsBusyReadsTheLowPinsWithChipSelectAsserted)
{
    SpiHandle handle = OpenSetUp();
    const struct {
        uint8_t pins;
        bool busy;
    } cases[] = {{0x00, false}, {0xF4, true}, {0x04, true}};
    for (const auto &c : cases) {
        g_driver.log.clear();
        g_driver.arrivals = {{c.pins}};
        bool busy = !c.busy;
        ASSERT_EQ(SPI_IsBusy(handle, &busy), 0u);
        EXPECT_EQ(busy, c.busy);
        EXPECT_EQ(g_driver.Writes(), (Lines{"80 00 0B", "81 87", "80 08 0B"}));
    }
    EXPECT_EQ(SPI_IsBusy(handle, nullptr), 6u);
}

TEST_F(SpiTest, FailingWriteLeavesChipSelectAsserted)
{
    SpiHandle handle = OpenSetUp();
    fake::FailCall("FT_Write", 2, 4); // the data command, after the assert
    EXPECT_EQ(SPI_Write(handle, buffer, 2, &transferred, XFER_CS_ASSERT | XFER_CS_RELEASE), 4u);
    EXPECT_EQ(g_driver.log, (Lines{"FT_Write 80 00 0B", "FT_Write failed"}));
}

TEST_F(SpiTest, NullArgumentsAreReportedWithTheirLine)
{
    SpiHandle handle = OpenSetUp();
    const struct {
        D2xxStatus status;
        const char *report;
    } cases[] = {
        {SPI_GetNumChannels(nullptr), "105:SPI_GetNumChannels"},
        {SPI_GetChannelInfo(0, nullptr), "134:SPI_GetChannelInfo"},
        {SPI_OpenChannel(0, nullptr), "159:SPI_OpenChannel"},
        {SPI_InitChannel(nullptr, nullptr), "196:SPI_InitChannel"}, // the record is checked first
        {SPI_InitChannel(nullptr, &settings), "197:SPI_InitChannel"},
        {SPI_CloseChannel(nullptr), "285:SPI_CloseChannel"},
        {SPI_Read(nullptr, nullptr, 1, nullptr, 0), "341:SPI_Read"},
        {SPI_Read(handle, nullptr, 1, nullptr, 0), "342:SPI_Read"},
        {SPI_Read(handle, in, 1, nullptr, 0), "343:SPI_Read"},
        {SPI_Write(nullptr, buffer, 1, &transferred, 0), "465:SPI_Write"},
        {SPI_Write(handle, nullptr, 1, &transferred, 0), "466:SPI_Write"},
        {SPI_Write(handle, buffer, 1, nullptr, 0), "467:SPI_Write"},
        {SPI_ReadWrite(nullptr, in, buffer, 1, &transferred, 0), "594:SPI_ReadWrite"},
        {SPI_ReadWrite(handle, nullptr, buffer, 1, &transferred, 0), "595:SPI_ReadWrite"},
        {SPI_ReadWrite(handle, in, nullptr, 1, &transferred, 0), "596:SPI_ReadWrite"},
        {SPI_ReadWrite(handle, in, buffer, 1, nullptr, 0), "597:SPI_ReadWrite"},
        {SPI_ChangeCS(nullptr, SYSTEM_OPTIONS), "803:SPI_ChangeCS"},
    };
    std::string expected;
    for (const auto &c : cases) {
        EXPECT_EQ(c.status, 6u) << c.report;
        std::string report(c.report);
        size_t colon = report.find(':');
        expected += "../../TopLayer/SPI/src/ftdi_spi:" + report.substr(0, colon) + ":" + report.substr(colon + 1) +
                    "(): NULL expression encountered\n";
    }
    EXPECT_EQ(console, expected);
    EXPECT_TRUE(g_driver.log.empty());
}

TEST_F(SpiTest, OpeningAChannelThatIsNotThereListsNothing)
{
    g_driver.devices = {fake::Record(6, 0x11), fake::Record(5, 0x20)};
    SpiHandle handle = nullptr;
    EXPECT_EQ(SPI_OpenChannel(1, &handle), 1u);
    EXPECT_EQ(handle, nullptr);
    // Nothing was listed under the handle that position would have given.
    SpiChannelSettings s{5000, 255, SYSTEM_OPTIONS, 0, 0};
    EXPECT_EQ(SPI_InitChannel(fake::HandleFor(1), &s), 18u);
}

} // namespace
