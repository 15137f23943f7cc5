// SPI transfers on a set-up channel: the MPSSE clocking commands chosen by
// the channel's SPI mode, with chip select asserted before and released after
// on request.
#include "Mpsse/src/mpsse_channel.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "TopLayer/SPI/src/spi_channel_list.h"

namespace
{

constexpr int LINE_READ_HANDLE = 341;
constexpr int LINE_READ_BUFFER = 342;
constexpr int LINE_READ_TRANSFERRED = 343;
constexpr int LINE_WRITE_HANDLE = 465;
constexpr int LINE_WRITE_BUFFER = 466;
constexpr int LINE_WRITE_TRANSFERRED = 467;
constexpr int LINE_READ_WRITE_HANDLE = 594;
constexpr int LINE_READ_WRITE_IN = 595;
constexpr int LINE_READ_WRITE_OUT = 596;
constexpr int LINE_READ_WRITE_TRANSFERRED = 597;

// MSB-first clocking commands. Modes 0 and 3 shift out on the falling edge
// and sample on the rising edge; modes 1 and 2 the other way round.
struct ModeOpcodes {
    uint8_t writeBytes, writeBits, readBytes, readBits, duplexBytes, duplexBits;
};
const ModeOpcodes OPCODES_BY_MODE[4] = {
    {0x11, 0x13, 0x20, 0x22, 0x31, 0x33}, // mode 0
    {0x10, 0x12, 0x24, 0x26, 0x34, 0x36}, // mode 1
    {0x10, 0x12, 0x24, 0x26, 0x34, 0x36}, // mode 2
    {0x11, 0x13, 0x20, 0x22, 0x31, 0x33}, // mode 3
};

constexpr uint8_t CMD_READ_LOW_PINS = 0x81;
constexpr uint8_t CMD_SEND_IMMEDIATE = 0x87;
constexpr uint32_t BITS_PER_CHUNK = 8;

const ModeOpcodes &opcodesFor(const SpiChannelSettings *settings)
{
    return OPCODES_BY_MODE[settings->options & SPI_MODE_MASK];
}

// A byte transfer's header carries size - 1 in 16 bits.
bool sizeFits(uint32_t size, uint32_t options)
{
    return (options & XFER_BITS) != 0 || (size >= 1 && size <= SPI_MAX_BYTE_TRANSFER);
}

uint32_t chunkBits(uint32_t size, uint32_t done)
{
    return size - done >= BITS_PER_CHUNK ? BITS_PER_CHUNK : size - done;
}

D2xxStatus writeHeader(SpiHandle handle, uint8_t opcode, uint32_t size)
{
    const uint8_t header[] = {opcode, static_cast<uint8_t>((size - 1) & 0xFF),
                              static_cast<uint8_t>(((size - 1) >> 8) & 0xFF)};
    return MPSSE_WriteAll(handle, header, sizeof(header));
}

// Writes the data bytes of a byte transfer; *written is what the driver took.
D2xxStatus writeData(SpiHandle handle, const uint8_t *bytes, uint32_t size, uint32_t *written)
{
    D2xxStatus status = MPSSE_Write(handle, bytes, size, written);
    if (status != D2XX_OK)
        return status;
    return *written == size ? D2XX_OK : D2XX_IO_ERROR;
}

// A required argument that is null: reported with its line, and the
// operation returns 6 without any other effect.
bool nullArgument(const void *argument, int line, const char *operation)
{
    if (argument != nullptr)
        return false;
    SPI_ReportNullArgument(line, operation);
    return true;
}

// What every transfer shares: the size check, the channel look-up, chip
// select around the transfer, and the split of a bit transfer into chunks of
// at most 8 bits (bitChunk gets the opcodes, the byte index and the chunk's
// bit count; bytes does a byte transfer).
template <typename BitChunk, typename Bytes>
D2xxStatus runTransfer(SpiHandle handle, uint32_t size, uint32_t *transferred, uint32_t options, BitChunk bitChunk,
                       Bytes bytes)
{
    *transferred = 0;
    if (!sizeFits(size, options))
        return D2XX_INVALID_PARAMETER;
    SpiChannelSettings *settings = nullptr;
    D2xxStatus status = MPSSE_FindChannel(handle, &settings);
    if (status != D2XX_OK)
        return status;
    const ModeOpcodes opcodes = opcodesFor(settings);

    if ((options & XFER_CS_ASSERT) != 0 && (status = MPSSE_SetChipSelect(handle, true)) != D2XX_OK)
        return status;
    if ((options & XFER_BITS) != 0) {
        while (*transferred < size) {
            uint32_t chunk = chunkBits(size, *transferred);
            if ((status = bitChunk(opcodes, *transferred / BITS_PER_CHUNK, chunk)) != D2XX_OK)
                return status;
            *transferred += chunk;
        }
    } else if ((status = bytes(opcodes)) != D2XX_OK) {
        return status;
    }
    if ((options & XFER_CS_RELEASE) != 0)
        return MPSSE_SetChipSelect(handle, false);
    return D2XX_OK;
}

} // namespace

void SPI_ByteOpcodes(const SpiChannelSettings *settings, uint8_t *write, uint8_t *read)
{
    *write = opcodesFor(settings).writeBytes;
    *read = opcodesFor(settings).readBytes;
}

D2xxStatus MPSSE_WriteBits(SpiHandle handle, uint8_t data, uint32_t bitCount)
{
    SpiChannelSettings *settings = nullptr;
    D2xxStatus status = MPSSE_FindChannel(handle, &settings);
    if (status != D2XX_OK)
        return status;
    if (bitCount < 1 || bitCount > BITS_PER_CHUNK)
        return D2XX_INVALID_PARAMETER;
    const uint8_t command[] = {opcodesFor(settings).writeBits, static_cast<uint8_t>(bitCount - 1), data};
    return MPSSE_WriteAll(handle, command, sizeof(command));
}

