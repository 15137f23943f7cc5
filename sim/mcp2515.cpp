// The MCP2515's SPI side (datasheet section 12), its registers (section 11),
// bit timing (section 5) and modes of operation (section 10). The CAN side
// is in mcp2515_can.cpp.
#include "sim/mcp2515.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace simboard
{

using namespace mcp;

namespace
{

// SCK above 10 MHz (a period under 100 ns) is outside the datasheet's SPI
// timing (section 13): such bytes are not decoded.
constexpr Ticks MIN_SCK_PERIOD_TICKS = TICKS_PER_US / 10;
// The oscillator start-up timer holds the controller for 128 oscillator
// periods after a RESET (section 8.1).
constexpr uint64_t STARTUP_OSC_PERIODS = 128;

// RXF0-RXF2 at 0x00-0x0B, RXF3-RXF5 at 0x10-0x1B, RXM0-RXM1 at 0x20-0x27.
bool IsFilterOrMask(uint8_t a)
{
    return a <= FILTER_SIDH[2] + HDR_EID0 || (a >= FILTER_SIDH[3] && a <= FILTER_SIDH[5] + HDR_EID0) ||
           (a >= RXM0SIDH && a <= RXM1SIDH + HDR_EID0);
}

// A buffer's last data register.
constexpr int LAST_DATA = HDR_DATA + BUFFER_DATA_BYTES - 1;

bool InTxBuffer(uint8_t a, int *buffer)
{
    for (int n = 0; n < 3; ++n) {
        if (a >= TXB_CTRL[n] && a <= TXB_SIDH[n] + LAST_DATA) {
            *buffer = n;
            return true;
        }
    }
    return false;
}

bool InRxBuffer(uint8_t a)
{
    return (a >= RXB_SIDH[0] && a <= RXB_SIDH[0] + LAST_DATA) || (a >= RXB_SIDH[1] && a <= RXB_SIDH[1] + LAST_DATA);
}

std::string Hex2(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

std::string RateText(double rate)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.0f bit/s", rate);
    return b;
}

} // namespace

Mcp2515::Mcp2515(uint32_t oscHz, McpVariant variant) : osc_(oscHz ? oscHz : DEFAULT_OSC_HZ), variant_(variant)
{
    PowerOn();
}

Mcp2515::~Mcp2515() { DisconnectBus(); }

void Mcp2515::ConnectBus(CanBus *bus)
{
    DisconnectBus();
    if (!bus || variant_ == McpVariant::NoBus)
        return;
    bus_ = bus;
    bus_->Attach(this);
}

void Mcp2515::DisconnectBus()
{
    if (bus_)
        bus_->Detach(this);
    bus_ = nullptr;
}

void Mcp2515::Note(Ticks now, const std::string &text) const
{
    if (note_)
        note_(now, text);
}

void Mcp2515::PowerOn()
{
    // Filters and buffers are undefined at power-on; the board starts them
    // at 0x00, and RESET leaves them as they are.
    std::fill(std::begin(state_.regs), std::end(state_.regs), 0);
    ResetRegisters();
    state_.startupEnd = 0;
}

// The RESET instruction (section 12.2): every register to its value on
// RESET, configuration mode.
void Mcp2515::ResetRegisters()
{
    for (unsigned a = 0; a < REGISTER_COUNT; ++a) {
        uint8_t addr = static_cast<uint8_t>(a);
        int n;
        bool keep = (IsFilterOrMask(addr) && addr < RXM0SIDH) || (InTxBuffer(addr, &n) && addr != TXB_CTRL[n]) ||
                    InRxBuffer(addr);
        if (!keep)
            state_.regs[a] = 0;
    }
    state_.regs[TXRTSCTRL] = TXRTSCTRL_RESET;
    state_.regs[CANCTRL] = CANCTRL_RESET;
    state_.mode = MODE_CONFIG;
    state_.modeDeferred = false;
    state_.rate = 0;
    for (TxState &t : state_.tx)
        t = TxState{};
    state_.offered = -1;
}

// ---- SPI interface (section 12) ---------------------------------------------
// SI is sampled at rising SCK edges and SO changes after falling ones (SPI
// modes 0,0 and 1,1); each chip-select frame carries one instruction.

void Mcp2515::Select(Ticks now)
{
    SpiFrame &spi = state_.spi;
    spi.selected = true;
    spi.bits = 0;
    spi.shift = 0;
    spi.haveRise = false;
    spi.op = Op::None;
    spi.address = 0;
    spi.mask = 0;
    spi.outIndex = 0; // byte 0 clocks in the instruction: SO is not driven
    spi.outDriven = false;
    spi.so = SoLevel::Undriven;
    spi.dead = now < state_.startupEnd;
    if (spi.dead)
        Note(now, "controller: frame ignored, oscillator start-up after RESET");
}

void Mcp2515::SampleRising(bool si, Ticks now)
{
    SpiFrame &spi = state_.spi;
    if (!spi.selected)
        return;
    if (spi.haveRise && now - spi.lastRise < MIN_SCK_PERIOD_TICKS && !spi.dead) {
        Note(now, "controller: SCK above 10 MHz, rest of the frame not decoded");
        spi.dead = true;
    }
    spi.haveRise = true;
    spi.lastRise = now;
    ++spi.bits;
    spi.shift = static_cast<uint8_t>(spi.shift << 1 | (si ? 1 : 0));
    if (spi.bits % 8 == 0) {
        if (!spi.dead)
            ByteIn(spi.shift, spi.bits / 8 - 1, now);
        spi.shift = 0;
    }
}

void Mcp2515::AfterFalling(Ticks)
{
    SpiFrame &spi = state_.spi;
    if (!spi.selected)
        return;
    // After the falling edge that follows rising edge k, SO carries output
    // bit k (from 0); a byte's value is taken when its first bit goes out.
    size_t index = spi.bits / 8;
    if (index != spi.outIndex) {
        spi.outIndex = index;
        spi.outDriven = !spi.dead && OutputFor(index, &spi.outByte);
    }
    if (spi.dead || !spi.outDriven) {
        spi.so = SoLevel::Undriven;
        return;
    }
    spi.so = ((spi.outByte >> (7 - spi.bits % 8)) & 1) ? SoLevel::High : SoLevel::Low;
}

SoLevel Mcp2515::So() const
{
    if (variant_ == McpVariant::MisoLow)
        return SoLevel::Low;
    return state_.spi.selected ? state_.spi.so : SoLevel::Undriven;
}

void Mcp2515::ByteIn(uint8_t byte, size_t index, Ticks now)
{
    SpiFrame &spi = state_.spi;
    if (index == 0) {
        if (byte == INS_RESET)
            spi.op = Op::Reset;
        else if (byte == INS_READ)
            spi.op = Op::Read;
        else if (byte == INS_WRITE)
            spi.op = Op::Write;
        else if (byte == INS_READ_STATUS)
            spi.op = Op::ReadStatus;
        else if (byte == INS_RX_STATUS)
            spi.op = Op::RxStatus;
        else if (byte == INS_BIT_MODIFY)
            spi.op = Op::BitModify;
        else if ((byte & INS_READ_RX_MASK) == INS_READ_RX) {
            // 0x90 / 0x92 / 0x94 / 0x96: RXB0SIDH, RXB0D0, RXB1SIDH, RXB1D0
            spi.op = Op::ReadRx;
            int n = (byte >> INS_READ_RX_BUFFER_SHIFT) & 1;
            spi.address = static_cast<uint8_t>(RXB_SIDH[n] + ((byte & INS_READ_RX_D0) ? HDR_DATA : 0));
        } else if (byte >= INS_LOAD_TX && byte <= INS_LOAD_TX_LAST) {
            spi.op = Op::LoadTx;
            int n = (byte >> INS_LOAD_TX_BUFFER_SHIFT) & 3;
            spi.address = static_cast<uint8_t>(TXB_SIDH[n] + ((byte & INS_LOAD_TX_D0) ? HDR_DATA : 0));
        } else if ((byte & INS_RTS_MASK) == INS_RTS) {
            spi.op = Op::Rts;
            spi.mask = byte & INS_RTS_BUFFERS;
        } else {
            spi.op = Op::Ignore;
            spi.dead = true;
        }
        return;
    }
    switch (spi.op) {
    case Op::Read:
        if (index == 1)
            spi.address = byte & ADDRESS_MASK;
        break;
    case Op::Write:
        if (index == 1)
            spi.address = byte & ADDRESS_MASK;
        else
            Write(static_cast<uint8_t>((spi.address + index - 2) & ADDRESS_MASK), byte, now);
        break;
    case Op::LoadTx:
        Write(static_cast<uint8_t>((spi.address + index - 1) & ADDRESS_MASK), byte, now);
        break;
    case Op::BitModify:
        if (index == 1)
            spi.address = byte & ADDRESS_MASK;
        else if (index == 2)
            spi.mask = byte;
        else if (index == 3)
            BitModify(spi.address, spi.mask, byte, now);
        break;
    default:
        break;
    }
}

bool Mcp2515::OutputFor(size_t index, uint8_t *byte) const
{
    const SpiFrame &spi = state_.spi;
    switch (spi.op) {
    case Op::Read:
        if (index < 2)
            return false;
        *byte = Read(static_cast<uint8_t>((spi.address + index - 2) & ADDRESS_MASK));
        return true;
    case Op::ReadRx:
        if (index < 1)
            return false;
        *byte = Read(static_cast<uint8_t>((spi.address + index - 1) & ADDRESS_MASK));
        return true;
    case Op::ReadStatus:
        if (index < 1)
            return false;
        *byte = ReadStatus();
        return true;
    case Op::RxStatus:
        if (index < 1)
            return false;
        *byte = RxStatus();
        return true;
    default:
        return false;
    }
}

Ticks Mcp2515::Deselect(Ticks now)
{
    SpiFrame &spi = state_.spi;
    if (!spi.selected)
        return now;
    spi.selected = false;
    spi.so = SoLevel::Undriven;
    switch (spi.op) {
    case Op::Reset:
        ResetRegisters();
        state_.startupEnd = now + (STARTUP_OSC_PERIODS * TICKS_PER_US * 1000000 + osc_ - 1) / osc_;
        break;
    case Op::Rts:
        for (int n = 0; n < 3; ++n)
            if ((spi.mask >> n) & 1 && !(state_.regs[TXB_CTRL[n]] & TXBCTRL_TXREQ))
                SetTxRequest(n, now);
        break;
    case Op::ReadRx:
        state_.regs[CANINTF] &= static_cast<uint8_t>(spi.address < RXB_SIDH[1] ? ~CANINTF_RX0IF : ~CANINTF_RX1IF);
        break;
    default:
        break;
    }
    spi.op = Op::None;

    // A first attempt waits on the bus: board time runs to its end and to
    // the end of whatever it causes.
    int n = state_.mode == MODE_NORMAL ? NextTxBuffer() : -1;
    if (n < 0 || state_.tx[n].attempted)
        return now;
    if (bus_)
        return bus_->Settle(now);
    // TXCAN unconnected: the attempt still takes its bits, and nobody
    // acknowledges it.
    state_.offered = n;
    Ticks duration = CanBitsToTicks(CanFrameBits(TxFrame(n)).unacknowledged, state_.rate);
    Ticks end = std::max(now, state_.tx[n].ready) + duration;
    FrameDone(false, end);
    return end;
}

// ---- Registers (section 11, Table 11-1) -------------------------------------

namespace
{

// ICOD (section 7, Register 10-2): codes 1 to 7 name these CANINTF flags,
// highest priority first.
constexpr uint8_t ICOD_FLAGS[7] = {CANINTF_ERRIF,      CANINTF_WAKIF, CANINTF_TX0IF, CANINTF_TX0IF << 1,
                                   CANINTF_TX0IF << 2, CANINTF_RX0IF, CANINTF_RX1IF};

} // namespace

uint8_t Mcp2515::Read(uint8_t address) const
{
    uint8_t a = address & ADDRESS_MASK;
    if ((a & ROW_OFFSET) == CANSTAT) {
        // ICOD: the highest-priority flag whose interrupt is enabled.
        uint8_t pending = state_.regs[CANINTF] & state_.regs[CANINTE];
        uint8_t icod = 0;
        for (uint8_t i = 0; i < 7; ++i) {
            if (pending & ICOD_FLAGS[i]) {
                icod = static_cast<uint8_t>(i + 1);
                break;
            }
        }
        return static_cast<uint8_t>(state_.mode << CANSTAT_OPMOD_SHIFT | icod << CANSTAT_ICOD_SHIFT);
    }
    if ((a & ROW_OFFSET) == CANCTRL)
        return state_.regs[CANCTRL];
    return state_.regs[a];
}

void Mcp2515::Write(uint8_t address, uint8_t value, Ticks now)
{
    uint8_t a = address & ADDRESS_MASK;
    if ((a & ROW_OFFSET) == CANSTAT)
        return; // read-only
    if ((a & ROW_OFFSET) == CANCTRL) {
        WriteCanctrl(value, now);
        return;
    }
    int n;
    bool configOnly = IsFilterOrMask(a) || a == CNF1 || a == CNF2 || a == CNF3 || a == TXRTSCTRL;
    if (configOnly && !ModeWritable()) {
        Note(now, "controller: write to " + Hex2(a) + " ignored outside configuration mode");
        return;
    }
    if (IsFilterOrMask(a)) {
        // Filters and masks are four registers from a SIDH at a multiple of 4.
        bool sidl = (a & 0x03) == HDR_SIDL;
        state_.regs[a] = sidl ? value & (a >= RXM0SIDH ? RXMSIDL_BITS : RXFSIDL_BITS) : value;
    } else if (a == BFPCTRL) {
        state_.regs[a] = value & BFPCTRL_BITS;
    } else if (a == TXRTSCTRL) {
        state_.regs[a] = static_cast<uint8_t>(TXRTSCTRL_BNRTS | (value & TXRTSCTRL_BNRTSM));
    } else if (a == TEC || a == REC) {
        // read-only
    } else if (a == CNF3) {
        state_.regs[a] = value & CNF3_BITS;
    } else if (a == CNF2 || a == CNF1 || a == CANINTE || a == CANINTF) {
        state_.regs[a] = value;
    } else if (a == EFLG) {
        // RX1OVR and RX0OVR can only be cleared; the rest follows the counters.
        uint8_t &eflg = state_.regs[a];
        eflg = static_cast<uint8_t>((eflg & ~EFLG_OVERFLOWS) | (eflg & value & EFLG_OVERFLOWS));
    } else if (InTxBuffer(a, &n)) {
        if (a == TXB_CTRL[n]) {
            WriteTxCtrl(n, value, now);
        } else if (state_.regs[TXB_CTRL[n]] & TXBCTRL_TXREQ) {
            Note(now, "controller: write to " + Hex2(a) + " ignored while TXB" + std::to_string(n) + " is pending");
        } else {
            int offset = a - TXB_SIDH[n];
            if (offset == HDR_SIDL)
                value &= TXBSIDL_BITS;
            if (offset == HDR_DLC)
                value &= TXBDLC_BITS;
            state_.regs[a] = value;
        }
    } else if (a == RXB0CTRL) {
        uint8_t v = value & RXB0CTRL_WRITABLE;
        if (v & RXB0CTRL_BUKT)
            v |= RXB0CTRL_BUKT1;
        state_.regs[a] = static_cast<uint8_t>((state_.regs[a] & ~(RXB0CTRL_WRITABLE | RXB0CTRL_BUKT1)) | v);
    } else if (a == RXB1CTRL) {
        state_.regs[a] = static_cast<uint8_t>((state_.regs[a] & ~RXB1CTRL_WRITABLE) | (value & RXB1CTRL_WRITABLE));
    }
    // Receive buffers are read-only.
}

void Mcp2515::BitModify(uint8_t address, uint8_t mask, uint8_t data, Ticks now)
{
    uint8_t a = address & ADDRESS_MASK;
    // Only these registers take a masked write (section 12.10, the shaded
    // registers of Table 11-1); on every other one the mask is forced to 0xFF.
    bool maskable = a == BFPCTRL || a == TXRTSCTRL || (a & ROW_OFFSET) == CANCTRL || (a >= CNF3 && a <= EFLG) ||
                    a == TXB0CTRL || a == TXB1CTRL || a == TXB2CTRL || a == RXB0CTRL || a == RXB1CTRL;
    if (!maskable)
        mask = 0xFF;
    Write(a, static_cast<uint8_t>((Read(a) & ~mask) | (data & mask)), now);
}

void Mcp2515::WriteCanctrl(uint8_t value, Ticks now)
{
    uint8_t old = state_.regs[CANCTRL];
    state_.regs[CANCTRL] = value;
    if ((value & CANCTRL_ABAT) && !(old & CANCTRL_ABAT)) {
        for (int n = 0; n < 3; ++n)
            if (state_.regs[TXB_CTRL[n]] & TXBCTRL_TXREQ)
                AbortTx(n);
    }
    RequestMode(static_cast<uint8_t>(value >> CANCTRL_REQOP_SHIFT), now);
}

void Mcp2515::WriteTxCtrl(int n, uint8_t value, Ticks now)
{
    uint8_t &r = state_.regs[TXB_CTRL[n]];
    bool was = (r & TXBCTRL_TXREQ) != 0;
    bool want = (value & TXBCTRL_TXREQ) != 0;
    r = static_cast<uint8_t>((r & ~TXBCTRL_TXP) | (value & TXBCTRL_TXP));
    if (!was && want) {
        SetTxRequest(n, now);
    } else if (was && !want) {
        AbortTx(n);
        ApplyDeferredMode(now);
    }
}

uint8_t Mcp2515::Peek(uint8_t address) const { return Read(address); }

void Mcp2515::Poke(uint8_t address, uint8_t value)
{
    uint8_t a = address & ADDRESS_MASK;
    if ((a & ROW_OFFSET) == CANSTAT) {
        uint8_t m = value >> CANSTAT_OPMOD_SHIFT;
        if (m <= MODE_CONFIG) {
            if (state_.mode == MODE_CONFIG && m != MODE_CONFIG)
                state_.rate = ConfiguredBitRate();
            state_.mode = m;
        }
        return;
    }
    if ((a & ROW_OFFSET) == CANCTRL)
        a = CANCTRL;
    for (int n = 0; n < 3; ++n) {
        if (a == TXB_CTRL[n] && ((state_.regs[a] ^ value) & TXBCTRL_TXREQ))
            state_.tx[n] = TxState{};
    }
    state_.regs[a] = value;
}

// READ STATUS (section 12.8).
uint8_t Mcp2515::ReadStatus() const
{
    uint8_t f = state_.regs[CANINTF];
    uint8_t s = f & READ_STATUS_RXIF;
    for (int n = 0; n < 3; ++n) {
        if (state_.regs[TXB_CTRL[n]] & TXBCTRL_TXREQ)
            s |= static_cast<uint8_t>(READ_STATUS_TX0REQ << (2 * n));
        if (f & (CANINTF_TX0IF << n))
            s |= static_cast<uint8_t>(READ_STATUS_TX0IF << (2 * n));
    }
    return s;
}

// RX STATUS (section 12.9): the first full buffer's type and filter.
uint8_t Mcp2515::RxStatus() const
{
    uint8_t f = state_.regs[CANINTF];
    uint8_t s =
        static_cast<uint8_t>(((f & CANINTF_RX0IF) ? RX_STATUS_RXB0 : 0) | ((f & CANINTF_RX1IF) ? RX_STATUS_RXB1 : 0));
    int b = (f & CANINTF_RX0IF) ? 0 : (f & CANINTF_RX1IF) ? 1 : -1;
    if (b < 0)
        return s;
    uint8_t sidl = state_.regs[RXB_SIDH[b] + HDR_SIDL];
    bool ext = (sidl & SIDL_IDE) != 0;
    bool remote = ext ? (state_.regs[RXB_SIDH[b] + HDR_DLC] & DLC_RTR) != 0 : (sidl & SIDL_SRR) != 0;
    uint8_t hit;
    if (b == 0) {
        hit = state_.regs[RXB0CTRL] & RXB0CTRL_FILHIT0;
    } else {
        hit = state_.regs[RXB1CTRL] & RXB1CTRL_FILHIT;
        if (hit < RXB1_FIRST_FILTER)
            hit = static_cast<uint8_t>(hit + RX_STATUS_ROLLOVER); // RXF0/RXF1 rolled over
    }
    return static_cast<uint8_t>(s | (ext ? RX_STATUS_EXTENDED : 0) | (remote ? RX_STATUS_REMOTE : 0) | hit);
}

// ---- Bit timing (section 5) -------------------------------------------------

namespace
{

// The information processing time, the shortest PS2: 2 TQ.
constexpr int IPT = 2;

int PhaseSegment1(const uint8_t *regs) { return ((regs[CNF2] >> CNF2_PHSEG1_SHIFT) & CNF2_PHSEG1) + 1; }

int PhaseSegment2(const uint8_t *regs)
{
    return (regs[CNF2] & CNF2_BTLMODE) ? (regs[CNF3] & CNF3_PHSEG2) + 1 : std::max(PhaseSegment1(regs), IPT);
}

} // namespace

// A bit of sync segment (1 TQ), propagation segment, PS1 and PS2; TQ is
// 2 (BRP + 1) oscillator periods.
double Mcp2515::ConfiguredBitRate() const
{
    const uint8_t *regs = state_.regs;
    int brp = regs[CNF1] & CNF1_BRP;
    int prseg = regs[CNF2] & CNF2_PRSEG;
    int tqPerBit = 1 + prseg + 1 + PhaseSegment1(regs) + PhaseSegment2(regs);
    return static_cast<double>(osc_) / (2.0 * (brp + 1) * tqPerBit);
}

// The datasheet's rules (section 5.5): PropSeg + PS1 >= PS2, PS2 >= 2 TQ,
// PS2 > SJW.
void Mcp2515::CheckBitTiming(Ticks now)
{
    const uint8_t *regs = state_.regs;
    int prop = (regs[CNF2] & CNF2_PRSEG) + 1;
    int ps1 = PhaseSegment1(regs);
    int ps2 = PhaseSegment2(regs);
    int sjw = (regs[CNF1] >> CNF1_SJW_SHIFT) + 1;
    if (prop + ps1 < ps2 || ps2 < 2 || sjw >= ps2) {
        Note(now, "controller: bit timing outside the datasheet's rules (PropSeg " + std::to_string(prop) + ", PS1 " +
                      std::to_string(ps1) + ", PS2 " + std::to_string(ps2) + ", SJW " + std::to_string(sjw) +
                      "): " + RateText(state_.rate));
    }
}

// ---- Modes of operation (section 10) ----------------------------------------

double Mcp2515::BitRate() const { return (state_.mode == MODE_NORMAL || state_.mode == MODE_LISTEN) ? state_.rate : 0; }

bool Mcp2515::ListenOnly() const { return state_.mode == MODE_LISTEN; }

bool Mcp2515::AnyTxPending() const
{
    for (uint8_t c : TXB_CTRL)
        if (state_.regs[c] & TXBCTRL_TXREQ)
            return true;
    return false;
}

void Mcp2515::RequestMode(uint8_t reqop, Ticks now)
{
    if (reqop > MODE_CONFIG)
        return; // invalid: OPMOD keeps its value
    if (reqop == state_.mode) {
        state_.modeDeferred = false;
        return;
    }
    // The controller does not leave a transmitting mode while a frame is pending.
    if ((state_.mode == MODE_NORMAL || state_.mode == MODE_LOOPBACK) && AnyTxPending()) {
        state_.modeDeferred = true;
        return;
    }
    EnterMode(reqop, now);
}

void Mcp2515::ApplyDeferredMode(Ticks now)
{
    if (!state_.modeDeferred || AnyTxPending())
        return;
    state_.modeDeferred = false;
    uint8_t reqop = state_.regs[CANCTRL] >> CANCTRL_REQOP_SHIFT;
    if (reqop <= MODE_CONFIG && reqop != state_.mode)
        EnterMode(reqop, now);
}

void Mcp2515::EnterMode(uint8_t mode, Ticks now)
{
    if (state_.mode == MODE_CONFIG && mode != MODE_CONFIG) {
        state_.rate = ConfiguredBitRate();
        CheckBitTiming(now);
    }
    if (mode == MODE_CONFIG) {
        // The error counters restart, and with them the warning and passive flags.
        state_.regs[TEC] = 0;
        state_.regs[REC] = 0;
        state_.regs[EFLG] &= EFLG_OVERFLOWS;
    }
    state_.mode = mode;
    if (mode == MODE_NORMAL) {
        for (int n = 0; n < 3; ++n)
            if ((state_.regs[TXB_CTRL[n]] & TXBCTRL_TXREQ) && !state_.tx[n].attempted)
                state_.tx[n].ready = now;
    } else if (mode == MODE_LOOPBACK) {
        ServiceLoopback(now);
    }
}

} // namespace simboard
