// Choosing the USB adapter: the MPSSE channels the driver reports, listed
// for --list and matched against the selector of --device.
#pragma once

#include <cstdint>

#include "app/results.h"

#include "can/can.h"

// The driver's name of a device type ("FT2232H", ...); "unknown" otherwise.
const char *APP_DeviceTypeName(uint32_t type);

// The channels that a selector names: the one whose index equals it (when it
// is a decimal number) and those whose serial number or description equals
// it. Returns how many channels match; *index is the first of them.
uint32_t APP_MatchChannel(const char *selector, const CanChannelInfo *channels, uint32_t count, uint32_t *index);

// --list: one line per MPSSE channel (index, serial number, description,
// type, separated by tabs), no channel opened. A result code.
ResultCode APP_ListAdapters();

// --device: binds the driver, finds the one channel the selector names and
// makes it the channel that CAN_Open opens; at level 2 a status line names
// the adapter, or what was asked and what was found. RC_CAN_OPEN_FAILED when
// no channel or more than one matches (the driver is released then).
ResultCode APP_ChooseAdapter(const char *selector);
