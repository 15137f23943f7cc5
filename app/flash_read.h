// Actions v and d: reading the flash back through the bootloader, to compare
// it with an image file or to save it.
#pragma once

#include <cstdint>

#include "app/results.h"

// While the bootloader runs, the chip may show its boot ROM in place of flash
// 0x000-0x1FF; the tool cannot tell whether it does, so it never reads those
// bytes as flash.
constexpr uint32_t BOOT_ROM_WINDOW_END = 0x200;

// Compares the flash with the image file as programming writes it (vector
// checksum included, 0xFF in a HEX or ELF file's gaps), over the bytes the
// file gives from the sector that holds flashOffset (raw binaries; HEX and
// ELF files place themselves), the boot ROM window excepted. RC_OK,
// RC_VERIFY_FAILED (with a status line naming the first difference and the
// count), RC_READ_FAILED, or the loader's result.
ResultCode APP_VerifyFirmware(const char *fileName, uint32_t flashOffset, bool fast);

// Saves length bytes of flash from flashOffset into fileName: Intel HEX when
// the name ends in ".hex" (without records for the boot ROM window), raw
// binary otherwise. Written whole or not at all. RC_OK, RC_READ_FAILED,
// RC_FILE_WRITE_FAILED.
ResultCode APP_ReadFlash(const char *fileName, uint32_t flashOffset, uint32_t length);

// The command line's check of a read-back range, before any device access:
// word-aligned, inside the flash, not empty, and for a raw binary file not
// reaching into the boot ROM window. nullptr when the range is sound, else
// why not (for a status line at level 2).
const char *APP_ReadRangeProblem(const char *fileName, uint32_t flashOffset, uint32_t length);
bool APP_IsHexFileName(const char *fileName);
