#include "can/mcp_spi.h"

#include <climits>
#include <cstring>

#include "can/mcp2515_regs.h"
#include "platform/platform.h"

SpiHandle g_spiHandle = nullptr;

namespace
{

// The pause after every chip-select release, and the controller's reset time.
constexpr uint32_t MCP_INSTRUCTION_PAUSE_MS = 1;
constexpr uint32_t MCP_RESET_HOLD_MS = 1;
constexpr uint32_t MCP_RESET_SETTLE_MS = 10;

// What a read leaves in its output when the SPI read fails: the value that
// makes callers do nothing (no frame waiting, every transmit buffer busy, an
// undriven MISO line for register reads).
constexpr uint8_t MCP_READ_FAILED_REGISTER = 0xFF;
constexpr uint8_t MCP_READ_FAILED_STATUS = MCP_STATUS_TX0REQ | MCP_STATUS_TX1REQ | MCP_STATUS_TX2REQ;
constexpr uint8_t MCP_READ_FAILED_RX_STATUS = 0x00;

// The pieces of one instruction share its chip-select frame: once a piece
// has failed, the controller has seen a cut-off instruction, and bytes sent
// after it would be taken as part of it (a command whose data never came
// would take the next piece's MPSSE commands as its data). So a piece is sent
// only while every earlier one succeeded; the first failure is the
// instruction's status.
int writePiece(int status, uint8_t count, const uint8_t *bytes)
{
    return status != 0 ? status : MCP_SpiWrite(count, bytes);
}

// A read that fails or is not made leaves failedValue in the buffer.
int readPiece(int status, uint8_t count, uint8_t *buffer, uint8_t failedValue)
{
    if (status == 0)
        status = MCP_SpiRead(count, buffer);
    if (status != 0)
        std::memset(buffer, failedValue, count);
    return status;
}

// Chip select is released whatever happened before, so that the controller
// is deselected and the next instruction starts a frame of its own; a failed
// release fails the instruction too.
int endInstruction(int status) { return CAN_AddStatus(status, MCP_EndInstruction()); }

// READ STATUS and RX STATUS: the instruction byte, then one status byte.
int statusInstruction(uint8_t instruction, uint8_t *status, uint8_t failedValue)
{
    int result = writePiece(0, 1, &instruction);
    return endInstruction(readPiece(result, 1, status, failedValue));
}

} // namespace

int CAN_AddStatus(int sum, int status)
{
    if (sum < 0 || status < 0)
        return -1;
    if (status > INT_MAX - sum)
        return INT_MAX;
    return sum + status;
}

int MCP_StatusOf(uint32_t status)
{
    return status > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(status);
}

int MCP_SpiWrite(uint8_t count, const uint8_t *bytes)
{
    uint32_t transferred = 0;
    return MCP_StatusOf(SPI_Write(g_spiHandle, bytes, count, &transferred, XFER_CS_ASSERT));
}

int MCP_SpiRead(uint8_t count, uint8_t *buffer)
{
    uint32_t transferred = 0;
    return MCP_StatusOf(SPI_Read(g_spiHandle, buffer, count, &transferred, XFER_CS_ASSERT));
}

int MCP_EndInstruction()
{
    uint8_t scratch = 0;
    uint32_t transferred = 0;
    int status = MCP_StatusOf(SPI_Read(g_spiHandle, &scratch, 0, &transferred, XFER_BITS | XFER_CS_RELEASE));
    PLAT_SleepMs(MCP_INSTRUCTION_PAUSE_MS);
    return status;
}

int MCP_Reset()
{
    const uint8_t instruction = MCP_INSTR_RESET;
    int status = MCP_SpiWrite(1, &instruction);
    PLAT_SleepMs(MCP_RESET_HOLD_MS);
    status = endInstruction(status);
    // The controller needs its oscillator start-up time after RESET.
    PLAT_SleepMs(MCP_RESET_SETTLE_MS);
    return status;
}

int MCP_WriteRegisters(uint8_t address, uint8_t count, const uint8_t *data)
{
    const uint8_t head[] = {MCP_INSTR_WRITE, address};
    int status = MCP_SpiWrite(sizeof(head), head);
    // A zero-byte SPI write is refused by the SPI layer; there is nothing to send.
    if (count > 0)
        status = writePiece(status, count, data);
    return endInstruction(status);
}

