// The SPI master over the whole simulated board, in one process: the tool's
// dlopen of the driver library finds the board this test is linked with.
// What the tool sent is read back from the board's USB trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Mpsse/src/mpsse_channel.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "TopLayer/SPI/src/spi_channel_list.h"
#include "sim/records.h"
#include "sim/simboard.h"
#include "support/board_fixture.h"
#include "support/temp_files.h"

namespace
{

using Lines = std::vector<std::string>;
constexpr uint32_t SYSTEM_OPTIONS = SPI_CS_ACTIVE_LOW;

class SpiBoardTest : public ToolOnBoardTest
{
protected:
    void SetUp() override
    {
        ToolOnBoardTest::SetUp();
        Configure("", "", "");
    }

    // Restarts the board with these settings and binds the tool to it.
    void Configure(const std::string &devices, const std::string &engine, const std::string &fail)
    {
        Restart({{"SIMBOARD_DEVICES", devices},
                 {"SIMBOARD_ENGINE", engine},
                 {"SIMBOARD_FAIL", fail},
                 {"SIMBOARD_CONTROLLER", "script"},
                 {"SIMBOARD_TRACE", tracePath}});
        Init_libMPSSE();
    }

    // Channel 0 opened and set up with the tool's settings (mode from options).
    D2xxStatus OpenChannel0(uint32_t options = SYSTEM_OPTIONS, uint32_t clockRate = 5000, uint32_t pins = 0)
    {
        uint32_t count = 0;
        MPSSE_DeviceRecord record{};
        D2xxStatus status = SPI_GetNumChannels(&count);
        if (status == D2XX_OK)
            status = SPI_GetChannelInfo(0, &record);
        if (status == D2XX_OK)
            status = SPI_OpenChannel(0, &handle);
        settings = SpiChannelSettings{clockRate, 255, options, pins, 0};
        if (status == D2XX_OK)
            status = SPI_InitChannel(handle, &settings);
        return status;
    }

    std::vector<simboard::TraceLine> Trace(const char *tag)
    {
        std::vector<simboard::TraceLine> lines, tagged;
        std::string error;
        EXPECT_TRUE(simboard::ReadTraceFile(tracePath, &lines, &error)) << error;
        for (const auto &line : lines)
            if (line.tag == tag)
                tagged.push_back(line);
        return tagged;
    }

    // The bytes of each write, after the first `skip` writes.
    Lines WrittenBytes(size_t skip = 0)
    {
        Lines writes;
        for (const auto &line : Trace("USB"))
            if (line.entry == "FT_Write")
                writes.push_back(simboard::HexBytes(line.bytes));
        return Lines(writes.begin() + static_cast<std::ptrdiff_t>(std::min(skip, writes.size())), writes.end());
    }

    TempDir temp{"spi"};
    const std::string tracePath = temp.Path("usb.trace");
    SpiHandle handle = nullptr;
    SpiChannelSettings settings{};
    uint32_t transferred = 0;
};

TEST_F(SpiBoardTest, DeviceListsDecideTheChannels)
{
    const struct {
        const char *devices;
        uint32_t channels;
        const char *openedIndex; // the device that channel 1 opens, if any
    } cases[] = {
        {"FT2232H:A,FT232R,FT2232H:B", 2, "2"},
        {"FT232R,FT2232H/spi=B", 2, "2"},
        {"FT4232H", 2, "1"},
        {"FT2232D", 1, ""},
        {"FT232R", 0, ""},
        {"FT2232H/busy", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.devices);
        Configure(c.devices, "", "");
        uint32_t count = 99;
        ASSERT_EQ(SPI_GetNumChannels(&count), 0u);
        EXPECT_EQ(count, c.channels);
        SpiHandle opened = nullptr;
        EXPECT_EQ(SPI_OpenChannel(1, &opened), c.openedIndex[0] ? 0u : 1u);
        EXPECT_EQ(opened != nullptr, c.openedIndex[0] != 0);
        std::string opens;
        for (const auto &line : Trace("USB"))
            if (line.entry == "FT_Open")
                opens += line.Field("index");
        EXPECT_EQ(opens, c.openedIndex);
    }
}

TEST_F(SpiBoardTest, EngineFaultsAndFailingDriverCalls)
{
    const struct {
        const char *engine, *fail;
        D2xxStatus status;
    } cases[] = {
        {"trickle", "", 0},        // echo pairs split across reads
        {"dead", "", 18},          // no echo: given up after 4097 passes
        {"", "FT_Purge:1:4", 4},   // a failing driver call passes its status
        {"", "FT_Write:3:17", 17}, // the third write: 0xAB
        {"", "FT_Open:1:3", 3},    // last: the check after the loop
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.engine) + " " + c.fail);
        Configure("", c.engine, c.fail);
        EXPECT_EQ(OpenChannel0(), c.status);
        uint8_t byte = 0x55;
        // A channel whose set-up failed takes no transfers.
        EXPECT_EQ(SPI_Write(handle, &byte, 1, &transferred, XFER_CS_ASSERT), c.status == 0 ? 0u : 18u);
        const Lines writes = WrittenBytes();
        if (c.status == 18) {
            EXPECT_EQ(std::count(writes.begin(), writes.end(), "AA"), 4097);
        }
    }
    EXPECT_EQ(g_channelList, nullptr) << "a refused open lists nothing";
}

