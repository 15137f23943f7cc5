// MPSSE channels: finding the USB bridge interfaces that carry an MPSSE
// engine, opening them by channel index, and bringing an opened one to a
// synchronised engine at a chosen SPI clock. Every byte sent to an engine is
// a command of the MPSSE command set, written through the driver binding.
//
// Statuses: D2xxStatus in the driver's numbering (Infra/src/ftdi_infra.h);
// 0 is success, and the layer's own failures use the same numbers (4 I/O
// error for a short transfer, 6 a parameter, 18 an engine that does not
// echo). Callers test for non-zero.
#pragma once

#include <cstdint>

#include "Infra/src/ftdi_infra.h"

// Device types (driver numbering) that can carry an MPSSE engine.
constexpr uint32_t DEVICE_TYPE_FT2232C = 4; // FT2232C/D: interface A only, fixed 12 MHz base
constexpr uint32_t DEVICE_TYPE_FT2232H = 6; // interfaces A and B
constexpr uint32_t DEVICE_TYPE_FT4232H = 7; // interfaces A and B (C and D have no engine)
constexpr uint32_t DEVICE_TYPE_FT232H = 8;  // one interface

// Limits of the set-up parameters.
constexpr uint32_t MPSSE_MAX_CLOCK_HZ = 30000000;
constexpr uint32_t MPSSE_MAX_LATENCY_MS = 255;

// Command bytes that need no operands.
constexpr uint8_t MPSSE_CMD_LOOPBACK_ON = 0x84;
constexpr uint8_t MPSSE_CMD_LOOPBACK_OFF = 0x85;
constexpr uint8_t MPSSE_CMD_SEND_IMMEDIATE = 0x87;
constexpr uint8_t MPSSE_CMD_DIVIDE_BY_5_OFF = 0x8A;
constexpr uint8_t MPSSE_CMD_DIVIDE_BY_5_ON = 0x8B;
constexpr uint8_t MPSSE_CMD_NONE = 0x00; // no divide-by-5 command (the FT2232C/D knows none)

// True when a device-list record (its type and location ID) is an MPSSE channel.
bool MPSSE_IsMpsseChannel(uint32_t deviceType, uint32_t locationId);

// Discovery: each call builds the driver's device list afresh. Channels are
// numbered from 0 in list order, counting only MPSSE channels.
D2xxStatus MPSSE_CountChannels(uint32_t *count);
// 1 when the list holds fewer than index + 1 channels; nothing is copied.
D2xxStatus MPSSE_GetChannelRecord(uint32_t index, MPSSE_DeviceRecord *record);
// 1 when the list holds fewer than index + 1 channels; nothing is opened and
// *handle is left as it was.
D2xxStatus MPSSE_OpenChannelByIndex(uint32_t index, D2xxHandle *handle);

// The whole set-up of an opened channel: driver settings, MPSSE mode,
// synchronisation, clock. 6 for a clock rate or latency that cannot be set,
// before any driver call.
D2xxStatus MPSSE_SetupChannel(D2xxHandle handle, uint32_t clockRate, uint32_t latencyMs);

// The clock divisor for a rate on a device type, and the divide-by-5 command
// that must precede it (MPSSE_CMD_NONE for the FT2232C/D). 6 when the rate is
// 0, above what the chip can clock, or so low that the divisor does not fit
// 16 bits; the outputs are then untouched.
D2xxStatus MPSSE_ClockDivisor(uint32_t deviceType, uint32_t clockRate, uint16_t *divisor, uint8_t *baseCommand);
D2xxStatus MPSSE_SetClock(D2xxHandle handle, uint32_t deviceType, uint32_t clockRate);
D2xxStatus MPSSE_SetLoopback(D2xxHandle handle, bool on);
D2xxStatus MPSSE_DrainReceiveQueue(D2xxHandle handle);
D2xxStatus MPSSE_AwaitBadCommandEcho(D2xxHandle handle, bool resend, uint8_t command, bool *found);
// 18 when the engine does not echo 0xAA or 0xAB.
D2xxStatus MPSSE_Synchronize(D2xxHandle handle);

// The fast set-up: the same driver settings, then synchronisation by echoes
// read back at once (each bad command followed by a send-immediate, so no
// polling and no latency wait), the clock set without settle pauses.
D2xxStatus MPSSE_SetupChannelFast(D2xxHandle handle, uint32_t clockRate, uint32_t latencyMs);
// After a read that failed or came back short the answers still on their way
// would shift every later one: drops what waits and proves with one echo
// that the stream is in step again. 0 when it is.
D2xxStatus MPSSE_Resynchronize(D2xxHandle handle);
// The highest SPI clock of the device type that is not above limitHz (the
// FT2232C/D's engine runs from a fixed 12 MHz: 6 MHz at most).
uint32_t MPSSE_MaxClock(uint32_t deviceType, uint32_t limitHz);
// Full-speed chips move USB data in 1 ms frames, high-speed ones in 125 us
// microframes.
bool MPSSE_IsFullSpeed(uint32_t deviceType);

// Writes all count bytes; a driver that takes fewer is an I/O error (4).
D2xxStatus MPSSE_WriteAll(D2xxHandle handle, const uint8_t *bytes, uint32_t count);
// Reads count bytes; *bytesRead is what came. Fewer than count within the
// read time-out is an I/O error (4).
D2xxStatus MPSSE_ReadAll(D2xxHandle handle, uint8_t *buffer, uint32_t count, uint32_t *bytesRead);

// The engine's high pin byte (exported; nothing in the tool calls them).
D2xxStatus FT_WriteGPIO(D2xxHandle handle, uint8_t direction, uint8_t value);
D2xxStatus FT_ReadGPIO(D2xxHandle handle, uint8_t *value);
