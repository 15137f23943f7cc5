#include <cstring>

#include "console/console.h"
#include "can/can.h"
#include "can/can_fast.h"
#include "can/mcp2515_regs.h"
#include "can/mcp_spi.h"
#include "platform/platform.h"

namespace
{

// The channel's fixed settings: 5000 Hz, 255 ms latency, SPI mode 0, chip
// select on line 0, active low; all low pins inputs at set-up and close.
constexpr uint32_t CAN_SPI_CLOCK_HZ = 5000;
constexpr uint8_t CAN_SPI_LATENCY_MS = 255;
constexpr uint32_t CAN_SPI_OPTIONS = SPI_CS_ACTIVE_LOW; // mode 0, line 0
constexpr uint32_t CAN_SPI_PINS = 0;

// Bit timing: 8 quanta of 2 x (BRP + 1) oscillator periods; sample point 62.5 %.
constexpr uint8_t CAN_CNF3 = 0x02; // PHSEG2 = 2: phase segment 2 of 3 TQ
constexpr uint8_t CAN_CNF2 = 0x90; // BTLMODE, PHSEG1 = 2 (3 TQ), PRSEG = 0 (1 TQ)
constexpr uint32_t CAN_QUANTA_PER_BIT = 8;

constexpr uint32_t MCP_MODE_SETTLE_MS = 10;
constexpr uint32_t MCP_MODE_READBACKS = 501;
constexpr uint32_t MCP_MODE_READBACK_PAUSE_MS = 1;

// SIDL addresses of the six filters.
uint8_t filterAddress(uint8_t filter)
{
    return filter < 3 ? static_cast<uint8_t>(MCP_RXF0SIDH + MCP_FILTER_STRIDE * filter)
                      : static_cast<uint8_t>(MCP_RXF3SIDH + MCP_FILTER_STRIDE * (filter - 3));
}

int writeIdentifier(uint8_t sidh, uint32_t id, uint8_t extended)
{
    int status = MCP_BitModify(sidh, 0xFF, static_cast<uint8_t>(id >> 3));
    status = CAN_AddStatus(status, MCP_BitModify(sidh + 1, MCP_SIDL_SID_MASK, static_cast<uint8_t>(id << 5)));
    if (extended != 0) {
        status = CAN_AddStatus(status, MCP_BitModify(sidh + 1, MCP_SIDL_EID_MASK, static_cast<uint8_t>(id >> 27)));
        status = CAN_AddStatus(status, MCP_BitModify(sidh + 2, 0xFF, static_cast<uint8_t>(id >> 19)));
        status = CAN_AddStatus(status, MCP_BitModify(sidh + 3, 0xFF, static_cast<uint8_t>(id >> 11)));
    }
    return status;
}

void printDot() { APP_Print("."); }

uint32_t g_channelIndex = 0;
bool g_fastPath = false;
uint32_t g_fastReplyId = 0;

} // namespace

uint8_t MCP_BitTimingCnf1(int32_t bitRate)
{
    uint32_t divisor = CAN_QUANTA_PER_BIT * static_cast<uint32_t>(bitRate);
    if (divisor == 0)
        return 0xFF;
    uint32_t quanta = MCP_OSCILLATOR_HZ / divisor;
    return static_cast<uint8_t>(static_cast<uint8_t>(quanta) / 2u - 1u);
}

int MCP_SetBitTiming(int32_t bitRate)
{
    if (CAN_QUANTA_PER_BIT * static_cast<uint32_t>(bitRate) == 0)
        return -1;
    const uint8_t timing[] = {CAN_CNF3, CAN_CNF2, MCP_BitTimingCnf1(bitRate)};
    return MCP_WriteRegisters(MCP_CNF3, sizeof(timing), timing);
}

int MCP_SetFilter(uint8_t filter, uint32_t id, uint8_t extended)
{
    return writeIdentifier(filterAddress(filter), id, extended);
}

int MCP_SetMask(uint8_t mask, uint32_t id, uint8_t extended)
{
    return writeIdentifier(static_cast<uint8_t>(MCP_RXM0SIDH + MCP_FILTER_STRIDE * mask), id, extended);
}

