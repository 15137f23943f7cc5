// The bootloader's commands, each a fixed sequence of SDO transfers. A
// command stops at the first reply that refuses its step (an abort): nothing
// after it is sent. Every command returns 0 when each counted reply confirmed
// its step, -1 when a request could not be sent or its reply did not come,
// and otherwise the refusing reply's status (its ISP error code, -1 for a
// foreign abort); a compare that fails adds the status of its offset read.
#pragma once

#include <cstdint>

int ISP_ReadPartId(uint32_t *partId);
int ISP_Unlock(uint32_t code);
int ISP_PrepareSectors(uint32_t startSector, uint32_t endSector);
int ISP_EraseSectors(uint32_t startSector, uint32_t endSector);
int ISP_CopyRamToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t size);
int ISP_Compare(uint32_t flashAddress, uint32_t ramAddress, uint32_t size);
int ISP_Execute(uint32_t address);
int ISP_ReinvokeIsp();
// Writes size bytes of source to the chip's RAM at ramAddress in 7-byte
// segments, with a progress bar at verbosity 1.
int ISP_WriteToRam(uint32_t ramAddress, uint32_t size, const uint8_t *source);
// Reads size bytes of the chip's memory from address into buffer: the
// address and the length written to the bootloader, then one segmented
// upload of the whole length, with a progress bar of the bytes received at
// verbosity 1 and each segment's data at 4. The bootloader reads whole
// words: an address off a word boundary returns ISP_ADDR_ERROR and a size
// that is not a multiple of 4 ISP_COUNT_ERROR, with nothing sent; a size of
// 0 reads nothing. A reply that is not what its step asks for (another kind,
// entry, size or toggle, more bytes than asked, an end before them, an abort
// that reports success) returns -1. Bytes past size are never written; after
// a failure the buffer holds the segments that came before it. While the
// chip maps its boot ROM to address 0, the first 512 bytes of flash read as
// the boot ROM.
int ISP_ReadMemory(uint32_t address, uint32_t size, uint8_t *buffer);

// Blocks of the progress bar: its width, and what one step and the
// completion draw (exposed for tests of the arithmetic).
constexpr uint32_t ISP_BAR_WIDTH = 77;
uint32_t ISP_BarStepBlocks(uint32_t size);
uint32_t ISP_BarStepPosition(uint32_t size, uint32_t next);
uint32_t ISP_BarCompletionBlocks(uint32_t size, uint32_t rest);
