// Action p: loading a raw binary firmware image and programming it into the
// chip's flash, one 4096-byte sector at a time.
#pragma once

#include <cstdint>
#include <cstdio>

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
// checksum (over the padding too for an image shorter than 32 bytes).
LoadResult APP_LoadImage(const char *fileName, uint32_t *imageSize, uint8_t *buffer, uint8_t padding = 0);

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
int APP_ProgramFirmware(const char *fileName, uint32_t flashOffset, bool fast = false);
