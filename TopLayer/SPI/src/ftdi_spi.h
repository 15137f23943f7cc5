// The SPI master on an MPSSE channel: opening and setting up channels, chip
// select, and transfers of bytes or bits in SPI modes 0 to 3, most
// significant bit first. Every operation returns 0 or a status in the USB
// driver's numbering (1 invalid handle, 4 I/O error, 5 insufficient
// resources, 6 invalid parameter, 18 other error, or the driver's own).
#pragma once

#include <cstdint>

#include "Infra/src/ftdi_infra.h"

using SpiHandle = D2xxHandle;

struct SpiChannelSettings {
    uint32_t clockRate;   // SPI clock in Hz, at most 30,000,000
    uint8_t latencyTimer; // the driver's latency timer in ms
    // Bits 0-1: SPI mode; bits 2-4: chip-select line 0-4 (pins 3-7 of the low
    // byte); SPI_CS_ACTIVE_LOW: chip select is active low.
    uint32_t options;
    // Low pin byte: bits 0-7 directions (1 = output) and 8-15 levels after
    // set-up; bits 16-23 directions and 24-31 levels at close.
    uint32_t pins;
    // The low pin byte as last sent: bits 0-7 directions, 8-15 levels.
    uint16_t pinState;
};

constexpr uint32_t SPI_MODE_MASK = 0x03;
constexpr uint32_t SPI_CS_LINE_SHIFT = 2;
constexpr uint32_t SPI_CS_LINE_MASK = 0x1C;
constexpr uint32_t SPI_CS_ACTIVE_LOW = 0x20;
constexpr uint32_t SPI_CS_LINE_COUNT = 5; // lines 0-4; 5-7 would be outside the low byte

// Transfer options, any combination.
constexpr uint32_t XFER_BITS = 0x01;       // the size counts bits, not bytes
constexpr uint32_t XFER_CS_ASSERT = 0x02;  // assert chip select before the transfer
constexpr uint32_t XFER_CS_RELEASE = 0x04; // release it after the transfer

// A byte transfer announces size - 1 in 16 bits.
constexpr uint32_t SPI_MAX_BYTE_TRANSFER = 65536;

D2xxStatus SPI_GetNumChannels(uint32_t *count);
D2xxStatus SPI_GetChannelInfo(uint32_t index, MPSSE_DeviceRecord *record);
D2xxStatus SPI_OpenChannel(uint32_t index, SpiHandle *handle);
// Completes settings->pins and settings->pinState, sets the channel up and
// drives the low pin byte.
D2xxStatus SPI_InitChannel(SpiHandle handle, SpiChannelSettings *settings);
D2xxStatus SPI_CloseChannel(SpiHandle handle);
D2xxStatus SPI_Read(SpiHandle handle, uint8_t *buffer, uint32_t size, uint32_t *transferred, uint32_t options);
D2xxStatus SPI_Write(SpiHandle handle, const uint8_t *buffer, uint32_t size, uint32_t *transferred, uint32_t options);
// Full duplex: byte i of out goes out while byte i of in comes in.
D2xxStatus SPI_ReadWrite(SpiHandle handle, uint8_t *in, const uint8_t *out, uint32_t size, uint32_t *transferred,
                         uint32_t options);
// Busy when any pin of the low byte reads high while chip select is asserted.
D2xxStatus SPI_IsBusy(SpiHandle handle, bool *busy);
// Replaces the channel's SPI mode, chip-select line and polarity.
D2xxStatus SPI_ChangeCS(SpiHandle handle, uint32_t options);

// The fast set-up of SPI_InitChannel: the same pins and settings, the
// engine synchronised and clocked without polling or settle pauses
// (MPSSE_SetupChannelFast).
D2xxStatus SPI_InitChannelFast(SpiHandle handle, SpiChannelSettings *settings);
// The channel's device type in the driver's numbering.
D2xxStatus SPI_DeviceType(SpiHandle handle, uint32_t *type);

// ---- Batches ----------------------------------------------------------------
// Chip-select frames and waits gathered for one FT_Write; their answers come
// back with one FT_Read after a send-immediate. The frames carry no pauses:
// the engine clocks them back to back.
constexpr uint32_t SPI_BATCH_CAPACITY = 8192; // command bytes
constexpr uint32_t SPI_BATCH_MAX_ANSWERS = 1024;

struct SpiBatch {
    SpiHandle handle;
    uint32_t clockHz;
    uint8_t writeOpcode, readOpcode;
    uint8_t selectLevels, releaseLevels, directions;
    uint32_t length;  // command bytes so far
    uint32_t answers; // answer bytes they produce
    bool overflow;    // something did not fit: SPI_BatchRun refuses the batch
    bool canWait;     // the engine has clock-only commands (the high-speed chips)
    bool lost;        // a resynchronisation failed: the engine no longer answers
    uint8_t commands[SPI_BATCH_CAPACITY];
};

// Starts an empty batch on a set-up channel; 18 when the channel is not.
D2xxStatus SPI_BatchBegin(SpiHandle handle, SpiBatch *batch);
void SPI_BatchClear(SpiBatch *batch);
// One chip-select frame: writeCount bytes out, then readCount bytes in.
// Returns where its answer bytes start among the batch's answers.
uint32_t SPI_BatchFrame(SpiBatch *batch, const uint8_t *out, uint32_t writeCount, uint32_t readCount);
// A wait of at least us microseconds inside the engine: clocks with chip
// select released, which reach no slave. Only the high-speed chips have
// clock-only commands; on the FT2232C/D nothing is added and the answer is
// false.
bool SPI_BatchWait(SpiBatch *batch, uint32_t us);
// Sends the batch in one FT_Write; when it has answers, ends it with a
// send-immediate and reads them with one FT_Read into answers (at least
// batch->answers bytes). A read that fails or comes back short would shift
// every later answer: the stream is resynchronised and the batch fails (4,
// or the driver's status). When the resynchronisation fails too, the engine
// is gone: batch->lost is set and every later run fails at once with 4,
// without a transfer (until SPI_BatchBegin). The batch is cleared either way.
D2xxStatus SPI_BatchRun(SpiBatch *batch, uint8_t *answers);

// Test support: forgets every open channel (the devices are not touched).
void SPI_ResetForTest();
