// A scripted stand-in for the USB driver, installed straight into the
// binding's entry-point table. It logs every call as text ("FT_Write 80 00
// 0B"), lists the devices a test gives it, answers bad-command bytes 0xAA and
// 0xAB the way an MPSSE engine does, hands out scripted receive chunks and
// fails a chosen call with a chosen status.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "Infra/src/ftdi_infra.h"

namespace fake {

struct Driver {
    std::vector<MPSSE_DeviceRecord> devices;
    uint32_t deviceType = 6; // what FT_GetDeviceInfo reports
    // Received bytes: FT_GetQueueStatus shows the front chunk, FT_Read takes
    // from it and never reaches into the next one.
    std::deque<std::vector<uint8_t>> arrivals;
    bool echoBadCommands = true;
    bool readsReturnNothing = false; // FT_Read comes back empty whatever is waiting
    uint32_t writeShortBy = 0; // FT_Write reports this many bytes fewer than asked

    // Call failEntry's failCall-th call (0: every call) returns failStatus.
    std::string failEntry;
    uint32_t failCall = 0;
    uint32_t failStatus = 0;

    std::vector<std::string> log;
    std::vector<std::string> Writes() const; // the FT_Write lines only
};

extern Driver g_driver;

// Clears the driver's state and fills the binding's table with the fake.
void Install();
// Makes the nth call of entry from now on fail with status.
void FailCall(const char *entry, uint32_t nthFromNow, uint32_t status);
// A device-list record.
MPSSE_DeviceRecord Record(uint32_t type, uint32_t locId);
// "80 00 0B" style text of bytes.
std::string Hex(const std::vector<uint8_t> &bytes);

// The handle the fake's FT_Open gives for list position p.
inline D2xxHandle HandleFor(uint32_t position) { return reinterpret_cast<D2xxHandle>(uintptr_t{0x100} + position); }

} // namespace fake
