#include "Mpsse/src/mpsse_channel.h"

#include <memory>
#include <new>

#include "platform/platform.h"

namespace
{

// Clock bases of the engine: 60 MHz master clock (SK at most 30 MHz) with
// divide-by-5 off, 12 MHz (SK at most 6 MHz) with it on. The FT2232C/D runs
// from a fixed 12 MHz and has no divide-by-5 command.
constexpr uint32_t FAST_BASE_HZ = 30000000;
constexpr uint32_t SLOW_BASE_HZ = 6000000;
constexpr uint32_t MAX_DIVISOR = 0xFFFF;
constexpr uint8_t CMD_SET_DIVISOR = 0x86;

// The high pin byte.
constexpr uint8_t CMD_SET_HIGH_PINS = 0x82;
constexpr uint8_t CMD_READ_HIGH_PINS = 0x83;

// Synchronisation: the engine answers a byte that is no command with 0xFA and
// that byte. 0xAA and 0xAB are not commands on any MPSSE chip.
constexpr uint8_t BAD_COMMAND_ANSWER = 0xFA;
constexpr uint8_t SYNC_BYTE_FIRST = 0xAA;
constexpr uint8_t SYNC_BYTE_SECOND = 0xAB;
constexpr uint32_t ECHO_MAX_PASSES = 4097;
constexpr uint32_t SCRATCH_SIZE = 4096;

// Set-up values for the driver.
constexpr uint32_t USB_TRANSFER_SIZE = 65536;
constexpr uint32_t READ_TIMEOUT_MS = 5000;
constexpr uint32_t WRITE_TIMEOUT_MS = 5000;
constexpr uint32_t PAUSE_BEFORE_CLOCK_MS = 50;
constexpr uint32_t PAUSE_AFTER_CLOCK_MS = 20;

constexpr uint32_t INTERFACE_MASK = 0x0F;
constexpr uint32_t INTERFACE_A = 1;
constexpr uint32_t INTERFACE_B = 2;

// The records of a device list that the driver has just built with listed
// entries (at least one). On success *count entries of *records are valid.
D2xxStatus fetchRecords(uint32_t listed, std::unique_ptr<MPSSE_DeviceRecord[]> *records, uint32_t *count)
{
    *count = 0;
    records->reset(new (std::nothrow) MPSSE_DeviceRecord[listed]());
    if (*records == nullptr)
        return D2XX_INSUFFICIENT_RESOURCES;
    uint32_t filled = listed;
    D2xxStatus status = MPSSE_GetDeviceInfoList(records->get(), &filled);
    if (status != D2XX_OK)
        return status;
    // The array has room for the count the list was built with; a larger
    // count from the driver must not walk past it.
    *count = filled < listed ? filled : listed;
    return D2XX_OK;
}

// The list position of MPSSE channel index, and its record.
D2xxStatus locateChannel(uint32_t index, MPSSE_DeviceRecord *record, uint32_t *position)
{
    uint32_t listed = 0;
    D2xxStatus status = MPSSE_CreateDeviceInfoList(&listed);
    if (status != D2XX_OK)
        return status;
    if (listed <= index)
        return D2XX_INVALID_HANDLE;

    std::unique_ptr<MPSSE_DeviceRecord[]> records;
    uint32_t count = 0;
    status = fetchRecords(listed, &records, &count);
    if (status != D2XX_OK)
        return status;

    uint32_t channels = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!MPSSE_IsMpsseChannel(records[i].type, records[i].locId))
            continue;
        if (channels == index) {
            *record = records[i];
            *position = i;
            return D2XX_OK;
        }
        ++channels;
    }
    // Enough devices but too few channels among them: the same answer as a
    // list that is too short, so that no caller takes an unopened handle.
    return D2XX_INVALID_HANDLE;
}

D2xxStatus writeByte(D2xxHandle handle, uint8_t byte) { return MPSSE_WriteAll(handle, &byte, 1); }

} // namespace

