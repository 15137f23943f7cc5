// Action p: loading a firmware image (raw binary, Intel HEX or ELF) and
// programming it into the chip's flash, one 4096-byte sector at a time.
#pragma once

#include <cstdint>

#include "app/results.h"
#include <cstdio>
#include <vector>

#include "app/image_file.h"

constexpr uint32_t MAX_IMAGE_SIZE = 0x8000; // the chip's 32 KB of flash
constexpr uint32_t SECTOR_SIZE = 4096;

enum LoadResult {
    LOAD_OK = 0,
    LOAD_OPEN_FAILED = -1,
    LOAD_TOO_BIG = -2,
    LOAD_READ_FAILED = -3, // the file could not be read whole
    LOAD_EMPTY = -4,       // no byte to program
};

// Reads the file into the 32768-byte buffer, which holds padding past its
// end, stores its length rounded up to a multiple of 4, and writes the vector
// checksum (over the padding too for an image shorter than 32 bytes); and, if
// fileLength is given, the length as read.
LoadResult APP_LoadImage(const char *fileName, uint32_t *imageSize, uint8_t *buffer, uint8_t padding = 0,
                         uint32_t *fileLength = nullptr);

// Reads exactly length bytes (at most MAX_IMAGE_SIZE) of an open file into the
// buffer, one byte per read; LOAD_READ_FAILED when a read fails or the file
// ends early, so that a cut image is never programmed.
LoadResult APP_ReadImage(FILE *file, uint64_t length, uint8_t *buffer);

// Word 7 of the vector table becomes the two's complement of the sum of
// words 0 to 6, so that the eight words sum to 0: the boot code's check for
// a valid user program.
void APP_WriteVectorChecksum(uint8_t *image);

// Without fast: sector by sector from the first, each sent whole (as far as
// the image goes) and copied as 4096 bytes. With fast: the image is padded
// with 0xFF, sector 0 comes after the others, a 256-byte block that is all
// 0xFF is neither sent nor copied, and each run of other blocks is one RAM
// write at its offset in the window, copied in pieces of the sizes the chip
// takes and compared once; the run holding the image's end is copied with
// the smallest piece that covers it within its sector, so that flash past
// the image stays erased.
ResultCode APP_ProgramFirmware(const char *fileName, uint32_t flashOffset, bool fast = false, uint32_t allowedCrp = 0);

// A firmware file as programming writes it to the flash.
struct Firmware {
    std::vector<uint8_t> bytes; // MAX_IMAGE_SIZE bytes
    ImageFormat format;
    uint32_t low;     // the first address the file gives (0 for a raw binary)
    uint32_t fileEnd; // one past the last address the file gives
    uint32_t end;     // one past the last byte programming sends: fileEnd up to a word
};

// Reads a firmware file. A raw binary as ever (APP_LoadImage: from address 0,
// padded with `padding`); an Intel HEX or ELF file at its own addresses with
// 0xFF everywhere else, its vector checksum written when it gives the first
// 32 bytes. RC_OK, RC_FILE_TOO_BIG, or RC_FILE_LOAD_FAILED with the reason
// (IMAGE_REASON_SIZE bytes) for a HEX or ELF file that breaks its format.
ResultCode APP_LoadFirmware(const char *fileName, uint8_t padding, Firmware *firmware, char *reason);

// Code read protection: the word at 0x2FC, read by the boot code at reset.
enum CrpLevel { CRP_NONE = 0, CRP_LEVEL_1, CRP_LEVEL_2, CRP_LEVEL_3, CRP_NO_ISP };
CrpLevel APP_CrpLevel(const Firmware &firmware);
const char *APP_CrpName(CrpLevel level);
uint32_t APP_CrpWord(CrpLevel level);
// What the level does to the chip, in a status line's words.
const char *APP_CrpEffect(CrpLevel level);
// Whether --allow-crp's bits (CRP_ALLOW_*) let an image set the level.
bool APP_CrpAllowed(CrpLevel level, uint32_t allowedCrp);
