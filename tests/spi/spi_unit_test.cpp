// The SPI master without a driver library: clock arithmetic, the echo search
// and queue drain over a scripted receive queue, the refusals that come
// before any driver call, and the null-argument report.
#include <gtest/gtest.h>

#include <deque>
#include <regex>
#include <string>
#include <vector>

#include "Mpsse/src/mpsse_channel.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "support/tool_fixture.h"

namespace
{

using Bytes = std::vector<uint8_t>;

TEST(MpsseClock, DivisorAndDivideBy5CommandByRate)
{
    const struct {
        uint32_t rate;
        D2xxStatus status;
        uint8_t command;
        uint16_t divisor;
    } cases[] = {
        {5000, 0, 0x8B, 1199},  {6000000, 0, 0x8B, 0}, {6000001, 0, 0x8A, 3},
        {30000000, 0, 0x8A, 0}, {92, 0, 0x8B, 65216}, // the slowest rate whose divisor fits 16 bits
        {91, 6, 0, 0},          {30000001, 6, 0, 0},
    };
    for (uint32_t type : {DEVICE_TYPE_FT2232H, DEVICE_TYPE_FT4232H, DEVICE_TYPE_FT232H}) {
        for (const auto &c : cases) {
            uint8_t command = 0;
            uint16_t divisor = 0;
            EXPECT_EQ(MPSSE_ClockDivisor(type, c.rate, &divisor, &command), c.status) << c.rate;
            EXPECT_EQ(command, c.command) << c.rate;
            EXPECT_EQ(divisor, c.divisor) << c.rate;
        }
    }
    // The FT2232C/D clocks from its fixed 6 MHz base, with no divide-by-5 command.
    uint8_t command = 0xEE;
    uint16_t divisor = 0xEEEE;
    EXPECT_EQ(MPSSE_ClockDivisor(DEVICE_TYPE_FT2232C, 6000000, &divisor, &command), 0u);
    EXPECT_EQ(command, MPSSE_CMD_NONE);
    EXPECT_EQ(divisor, 0u);
    EXPECT_EQ(MPSSE_ClockDivisor(DEVICE_TYPE_FT2232C, 6000001, &divisor, &command), 6u);
}

TEST(SpiBatch, FillsToItsCapacityExactly)
{
    static SpiBatch batch{};
    static const uint8_t out[SPI_BATCH_CAPACITY] = {};
    SPI_BatchClear(&batch);
    // Select, the write's header, its bytes, release: 9 command bytes besides the data.
    SPI_BatchFrame(&batch, out, SPI_BATCH_CAPACITY - 9, 0);
    EXPECT_EQ(batch.length, SPI_BATCH_CAPACITY);
    EXPECT_FALSE(batch.overflow);
    SPI_BatchFrame(&batch, out, 0, 0);
    EXPECT_TRUE(batch.overflow);
}

// A receive queue that shows one scripted chunk per FT_GetQueueStatus and
// whose FT_Read never reaches into the next chunk.
std::deque<Bytes> g_arrivals;
bool g_readsBringNothing = false;

D2xxStatus D2XX_CALL fakeQueueStatus(D2xxHandle, uint32_t *waiting)
{
    *waiting = g_arrivals.empty() ? 0 : static_cast<uint32_t>(g_arrivals.front().size());
    return 0;
}

D2xxStatus D2XX_CALL fakeRead(D2xxHandle, void *buffer, uint32_t count, uint32_t *read)
{
    *read = 0;
    if (g_readsBringNothing || g_arrivals.empty())
        return 0;
    Bytes &front = g_arrivals.front();
    *read = count < front.size() ? count : static_cast<uint32_t>(front.size());
    std::copy(front.begin(), front.begin() + *read, static_cast<uint8_t *>(buffer));
    front.erase(front.begin(), front.begin() + *read);
    if (front.empty())
        g_arrivals.pop_front();
    return 0;
}

D2xxStatus D2XX_CALL fakeWrite(D2xxHandle, const void *, uint32_t count, uint32_t *written)
{
    *written = count;
    return 0;
}

class EchoSearch : public ToolTest
{
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        g_arrivals.clear();
        g_readsBringNothing = false;
        varFunctionPtrLst.getQueueStatus = fakeQueueStatus;
        varFunctionPtrLst.read = fakeRead;
        varFunctionPtrLst.write = fakeWrite;
    }
    D2xxHandle handle = reinterpret_cast<D2xxHandle>(0x10);
    bool found = false;
};

TEST_F(EchoSearch, PairFoundAcrossReadsAndAfterFalseStarts)
{
    const struct {
        std::vector<Bytes> arrivals;
        uint64_t passes;
    } cases[] = {
        {{{0x00, 0xFA}, {0xAB, 0x55}}, 2}, // split over two reads
        {{{0xFA, 0x01, 0xFA, 0xAB}}, 1},   // 0xFA before another byte does not count
        {{{0xFA}, {0xFA}, {0xAB}}, 3},
        {{{0xAB}, {0xFA, 0xAB}}, 2}, // the command byte alone is no echo
    };
    for (const auto &c : cases) {
        g_arrivals.assign(c.arrivals.begin(), c.arrivals.end());
        PLAT_VirtualClockReset();
        EXPECT_EQ(MPSSE_AwaitBadCommandEcho(handle, false, 0xAB, &found), 0u);
        EXPECT_TRUE(found);
        EXPECT_EQ(PLAT_VirtualSleepCount(), c.passes);
    }
    g_arrivals = {{0xFA, 0xAA}};
    EXPECT_EQ(MPSSE_AwaitBadCommandEcho(handle, false, 0xAB, &found), 18u);
    EXPECT_FALSE(found);
}

