// The fast path of the controller driver: instructions gathered into batches
// (TopLayer/SPI's SpiBatch), so that a request and the look for its reply
// share one USB round trip, at the highest SPI clock the bridge and the
// controller allow, with no fixed pauses. The controller takes only standard
// frames with the reply's identifier, and rolls a second one over into RXB1,
// so that other nodes' traffic can neither hide nor overwrite a reply. Its
// filters cannot tell a remote frame from a data frame (the MCP2515 compares
// identifier bits only): a remote frame with the reply's identifier is taken
// in, recognised when read and dropped; two of them between a request and its
// reply still fill both buffers, and the reply is lost as on the default path.
#include <cstring>

#include "Mpsse/src/mpsse_channel.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "can/can.h"
#include "can/can_fast.h"
#include "can/mcp2515_regs.h"
#include "can/mcp_spi.h"
#include "platform/platform.h"

namespace
{

// MCP2515: SCK at most 10 MHz.
constexpr uint32_t CONTROLLER_MAX_SCK_HZ = 10000000;
// Every read follows a send-immediate; the timer only bounds stray bytes.
constexpr uint8_t FAST_LATENCY_MS = 2;
// The oscillator start-up timer after RESET: 128 oscillator periods.
constexpr uint32_t OST_US = (128u * 1000000u + MCP_OSCILLATOR_HZ - 1) / MCP_OSCILLATOR_HZ;
constexpr uint32_t MODE_LOOKS = 100;
// A reply wait: 1 s, as the default's 100 polls 10 ms apart.
constexpr uint64_t REPLY_WAIT_MS = 1000;
constexpr uint32_t REPLY_WAIT_US = 1000000;
// USB moves data in 125 us microframes (high speed) or 1 ms frames (full
// speed); a round trip is a write and a read.
constexpr uint32_t HIGH_SPEED_FRAME_US = 125;
constexpr uint32_t FULL_SPEED_FRAME_US = 1000;
// What a node may take between the end of a request and the start of its
// reply, on top of the bus time of both frames.
constexpr uint32_t TURNAROUND_US = 100;
constexpr uint32_t WAIT_PERCENT_MAX = 400;
// Looks for a late reply: the first at once, then with an engine wait of
// 2 ms before each (an erase takes 100 ms, a copy of 4 KB 16 ms).
constexpr uint32_t QUICK_LOOKS = 8;
constexpr uint32_t RELOOK_WAIT_US = 2000;

// A look at the receive side: READ STATUS, then RXB0 and RXB1 read whole
// with READ, which leaves their flags as they are (READ RX BUFFER would clear
// a flag whose frame arrived after the status was taken). Its SPI bytes: the
// status instruction and its answer, two READs of 2 + 13 bytes.
constexpr uint32_t LOOK_SPI_BYTES = 2 + 2 * (2 + MCP_BUFFER_SIZE);

struct FastWire {
    SpiBatch batch;
    uint32_t bitRate = 0;
    uint32_t roundTripUs = 2 * HIGH_SPEED_FRAME_US;
    bool txMayBePending = false;
    // How much of the predicted bus time the engine waits before its second
    // look, in percent: 0 once replies were seen at the first look (the bus
    // time had passed when the request's transfer returned).
    uint32_t waitPercent = 100;
    uint8_t answers[SPI_BATCH_MAX_ANSWERS];
};
FastWire g_wire;

void frame(const uint8_t *bytes, uint32_t count, uint32_t readCount = 0)
{
    SPI_BatchFrame(&g_wire.batch, bytes, count, readCount);
}

void bitModify(uint8_t address, uint8_t mask, uint8_t data)
{
    const uint8_t bytes[] = {MCP_INSTR_BIT_MODIFY, address, mask, data};
    frame(bytes, sizeof(bytes));
}

uint32_t readRegister(uint8_t address)
{
    const uint8_t bytes[] = {MCP_INSTR_READ, address};
    return SPI_BatchFrame(&g_wire.batch, bytes, sizeof(bytes), 1);
}

uint32_t look()
{
    const uint8_t status = MCP_INSTR_READ_STATUS;
    const uint8_t rxb0[] = {MCP_INSTR_READ, MCP_RXB0SIDH};
    const uint8_t rxb1[] = {MCP_INSTR_READ, MCP_RXB1SIDH};
    const uint32_t at = SPI_BatchFrame(&g_wire.batch, &status, 1, 1);
    frame(rxb0, sizeof(rxb0), MCP_BUFFER_SIZE);
    frame(rxb1, sizeof(rxb1), MCP_BUFFER_SIZE);
    return at;
}

int run() { return SPI_BatchRun(&g_wire.batch, g_wire.answers) == D2XX_OK ? 0 : -1; }

// The reply in a look's answers, RXB0 first (the earlier frame). Buffers that
// hold another frame are added to *reject, whose flags the next look clears.
bool findReply(uint32_t at, uint32_t replyId, CanMessage *reply, uint8_t *reject)
{
    const uint8_t *answers = g_wire.answers + at;
    const uint8_t status = answers[0];
    const uint8_t flags[2] = {MCP_STATUS_RX0IF, MCP_STATUS_RX1IF};
    for (int buffer = 0; buffer < 2; ++buffer) {
        if ((status & flags[buffer]) == 0)
            continue;
        const uint8_t *bytes = answers + 1 + buffer * MCP_BUFFER_SIZE;
        CanMessage message;
        CAN_DecodeHeader(bytes, &message);
        if (message.id == replyId && message.extended == 0 && message.remote == 0) {
            std::memcpy(message.data, bytes + MCP_HEADER_SIZE, MCP_DATA_SIZE);
            *reply = message;
            return true;
        }
        *reject |= flags[buffer];
    }
    return false;
}

// Runs the batch, whose last answer (at) is a read of CANSTAT, until the
// operating mode reads back as mode.
int awaitMode(uint8_t mode, uint32_t at)
{
    for (uint32_t attempt = 0; attempt < MODE_LOOKS; ++attempt) {
        if (attempt > 0)
            at = readRegister(MCP_CANSTAT);
        if (run() != 0)
            return -1;
        if ((g_wire.answers[at] & MCP_CANSTAT_OPMOD_MASK) == mode)
            return 0;
    }
    return -1;
}

uint32_t busTimeUs(uint32_t bits)
{
    return static_cast<uint32_t>((uint64_t(bits) * 1000000u + g_wire.bitRate - 1) / g_wire.bitRate);
}

} // namespace