bool MPSSE_IsMpsseChannel(uint32_t deviceType, uint32_t locationId)
{
    uint32_t interface = locationId & INTERFACE_MASK;
    switch (deviceType) {
    case DEVICE_TYPE_FT2232C:
        return interface == INTERFACE_A;
    case DEVICE_TYPE_FT2232H:
    case DEVICE_TYPE_FT4232H:
        return interface == INTERFACE_A || interface == INTERFACE_B;
    case DEVICE_TYPE_FT232H:
        return true;
    default:
        return false;
    }
}

D2xxStatus MPSSE_CountChannels(uint32_t *count)
{
    if (count == nullptr)
        return D2XX_INVALID_PARAMETER;
    *count = 0;
    uint32_t listed = 0;
    D2xxStatus status = MPSSE_CreateDeviceInfoList(&listed);
    if (status != D2XX_OK || listed == 0)
        return status;
    std::unique_ptr<MPSSE_DeviceRecord[]> records;
    uint32_t filled = 0;
    status = fetchRecords(listed, &records, &filled);
    if (status != D2XX_OK)
        return status;
    for (uint32_t i = 0; i < filled; ++i)
        if (MPSSE_IsMpsseChannel(records[i].type, records[i].locId))
            ++*count;
    return D2XX_OK;
}

D2xxStatus MPSSE_GetChannelRecord(uint32_t index, MPSSE_DeviceRecord *record)
{
    if (record == nullptr)
        return D2XX_INVALID_PARAMETER;
    MPSSE_DeviceRecord found{};
    uint32_t position = 0;
    D2xxStatus status = locateChannel(index, &found, &position);
    if (status == D2XX_OK)
        *record = found;
    return status;
}

D2xxStatus MPSSE_OpenChannelByIndex(uint32_t index, D2xxHandle *handle)
{
    if (handle == nullptr)
        return D2XX_INVALID_PARAMETER;
    MPSSE_DeviceRecord found{};
    uint32_t position = 0;
    D2xxStatus status = locateChannel(index, &found, &position);
    if (status != D2XX_OK)
        return status;
    return MPSSE_Open(position, handle);
}

D2xxStatus MPSSE_ClockDivisor(uint32_t deviceType, uint32_t clockRate, uint16_t *divisor, uint8_t *baseCommand)
{
    if (clockRate == 0 || clockRate > MPSSE_MAX_CLOCK_HZ)
        return D2XX_INVALID_PARAMETER;
    uint32_t base = SLOW_BASE_HZ;
    uint8_t command = MPSSE_CMD_DIVIDE_BY_5_ON;
    if (deviceType == DEVICE_TYPE_FT2232C) {
        // Its engine always runs from 12 MHz: SK is at most 6 MHz.
        if (clockRate > SLOW_BASE_HZ)
            return D2XX_INVALID_PARAMETER;
        command = MPSSE_CMD_NONE;
    } else if (clockRate > SLOW_BASE_HZ) {
        base = FAST_BASE_HZ;
        command = MPSSE_CMD_DIVIDE_BY_5_OFF;
    }
    uint32_t value = base / clockRate - 1;
    if (value > MAX_DIVISOR)
        return D2XX_INVALID_PARAMETER;
    if (divisor != nullptr)
        *divisor = static_cast<uint16_t>(value);
    if (baseCommand != nullptr)
        *baseCommand = command;
    return D2XX_OK;
}

D2xxStatus MPSSE_SetClock(D2xxHandle handle, uint32_t deviceType, uint32_t clockRate)
{
    uint16_t divisor = 0;
    uint8_t baseCommand = MPSSE_CMD_NONE;
    D2xxStatus status = MPSSE_ClockDivisor(deviceType, clockRate, &divisor, &baseCommand);
    if (status != D2XX_OK)
        return status;
    if (baseCommand != MPSSE_CMD_NONE) {
        status = writeByte(handle, baseCommand);
        if (status != D2XX_OK)
            return status;
    }
    const uint8_t command[] = {CMD_SET_DIVISOR, static_cast<uint8_t>(divisor & 0xFF),
                               static_cast<uint8_t>(divisor >> 8)};
    return MPSSE_WriteAll(handle, command, sizeof(command));
}

