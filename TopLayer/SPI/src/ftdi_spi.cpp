#include "TopLayer/SPI/src/ftdi_spi.h"

#include <new>

#include "Mpsse/src/mpsse_channel.h"
#include "TopLayer/SPI/src/spi_channel_list.h"
#include "console/console.h"
#include "platform/platform.h"

SpiChannelNode *g_channelList = nullptr;

namespace
{

// The NULL-expression report names this source path and, per operation and
// argument, these lines.
const char SPI_SOURCE_PATH[] = "../../TopLayer/SPI/src/ftdi_spi";
constexpr int LINE_GET_NUM_CHANNELS_COUNT = 105;
constexpr int LINE_GET_CHANNEL_INFO_RECORD = 134;
constexpr int LINE_OPEN_CHANNEL_HANDLE = 159;
constexpr int LINE_INIT_CHANNEL_SETTINGS = 196;
constexpr int LINE_INIT_CHANNEL_HANDLE = 197;
constexpr int LINE_CLOSE_CHANNEL_HANDLE = 285;
constexpr int LINE_CHANGE_CS_HANDLE = 803;

// Low pin byte: SK (pin 0) and DO (pin 1) are outputs, DI (pin 2) an input;
// chip-select line n is pin 3 + n.
constexpr uint32_t PIN_SK = 0x01;
constexpr uint32_t PIN_DO = 0x02;
constexpr uint32_t PIN_DI = 0x04;
constexpr uint32_t CS_PIN_LINE_0 = 0x08;
constexpr uint32_t SK_LEVEL_BIT = 0x100; // pin 0's level in pins and pinState
constexpr uint8_t CMD_SET_LOW_PINS = 0x80;

// The settle time that chip select gets before each release.
constexpr uint32_t PAUSE_BEFORE_RELEASE_MS = 2;

uint32_t csLine(uint32_t options) { return (options & SPI_CS_LINE_MASK) >> SPI_CS_LINE_SHIFT; }
uint32_t csMask(uint32_t options) { return CS_PIN_LINE_0 << csLine(options); }
// Modes 2 and 3 idle the clock high, modes 0 and 1 low.
bool clockIdlesHigh(uint32_t options) { return (options & SPI_MODE_MASK) >= 2; }

SpiChannelNode *lastEntry(SpiHandle handle)
{
    SpiChannelNode *found = nullptr;
    for (SpiChannelNode *node = g_channelList; node != nullptr; node = node->next)
        if (node->handle == handle)
            found = node;
    return found;
}

D2xxStatus sendLowPins(SpiHandle handle, uint8_t levels, uint8_t directions)
{
    const uint8_t command[] = {CMD_SET_LOW_PINS, levels, directions};
    return MPSSE_WriteAll(handle, command, sizeof(command));
}

} // namespace

void SPI_ReportNullArgument(int line, const char *operation)
{
    APP_Print("%s:%d:%s(): NULL expression encountered\n", SPI_SOURCE_PATH, line, operation);
}

// ---- The channel list ------------------------------------------------------

D2xxStatus MPSSE_AddChannel(SpiHandle handle)
{
    SpiChannelNode *node = new (std::nothrow) SpiChannelNode{handle, SpiChannelSettings{}, false, nullptr};
    if (node == nullptr)
        return D2XX_INSUFFICIENT_RESOURCES;
    SpiChannelNode **tail = &g_channelList;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = node;
    return D2XX_OK;
}

D2xxStatus MPSSE_RemoveChannel(SpiHandle handle)
{
    for (SpiChannelNode **link = &g_channelList; *link != nullptr; link = &(*link)->next) {
        if ((*link)->handle == handle) {
            SpiChannelNode *node = *link;
            *link = node->next;
            delete node;
            break;
        }
    }
    return D2XX_OK;
}

D2xxStatus MPSSE_UpdateChannel(SpiHandle handle, const SpiChannelSettings *settings)
{
    D2xxStatus status = D2XX_OTHER_ERROR;
    for (SpiChannelNode *node = g_channelList; node != nullptr; node = node->next) {
        if (node->handle == handle) {
            node->settings = *settings;
            node->setUp = true;
            status = D2XX_OK;
        }
    }
    return status;
}