void CAN_ResetFastForTest() { g_wire = FastWire(); }

int CAN_InitFastChannel(SpiHandle handle, SpiChannelSettings *settings)
{
    uint32_t type = 0;
    D2xxStatus status = SPI_DeviceType(handle, &type);
    if (status != D2XX_OK)
        return MCP_StatusOf(status);
    settings->clockRate = MPSSE_MaxClock(type, CONTROLLER_MAX_SCK_HZ);
    settings->latencyTimer = FAST_LATENCY_MS;
    g_wire.roundTripUs = 2 * (MPSSE_IsFullSpeed(type) ? FULL_SPEED_FRAME_US : HIGH_SPEED_FRAME_US);
    return MCP_StatusOf(SPI_InitChannelFast(handle, settings));
}

int CAN_BringUpFast(int32_t bitRate, uint32_t replyId)
{
    g_wire.bitRate = static_cast<uint32_t>(bitRate);
    g_wire.txMayBePending = false;
    g_wire.waitPercent = 100;
    g_wire.batch.handle = nullptr;
    if (SPI_BatchBegin(g_spiHandle, &g_wire.batch) != D2XX_OK)
        return -1;

    // RESET, the oscillator start-up time, then configuration mode read back.
    const uint8_t reset = MCP_INSTR_RESET;
    frame(&reset, 1);
    SPI_BatchWait(&g_wire.batch, OST_US);
    if (awaitMode(MCP_MODE_CONFIGURATION, readRegister(MCP_CANSTAT)) != 0)
        return -1;

    // Filters RXF0-RXF2, BFPCTRL and TXRTSCTRL in one WRITE from 0x00, RXF3-5
    // in one from 0x10: every filter takes standard frames with the reply's
    // identifier. Masks, bit timing, CANINTE and CANINTF from 0x20.
    uint8_t low[2 + 3 * MCP_FILTER_STRIDE + 2] = {MCP_INSTR_WRITE, MCP_RXF0SIDH};
    uint8_t high[2 + 3 * MCP_FILTER_STRIDE] = {MCP_INSTR_WRITE, MCP_RXF3SIDH};
    uint8_t filter[MCP_HEADER_SIZE] = {};
    MCP_EncodeHeader(replyId, 0, 0, 0, filter);
    for (int i = 0; i < 3; ++i) {
        std::memcpy(low + 2 + MCP_FILTER_STRIDE * i, filter, MCP_FILTER_STRIDE);
        std::memcpy(high + 2 + MCP_FILTER_STRIDE * i, filter, MCP_FILTER_STRIDE);
    }
    frame(low, sizeof(low));
    frame(high, sizeof(high));
    uint8_t mask[MCP_HEADER_SIZE] = {};
    MCP_EncodeHeader(0x7FF, 0, 0, 0, mask); // all 11 identifier bits compared
    const uint8_t timing[] = {0x02, 0x90, MCP_BitTimingCnf1(bitRate)};
    uint8_t fromMasks[2 + 2 * MCP_FILTER_STRIDE + 3 + 2] = {MCP_INSTR_WRITE, MCP_RXM0SIDH};
    std::memcpy(fromMasks + 2, mask, MCP_FILTER_STRIDE);
    std::memcpy(fromMasks + 2 + MCP_FILTER_STRIDE, mask, MCP_FILTER_STRIDE);
    std::memcpy(fromMasks + 2 + 2 * MCP_FILTER_STRIDE, timing, sizeof(timing));
    fromMasks[sizeof(fromMasks) - 2] = MCP_INT_RX0 | MCP_INT_RX1; // CANINTE
    fromMasks[sizeof(fromMasks) - 1] = 0x00;                      // CANINTF
    frame(fromMasks, sizeof(fromMasks));
    const uint8_t rxb0[] = {MCP_INSTR_WRITE, MCP_RXB0CTRL, MCP_RXBCTRL_RXM_FILTERED | MCP_RXB0CTRL_BUKT};
    const uint8_t rxb1[] = {MCP_INSTR_WRITE, MCP_RXB1CTRL, MCP_RXBCTRL_RXM_FILTERED};
    frame(rxb0, sizeof(rxb0));
    frame(rxb1, sizeof(rxb1));
    bitModify(MCP_CANCTRL, MCP_CANCTRL_REQOP_MASK, MCP_MODE_NORMAL);
    return awaitMode(MCP_MODE_NORMAL, readRegister(MCP_CANSTAT));
}