D2xxStatus MPSSE_ReadBits(SpiHandle handle, uint8_t *data, uint32_t bitCount)
{
    SpiChannelSettings *settings = nullptr;
    D2xxStatus status = MPSSE_FindChannel(handle, &settings);
    if (status != D2XX_OK)
        return status;
    if (data == nullptr || bitCount < 1 || bitCount > BITS_PER_CHUNK)
        return D2XX_INVALID_PARAMETER;
    const uint8_t command[] = {opcodesFor(settings).readBits, static_cast<uint8_t>(bitCount - 1), CMD_SEND_IMMEDIATE};
    status = MPSSE_WriteAll(handle, command, sizeof(command));
    if (status != D2XX_OK)
        return status;
    // No answer within the read time-out leaves the byte without meaning:
    // that is an I/O error, not data.
    return MPSSE_ReadAll(handle, data, 1, nullptr);
}

D2xxStatus SPI_Write(SpiHandle handle, const uint8_t *buffer, uint32_t size, uint32_t *transferred, uint32_t options)
{
    if (nullArgument(handle, LINE_WRITE_HANDLE, "SPI_Write") || nullArgument(buffer, LINE_WRITE_BUFFER, "SPI_Write") ||
        nullArgument(transferred, LINE_WRITE_TRANSFERRED, "SPI_Write"))
        return D2XX_INVALID_PARAMETER;
    return runTransfer(
        handle, size, transferred, options,
        [&](const ModeOpcodes &, uint32_t at, uint32_t chunk) { return MPSSE_WriteBits(handle, buffer[at], chunk); },
        [&](const ModeOpcodes &opcodes) {
            D2xxStatus status = writeHeader(handle, opcodes.writeBytes, size);
            return status != D2XX_OK ? status : writeData(handle, buffer, size, transferred);
        });
}

D2xxStatus SPI_Read(SpiHandle handle, uint8_t *buffer, uint32_t size, uint32_t *transferred, uint32_t options)
{
    if (nullArgument(handle, LINE_READ_HANDLE, "SPI_Read") || nullArgument(buffer, LINE_READ_BUFFER, "SPI_Read") ||
        nullArgument(transferred, LINE_READ_TRANSFERRED, "SPI_Read"))
        return D2XX_INVALID_PARAMETER;
    return runTransfer(
        handle, size, transferred, options,
        [&](const ModeOpcodes &, uint32_t at, uint32_t chunk) { return MPSSE_ReadBits(handle, &buffer[at], chunk); },
        [&](const ModeOpcodes &opcodes) {
            const uint8_t command[] = {opcodes.readBytes, static_cast<uint8_t>((size - 1) & 0xFF),
                                       static_cast<uint8_t>(((size - 1) >> 8) & 0xFF), CMD_SEND_IMMEDIATE};
            D2xxStatus status = MPSSE_WriteAll(handle, command, sizeof(command));
            return status != D2XX_OK ? status : MPSSE_ReadAll(handle, buffer, size, transferred);
        });
}

D2xxStatus SPI_ReadWrite(SpiHandle handle, uint8_t *in, const uint8_t *out, uint32_t size, uint32_t *transferred,
                         uint32_t options)
{
    if (nullArgument(handle, LINE_READ_WRITE_HANDLE, "SPI_ReadWrite") ||
        nullArgument(in, LINE_READ_WRITE_IN, "SPI_ReadWrite") ||
        nullArgument(out, LINE_READ_WRITE_OUT, "SPI_ReadWrite") ||
        nullArgument(transferred, LINE_READ_WRITE_TRANSFERRED, "SPI_ReadWrite"))
        return D2XX_INVALID_PARAMETER;
    // No send-immediate: the answers come with the driver's latency timer.
    return runTransfer(
        handle, size, transferred, options,
        [&](const ModeOpcodes &opcodes, uint32_t at, uint32_t chunk) {
            const uint8_t command[] = {opcodes.duplexBits, static_cast<uint8_t>(chunk - 1), out[at]};
            D2xxStatus status = MPSSE_WriteAll(handle, command, sizeof(command));
            return status != D2XX_OK ? status : MPSSE_ReadAll(handle, &in[at], 1, nullptr);
        },
        [&](const ModeOpcodes &opcodes) {
            uint32_t written = 0;
            D2xxStatus status = writeHeader(handle, opcodes.duplexBytes, size);
            if (status == D2XX_OK)
                status = writeData(handle, out, size, &written);
            return status != D2XX_OK ? status : MPSSE_ReadAll(handle, in, size, transferred);
        });
}

D2xxStatus SPI_IsBusy(SpiHandle handle, bool *busy)
{
    if (busy == nullptr)
        return D2XX_INVALID_PARAMETER;
    SpiChannelSettings *settings = nullptr;
    D2xxStatus status = MPSSE_FindChannel(handle, &settings);
    if (status != D2XX_OK)
        return status;

    MPSSE_SetChipSelect(handle, true);
    const uint8_t command[] = {CMD_READ_LOW_PINS, CMD_SEND_IMMEDIATE};
    if ((status = MPSSE_WriteAll(handle, command, sizeof(command))) != D2XX_OK)
        return status;
    uint8_t pins = 0;
    // Without an answer there is no pin state to report.
    if ((status = MPSSE_ReadAll(handle, &pins, 1, nullptr)) != D2XX_OK)
        return status;
    *busy = pins != 0;
    MPSSE_SetChipSelect(handle, false);
    return D2XX_OK;
}