D2xxStatus MPSSE_FindChannel(SpiHandle handle, SpiChannelSettings **settings)
{
    SpiChannelNode *node = lastEntry(handle);
    if (node == nullptr || !node->setUp)
        return D2XX_OTHER_ERROR;
    *settings = &node->settings;
    return D2XX_OK;
}

D2xxStatus MPSSE_SetChipSelect(SpiHandle handle, bool assert)
{
    if (!assert)
        PLAT_SleepMs(PAUSE_BEFORE_RELEASE_MS);
    SpiChannelSettings *settings = nullptr;
    D2xxStatus status = MPSSE_FindChannel(handle, &settings);
    if (status != D2XX_OK)
        return status;
    uint8_t levels = 0, directions = 0;
    SPI_ChipSelectPins(settings, assert, &levels, &directions);
    settings->pinState = static_cast<uint16_t>((levels << 8) | directions);
    return sendLowPins(handle, levels, directions);
}

void SPI_ChipSelectPins(const SpiChannelSettings *settings, bool assert, uint8_t *levels, uint8_t *directions)
{
    uint32_t mask = csMask(settings->options);
    *directions = static_cast<uint8_t>((settings->pinState & 0xFF) | mask);
    *levels = static_cast<uint8_t>(settings->pinState >> 8);
    bool activeLow = (settings->options & SPI_CS_ACTIVE_LOW) != 0;
    if (assert == activeLow)
        *levels = static_cast<uint8_t>(*levels & ~mask);
    else
        *levels = static_cast<uint8_t>(*levels | mask);
}

// ---- Discovery, opening and closing ----------------------------------------

D2xxStatus SPI_GetNumChannels(uint32_t *count)
{
    if (count == nullptr) {
        SPI_ReportNullArgument(LINE_GET_NUM_CHANNELS_COUNT, "SPI_GetNumChannels");
        return D2XX_INVALID_PARAMETER;
    }
    return MPSSE_CountChannels(count);
}

D2xxStatus SPI_GetChannelInfo(uint32_t index, MPSSE_DeviceRecord *record)
{
    if (record == nullptr) {
        SPI_ReportNullArgument(LINE_GET_CHANNEL_INFO_RECORD, "SPI_GetChannelInfo");
        return D2XX_INVALID_PARAMETER;
    }
    return MPSSE_GetChannelRecord(index, record);
}

D2xxStatus SPI_OpenChannel(uint32_t index, SpiHandle *handle)
{
    if (handle == nullptr) {
        SPI_ReportNullArgument(LINE_OPEN_CHANNEL_HANDLE, "SPI_OpenChannel");
        return D2XX_INVALID_PARAMETER;
    }
    D2xxStatus status = MPSSE_OpenChannelByIndex(index, handle);
    if (status != D2XX_OK)
        return status;
    // Without an entry the device stays open: the caller holds its handle.
    return MPSSE_AddChannel(*handle);
}

