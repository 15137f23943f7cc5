// Batches: chip-select frames and engine waits sent in one FT_Write, their
// answers read with one FT_Read.
#include <cstring>

#include "Mpsse/src/mpsse_channel.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "TopLayer/SPI/src/spi_channel_list.h"

namespace
{

constexpr uint8_t CMD_SET_LOW_PINS = 0x80;
constexpr uint8_t CMD_CLOCK_BYTES = 0x8F; // clocks (n + 1) x 8 bits, no data
constexpr uint32_t MAX_CLOCK_BYTES = 65536;

bool append(SpiBatch *batch, const uint8_t *bytes, uint32_t count)
{
    if (batch->overflow || count > SPI_BATCH_CAPACITY - batch->length) {
        batch->overflow = true;
        return false;
    }
    std::memcpy(batch->commands + batch->length, bytes, count);
    batch->length += count;
    return true;
}

// An MPSSE byte-transfer header: the opcode and the count less one.
void appendHeader(SpiBatch *batch, uint8_t opcode, uint32_t count)
{
    const uint8_t header[] = {opcode, static_cast<uint8_t>((count - 1) & 0xFF),
                              static_cast<uint8_t>(((count - 1) >> 8) & 0xFF)};
    append(batch, header, sizeof(header));
}

} // namespace

D2xxStatus SPI_BatchBegin(SpiHandle handle, SpiBatch *batch)
{
    SpiChannelSettings *settings = nullptr;
    D2xxStatus status = MPSSE_FindChannel(handle, &settings);
    if (status != D2XX_OK)
        return status;
    uint32_t type = 0;
    if ((status = MPSSE_GetDeviceType(handle, &type)) != D2XX_OK)
        return status;
    batch->handle = handle;
    batch->clockHz = settings->clockRate;
    batch->canWait = type != DEVICE_TYPE_FT2232C;
    batch->lost = false;
    SPI_ByteOpcodes(settings, &batch->writeOpcode, &batch->readOpcode);
    SPI_ChipSelectPins(settings, true, &batch->selectLevels, &batch->directions);
    SPI_ChipSelectPins(settings, false, &batch->releaseLevels, &batch->directions);
    SPI_BatchClear(batch);
    return D2XX_OK;
}

void SPI_BatchClear(SpiBatch *batch)
{
    batch->length = 0;
    batch->answers = 0;
    batch->overflow = false;
}

uint32_t SPI_BatchFrame(SpiBatch *batch, const uint8_t *out, uint32_t writeCount, uint32_t readCount)
{
    const uint32_t at = batch->answers;
    if (writeCount > SPI_MAX_BYTE_TRANSFER || readCount > SPI_MAX_BYTE_TRANSFER ||
        readCount > SPI_BATCH_MAX_ANSWERS - batch->answers) {
        batch->overflow = true;
        return at;
    }
    const uint8_t select[] = {CMD_SET_LOW_PINS, batch->selectLevels, batch->directions};
    const uint8_t release[] = {CMD_SET_LOW_PINS, batch->releaseLevels, batch->directions};
    append(batch, select, sizeof(select));
    if (writeCount > 0) {
        appendHeader(batch, batch->writeOpcode, writeCount);
        append(batch, out, writeCount);
    }
    if (readCount > 0) {
        appendHeader(batch, batch->readOpcode, readCount);
        batch->answers += readCount;
    }
    append(batch, release, sizeof(release));
    return at;
}

bool SPI_BatchWait(SpiBatch *batch, uint32_t us)
{
    if (!batch->canWait)
        return false;
    // Whole bytes of clocks, rounded up: at least the wait asked for.
    uint64_t bytes = (static_cast<uint64_t>(us) * batch->clockHz + 7999999) / 8000000;
    while (bytes > 0) {
        uint32_t chunk = bytes > MAX_CLOCK_BYTES ? MAX_CLOCK_BYTES : static_cast<uint32_t>(bytes);
        appendHeader(batch, CMD_CLOCK_BYTES, chunk);
        bytes -= chunk;
    }
    return true;
}

D2xxStatus SPI_BatchRun(SpiBatch *batch, uint8_t *answers)
{
    const uint32_t expected = batch->answers;
    if (expected > 0) {
        const uint8_t sendImmediate = MPSSE_CMD_SEND_IMMEDIATE;
        append(batch, &sendImmediate, 1);
    }
    const bool refused = batch->overflow;
    const uint32_t length = batch->length;
    SPI_BatchClear(batch);
    if (refused)
        return D2XX_INSUFFICIENT_RESOURCES;
    if (batch->lost)
        return D2XX_IO_ERROR;
    if (length == 0)
        return D2XX_OK;
    D2xxStatus status = MPSSE_WriteAll(batch->handle, batch->commands, length);
    if (status != D2XX_OK || expected == 0)
        return status;
    uint32_t read = 0;
    status = MPSSE_ReadAll(batch->handle, answers, expected, &read);
    if (status != D2XX_OK) {
        // Whatever the resynchronisation finds, these answers are lost; an
        // engine that does not echo either would make every later batch
        // wait out the read time-out twice.
        batch->lost = MPSSE_Resynchronize(batch->handle) != D2XX_OK;
        return status;
    }
    return D2XX_OK;
}