TEST_F(EchoSearch, DrainReadsInPiecesAndStopsWhenReadsBringNothing)
{
    g_arrivals = {Bytes(5000, 0x00)};
    EXPECT_EQ(MPSSE_DrainReceiveQueue(handle), 0u);
    EXPECT_TRUE(g_arrivals.empty());

    // The driver reports bytes that its reads never deliver.
    g_arrivals = {Bytes(10, 0x00)};
    g_readsBringNothing = true;
    EXPECT_EQ(MPSSE_DrainReceiveQueue(handle), 4u);
}

class SpiApi : public ToolTest
{
protected:
    uint8_t buffer[4] = {};
    uint32_t transferred = 0;
    SpiChannelSettings settings{5000, 255, SPI_CS_ACTIVE_LOW, 0, 0};
    SpiHandle handle = reinterpret_cast<SpiHandle>(0x10);
};

// Each null argument is refused with 6 and reported with its operation's name
// (the line number of the check aside), in the order of the calls.
TEST_F(SpiApi, NullArgumentsAreRefusedAndReported)
{
    const D2xxStatus statuses[] = {SPI_GetNumChannels(nullptr),
                                   SPI_GetChannelInfo(0, nullptr),
                                   SPI_OpenChannel(0, nullptr),
                                   SPI_InitChannel(nullptr, nullptr),
                                   SPI_InitChannel(nullptr, &settings),
                                   SPI_CloseChannel(nullptr),
                                   SPI_Read(nullptr, nullptr, 1, nullptr, 0),
                                   SPI_Read(handle, nullptr, 1, nullptr, 0),
                                   SPI_Read(handle, buffer, 1, nullptr, 0),
                                   SPI_Write(nullptr, buffer, 1, &transferred, 0),
                                   SPI_Write(handle, nullptr, 1, &transferred, 0),
                                   SPI_Write(handle, buffer, 1, nullptr, 0),
                                   SPI_ReadWrite(nullptr, buffer, buffer, 1, &transferred, 0),
                                   SPI_ReadWrite(handle, nullptr, buffer, 1, &transferred, 0),
                                   SPI_ReadWrite(handle, buffer, nullptr, 1, &transferred, 0),
                                   SPI_ReadWrite(handle, buffer, buffer, 1, nullptr, 0),
                                   SPI_ChangeCS(nullptr, SPI_CS_ACTIVE_LOW)};
    std::string expected;
    for (const char *operation :
         {"GetNumChannels", "GetChannelInfo", "OpenChannel", "InitChannel", "InitChannel", "CloseChannel", "Read",
          "Read", "Read", "Write", "Write", "Write", "ReadWrite", "ReadWrite", "ReadWrite", "ReadWrite", "ChangeCS"})
        expected +=
            "../../TopLayer/SPI/src/ftdi_spi:#:SPI_" + std::string(operation) + "(): NULL expression encountered\n";
    EXPECT_EQ(std::vector<D2xxStatus>(std::begin(statuses), std::end(statuses)), std::vector<D2xxStatus>(17, 6));
    EXPECT_EQ(std::regex_replace(console, std::regex(":[0-9]+:"), ":#:"), expected);
}

// Refused with 6 before the channel is even looked up (an unlisted handle
// would give 18) and before the driver is called (unbound: 18).
TEST_F(SpiApi, UnsendableRequestsAreRefusedFirst)
{
    static uint8_t big[65537];
    for (uint32_t size : {0u, 65537u}) {
        EXPECT_EQ(SPI_Write(handle, big, size, &transferred, XFER_CS_ASSERT), 6u) << size;
        EXPECT_EQ(SPI_Read(handle, big, size, &transferred, XFER_CS_ASSERT), 6u) << size;
        EXPECT_EQ(SPI_ReadWrite(handle, big, big, size, &transferred, XFER_CS_ASSERT), 6u) << size;
    }
    EXPECT_EQ(SPI_Write(handle, big, 65536, &transferred, 0), 18u); // fits: goes on to the look-up
    EXPECT_EQ(SPI_Write(handle, big, 0, &transferred, XFER_BITS), 18u);

    for (uint32_t line : {5u, 6u, 7u}) {
        SpiChannelSettings bad = settings;
        bad.options |= line << 2;
        EXPECT_EQ(SPI_InitChannel(handle, &bad), 6u) << line;
        EXPECT_EQ(bad.pins, 0u);
        EXPECT_EQ(SPI_ChangeCS(handle, bad.options), 6u) << line;
    }
    bool busy = false;
    EXPECT_EQ(SPI_IsBusy(handle, nullptr), 6u);
    EXPECT_EQ(SPI_IsBusy(handle, &busy), 18u);
    EXPECT_EQ(console, "");
}

} // namespace