namespace
{

D2xxStatus initChannel(SpiHandle handle, SpiChannelSettings *settings, bool fast)
{
    if (settings == nullptr) {
        SPI_ReportNullArgument(LINE_INIT_CHANNEL_SETTINGS, "SPI_InitChannel");
        return D2XX_INVALID_PARAMETER;
    }
    if (handle == nullptr) {
        SPI_ReportNullArgument(LINE_INIT_CHANNEL_HANDLE, "SPI_InitChannel");
        return D2XX_INVALID_PARAMETER;
    }
    if (csLine(settings->options) >= SPI_CS_LINE_COUNT)
        return D2XX_INVALID_PARAMETER;
    // A handle that is not listed is refused before the device is touched.
    SpiChannelNode *entry = lastEntry(handle);
    if (entry == nullptr)
        return D2XX_OTHER_ERROR;
    // From here the device changes state: until this set-up completes the
    // channel's earlier settings no longer describe it.
    for (SpiChannelNode *node = g_channelList; node != nullptr; node = node->next)
        if (node->handle == handle)
            node->setUp = false;

    uint32_t pins = settings->pins;
    pins |= PIN_SK | PIN_DO | csMask(settings->options);
    pins &= ~PIN_DI;
    if (clockIdlesHigh(settings->options))
        pins |= SK_LEVEL_BIT;
    else
        pins &= ~SK_LEVEL_BIT;
    settings->pins = pins;
    settings->pinState = static_cast<uint16_t>(pins & 0xFFFF);

    D2xxStatus status = fast ? MPSSE_SetupChannelFast(handle, settings->clockRate, settings->latencyTimer)
                             : MPSSE_SetupChannel(handle, settings->clockRate, settings->latencyTimer);
    if (status != D2XX_OK)
        return status;
    status = sendLowPins(handle, static_cast<uint8_t>(settings->pinState >> 8),
                         static_cast<uint8_t>(settings->pinState & 0xFF));
    if (status != D2XX_OK)
        return status;
    return MPSSE_UpdateChannel(handle, settings);
}

} // namespace

D2xxStatus SPI_InitChannel(SpiHandle handle, SpiChannelSettings *settings)
{
    return initChannel(handle, settings, false);
}

D2xxStatus SPI_InitChannelFast(SpiHandle handle, SpiChannelSettings *settings)
{
    return initChannel(handle, settings, true);
}

D2xxStatus SPI_DeviceType(SpiHandle handle, uint32_t *type) { return MPSSE_GetDeviceType(handle, type); }

D2xxStatus SPI_CloseChannel(SpiHandle handle)
{
    if (handle == nullptr) {
        SPI_ReportNullArgument(LINE_CLOSE_CHANNEL_HANDLE, "SPI_CloseChannel");
        return D2XX_INVALID_PARAMETER;
    }
    SpiChannelNode *entry = lastEntry(handle);
    if (entry == nullptr)
        return D2XX_OTHER_ERROR;
    // A channel that was never set up has no close levels: its pins were
    // never driven, so only the device is closed.
    if (entry->setUp) {
        uint32_t pins = entry->settings.pins;
        D2xxStatus status =
            sendLowPins(handle, static_cast<uint8_t>(pins >> 24), static_cast<uint8_t>((pins >> 16) & 0xFF));
        if (status != D2XX_OK)
            return status;
    }
    D2xxStatus status = MPSSE_Close(handle);
    if (status != D2XX_OK)
        return status;
    return MPSSE_RemoveChannel(handle);
}

D2xxStatus SPI_ChangeCS(SpiHandle handle, uint32_t options)
{
    if (handle == nullptr) {
        SPI_ReportNullArgument(LINE_CHANGE_CS_HANDLE, "SPI_ChangeCS");
        return D2XX_INVALID_PARAMETER;
    }
    if (csLine(options) >= SPI_CS_LINE_COUNT)
        return D2XX_INVALID_PARAMETER;
    SpiChannelSettings *current = nullptr;
    D2xxStatus status = MPSSE_FindChannel(handle, &current);
    if (status != D2XX_OK)
        return status;

    // The previous chip-select pin stays an output at its level; only the
    // clock's idle level follows the new mode.
    SpiChannelSettings changed = *current;
    changed.options = options;
    uint16_t pinState = static_cast<uint16_t>(changed.pinState | csMask(options));
    if (clockIdlesHigh(options))
        pinState = static_cast<uint16_t>(pinState | SK_LEVEL_BIT);
    else
        pinState = static_cast<uint16_t>(pinState & ~SK_LEVEL_BIT);
    changed.pinState = pinState;
    status = sendLowPins(handle, static_cast<uint8_t>(pinState >> 8), static_cast<uint8_t>(pinState & 0xFF));
    if (status != D2XX_OK)
        return status;
    return MPSSE_UpdateChannel(handle, &changed);
}

void SPI_ResetForTest()
{
    while (g_channelList != nullptr) {
        SpiChannelNode *node = g_channelList;
        g_channelList = node->next;
        delete node;
    }
}