D2xxStatus MPSSE_SetLoopback(D2xxHandle handle, bool on)
{
    return writeByte(handle, on ? MPSSE_CMD_LOOPBACK_ON : MPSSE_CMD_LOOPBACK_OFF);
}

D2xxStatus MPSSE_DrainReceiveQueue(D2xxHandle handle)
{
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[SCRATCH_SIZE]);
    if (scratch == nullptr)
        return D2XX_INSUFFICIENT_RESOURCES;
    uint32_t waiting = 0;
    D2xxStatus status = MPSSE_GetQueueStatus(handle, &waiting);
    if (status != D2XX_OK)
        return status;
    while (waiting > 0) {
        uint32_t chunk = waiting < SCRATCH_SIZE ? waiting : SCRATCH_SIZE;
        uint32_t read = 0;
        status = MPSSE_Read(handle, scratch.get(), chunk, &read);
        if (status != D2XX_OK)
            return status;
        // The driver said these bytes were waiting; a read that brings none
        // of them would otherwise repeat for ever.
        if (read == 0)
            return D2XX_IO_ERROR;
        waiting -= read < waiting ? read : waiting;
    }
    return D2XX_OK;
}

D2xxStatus MPSSE_AwaitBadCommandEcho(D2xxHandle handle, bool resend, uint8_t command, bool *found)
{
    if (found == nullptr)
        return D2XX_INVALID_PARAMETER;
    *found = false;
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[SCRATCH_SIZE]);
    if (scratch == nullptr)
        return D2XX_INSUFFICIENT_RESOURCES;

    D2xxStatus status;
    if (!resend) {
        status = writeByte(handle, command);
        if (status != D2XX_OK)
            return status;
    }
    // Kept across passes: an answer pair may be split over two reads.
    bool lastWasAnswer = false;
    for (uint32_t pass = 0; pass < ECHO_MAX_PASSES; ++pass) {
        if (resend) {
            status = writeByte(handle, command);
            if (status != D2XX_OK)
                return status;
        }
        uint32_t waiting = 0;
        status = MPSSE_GetQueueStatus(handle, &waiting);
        if (status != D2XX_OK)
            return status;
        PLAT_SleepMs(1);
        if (waiting > 0) {
            if (waiting > SCRATCH_SIZE)
                return D2XX_INSUFFICIENT_RESOURCES;
            uint32_t read = 0;
            status = MPSSE_Read(handle, scratch.get(), waiting, &read);
            if (status != D2XX_OK)
                return status;
            if (read > waiting)
                read = waiting;
            for (uint32_t i = 0; i < read && !*found; ++i) {
                uint8_t byte = scratch[i];
                if (byte == BAD_COMMAND_ANSWER) {
                    lastWasAnswer = true;
                } else {
                    *found = lastWasAnswer && byte == command;
                    lastWasAnswer = false;
                }
            }
        }
        // A match seen in the last pass still counts.
        if (*found)
            return D2XX_OK;
    }
    return D2XX_OTHER_ERROR;
}

D2xxStatus MPSSE_Synchronize(D2xxHandle handle)
{
    D2xxStatus status = MPSSE_DrainReceiveQueue(handle);
    if (status != D2XX_OK)
        return status;
    // The first byte is sent on every pass until its answer shows up; the
    // second once, proving that no copy of the first is still in flight.
    bool found = false;
    status = MPSSE_AwaitBadCommandEcho(handle, true, SYNC_BYTE_FIRST, &found);
    if (status != D2XX_OK)
        return status;
    if (!found)
        return D2XX_OTHER_ERROR;
    status = MPSSE_AwaitBadCommandEcho(handle, false, SYNC_BYTE_SECOND, &found);
    if (status != D2XX_OK)
        return status;
    return found ? D2XX_OK : D2XX_OTHER_ERROR;
}