TEST_F(SpiBoardTest, TransferCommandsInEveryMode)
{
    const struct {
        uint32_t mode;
        std::string writeBytes, writeBits, readBytes, readBits, duplexBytes, duplexBits;
    } cases[] = {
        {0, "11", "13", "20", "22", "31", "33"},
        {1, "10", "12", "24", "26", "34", "36"},
        {2, "10", "12", "24", "26", "34", "36"},
        {3, "11", "13", "20", "22", "31", "33"},
    };
    const uint8_t out[] = {0xC0, 0x55, 0x0F};
    uint8_t in[3] = {};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        Configure("", "", "");
        ASSERT_EQ(OpenChannel0(SYSTEM_OPTIONS | c.mode), 0u);
        size_t setUpWrites = WrittenBytes().size();
        ASSERT_EQ(SPI_Write(handle, out, 3, &transferred, 0), 0u);
        ASSERT_EQ(SPI_Write(handle, out, 12, &transferred, XFER_BITS), 0u);
        EXPECT_EQ(transferred, 12u);
        ASSERT_EQ(SPI_Read(handle, in, 2, &transferred, 0), 0u);
        ASSERT_EQ(SPI_Read(handle, in, 12, &transferred, XFER_BITS), 0u);
        ASSERT_EQ(SPI_ReadWrite(handle, in, out, 2, &transferred, 0), 0u);
        ASSERT_EQ(SPI_ReadWrite(handle, in, out, 9, &transferred, XFER_BITS), 0u);
        EXPECT_EQ(transferred, 9u);
        EXPECT_EQ(WrittenBytes(setUpWrites),
                  (Lines{c.writeBytes + " 02 00", "C0 55 0F", c.writeBits + " 07 C0", c.writeBits + " 03 55",
                         c.readBytes + " 01 00 87", c.readBits + " 07 87", c.readBits + " 03 87",
                         c.duplexBytes + " 01 00", "C0 55", c.duplexBits + " 07 C0", c.duplexBits + " 00 55"}));
    }
}

TEST_F(SpiBoardTest, PinBytesByModeLineAndPolarity)
{
    const struct {
        uint32_t options, pinsIn, pinsOut;
        std::string set, assert, release, close;
    } cases[] = {
        {0x20, 0x00000000, 0x0000000B, "80 00 0B", "80 00 0B", "80 08 0B", "80 00 00"},
        {0x27, 0x00000000, 0x00000113, "80 01 13", "80 01 13", "80 11 13", "80 00 00"}, // mode 3, line 1
        {0x12, 0xFF000004, 0xFF000183, "80 01 83", "80 81 83", "80 01 83", "80 FF 00"}, // mode 2, line 4, high
        {0x01, 0x3B0BFF00, 0x3B0BFE0B, "80 FE 0B", "80 FE 0B", "80 F6 0B", "80 3B 0B"}, // mode 1, high
    };
    const uint8_t byte = 0x42;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        Configure("", "", "");
        ASSERT_EQ(OpenChannel0(c.options, 5000, c.pinsIn), 0u);
        EXPECT_EQ(settings.pins, c.pinsOut);
        EXPECT_EQ(settings.pinState, c.pinsOut & 0xFFFF);
        size_t setUpWrites = WrittenBytes().size() - 1;
        ASSERT_EQ(SPI_Write(handle, &byte, 1, &transferred, XFER_CS_ASSERT | XFER_CS_RELEASE), 0u);
        ASSERT_EQ(SPI_CloseChannel(handle), 0u);
        Lines writes = WrittenBytes(setUpWrites);
        ASSERT_EQ(writes.size(), 6u);
        EXPECT_EQ(writes[0], c.set);
        EXPECT_EQ(writes[1], c.assert);
        EXPECT_EQ(writes[4], c.release);
        EXPECT_EQ(writes[5], c.close);
    }

    // Chip select moved to line 1 in mode 2: line 0 stays an output, the
    // clock idles high, and transfers take mode 2's commands.
    Configure("", "", "");
    ASSERT_EQ(OpenChannel0(), 0u);
    size_t setUpWrites = WrittenBytes().size();
    ASSERT_EQ(SPI_ChangeCS(handle, SPI_CS_ACTIVE_LOW | (1 << 2) | 2), 0u);
    ASSERT_EQ(SPI_Write(handle, &byte, 1, &transferred, XFER_CS_ASSERT | XFER_CS_RELEASE), 0u);
    EXPECT_EQ(WrittenBytes(setUpWrites), (Lines{"80 01 1B", "80 01 1B", "10 00 00", "42", "80 11 1B"}));
}