int CAN_TakeOffBusFast()
{
    // The bring-up's batch, unless it never began: an engine found gone
    // stays gone (each try would wait out the read time-out twice).
    if (g_wire.batch.handle == g_spiHandle)
        SPI_BatchClear(&g_wire.batch);
    else if (SPI_BatchBegin(g_spiHandle, &g_wire.batch) != D2XX_OK)
        return -1;
    // ABAT aborts what is pending; a frame already on the bus finishes first.
    // ABAT is cleared only once no request is pending, or the abort would
    // stop short of it.
    bitModify(MCP_CANCTRL, MCP_CANCTRL_ABAT, MCP_CANCTRL_ABAT);
    bool pending = true;
    for (uint32_t attempt = 0; attempt < MODE_LOOKS && pending; ++attempt) {
        const uint8_t status = MCP_INSTR_READ_STATUS;
        const uint32_t at = SPI_BatchFrame(&g_wire.batch, &status, 1, 1);
        if (run() != 0)
            return -1;
        pending = (g_wire.answers[at] & (MCP_STATUS_TX0REQ | MCP_STATUS_TX1REQ | MCP_STATUS_TX2REQ)) != 0;
    }
    if (pending)
        return -1;
    bitModify(MCP_CANCTRL, MCP_CANCTRL_REQOP_MASK | MCP_CANCTRL_ABAT, MCP_MODE_CONFIGURATION);
    return awaitMode(MCP_MODE_CONFIGURATION, readRegister(MCP_CANSTAT));
}

