// The steps of a run between option parsing and the final message: the
// connection to the chip, unlocking its bootloader, the actions, and closing.
// Each returns a result code (app/results.h).
#pragma once

#include <cstdint>

#include "app/results.h"

// The chip RAM address into which data is loaded before it is copied to
// flash or executed.
constexpr uint32_t RAM_BUFFER_ADDRESS = 0x10000300;
constexpr uint32_t PART_ID_ATTEMPTS = 20;
constexpr uint32_t PART_ID_RETRY_DELAY_MS = 500;

// Cortex-M0 Thumb code that writes 0x05FA0004 to the Application Interrupt
// and Reset Control Register (0xE000ED0C): write key 0x05FA and SYSRESETREQ.
//   ldr r2, [pc, #4]   ; 0x05FA0004
//   ldr r3, [pc, #8]   ; 0xE000ED00
//   str r2, [r3, #12]
//   nop                ; aligns the literals
constexpr uint8_t RESET_ROUTINE[16] = {0x01, 0x4A, 0x02, 0x4B, 0xDA, 0x60, 0xC0, 0x46,
                                       0x04, 0x00, 0xFA, 0x05, 0x00, 0xED, 0x00, 0xE0};

extern uint8_t g_connected;

// deviceSelector: the --device selector, or nullptr for the first channel.
// RC_INTERRUPTED when a request to stop came before the chip was found.
ResultCode APP_Connect(int32_t bitRate, uint32_t expectedPartId, const char *deviceSelector = nullptr);
ResultCode APP_Unlock(uint32_t unlockCode);
ResultCode APP_ReinvokeIsp();
ResultCode APP_EraseAll();
ResultCode APP_ResetChip();
ResultCode APP_Go(uint32_t startAddress);
ResultCode APP_Disconnect();