TEST_F(SpiBoardTest, ChannelListAndHandlesThatCannotTransfer)
{
    // Closing the first interface leaves the second listed and working.
    ASSERT_EQ(OpenChannel0(), 0u);
    SpiHandle first = handle, second = nullptr, unset = nullptr;
    ASSERT_EQ(SPI_OpenChannel(1, &second), 0u);
    SpiChannelSettings secondSettings{5000, 255, SYSTEM_OPTIONS, 0, 0};
    ASSERT_EQ(SPI_InitChannel(second, &secondSettings), 0u);
    ASSERT_EQ(SPI_CloseChannel(first), 0u);
    const uint8_t byte = 0x42;
    EXPECT_EQ(SPI_Write(second, &byte, 1, &transferred, XFER_CS_ASSERT), 0u);

    // Closed, never opened, opened but never set up: refused, nothing sent.
    ASSERT_EQ(SPI_OpenChannel(0, &unset), 0u);
    size_t calls = Trace("USB").size();
    bool busy = false;
    for (SpiHandle h : {first, reinterpret_cast<SpiHandle>(0x5B00000999), unset}) {
        EXPECT_EQ(SPI_Write(h, &byte, 1, &transferred, XFER_CS_ASSERT), 18u);
        EXPECT_EQ(SPI_IsBusy(h, &busy), 18u);
    }
    EXPECT_EQ(SPI_CloseChannel(first), 18u);
    EXPECT_EQ(Trace("USB").size(), calls);
    // The channel that was never set up closes without a pin write.
    ASSERT_EQ(SPI_CloseChannel(unset), 0u);
    EXPECT_EQ(Trace("USB").back().entry, "FT_Close");
    EXPECT_EQ(Trace("USB").size(), calls + 1);
}

TEST_F(SpiBoardTest, PinReadsAndAnswersThatNeverCome)
{
    ASSERT_EQ(OpenChannel0(), 0u);
    bool busy = false;
    ASSERT_EQ(SPI_IsBusy(handle, &busy), 0u);
    EXPECT_TRUE(busy); // chip select low, the other pins high
    // Low nibble of the high byte outputs driving 0101, high nibble inputs
    // (they read 1).
    ASSERT_EQ(FT_WriteGPIO(handle, 0x0F, 0x05), 0u);
    uint8_t value = 0;
    ASSERT_EQ(FT_ReadGPIO(handle, &value), 0u);
    EXPECT_EQ(value, 0xF5);
    EXPECT_EQ(WrittenBytes(WrittenBytes().size() - 5), (Lines{"80 00 0B", "81 87", "80 08 0B", "82 05 0F", "83 87"}));

    // The engine dies after the set-up's 11 bytes: no answer within the
    // read time-out.
    Configure("", "dead-after:11", "");
    ASSERT_EQ(OpenChannel0(), 0u);
    uint8_t in[2] = {0x11, 0x22};
    EXPECT_EQ(SPI_Read(handle, in, 2, &transferred, XFER_CS_ASSERT), 4u);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(SPI_IsBusy(handle, &busy), 4u);
    EXPECT_EQ(FT_ReadGPIO(handle, &value), 4u);
}

TEST_F(SpiBoardTest, FailingTransferWriteLeavesChipSelectAsserted)
{
    // Writes 1-7 are the set-up's; 8 is the assert, 9 the data command.
    Configure("", "", "FT_Write:9:4");
    ASSERT_EQ(OpenChannel0(), 0u);
    const uint8_t out[] = {0x01, 0x02};
    EXPECT_EQ(SPI_Write(handle, out, 2, &transferred, XFER_CS_ASSERT | XFER_CS_RELEASE), 4u);
    // The failed write is the last call: no release followed it.
    EXPECT_TRUE(Trace("USB").back().injected);
    Lines writes = WrittenBytes();
    ASSERT_EQ(writes.size(), 9u);
    EXPECT_EQ(writes[7], "80 00 0B");
}

TEST_F(SpiBoardTest, UnbindingForgetsTheDriverUntilTheNextBind)
{
    Cleanup_libMPSSE();
    EXPECT_EQ(hdll_d2xx, nullptr);
    size_t calls = Trace("USB").size();
    uint32_t count = 0;
    EXPECT_EQ(SPI_GetNumChannels(&count), 18u);
    EXPECT_EQ(Trace("USB").size(), calls);

    // The module hooks bind and unbind the same way.
    EXPECT_EQ(Infra_ModuleEntry(INFRA_PROCESS_ATTACH), 1);
    EXPECT_EQ(SPI_GetNumChannels(&count), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Infra_ModuleEntry(INFRA_PROCESS_DETACH), 1);
    EXPECT_EQ(hdll_d2xx, nullptr);
}

} // namespace
