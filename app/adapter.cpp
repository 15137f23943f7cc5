#include "app/adapter.h"

#include <cstring>
#include <string>

#include "app/console.h"
#include "app/results.h"
#include "Mpsse/src/mpsse_channel.h"

namespace
{

bool isDecimal(const char *text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

// The index a decimal selector names; one past any channel when it is too
// long to be one.
uint32_t decimalIndex(const char *text)
{
    uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        value = value * 10 + static_cast<uint64_t>(*text - '0');
        if (value > CAN_MAX_CHANNELS)
            return CAN_MAX_CHANNELS;
    }
    return static_cast<uint32_t>(value);
}

// "0 SB000001A, 1 SB000001B, ...": what the driver reports, for the line
// that says a selector matched nothing.
std::string channelSummary(const CanChannelInfo *channels, uint32_t count)
{
    if (count == 0)
        return "no MPSSE channel";
    std::string summary = "channels";
    for (uint32_t i = 0; i < count; ++i)
        summary += (i == 0 ? " " : ", ") + std::to_string(channels[i].index) + " " + channels[i].serialNumber;
    return summary;
}

} // namespace

const char *APP_DeviceTypeName(uint32_t type)
{
    switch (type) {
    case DEVICE_TYPE_FT2232C:
        return "FT2232C/D";
    case DEVICE_TYPE_FT2232H:
        return "FT2232H";
    case DEVICE_TYPE_FT4232H:
        return "FT4232H";
    case DEVICE_TYPE_FT232H:
        return "FT232H";
    default:
        return "unknown";
    }
}

uint32_t APP_MatchChannel(const char *selector, const CanChannelInfo *channels, uint32_t count, uint32_t *index)
{
    const bool decimal = isDecimal(selector);
    const uint32_t wanted = decimal ? decimalIndex(selector) : 0;
    uint32_t matches = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const CanChannelInfo &channel = channels[i];
        if ((decimal && channel.index == wanted) || std::strcmp(channel.serialNumber, selector) == 0 ||
            std::strcmp(channel.description, selector) == 0) {
            if (matches++ == 0)
                *index = channel.index;
        }
    }
    return matches;
}

ResultCode APP_ListAdapters()
{
    CanChannelInfo channels[CAN_MAX_CHANNELS];
    uint32_t count = 0;
    int status = CAN_ListChannels(channels, CAN_MAX_CHANNELS, &count);
    CAN_ReleaseDriver();
    if (status != 0)
        return RC_CAN_OPEN_FAILED;
    for (uint32_t i = 0; i < count; ++i)
        APP_Print("%u\t%s\t%s\t%s\r\n", static_cast<unsigned>(channels[i].index), channels[i].serialNumber,
                  channels[i].description, APP_DeviceTypeName(channels[i].type));
    return RC_OK;
}

ResultCode APP_ChooseAdapter(const char *selector)
{
    CanChannelInfo channels[CAN_MAX_CHANNELS];
    uint32_t count = 0;
    uint32_t index = 0;
    uint32_t matches = 0;
    if (CAN_ListChannels(channels, CAN_MAX_CHANNELS, &count) == 0)
        matches = APP_MatchChannel(selector, channels, count, &index);
    if (matches != 1) {
        CAN_ReleaseDriver();
        if (g_verbosity >= 2) {
            if (matches == 0)
                APP_Format(g_message, "Device '%s' not found: %s", selector, channelSummary(channels, count).c_str());
            else
                APP_Format(g_message, "Device '%s' names %u channels: choose by index or serial number", selector,
                           static_cast<unsigned>(matches));
            APP_PrintStatus(g_message);
        }
        return RC_CAN_OPEN_FAILED;
    }
    CAN_SelectChannel(index);
    if (g_verbosity >= 2) {
        const CanChannelInfo *chosen = channels;
        while (chosen->index != index)
            ++chosen;
        APP_Format(g_message, "Adapter %s '%s', channel %u", chosen->serialNumber, chosen->description,
                   static_cast<unsigned>(index));
        APP_PrintStatus(g_message);
    }
    return RC_OK;
}