int MCP_ConfigureFilter(uint8_t filter, uint8_t exide)
{
    // RXB0 owns filters 0 and 1, RXB1 filters 2 to 5. Neither write changes
    // anything: the mask is 0 for RXB0, and RXB1's bits 2-0 are read-only.
    int status = filter < 2 ? MCP_BitModify(MCP_RXB0CTRL, 0x00, filter)
                            : MCP_BitModify(MCP_RXB1CTRL, MCP_RXB1CTRL_FILHIT_MASK, filter);
    return CAN_AddStatus(status,
                         MCP_BitModify(filterAddress(filter) + 1, MCP_SIDL_EXIDE, static_cast<uint8_t>(exide << 3)));
}

int MCP_SetMode(uint8_t mode)
{
    int status = MCP_BitModify(MCP_CANCTRL, MCP_CANCTRL_REQOP_MASK, mode);
    PLAT_SleepMs(MCP_MODE_SETTLE_MS);
    for (uint32_t attempt = 0; attempt < MCP_MODE_READBACKS; ++attempt) {
        uint8_t current = 0;
        int readStatus = MCP_ReadMode(&current);
        PLAT_SleepMs(MCP_MODE_READBACK_PAUSE_MS);
        // A read that failed proves nothing about the mode, and the next one
        // would fail the same way: an engine that stopped answering lets each
        // read wait out the USB read time-out (5 s), 501 of them 42 minutes.
        if (readStatus != 0)
            return -1;
        if (current == mode)
            return status;
    }
    return -1;
}

int CAN_OpenSpiChannel(uint32_t index)
{
    uint32_t count = 0;
    printDot();
    SPI_GetNumChannels(&count);
    printDot();
    if (count == 0)
        return -1;

    SpiChannelSettings settings;
    std::memset(&settings, 0, sizeof(settings));
    settings.clockRate = CAN_SPI_CLOCK_HZ;
    settings.latencyTimer = CAN_SPI_LATENCY_MS;
    settings.options = CAN_SPI_OPTIONS;
    settings.pins = CAN_SPI_PINS;
    printDot();

    MPSSE_DeviceRecord record;
    std::memset(&record, 0, sizeof(record));
    SPI_GetChannelInfo(index, &record);
    printDot();

    // A channel that did not open or set up is never used: every instruction
    // on it would fail, and the controller would be left half configured.
    g_spiHandle = nullptr;
    int status = MCP_StatusOf(SPI_OpenChannel(index, &g_spiHandle));
    printDot();
    if (status != 0) {
        g_spiHandle = nullptr;
        return status;
    }
    status = g_fastPath ? CAN_InitFastChannel(g_spiHandle, &settings)
                        : MCP_StatusOf(SPI_InitChannel(g_spiHandle, &settings));
    printDot();
    if (status != 0) {
        SPI_CloseChannel(g_spiHandle);
        g_spiHandle = nullptr;
    }
    return status;
}

int CAN_OpenInterface()
{
    // Ends the process itself when the driver library cannot be bound.
    Init_libMPSSE();
    return CAN_OpenSpiChannel(g_channelIndex);
}

void CAN_SelectChannel(uint32_t index) { g_channelIndex = index; }

void CAN_SetFastPath(bool fast, uint32_t replyId)
{
    g_fastPath = fast;
    g_fastReplyId = replyId;
}

bool CAN_FastPath() { return g_fastPath; }

int CAN_ListChannels(CanChannelInfo *channels, uint32_t capacity, uint32_t *count)
{
    *count = 0;
    Init_libMPSSE();
    uint32_t available = 0;
    D2xxStatus status = SPI_GetNumChannels(&available);
    for (uint32_t index = 0; status == D2XX_OK && index < available && *count < capacity; ++index) {
        MPSSE_DeviceRecord record;
        std::memset(&record, 0, sizeof(record));
        status = SPI_GetChannelInfo(index, &record);
        if (status != D2XX_OK)
            break;
        CanChannelInfo &channel = channels[(*count)++];
        channel.index = index;
        channel.type = record.type;
        channel.locId = record.locId;
        // The driver's texts are terminated within their fields; a record
        // that is not still gives terminated copies.
        std::memcpy(channel.serialNumber, record.serialNumber, sizeof(channel.serialNumber));
        channel.serialNumber[sizeof(channel.serialNumber) - 1] = '\0';
        std::memcpy(channel.description, record.description, sizeof(channel.description));
        channel.description[sizeof(channel.description) - 1] = '\0';
    }
    return MCP_StatusOf(status);
}