int MCP_ReadRegisters(uint8_t address, uint8_t count, uint8_t *buffer)
{
    const uint8_t head[] = {MCP_INSTR_READ, address};
    int status = MCP_SpiWrite(sizeof(head), head);
    return endInstruction(readPiece(status, count, buffer, MCP_READ_FAILED_REGISTER));
}

int MCP_BitModify(uint8_t address, uint8_t mask, uint8_t data)
{
    const uint8_t bytes[] = {MCP_INSTR_BIT_MODIFY, address, mask, data};
    return endInstruction(MCP_SpiWrite(sizeof(bytes), bytes));
}

int MCP_ReadStatus(uint8_t *status) { return statusInstruction(MCP_INSTR_READ_STATUS, status, MCP_READ_FAILED_STATUS); }

int MCP_ReadRxStatus(uint8_t *status)
{
    return statusInstruction(MCP_INSTR_RX_STATUS, status, MCP_READ_FAILED_RX_STATUS);
}

void MCP_EncodeHeader(uint32_t id, uint8_t extended, uint8_t remote, uint8_t length, uint8_t header[5])
{
    header[0] = static_cast<uint8_t>(id >> 3);
    header[1] = static_cast<uint8_t>(((id << 5) & MCP_SIDL_SID_MASK) | ((extended & 1u) << 3) |
                                     ((id >> 27) & MCP_SIDL_EID_MASK));
    header[2] = static_cast<uint8_t>(id >> 19);
    header[3] = static_cast<uint8_t>(id >> 11);
    header[4] = static_cast<uint8_t>(((remote & 1u) << 6) | (length & MCP_DLC_LENGTH_MASK));
}

int MCP_LoadTxBuffer(uint8_t buffer, uint32_t id, uint8_t extended, uint8_t remote, uint8_t length, const uint8_t *data)
{
    uint8_t head[1 + MCP_HEADER_SIZE] = {static_cast<uint8_t>(MCP_INSTR_LOAD_TX_BUFFER | (buffer << 1))};
    MCP_EncodeHeader(id, extended, remote, length, head + 1);
    int status = MCP_SpiWrite(sizeof(head), head);
    // A DLC of 9 to 15 is legal on the bus and carries 8 data bytes; never
    // read past the 8-byte data field.
    uint8_t dataCount = (length & MCP_DLC_LENGTH_MASK) > MCP_DATA_SIZE ? MCP_DATA_SIZE : (length & MCP_DLC_LENGTH_MASK);
    if (dataCount > 0)
        status = writePiece(status, dataCount, data);
    return endInstruction(status);
}

int MCP_RequestToSend(uint8_t buffer)
{
    const uint8_t instruction = static_cast<uint8_t>(MCP_INSTR_RTS | (1u << buffer));
    return endInstruction(MCP_SpiWrite(1, &instruction));
}

int MCP_ReadRxBuffer(uint8_t buffer, uint8_t header[5], uint8_t data[8])
{
    const uint8_t instruction = static_cast<uint8_t>(MCP_INSTR_READ_RX_BUFFER | (buffer << 2));
    int status = MCP_SpiWrite(1, &instruction);
    // A failed header read reads as an empty standard frame.
    status = readPiece(status, MCP_HEADER_SIZE, header, 0x00);
    // The data bytes keep what the caller put there when their read fails.
    if (status == 0)
        status = MCP_SpiRead(MCP_DATA_SIZE, data);
    return endInstruction(status);
}

int MCP_ReadMode(uint8_t *mode)
{
    uint8_t canctrl = 0;
    int status = MCP_ReadRegisters(MCP_CANCTRL, 1, &canctrl);
    *mode = static_cast<uint8_t>(canctrl & MCP_CANCTRL_REQOP_MASK);
    return status;
}

int MCP_ClearInterruptFlags(uint8_t mask)
{
    int status = MCP_BitModify(MCP_CANINTF, mask, 0x00);
    uint8_t flags = 0;
    return CAN_AddStatus(status, MCP_ReadRegisters(MCP_CANINTF, 1, &flags));
}
