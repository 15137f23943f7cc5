#include <cstring>

#include "can/can.h"
#include "can/mcp2515_regs.h"
#include "can/mcp_spi.h"

namespace
{

constexpr uint32_t CAN_STANDARD_ID_MASK = 0x7FF;

} // namespace

CanMessage::CanMessage(uint32_t id_, uint8_t remote_, uint8_t extended_, uint8_t length_, const uint8_t *source)
    : id(id_), remote(remote_), extended(extended_), length(length_)
{
    size_t copied = length_ > MCP_DATA_SIZE ? MCP_DATA_SIZE : length_;
    if (source != nullptr && copied > 0)
        std::memcpy(data, source, copied);
}

int CAN_GetTxPending(uint8_t *pending)
{
    uint8_t status = 0;
    int result = MCP_ReadStatus(&status);
    *pending =
        static_cast<uint8_t>(((status & MCP_STATUS_TX0REQ) ? 0x01 : 0) | ((status & MCP_STATUS_TX1REQ) ? 0x02 : 0) |
                             ((status & MCP_STATUS_TX2REQ) ? 0x04 : 0));
    return result;
}

int CAN_Transmit(uint8_t txBuffer, CanMessage message)
{
    uint8_t pending = 0;
    int status = CAN_GetTxPending(&pending);
    if (pending & (1u << txBuffer))
        return -1;
    status = CAN_AddStatus(
        status, MCP_LoadTxBuffer(txBuffer, message.id, message.extended, message.remote, message.length, message.data));
    // A buffer whose load failed holds an earlier frame, or part of this
    // one: asking for its transmission would send what nobody asked for.
    if (status != 0)
        return status;
    return MCP_RequestToSend(txBuffer);
}

int CAN_GetRxStatus(int8_t *which, uint8_t *filter, uint8_t *extended, uint8_t *remote)
{
    uint8_t s = 0;
    int status = MCP_ReadRxStatus(&s);
    *which = static_cast<int8_t>((s >> MCP_RXSTATUS_BUFFER_SHIFT) - 1);
    if (filter != nullptr)
        *filter = s & MCP_RXSTATUS_FILTER_MASK;
    if (extended != nullptr)
        *extended = (s & MCP_RXSTATUS_EXTENDED) ? 1 : 0;
    if (remote != nullptr)
        *remote = (s & MCP_RXSTATUS_REMOTE) ? 1 : 0;
    return status;
}

int CAN_ReadMessage(uint8_t rxBuffer, CanMessage *message)
{
    std::memset(message->data, 0, sizeof(message->data));
    uint8_t header[MCP_HEADER_SIZE] = {};
    int status = MCP_ReadRxBuffer(rxBuffer, header, message->data);

    CAN_DecodeHeader(header, message);
    return CAN_AddStatus(status, MCP_ClearInterruptFlags(static_cast<uint8_t>(1u << rxBuffer)));
}

void CAN_DecodeHeader(const uint8_t header[5], CanMessage *message)
{
    const uint8_t sidh = header[0], sidl = header[1], eid8 = header[2], eid0 = header[3], dlc = header[4];
    message->id = (static_cast<uint32_t>(sidl) >> 5) | (static_cast<uint32_t>(sidh) << 3) |
                  (static_cast<uint32_t>(eid0) << 11) | (static_cast<uint32_t>(eid8) << 19) |
                  (static_cast<uint32_t>(sidl & MCP_SIDL_EID_MASK) << 27);
    message->extended = (sidl & MCP_SIDL_EXIDE) ? 1 : 0;
    message->remote = message->extended ? ((dlc & MCP_DLC_RTR) ? 1 : 0) : ((sidl & MCP_SIDL_SRR) ? 1 : 0);
    message->length = dlc & MCP_DLC_LENGTH_MASK;
    if (message->length > MCP_DATA_SIZE)
        message->length = MCP_DATA_SIZE;
    // A standard frame's extension registers may hold stale bytes.
    if (!message->extended)
        message->id &= CAN_STANDARD_ID_MASK;
}

uint32_t CAN_FrameBits(const CanMessage &message)
{
    // SOF through the CRC as bits, most significant first (ISO 11898-1).
    uint8_t bits[160];
    uint32_t count = 0;
    auto put = [&](uint32_t value, uint32_t width) {
        for (uint32_t i = width; i-- > 0;)
            bits[count++] = static_cast<uint8_t>((value >> i) & 1u);
    };
    const uint32_t base = message.id & CAN_STANDARD_ID_MASK;
    const uint8_t length = message.length > MCP_DATA_SIZE ? MCP_DATA_SIZE : message.length;
    put(0, 1); // SOF
    put(base, 11);
    if (message.extended) {
        put(1, 1); // SRR
        put(1, 1); // IDE
        put(message.id >> 11, 18);
        put(message.remote, 1);
        put(0, 2); // r1, r0
    } else {
        put(message.remote, 1);
        put(0, 2); // IDE, r0
    }
    put(length, 4);
    if (!message.remote)
        for (uint8_t i = 0; i < length; ++i)
            put(message.data[i], 8);
    uint32_t crc = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t next = bits[i] ^ ((crc >> 14) & 1u);
        crc = (crc << 1) & 0x7FFF;
        if (next != 0)
            crc ^= 0x4599;
    }
    put(crc, 15);
    // A stuff bit after every five equal bits, stuff bits counted in the runs.
    uint32_t stuffed = 0, run = 0;
    uint8_t last = 2;
    for (uint32_t i = 0; i < count; ++i) {
        if (bits[i] == last) {
            ++run;
        } else {
            last = bits[i];
            run = 1;
        }
        if (run == 5) {
            ++stuffed;
            last = static_cast<uint8_t>(last ^ 1u);
            run = 1;
        }
    }
    // CRC delimiter, ACK slot and delimiter, end of frame, intermission.
    return count + stuffed + 13;
}
