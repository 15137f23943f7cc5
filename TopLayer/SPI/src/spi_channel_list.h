// The SPI master's list of open channels and the operations that the
// transfers share with channel management.
#pragma once

#include "TopLayer/SPI/src/ftdi_spi.h"

struct SpiChannelNode {
    SpiHandle handle;
    SpiChannelSettings settings; // valid once setUp is true
    bool setUp;                  // SPI_InitChannel completed
    SpiChannelNode *next;
};

extern SpiChannelNode *g_channelList;

// Appends an entry (settings unset); 5 when memory cannot be obtained.
D2xxStatus MPSSE_AddChannel(SpiHandle handle);
// Unlinks and frees the first entry of the handle; 0 also when there is none.
D2xxStatus MPSSE_RemoveChannel(SpiHandle handle);
// Stores the settings in every entry of the handle and marks them set up;
// 18 when the handle is not listed.
D2xxStatus MPSSE_UpdateChannel(SpiHandle handle, const SpiChannelSettings *settings);
// The settings of the handle's (last) entry; 18 when the handle is not listed
// or the channel was never set up, whose settings are then unset.
D2xxStatus MPSSE_FindChannel(SpiHandle handle, SpiChannelSettings **settings);
// Drives the chip-select pin to its active (assert) or inactive level.
D2xxStatus MPSSE_SetChipSelect(SpiHandle handle, bool assert);
// The low pin byte (levels, directions) with chip select active or inactive.
void SPI_ChipSelectPins(const SpiChannelSettings *settings, bool assert, uint8_t *levels, uint8_t *directions);
// The byte-transfer opcodes (data out, data in) of the channel's SPI mode.
void SPI_ByteOpcodes(const SpiChannelSettings *settings, uint8_t *write, uint8_t *read);

// One bit-mode command of 1 to 8 bits in the channel's SPI mode.
D2xxStatus MPSSE_WriteBits(SpiHandle handle, uint8_t data, uint32_t bitCount);
D2xxStatus MPSSE_ReadBits(SpiHandle handle, uint8_t *data, uint32_t bitCount);

// Prints the NULL-expression report of an SPI operation.
void SPI_ReportNullArgument(int line, const char *operation);
