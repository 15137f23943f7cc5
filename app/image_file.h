// Image files: the bytes of an Intel HEX text, an ELF32 ARM executable or a
// raw binary turned into a picture of the chip's flash, and the picture
// written back as Intel HEX. No file access here: the caller reads the file
// (whole) and writes the text.
//
// The format is told by the contents alone, never by the file name:
//   - ELF when the file starts with 0x7F 'E' 'L' 'F';
//   - Intel HEX when its first byte other than CR or LF is ':';
//   - raw binary otherwise.
// A raw Cortex-M0 image at address 0 can start with neither: its first word
// is the initial stack pointer, word-aligned and in the 8 KB RAM at
// 0x10000000, so its first byte is a multiple of 4 (0x3A, 0x7F, CR and LF are
// not). A file taken as HEX or ELF that breaks its format is refused, never
// taken as raw instead.
//
// Intel HEX, as read:
//   - lines end in "\n" or "\r\n"; the last one may lack its line end; an
//     empty line is skipped wherever it stands; any other line is one record
//     and nothing else (no blanks, no comments);
//   - record types 00 (data), 01 (end of file), 02 (extended segment address,
//     base = value * 16), 04 (extended linear address, base = value << 16);
//     03 and 05 (start addresses) are checked and ignored; any other type is
//     refused; each type's byte count is checked (01: 0, 02 and 04: 2, 03 and
//     05: 4); the offset field of records other than 00 is not looked at;
//   - every record's checksum is checked (the two's complement of the sum of
//     its other bytes);
//   - a data byte lies at base + offset + its index (the 16-bit offset does
//     not wrap: a record that would wrap reaches past 0xFFFF, beyond the
//     flash anyway); every byte must lie in the flash, 0x0000 to 0x7FFF;
//   - a byte given twice must have the same value both times;
//   - the 01 record is required (a file without it is taken as cut short)
//     and only empty lines may follow it.
// Errors name the line (counting from 1, empty lines included), as an
// editor shows it.
//
// ELF, as read: ELF32, little-endian, version 1, EM_ARM (40), ET_EXEC, a
// 52-byte header and 32-byte program headers. The data are the file bytes
// (p_filesz) of every PT_LOAD segment, placed at its physical (load) address
// p_paddr; p_memsz beyond p_filesz is memory the program clears itself, not
// data; segments without file bytes (.bss, stacks in RAM) and segments of
// other types are ignored. Sections are not read. Every offset and size is
// checked against the file. Errors name the segment by its index in the
// program header table, from 0.
//
// Raw binary: the whole file from the caller's flash offset; at most the
// flash's 32768 bytes from that offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t IMAGE_FLASH_SIZE = 0x8000; // the LPC11C24's 32 KB of flash
constexpr uint8_t IMAGE_GAP_BYTE = 0xFF;      // an erased flash byte
constexpr size_t IMAGE_REASON_SIZE = 64;      // a reason: 63 characters and the terminator

enum ImageFormat {
    IMAGE_RAW = 0,
    IMAGE_HEX = 1,
    IMAGE_ELF = 2,
};

enum ImageStatus {
    IMAGE_OK = 0,
    IMAGE_EMPTY = -1,        // no data byte at all (empty file, HEX or ELF without data)
    IMAGE_BEYOND_FLASH = -2, // a data byte outside 0x0000-0x7FFF (also a raw file too long)
    IMAGE_OVERLAP = -3,      // a byte given twice with different values
    IMAGE_MALFORMED = -4,    // breaks its format: syntax, checksum, cut short, bad offsets
    IMAGE_UNSUPPORTED = -5,  // a well-formed ELF, but not a 32-bit little-endian ARM executable
};

// The flash as a file defines it. About 64 KB: keep it off small stacks.
struct FlashImage {
    uint8_t bytes[IMAGE_FLASH_SIZE]; // IMAGE_GAP_BYTE where the file defines nothing
    bool defined[IMAGE_FLASH_SIZE];  // the file gives this byte
    uint32_t low;                    // lowest defined address (0 when none)
    uint32_t high;                   // one past the highest defined address (0 when none)
    ImageFormat format;              // what the file was read as
};

// The format a file's first bytes name (enough of them to pass any leading
// CR and LF), by the rules above.
ImageFormat APP_ImageFormatOf(const uint8_t *data, size_t size);

// No byte defined, every byte IMAGE_GAP_BYTE, low = high = 0, raw format.
void APP_ClearImage(FlashImage *image);

// Defines length bytes at address, keeping low and high. IMAGE_BEYOND_FLASH
// when any of them lies outside the flash, IMAGE_OVERLAP when one is already
// defined with another value (*conflict gets its address, when given); the
// image is left unchanged then.
ImageStatus APP_PlaceBytes(FlashImage *image, uint32_t address, const uint8_t *bytes, uint32_t length,
                           uint32_t *conflict = nullptr);

// Reads a file's bytes into *image (cleared first). rawOffset places a raw
// binary; HEX and ELF carry their own addresses. On failure *image holds
// nothing useful and reason (IMAGE_REASON_SIZE bytes, may be null) says
// where and why, e.g. "line 12: checksum 0x3A, expected 0x3B"; on success
// reason is empty.
ImageStatus APP_DecodeImage(const uint8_t *data, size_t size, uint32_t rawOffset, FlashImage *image, char *reason);

// The image's defined bytes as Intel HEX: each run of defined bytes in data
// records of at most 16 bytes that do not cross a 16-byte boundary,
// uppercase, "\n" line ends (every HEX reader takes them; text tools show
// them plainly), ending with the 01 record. The flash lies below 0x10000, so
// no extended address record is needed and none is written. An image with no
// byte defined gives the 01 record alone.
std::string APP_EncodeHex(const FlashImage &image);
