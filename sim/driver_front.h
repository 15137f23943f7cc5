// The driver front: what a program sees of the board through the driver's 16
// entry points: the device list, handles, the driver's per-device settings,
// and each device's receive queue with its delivery model.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/driver_api.h"
#include "sim/mpsse_engine.h"
#include "sim/settings.h"

namespace simboard
{

class Board;

class DriverFront
{
public:
    explicit DriverFront(Board &board);
    ~DriverFront();

    SB_STATUS GetLibraryVersion(uint32_t *version);
    SB_STATUS CreateDeviceInfoList(uint32_t *count);
    SB_STATUS GetDeviceInfoList(SB_DEVICE_RECORD *list, uint32_t *count);
    SB_STATUS Open(uint32_t position, SB_HANDLE *handle);
    SB_STATUS Close(SB_HANDLE handle);
    SB_STATUS ResetDevice(SB_HANDLE handle);
    SB_STATUS Purge(SB_HANDLE handle, uint32_t mask);
    SB_STATUS SetUSBParameters(SB_HANDLE handle, uint32_t inSize, uint32_t outSize);
    SB_STATUS SetChars(SB_HANDLE handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                       uint8_t errorEnable);
    SB_STATUS SetTimeouts(SB_HANDLE handle, uint32_t readMs, uint32_t writeMs);
    SB_STATUS SetLatencyTimer(SB_HANDLE handle, uint8_t ms);
    SB_STATUS SetBitMode(SB_HANDLE handle, uint8_t mask, uint8_t mode);
    SB_STATUS GetQueueStatus(SB_HANDLE handle, uint32_t *count);
    SB_STATUS Read(SB_HANDLE handle, void *buffer, uint32_t count, uint32_t *read);
    SB_STATUS Write(SB_HANDLE handle, const void *buffer, uint32_t count, uint32_t *written);
    SB_STATUS GetDeviceInfo(SB_HANDLE handle, uint32_t *type, uint32_t *id, char *serial, char *description);

private:
    struct Device;
    struct Call;

    // The front's state: the records and what the driver keeps of them.
    struct State {
        std::vector<std::unique_ptr<Device>> devices; // one per record, in list order
        std::vector<SB_DEVICE_RECORD> list;           // the list as last built
        bool listBuilt = false;
        uint64_t opens = 0;      // successful opens: the handles' sequence
        uint64_t calls[16] = {}; // calls per entry point, failed ones included
    };

    Device *Find(SB_HANDLE handle);
    void BuildList();

    // A call's start: its number, and the injected failure that matches it.
    Call Begin(int entry, const std::string &args);
    // The start of a call that takes a handle (see driver_front.cpp).
    SB_STATUS Admit(Call &call, SB_HANDLE handle, Device **device, uint32_t *count = nullptr,
                    const char *countName = nullptr);
    // A call's end: its trace line. Returns the status.
    SB_STATUS Finish(Call &call, SB_STATUS status, const std::string &outputs = std::string(),
                     const std::string &bytes = std::string());

    Board &board_;
    State state_;
};

} // namespace simboard