void CAN_ReleaseDriver() { Cleanup_libMPSSE(); }

bool CAN_IsOpen() { return g_spiHandle != nullptr; }

int CAN_Open(int32_t bitRate)
{
    // Rates the bit timing cannot give would silently become other rates.
    if (bitRate < CAN_MIN_BIT_RATE || bitRate > CAN_MAX_BIT_RATE)
        return CAN_OPEN_BAD_BIT_RATE;

    int opened = CAN_OpenInterface();
    if (opened == -1)
        return CAN_OPEN_NO_CHANNEL;
    if (opened != 0)
        return opened;
    if (g_fastPath)
        return CAN_BringUpFast(bitRate, g_fastReplyId);

    // The controller comes out of reset in configuration mode, where the
    // bit-timing registers are writable.
    int sum = MCP_Reset();
    sum = CAN_AddStatus(sum, MCP_SetBitTiming(bitRate));
    sum = CAN_AddStatus(sum, MCP_BitModify(MCP_RXB0CTRL, MCP_RXBCTRL_RXM_MASK, MCP_RXBCTRL_RXM_ANY));
    sum = CAN_AddStatus(sum, MCP_BitModify(MCP_RXB1CTRL, MCP_RXBCTRL_RXM_MASK, MCP_RXBCTRL_RXM_ANY));
    for (uint8_t filter = 0; filter < MCP_FILTER_COUNT; ++filter) {
        sum = CAN_AddStatus(sum, MCP_SetFilter(filter, 0, 0));
        sum = CAN_AddStatus(sum, MCP_SetFilter(filter, 0, 1));
        sum = CAN_AddStatus(sum, MCP_ConfigureFilter(filter, 8));
    }
    for (uint8_t mask = 0; mask < MCP_MASK_COUNT; ++mask)
        sum = CAN_AddStatus(sum, MCP_SetMask(mask, 0, 1));
    sum = CAN_AddStatus(sum, MCP_BitModify(MCP_BFPCTRL, 0xFF, 0x00));
    sum = CAN_AddStatus(sum, MCP_BitModify(MCP_TXRTSCTRL, 0xFF, 0x00));
    sum = CAN_AddStatus(sum, MCP_BitModify(MCP_CANINTE, 0xF4, 0x00));
    sum = CAN_AddStatus(sum, MCP_BitModify(MCP_CANINTE, MCP_INT_RX0 | MCP_INT_RX1, 0xFF));
    sum = CAN_AddStatus(sum, MCP_ClearInterruptFlags(0xFF));
    sum = CAN_AddStatus(sum, MCP_SetMode(MCP_MODE_NORMAL));
    return sum;
}

int CAN_TakeOffBus()
{
    if (g_spiHandle == nullptr)
        return 0;
    if (g_fastPath)
        return CAN_TakeOffBusFast();
    // An unacknowledged request stays pending and the controller would send
    // it again whenever a node appears: abort it, then leave the bus.
    int status = MCP_BitModify(MCP_CANCTRL, MCP_CANCTRL_ABAT, MCP_CANCTRL_ABAT);
    return CAN_AddStatus(status,
                         MCP_BitModify(MCP_CANCTRL, MCP_CANCTRL_REQOP_MASK | MCP_CANCTRL_ABAT, MCP_MODE_CONFIGURATION));
}

int CAN_Close()
{
    int status = CAN_TakeOffBus();
    status = CAN_AddStatus(status, MCP_StatusOf(SPI_CloseChannel(g_spiHandle)));
    g_spiHandle = nullptr;
    Cleanup_libMPSSE();
    return status;
}

void CAN_ResetForTest()
{
    g_spiHandle = nullptr;
    g_channelIndex = 0;
    g_fastPath = false;
    CAN_ResetFastForTest();
}
