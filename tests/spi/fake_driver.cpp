#include "spi/fake_driver.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace fake {

Driver g_driver;

namespace {

std::map<std::string, uint32_t> g_calls;

// True (with the status in *status) when this call is to fail.
bool failing(const char *entry, uint32_t *status)
{
    uint32_t number = ++g_calls[entry];
    if (g_driver.failEntry != entry || (g_driver.failCall != 0 && g_driver.failCall != number))
        return false;
    g_driver.log.push_back(std::string(entry) + " failed");
    *status = g_driver.failStatus;
    return true;
}

#define FAIL_POINT(entry)                                                                                    \
    do {                                                                                                     \
        uint32_t injected = 0;                                                                               \
        if (failing(entry, &injected))                                                                       \
            return injected;                                                                                 \
    } while (0)

void logCall(const std::string &text) { g_driver.log.push_back(text); }

D2xxStatus D2XX_CALL getLibraryVersion(uint32_t *version)
{
    *version = 0x00010000;
    return 0;
}

D2xxStatus D2XX_CALL createDeviceInfoList(uint32_t *count)
{
    FAIL_POINT("FT_CreateDeviceInfoList");
    *count = static_cast<uint32_t>(g_driver.devices.size());
    logCall("FT_CreateDeviceInfoList");
    return 0;
}

D2xxStatus D2XX_CALL getDeviceInfoList(MPSSE_DeviceRecord *records, uint32_t *count)
{
    FAIL_POINT("FT_GetDeviceInfoList");
    for (size_t i = 0; i < g_driver.devices.size(); ++i)
        records[i] = g_driver.devices[i];
    *count = static_cast<uint32_t>(g_driver.devices.size());
    logCall("FT_GetDeviceInfoList");
    return 0;
}

D2xxStatus D2XX_CALL open(uint32_t position, D2xxHandle *handle)
{
    FAIL_POINT("FT_Open");
    logCall("FT_Open " + std::to_string(position));
    if (position >= g_driver.devices.size())
        return 2;
    *handle = HandleFor(position);
    return 0;
}

D2xxStatus D2XX_CALL close(D2xxHandle)
{
    FAIL_POINT("FT_Close");
    logCall("FT_Close");
    return 0;
}

D2xxStatus D2XX_CALL resetDevice(D2xxHandle)
{
    FAIL_POINT("FT_ResetDevice");
    logCall("FT_ResetDevice");
    return 0;
}

D2xxStatus D2XX_CALL purge(D2xxHandle, uint32_t mask)
{
    FAIL_POINT("FT_Purge");
    logCall("FT_Purge " + std::to_string(mask));
    return 0;
}

D2xxStatus D2XX_CALL setUSBParameters(D2xxHandle, uint32_t in, uint32_t out)
{
    FAIL_POINT("FT_SetUSBParameters");
    logCall("FT_SetUSBParameters " + std::to_string(in) + " " + std::to_string(out));
    return 0;
}

D2xxStatus D2XX_CALL setChars(D2xxHandle, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    FAIL_POINT("FT_SetChars");
    logCall("FT_SetChars " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " +
            std::to_string(d));
    return 0;
}

D2xxStatus D2XX_CALL setTimeouts(D2xxHandle, uint32_t readMs, uint32_t writeMs)
{
    FAIL_POINT("FT_SetTimeouts");
    logCall("FT_SetTimeouts " + std::to_string(readMs) + " " + std::to_string(writeMs));
    return 0;
}

D2xxStatus D2XX_CALL setLatencyTimer(D2xxHandle, uint8_t ms)
{
    FAIL_POINT("FT_SetLatencyTimer");
    logCall("FT_SetLatencyTimer " + std::to_string(ms));
    return 0;
}

D2xxStatus D2XX_CALL setBitMode(D2xxHandle, uint8_t mask, uint8_t mode)
{
    FAIL_POINT("FT_SetBitMode");
    logCall("FT_SetBitMode " + std::to_string(mask) + " " + std::to_string(mode));
    return 0;
}

D2xxStatus D2XX_CALL getQueueStatus(D2xxHandle, uint32_t *waiting)
{
    FAIL_POINT("FT_GetQueueStatus");
    *waiting = g_driver.arrivals.empty() ? 0 : static_cast<uint32_t>(g_driver.arrivals.front().size());
    logCall("FT_GetQueueStatus " + std::to_string(*waiting));
    return 0;
}

D2xxStatus D2XX_CALL read(D2xxHandle, void *buffer, uint32_t count, uint32_t *bytesRead)
{
    FAIL_POINT("FT_Read");
    *bytesRead = 0;
    if (!g_driver.readsReturnNothing && !g_driver.arrivals.empty()) {
        std::vector<uint8_t> &front = g_driver.arrivals.front();
        uint32_t n = count < front.size() ? count : static_cast<uint32_t>(front.size());
        std::memcpy(buffer, front.data(), n);
        front.erase(front.begin(), front.begin() + n);
        if (front.empty())
            g_driver.arrivals.pop_front();
        *bytesRead = n;
    }
    logCall("FT_Read " + std::to_string(count) + " -> " + std::to_string(*bytesRead));
    return 0;
}

D2xxStatus D2XX_CALL write(D2xxHandle, const void *bytes, uint32_t count, uint32_t *written)
{
    FAIL_POINT("FT_Write");
    const uint8_t *data = static_cast<const uint8_t *>(bytes);
    std::vector<uint8_t> sent(data, data + count);
    logCall("FT_Write " + Hex(sent));
    if (g_driver.echoBadCommands && count == 1 && (data[0] == 0xAA || data[0] == 0xAB))
        g_driver.arrivals.push_back({0xFA, data[0]});
    *written = count - (g_driver.writeShortBy < count ? g_driver.writeShortBy : count);
    return 0;
}

D2xxStatus D2XX_CALL getDeviceInfo(D2xxHandle, uint32_t *type, uint32_t *id, char *serial, char *description,
                                   void *)
{
    FAIL_POINT("FT_GetDeviceInfo");
    *type = g_driver.deviceType;
    *id = 0x04036010;
    std::strcpy(serial, "FAKE01");
    std::strcpy(description, "Fake device");
    logCall("FT_GetDeviceInfo");
    return 0;
}

} // namespace

std::vector<std::string> Driver::Writes() const
{
    std::vector<std::string> writes;
    for (const std::string &line : log)
        if (line.compare(0, 9, "FT_Write ") == 0)
            writes.push_back(line.substr(9));
    return writes;
}

void Install()
{
    g_driver = Driver{};
    g_calls.clear();
    varFunctionPtrLst = D2xxFunctionTable{getLibraryVersion, createDeviceInfoList, getDeviceInfoList, open,
                                          close, resetDevice, purge, setUSBParameters, setChars, setTimeouts,
                                          setLatencyTimer, setBitMode, getQueueStatus, read, write,
                                          getDeviceInfo};
}

void FailCall(const char *entry, uint32_t nthFromNow, uint32_t status)
{
    g_driver.failEntry = entry;
    g_driver.failCall = g_calls[entry] + nthFromNow;
    g_driver.failStatus = status;
}

MPSSE_DeviceRecord Record(uint32_t type, uint32_t locId)
{
    MPSSE_DeviceRecord record{};
    record.type = type;
    record.locId = locId;
    std::snprintf(record.description, sizeof(record.description), "type %u at 0x%X", type, locId);
    return record;
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char digits[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof(digits), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

} // namespace fake