namespace
{

// The driver settings that both set-ups share, in their order.
D2xxStatus setupDriver(D2xxHandle handle, uint32_t latencyMs)
{
    D2xxStatus status;
    if ((status = MPSSE_ResetDevice(handle)) != D2XX_OK)
        return status;
    if ((status = MPSSE_Purge(handle)) != D2XX_OK)
        return status;
    if ((status = MPSSE_SetUSBParameters(handle, USB_TRANSFER_SIZE, USB_TRANSFER_SIZE)) != D2XX_OK)
        return status;
    // No event or error characters.
    if ((status = MPSSE_SetChars(handle, 0, 0, 0, 0)) != D2XX_OK)
        return status;
    if ((status = MPSSE_SetTimeouts(handle, READ_TIMEOUT_MS, WRITE_TIMEOUT_MS)) != D2XX_OK)
        return status;
    if ((status = MPSSE_SetLatencyTimer(handle, latencyMs)) != D2XX_OK)
        return status;
    if ((status = MPSSE_ResetBitMode(handle)) != D2XX_OK)
        return status;
    return MPSSE_EnterMpsseMode(handle);
}

// A bad command and a send-immediate; the engine's answer, 0xFA and the
// command, is read at once (within the read time-out).
D2xxStatus echoNow(D2xxHandle handle, uint8_t command)
{
    const uint8_t bytes[] = {command, MPSSE_CMD_SEND_IMMEDIATE};
    D2xxStatus status = MPSSE_WriteAll(handle, bytes, sizeof(bytes));
    if (status != D2XX_OK)
        return status;
    uint8_t answer[2] = {};
    status = MPSSE_ReadAll(handle, answer, sizeof(answer), nullptr);
    if (status != D2XX_OK)
        return status;
    return answer[0] == BAD_COMMAND_ANSWER && answer[1] == command ? D2XX_OK : D2XX_OTHER_ERROR;
}

// What both set-ups share before the engine: the parameters checked, the
// device's type read, the driver set up. A rate no chip can take is refused
// before the device is touched; the FT2232C/D's lower ceiling is known only
// once its type is.
D2xxStatus checkSetup(D2xxHandle handle, uint32_t clockRate, uint32_t latencyMs, uint32_t *deviceType)
{
    if (latencyMs > MPSSE_MAX_LATENCY_MS ||
        MPSSE_ClockDivisor(DEVICE_TYPE_FT2232H, clockRate, nullptr, nullptr) != D2XX_OK)
        return D2XX_INVALID_PARAMETER;
    D2xxStatus status = MPSSE_GetDeviceType(handle, deviceType);
    if (status != D2XX_OK)
        return status;
    if (MPSSE_ClockDivisor(*deviceType, clockRate, nullptr, nullptr) != D2XX_OK)
        return D2XX_INVALID_PARAMETER;
    return setupDriver(handle, latencyMs);
}

} // namespace

bool MPSSE_IsFullSpeed(uint32_t deviceType) { return deviceType == DEVICE_TYPE_FT2232C; }

uint32_t MPSSE_MaxClock(uint32_t deviceType, uint32_t limitHz)
{
    const uint32_t ceiling = deviceType == DEVICE_TYPE_FT2232C ? SLOW_BASE_HZ : FAST_BASE_HZ;
    if (limitHz >= ceiling)
        return ceiling;
    // The base divided by the smallest divisor that keeps SK at or below the limit.
    const uint32_t base = deviceType == DEVICE_TYPE_FT2232C || limitHz <= SLOW_BASE_HZ ? SLOW_BASE_HZ : FAST_BASE_HZ;
    const uint32_t divisor = (base + limitHz - 1) / limitHz;
    return base / divisor;
}

