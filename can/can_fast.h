// The fast path's set-up, bring-up and take-down, for can_open.cpp.
#pragma once

#include <cstdint>

#include "TopLayer/SPI/src/ftdi_spi.h"

// Sets an opened channel up for the fast path: the highest SPI clock of its
// chip up to the controller's 10 MHz, no settle pauses. 0, or a status.
int CAN_InitFastChannel(SpiHandle handle, SpiChannelSettings *settings);
// Reset, bit timing, acceptance filters and masks that take only standard
// frames with replyId, rollover into RXB1, normal mode, each mode read back
// from CANSTAT. 0 on success.
int CAN_BringUpFast(int32_t bitRate, uint32_t replyId);
// Aborts pending transmissions, waits until none is pending, then
// configuration mode, read back. 0 on success.
int CAN_TakeOffBusFast();
// Test support: the fast path's state as at process start.
void CAN_ResetFastForTest();
