// The MCP2515's CAN side: message transmission (datasheet section 3), error
// detection (section 6) and message reception (section 4). The SPI side, the
// registers and the modes are in mcp2515.cpp.
#include "sim/mcp2515.h"

#include <algorithm>

namespace simboard
{

using namespace mcp;

namespace
{

// Error counters (section 6): the warning and passive limits, and what an
// acknowledge error adds to TEC.
constexpr int WARNING_LIMIT = 96;
constexpr int PASSIVE_LIMIT = 128;
constexpr int ACK_ERROR_TEC_STEP = 8;

} // namespace

// ---- Message transmission (section 3) ---------------------------------------

void Mcp2515::SetTxRequest(int n, Ticks now)
{
    uint8_t &r = state_.regs[TXB_CTRL[n]];
    r = static_cast<uint8_t>((r & ~TXBCTRL_STATUS) | TXBCTRL_TXREQ);
    state_.tx[n] = TxState{false, now};
    if (state_.mode == MODE_LOOPBACK)
        ServiceLoopback(now);
}

void Mcp2515::AbortTx(int n)
{
    uint8_t &r = state_.regs[TXB_CTRL[n]];
    r = static_cast<uint8_t>((r & ~TXBCTRL_TXREQ) | TXBCTRL_ABTF);
    state_.tx[n] = TxState{};
}

int Mcp2515::NextTxBuffer() const
{
    // Transmit priority (section 3.2): highest TXP first; at equal TXP the
    // higher buffer number.
    int best = -1;
    for (int n = 0; n < 3; ++n) {
        uint8_t c = state_.regs[TXB_CTRL[n]];
        if (!(c & TXBCTRL_TXREQ))
            continue;
        if (best < 0 || (c & TXBCTRL_TXP) >= (state_.regs[TXB_CTRL[best]] & TXBCTRL_TXP))
            best = n;
    }
    return best;
}

CanFrame Mcp2515::TxFrame(int n) const
{
    const uint8_t *h = &state_.regs[TXB_SIDH[n]];
    CanFrame f;
    uint32_t base = static_cast<uint32_t>(h[0]) << 3 | h[HDR_SIDL] >> SIDL_SID_SHIFT;
    f.extended = (h[HDR_SIDL] & SIDL_IDE) != 0;
    if (f.extended) {
        f.id = base << 18 | static_cast<uint32_t>(h[HDR_SIDL] & SIDL_EID) << 16 |
               static_cast<uint32_t>(h[HDR_EID8]) << 8 | h[HDR_EID0];
    } else {
        f.id = base;
    }
    f.remote = (h[HDR_DLC] & DLC_RTR) != 0;
    f.dlc = h[HDR_DLC] & DLC_DLC;
    for (size_t i = 0; i < f.DataLength(); ++i)
        f.data[i] = h[HDR_DATA + i];
    return f;
}

bool Mcp2515::NextFrame(TxRequest *request)
{
    if (state_.mode != MODE_NORMAL)
        return false;
    int n = NextTxBuffer();
    if (n < 0)
        return false;
    state_.offered = n;
    request->frame = TxFrame(n);
    request->bitRate = state_.rate;
    request->ready = state_.tx[n].ready;
    request->urgent = !state_.tx[n].attempted;
    request->retry = state_.tx[n].attempted;
    return true;
}

void Mcp2515::FrameDone(bool acknowledged, Ticks end)
{
    int n = state_.offered;
    state_.offered = -1;
    if (n < 0 || !(state_.regs[TXB_CTRL[n]] & TXBCTRL_TXREQ))
        return;
    if (acknowledged)
        TxDone(n, end);
    else
        TxFailed(n);
    ApplyDeferredMode(end);
}

void Mcp2515::ArbitrationLost()
{
    if (state_.offered >= 0)
        state_.regs[TXB_CTRL[state_.offered]] |= TXBCTRL_MLOA;
}

void Mcp2515::TxDone(int n, Ticks)
{
    state_.regs[TXB_CTRL[n]] &= static_cast<uint8_t>(~TXBCTRL_TXREQ);
    state_.regs[CANINTF] |= static_cast<uint8_t>(CANINTF_TX0IF << n);
    state_.tx[n] = TxState{};
    SetTec(state_.regs[TEC] - 1);
}

// Error detection (section 6): the counters and EFLG.
void Mcp2515::TxFailed(int n)
{
    // Acknowledge errors raise TEC by 8 while error-active; an error-passive
    // transmitter's acknowledge error leaves it (so bus-off is never reached
    // this way). The first failure stands for the background retries that
    // bring TEC to 128; one-shot mode makes one attempt only.
    int tec = state_.regs[TEC];
    bool oneShot = (state_.regs[CANCTRL] & CANCTRL_OSM) != 0;
    if (oneShot || state_.tx[n].attempted) {
        if (tec < PASSIVE_LIMIT)
            tec += ACK_ERROR_TEC_STEP;
    } else {
        while (tec < PASSIVE_LIMIT)
            tec += ACK_ERROR_TEC_STEP;
    }
    SetTec(tec);
    state_.regs[TXB_CTRL[n]] |= TXBCTRL_TXERR;
    state_.regs[CANINTF] |= CANINTF_MERRF;
    if (oneShot) {
        state_.regs[TXB_CTRL[n]] &= static_cast<uint8_t>(~TXBCTRL_TXREQ);
        state_.tx[n] = TxState{};
    } else {
        state_.tx[n].attempted = true;
    }
}

void Mcp2515::SetTec(int value)
{
    state_.regs[TEC] = static_cast<uint8_t>(std::clamp(value, 0, 255));
    UpdateErrorFlags();
}

void Mcp2515::UpdateErrorFlags()
{
    int tec = state_.regs[TEC], rec = state_.regs[REC];
    uint8_t f = state_.regs[EFLG] & EFLG_OVERFLOWS;
    if (tec >= WARNING_LIMIT || rec >= WARNING_LIMIT)
        f |= EFLG_EWARN;
    if (rec >= WARNING_LIMIT)
        f |= EFLG_RXWAR;
    if (tec >= WARNING_LIMIT)
        f |= EFLG_TXWAR;
    if (rec >= PASSIVE_LIMIT)
        f |= EFLG_RXEP;
    if (tec >= PASSIVE_LIMIT)
        f |= EFLG_TXEP;
    if (f != state_.regs[EFLG] && (state_.regs[CANINTE] & CANINTE_ERRIE))
        state_.regs[CANINTF] |= CANINTF_ERRIF;
    state_.regs[EFLG] = f;
}

void Mcp2515::ServiceLoopback(Ticks now)
{
    // Loopback (section 10.4): the frame goes from the transmit buffer to the receive
    // buffers at once, without the bus and without an acknowledge.
    for (int n; state_.mode == MODE_LOOPBACK && (n = NextTxBuffer()) >= 0;) {
        CanFrame f = TxFrame(n);
        state_.regs[TXB_CTRL[n]] &= static_cast<uint8_t>(~TXBCTRL_TXREQ);
        state_.regs[CANINTF] |= static_cast<uint8_t>(CANINTF_TX0IF << n);
        state_.tx[n] = TxState{};
        Accept(f);
    }
    ApplyDeferredMode(now);
}

// ---- Message reception (section 4) ------------------------------------------

void Mcp2515::Receive(const CanFrame &frame, Ticks)
{
    if (state_.mode == MODE_NORMAL || state_.mode == MODE_LISTEN)
        Accept(frame);
}

void Mcp2515::BusActivity(Ticks end)
{
    // A sleeping controller wakes on bus activity into listen-only mode;
    // the frame that woke it is lost (section 10.2).
    if (state_.mode != MODE_SLEEP || !(state_.regs[CANINTE] & CANINTE_WAKIE))
        return;
    state_.regs[CANINTF] |= CANINTF_WAKIF;
    EnterMode(MODE_LISTEN, end);
}

// Acceptance filters and masks (section 4.5): the filter that passes the
// frame into buffer b, or -1.
int Mcp2515::MatchBuffer(int b, const CanFrame &frame) const
{
    int rxm = (state_.regs[RXB_CTRL[b]] & RXBCTRL_RXM) >> RXBCTRL_RXM_SHIFT;
    int first = b == 0 ? 0 : RXB1_FIRST_FILTER;
    if (rxm == RXM_ANY)
        return first; // filters off: every frame meets the criteria
    if ((rxm == RXM_STANDARD_ONLY && frame.extended) || (rxm == RXM_EXTENDED_ONLY && !frame.extended))
        return -1;
    auto id29 = [this](uint8_t at) {
        const uint8_t *r = &state_.regs[at];
        return (static_cast<uint32_t>(r[0]) << 3 | r[HDR_SIDL] >> SIDL_SID_SHIFT) << 18 |
               static_cast<uint32_t>(r[HDR_SIDL] & SIDL_EID) << 16 | static_cast<uint32_t>(r[HDR_EID8]) << 8 |
               r[HDR_EID0];
    };
    uint32_t mask = id29(MASK_SIDH[b]);
    uint32_t id = frame.extended ? frame.id : frame.id << 18;
    if (!frame.extended)
        mask &= 0x7FFu << 18; // a standard frame meets the base bits only
    int last = b == 0 ? RXB0_LAST_FILTER : RXB1_LAST_FILTER;
    for (int f = first; f <= last; ++f) {
        bool exide = (state_.regs[FILTER_SIDH[f] + HDR_SIDL] & SIDL_IDE) != 0;
        if (exide != frame.extended)
            continue;
        if (((id ^ id29(FILTER_SIDH[f])) & mask) == 0)
            return f;
    }
    return -1;
}

void Mcp2515::Store(int b, const CanFrame &frame, uint8_t filterHit)
{
    uint8_t *h = &state_.regs[RXB_SIDH[b]];
    uint32_t base = frame.extended ? frame.id >> 18 : frame.id;
    h[0] = static_cast<uint8_t>(base >> 3);
    h[HDR_SIDL] = static_cast<uint8_t>((base & 0x07) << SIDL_SID_SHIFT);
    if (frame.extended) {
        h[HDR_SIDL] |= static_cast<uint8_t>(SIDL_IDE | ((frame.id >> 16) & SIDL_EID));
        h[HDR_EID8] = static_cast<uint8_t>(frame.id >> 8);
        h[HDR_EID0] = static_cast<uint8_t>(frame.id);
        h[HDR_DLC] = static_cast<uint8_t>((frame.remote ? DLC_RTR : 0) | (frame.dlc & DLC_DLC));
    } else {
        if (frame.remote)
            h[HDR_SIDL] |= SIDL_SRR;
        h[HDR_EID8] = 0;
        h[HDR_EID0] = 0;
        h[HDR_DLC] = frame.dlc & DLC_DLC;
    }
    // Data registers past the frame's data keep what they held.
    for (size_t i = 0; i < frame.DataLength(); ++i)
        h[HDR_DATA + i] = frame.data[i];
    uint8_t &c = state_.regs[RXB_CTRL[b]];
    uint8_t rtr = frame.remote ? RXBCTRL_RXRTR : 0;
    if (b == 0)
        c = static_cast<uint8_t>((c & (RXB0CTRL_WRITABLE | RXB0CTRL_BUKT1)) | rtr | (filterHit & RXB0CTRL_FILHIT0));
    else
        c = static_cast<uint8_t>((c & RXB1CTRL_WRITABLE) | rtr | (filterHit & RXB1CTRL_FILHIT));
    state_.regs[CANINTF] |= b == 0 ? CANINTF_RX0IF : CANINTF_RX1IF;
}

void Mcp2515::Accept(const CanFrame &frame)
{
    auto overflow = [this](uint8_t flag) {
        state_.regs[EFLG] |= flag;
        if (state_.regs[CANINTE] & CANINTE_ERRIE)
            state_.regs[CANINTF] |= CANINTF_ERRIF;
    };
    int hit = MatchBuffer(0, frame);
    if (hit >= 0) {
        if (!(state_.regs[CANINTF] & CANINTF_RX0IF)) {
            Store(0, frame, static_cast<uint8_t>(hit));
        } else if (state_.regs[RXB0CTRL] & RXB0CTRL_BUKT) {
            // Rollover (section 4.2.1): into RXB1 whatever RXB1's own
            // criteria say.
            if (!(state_.regs[CANINTF] & CANINTF_RX1IF))
                Store(1, frame, static_cast<uint8_t>(hit));
            else
                overflow(EFLG_RX1OVR);
        } else {
            overflow(EFLG_RX0OVR);
        }
        return;
    }
    hit = MatchBuffer(1, frame);
    if (hit < 0)
        return;
    if (!(state_.regs[CANINTF] & CANINTF_RX1IF))
        Store(1, frame, static_cast<uint8_t>(hit));
    else
        overflow(EFLG_RX1OVR);
}

} // namespace simboard