int CAN_Exchange(const CanMessage &request, const CanMessage &expectedReply, uint32_t replyId, CanMessage *reply)
{
    SpiBatch *batch = &g_wire.batch;
    SPI_BatchClear(batch);
    // Frames still held are from before this request; a request that was
    // never acknowledged is withdrawn, so that this one can be loaded.
    bitModify(MCP_CANINTF, MCP_INT_RX0 | MCP_INT_RX1, 0x00);
    if (g_wire.txMayBePending)
        bitModify(MCP_TXB0CTRL, MCP_TXBCTRL_TXREQ, 0x00);
    uint8_t load[1 + MCP_HEADER_SIZE + MCP_DATA_SIZE] = {MCP_INSTR_LOAD_TX_BUFFER};
    const uint8_t length = request.length > MCP_DATA_SIZE ? MCP_DATA_SIZE : request.length;
    MCP_EncodeHeader(request.id, request.extended, request.remote, request.length, load + 1);
    std::memcpy(load + 1 + MCP_HEADER_SIZE, request.data, length);
    frame(load, 1 + MCP_HEADER_SIZE + (request.remote ? 0 : length));
    const uint8_t rts = MCP_INSTR_RTS | 0x01;
    frame(&rts, 1);
    const uint32_t first = look();
    const uint64_t busUs = busTimeUs(CAN_FrameBits(request) + CAN_FrameBits(expectedReply)) + TURNAROUND_US;
    const uint32_t waitUs = static_cast<uint32_t>(busUs * g_wire.waitPercent / 100);
    // Without clock-only commands (FT2232C/D) the engine cannot wait: the
    // looks that follow are round trips of their own.
    const bool waited = waitUs > 0 && SPI_BatchWait(batch, waitUs);
    const uint32_t second = waited ? look() : first;
    g_wire.txMayBePending = true;
    if (run() != 0)
        return -1;

    uint8_t reject = 0;
    if (findReply(first, replyId, reply, &reject)) {
        g_wire.waitPercent = 0;
    } else if (!(waited && findReply(second, replyId, reply, &reject))) {
        // Not there yet: look again at once, for at most 1 s of host time
        // and as many looks as 1 s of their round trips and SPI bytes holds
        // (a board whose calls take no host time ends on the count). A reply
        // that has not come within the first quick looks waits for a flash
        // operation or for no one: from then on the engine waits between
        // looks, which costs a reply at most that wait and spares the USB.
        const uint64_t start = PLAT_NowMs();
        const uint32_t lookUs =
            g_wire.roundTripUs + static_cast<uint32_t>(LOOK_SPI_BYTES * 8ull * 1000000u / batch->clockHz);
        int64_t budgetUs = REPLY_WAIT_US;
        bool found = false;
        for (uint32_t attempt = 0; budgetUs > 0 && !found && PLAT_NowMs() - start < REPLY_WAIT_MS; ++attempt) {
            if (reject != 0)
                bitModify(MCP_CANINTF, reject, 0x00);
            reject = 0;
            const bool waits = attempt >= QUICK_LOOKS && SPI_BatchWait(batch, RELOOK_WAIT_US);
            budgetUs -= lookUs + (waits ? RELOOK_WAIT_US : 0);
            const uint32_t at = look();
            if (run() != 0)
                return -1;
            found = findReply(at, replyId, reply, &reject);
        }
        if (!found)
            return -1;
        const uint32_t grown = g_wire.waitPercent == 0 ? 100 : g_wire.waitPercent + 25;
        g_wire.waitPercent = grown > WAIT_PERCENT_MAX ? WAIT_PERCENT_MAX : grown;
    }
    g_wire.txMayBePending = false;
    return 0;
}