D2xxStatus MPSSE_Resynchronize(D2xxHandle handle)
{
    D2xxStatus status = MPSSE_DrainReceiveQueue(handle);
    if (status != D2XX_OK)
        return status;
    return echoNow(handle, SYNC_BYTE_SECOND);
}

D2xxStatus MPSSE_SetupChannelFast(D2xxHandle handle, uint32_t clockRate, uint32_t latencyMs)
{
    uint32_t deviceType = 0;
    D2xxStatus status = checkSetup(handle, clockRate, latencyMs, &deviceType);
    if (status != D2XX_OK)
        return status;
    // Loopback keeps the synchronisation's bytes away from the SPI slave.
    if ((status = MPSSE_SetLoopback(handle, true)) != D2XX_OK)
        return status;
    if ((status = MPSSE_DrainReceiveQueue(handle)) != D2XX_OK)
        return status;
    if ((status = echoNow(handle, SYNC_BYTE_FIRST)) != D2XX_OK ||
        (status = echoNow(handle, SYNC_BYTE_SECOND)) != D2XX_OK)
        return status;
    if ((status = MPSSE_SetClock(handle, deviceType, clockRate)) != D2XX_OK)
        return status;
    return MPSSE_SetLoopback(handle, false);
}

D2xxStatus MPSSE_SetupChannel(D2xxHandle handle, uint32_t clockRate, uint32_t latencyMs)
{
    uint32_t deviceType = 0;
    D2xxStatus status = checkSetup(handle, clockRate, latencyMs, &deviceType);
    if (status != D2XX_OK)
        return status;
    // With loopback on, nothing sent during synchronisation can reach the
    // SPI slave.
    if ((status = MPSSE_SetLoopback(handle, true)) != D2XX_OK)
        return status;
    if ((status = MPSSE_Synchronize(handle)) != D2XX_OK)
        return status;
    PLAT_SleepMs(PAUSE_BEFORE_CLOCK_MS);
    if ((status = MPSSE_SetClock(handle, deviceType, clockRate)) != D2XX_OK)
        return status;
    PLAT_SleepMs(PAUSE_AFTER_CLOCK_MS);
    if ((status = MPSSE_SetLoopback(handle, false)) != D2XX_OK)
        return status;
    return MPSSE_DrainReceiveQueue(handle);
}

D2xxStatus MPSSE_WriteAll(D2xxHandle handle, const uint8_t *bytes, uint32_t count)
{
    uint32_t written = 0;
    D2xxStatus status = MPSSE_Write(handle, bytes, count, &written);
    if (status != D2XX_OK)
        return status;
    return written == count ? D2XX_OK : D2XX_IO_ERROR;
}

D2xxStatus MPSSE_ReadAll(D2xxHandle handle, uint8_t *buffer, uint32_t count, uint32_t *bytesRead)
{
    uint32_t read = 0;
    D2xxStatus status = MPSSE_Read(handle, buffer, count, &read);
    if (bytesRead != nullptr)
        *bytesRead = read;
    if (status != D2XX_OK)
        return status;
    return read == count ? D2XX_OK : D2XX_IO_ERROR;
}

D2xxStatus FT_WriteGPIO(D2xxHandle handle, uint8_t direction, uint8_t value)
{
    const uint8_t command[] = {CMD_SET_HIGH_PINS, value, direction};
    return MPSSE_WriteAll(handle, command, sizeof(command));
}

D2xxStatus FT_ReadGPIO(D2xxHandle handle, uint8_t *value)
{
    if (value == nullptr)
        return D2XX_INVALID_PARAMETER;
    const uint8_t command[] = {CMD_READ_HIGH_PINS, MPSSE_CMD_SEND_IMMEDIATE};
    D2xxStatus status = MPSSE_WriteAll(handle, command, sizeof(command));
    if (status != D2XX_OK)
        return status;
    uint8_t answer = 0;
    status = MPSSE_ReadAll(handle, &answer, 1, nullptr);
    if (status != D2XX_OK)
        return status;
    *value = answer;
    return D2XX_OK;
}
