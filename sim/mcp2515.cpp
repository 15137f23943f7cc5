#include "sim/mcp2515.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace simboard {

using namespace mcp;

namespace {

// SCK above 10 MHz (a period under 100 ns) is outside the datasheet's
// timing: such bytes are not decoded.
constexpr Ticks MIN_SCK_PERIOD_TICKS = TICKS_PER_US / 10;
// The oscillator start-up timer holds the controller for 128 oscillator
// periods after a RESET.
constexpr uint64_t STARTUP_OSC_PERIODS = 128;

// CANINTE / CANINTF bits.
constexpr uint8_t RX0IF = 0x01;
constexpr uint8_t RX1IF = 0x02;
constexpr uint8_t TX0IF = 0x04;
constexpr uint8_t ERRIF = 0x20;
constexpr uint8_t WAKIF = 0x40;
constexpr uint8_t MERRF = 0x80;
constexpr uint8_t ERRIE = ERRIF;
constexpr uint8_t WAKIE = WAKIF;

// EFLG bits.
constexpr uint8_t EWARN = 0x01;
constexpr uint8_t RXWAR = 0x02;
constexpr uint8_t TXWAR = 0x04;
constexpr uint8_t RXEP = 0x08;
constexpr uint8_t TXEP = 0x10;
constexpr uint8_t RX0OVR = 0x40;
constexpr uint8_t RX1OVR = 0x80;
constexpr uint8_t EFLG_OVERFLOWS = RX0OVR | RX1OVR;
constexpr int WARNING_LIMIT = 96;
constexpr int PASSIVE_LIMIT = 128;
constexpr int ACK_ERROR_TEC_STEP = 8;

// CANCTRL bits.
constexpr uint8_t ABAT = 0x10;
constexpr uint8_t OSM = 0x08;
constexpr uint8_t CANCTRL_RESET = 0x87;

// TXBnCTRL bits.
constexpr uint8_t ABTF = 0x40;
constexpr uint8_t MLOA = 0x20;
constexpr uint8_t TXERR = 0x10;
constexpr uint8_t TXREQ = 0x08;
constexpr uint8_t TXP = 0x03;
constexpr uint8_t TXCTRL_STATUS = ABTF | MLOA | TXERR;

// RXBnCTRL bits.
constexpr uint8_t RXM = 0x60;
constexpr uint8_t RXRTR = 0x08;
constexpr uint8_t BUKT = 0x04;
constexpr uint8_t BUKT1 = 0x02;
constexpr uint8_t RXB0_WRITABLE = RXM | BUKT;
constexpr uint8_t RXB1_WRITABLE = RXM;

// Header bits (SIDL, DLC).
constexpr uint8_t SIDL_SRR = 0x10;
constexpr uint8_t SIDL_IDE = 0x08;
constexpr uint8_t DLC_RTR = 0x40;

// Implemented bits of the identifier and DLC registers.
constexpr uint8_t FILTER_SIDL_BITS = 0xEB;  // SID2-0, EXIDE, EID17-16
constexpr uint8_t MASK_SIDL_BITS = 0xE3;    // SID2-0, EID17-16
constexpr uint8_t TX_DLC_BITS = 0x4F;       // RTR, DLC3-0
constexpr uint8_t CNF3_BITS = 0xC7;
constexpr uint8_t BFPCTRL_BITS = 0x3F;
constexpr uint8_t TXRTS_PIN_BITS = 0x38;  // B2RTS-B0RTS: unconnected pins, pulled up
constexpr uint8_t TXRTS_MODE_BITS = 0x07;

constexpr uint8_t TXB_CTRL[3] = {TXB0CTRL, TXB1CTRL, TXB2CTRL};
constexpr uint8_t RXB_CTRL[2] = {RXB0CTRL, RXB1CTRL};
// Start of each buffer's header (SIDH) and of its data (D0).
constexpr uint8_t TXB_SIDH[3] = {0x31, 0x41, 0x51};
constexpr uint8_t RXB_SIDH[2] = {0x61, 0x71};
constexpr int HDR_SIDL = 1, HDR_EID8 = 2, HDR_EID0 = 3, HDR_DLC = 4, HDR_DATA = 5;

// Acceptance filters: RXF0-RXF2 at 0x00, RXF3-RXF5 at 0x10.
constexpr uint8_t FILTER_ADDR[6] = {0x00, 0x04, 0x08, 0x10, 0x14, 0x18};
constexpr uint8_t MASK_ADDR[2] = {RXM0SIDH, RXM1SIDH};
constexpr int RXB1_FIRST_FILTER = 2;

bool IsFilterOrMask(uint8_t a) { return a <= 0x0B || (a >= 0x10 && a <= 0x1B) || (a >= 0x20 && a <= 0x27); }

bool InTxBuffer(uint8_t a, int* buffer) {
    for (int n = 0; n < 3; ++n) {
        if (a >= TXB_CTRL[n] && a <= TXB_SIDH[n] + HDR_DATA + 7) {
            *buffer = n;
            return true;
        }
    }
    return false;
}

bool InRxBuffer(uint8_t a) {
    return (a >= RXB_SIDH[0] && a <= RXB_SIDH[0] + HDR_DATA + 7) || (a >= RXB_SIDH[1] && a <= RXB_SIDH[1] + HDR_DATA + 7);
}

std::string Hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

std::string RateText(double rate) {
    char b[32];
    std::snprintf(b, sizeof b, "%.0f bit/s", rate);
    return b;
}

} // namespace

Mcp2515::Mcp2515(uint32_t oscHz, McpVariant variant) : osc_(oscHz ? oscHz : DEFAULT_OSC_HZ), variant_(variant) {
    PowerOn();
}

Mcp2515::~Mcp2515() { DisconnectBus(); }

void Mcp2515::ConnectBus(CanBus* bus) {
    DisconnectBus();
    if (!bus || variant_ == McpVariant::NoBus) return;
    bus_ = bus;
    bus_->Attach(this);
}

void Mcp2515::DisconnectBus() {
    if (bus_) bus_->Detach(this);
    bus_ = nullptr;
}

void Mcp2515::Note(Ticks now, const std::string& text) const {
    if (note_) note_(now, text);
}

void Mcp2515::PowerOn() {
    // Filters and buffers are undefined at power-on; the board starts them
    // at 0x00, and RESET leaves them as they are.
    std::fill(std::begin(regs_), std::end(regs_), 0);
    ResetRegisters();
    startupEnd_ = 0;
}

void Mcp2515::ResetRegisters() {
    for (unsigned a = 0; a < 128; ++a) {
        uint8_t addr = static_cast<uint8_t>(a);
        int n;
        bool keep = (IsFilterOrMask(addr) && addr < RXM0SIDH) || (InTxBuffer(addr, &n) && addr != TXB_CTRL[n]) ||
                    InRxBuffer(addr);
        if (!keep) regs_[a] = 0;
    }
    regs_[TXRTSCTRL] = TXRTS_PIN_BITS;
    regs_[CANCTRL] = CANCTRL_RESET;
    mode_ = MODE_CONFIG;
    modeDeferred_ = false;
    rate_ = 0;
    for (TxState& t : tx_) t = TxState{};
    offered_ = -1;
}

// ---- SPI -------------------------------------------------------------------

void Mcp2515::Select(Ticks now) {
    selected_ = true;
    bits_ = 0;
    shift_ = 0;
    haveRise_ = false;
    op_ = Op::None;
    address_ = 0;
    mask_ = 0;
    outIndex_ = 0;  // byte 0 clocks in the instruction: SO is not driven
    outDriven_ = false;
    so_ = SoLevel::Undriven;
    dead_ = now < startupEnd_;
    if (dead_) Note(now, "controller: frame ignored, oscillator start-up after RESET");
}

void Mcp2515::SampleRising(bool si, Ticks now) {
    if (!selected_) return;
    if (haveRise_ && now - lastRise_ < MIN_SCK_PERIOD_TICKS && !dead_) {
        Note(now, "controller: SCK above 10 MHz, rest of the frame not decoded");
        dead_ = true;
    }
    haveRise_ = true;
    lastRise_ = now;
    ++bits_;
    shift_ = static_cast<uint8_t>(shift_ << 1 | (si ? 1 : 0));
    if (bits_ % 8 == 0) {
        if (!dead_) ByteIn(shift_, bits_ / 8 - 1, now);
        shift_ = 0;
    }
}

void Mcp2515::AfterFalling(Ticks) {
    if (!selected_) return;
    // After the falling edge that follows rising edge k, SO carries output
    // bit k (from 0); a byte's value is taken when its first bit goes out.
    size_t index = bits_ / 8;
    if (index != outIndex_) {
        outIndex_ = index;
        outDriven_ = !dead_ && OutputFor(index, &outByte_);
    }
    if (dead_ || !outDriven_) {
        so_ = SoLevel::Undriven;
        return;
    }
    so_ = ((outByte_ >> (7 - bits_ % 8)) & 1) ? SoLevel::High : SoLevel::Low;
}

SoLevel Mcp2515::So() const {
    if (variant_ == McpVariant::MisoLow) return SoLevel::Low;
    return selected_ ? so_ : SoLevel::Undriven;
}

void Mcp2515::ByteIn(uint8_t byte, size_t index, Ticks now) {
    if (index == 0) {
        if (byte == INS_RESET) op_ = Op::Reset;
        else if (byte == INS_READ) op_ = Op::Read;
        else if (byte == INS_WRITE) op_ = Op::Write;
        else if (byte == INS_READ_STATUS) op_ = Op::ReadStatus;
        else if (byte == INS_RX_STATUS) op_ = Op::RxStatus;
        else if (byte == INS_BIT_MODIFY) op_ = Op::BitModify;
        else if ((byte & 0xF9) == 0x90) {
            // 0x90 / 0x92 / 0x94 / 0x96: RXB0SIDH, RXB0D0, RXB1SIDH, RXB1D0
            op_ = Op::ReadRx;
            int n = (byte >> 2) & 1;
            address_ = static_cast<uint8_t>(RXB_SIDH[n] + ((byte & 0x02) ? HDR_DATA : 0));
        } else if (byte >= 0x40 && byte <= 0x45) {
            op_ = Op::LoadTx;
            int n = (byte >> 1) & 3;
            address_ = static_cast<uint8_t>(TXB_SIDH[n] + ((byte & 0x01) ? HDR_DATA : 0));
        } else if ((byte & 0xF8) == 0x80) {
            op_ = Op::Rts;
            mask_ = byte & 0x07;
        } else {
            op_ = Op::Ignore;
            dead_ = true;
        }
        return;
    }
    switch (op_) {
    case Op::Read:
        if (index == 1) address_ = byte & 0x7F;
        break;
    case Op::Write:
        if (index == 1) address_ = byte & 0x7F;
        else Write(static_cast<uint8_t>((address_ + index - 2) & 0x7F), byte, now);
        break;
    case Op::LoadTx:
        Write(static_cast<uint8_t>((address_ + index - 1) & 0x7F), byte, now);
        break;
    case Op::BitModify:
        if (index == 1) address_ = byte & 0x7F;
        else if (index == 2) mask_ = byte;
        else if (index == 3) BitModify(address_, mask_, byte, now);
        break;
    default:
        break;
    }
}

bool Mcp2515::OutputFor(size_t index, uint8_t* byte) const {
    switch (op_) {
    case Op::Read:
        if (index < 2) return false;
        *byte = Read(static_cast<uint8_t>((address_ + index - 2) & 0x7F));
        return true;
    case Op::ReadRx:
        if (index < 1) return false;
        *byte = Read(static_cast<uint8_t>((address_ + index - 1) & 0x7F));
        return true;
    case Op::ReadStatus:
        if (index < 1) return false;
        *byte = ReadStatus();
        return true;
    case Op::RxStatus:
        if (index < 1) return false;
        *byte = RxStatus();
        return true;
    default:
        return false;
    }
}

Ticks Mcp2515::Deselect(Ticks now) {
    if (!selected_) return now;
    selected_ = false;
    so_ = SoLevel::Undriven;
    switch (op_) {
    case Op::Reset:
        ResetRegisters();
        startupEnd_ = now + (STARTUP_OSC_PERIODS * TICKS_PER_US * 1000000 + osc_ - 1) / osc_;
        break;
    case Op::Rts:
        for (int n = 0; n < 3; ++n)
            if ((mask_ >> n) & 1 && !(regs_[TXB_CTRL[n]] & TXREQ)) SetTxRequest(n, now);
        break;
    case Op::ReadRx:
        regs_[CANINTF] &= static_cast<uint8_t>(address_ < RXB_SIDH[1] ? ~RX0IF : ~RX1IF);
        break;
    default:
        break;
    }
    op_ = Op::None;

    // A first attempt waits on the bus: board time runs to its end and to
    // the end of whatever it causes.
    int n = mode_ == MODE_NORMAL ? NextTxBuffer() : -1;
    if (n < 0 || tx_[n].attempted) return now;
    if (bus_) return bus_->Settle(now);
    // TXCAN unconnected: the attempt still takes its bits, and nobody
    // acknowledges it.
    offered_ = n;
    Ticks end = std::max(now, tx_[n].ready) + CanBitsToTicks(CanFrameBits(TxFrame(n)).unacknowledged, rate_);
    FrameDone(false, end);
    return end;
}

// ---- Registers -------------------------------------------------------------

uint8_t Mcp2515::Read(uint8_t address) const {
    uint8_t a = address & 0x7F;
    if ((a & 0x0F) == 0x0E) {
        // ICOD: the highest-priority flag whose interrupt is enabled.
        uint8_t pending = regs_[CANINTF] & regs_[CANINTE];
        static const uint8_t order[7] = {ERRIF, WAKIF, TX0IF, TX0IF << 1, TX0IF << 2, RX0IF, RX1IF};
        uint8_t icod = 0;
        for (uint8_t i = 0; i < 7; ++i) {
            if (pending & order[i]) {
                icod = static_cast<uint8_t>(i + 1);
                break;
            }
        }
        return static_cast<uint8_t>(mode_ << 5 | icod << 1);
    }
    if ((a & 0x0F) == 0x0F) return regs_[CANCTRL];
    return regs_[a];
}

void Mcp2515::Write(uint8_t address, uint8_t value, Ticks now) {
    uint8_t a = address & 0x7F;
    if ((a & 0x0F) == 0x0E) return;  // CANSTAT is read-only
    if ((a & 0x0F) == 0x0F) {
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
        bool sidl = (a & 0x03) == HDR_SIDL;
        regs_[a] = sidl ? value & (a >= RXM0SIDH ? MASK_SIDL_BITS : FILTER_SIDL_BITS) : value;
    } else if (a == BFPCTRL) {
        regs_[a] = value & BFPCTRL_BITS;
    } else if (a == TXRTSCTRL) {
        regs_[a] = static_cast<uint8_t>(TXRTS_PIN_BITS | (value & TXRTS_MODE_BITS));
    } else if (a == TEC || a == REC) {
        // read-only
    } else if (a == CNF3) {
        regs_[a] = value & CNF3_BITS;
    } else if (a == CNF2 || a == CNF1 || a == CANINTE || a == CANINTF) {
        regs_[a] = value;
    } else if (a == EFLG) {
        // RX1OVR and RX0OVR can only be cleared; the rest follows the counters.
        regs_[a] = static_cast<uint8_t>((regs_[a] & ~EFLG_OVERFLOWS) | (regs_[a] & value & EFLG_OVERFLOWS));
    } else if (InTxBuffer(a, &n)) {
        if (a == TXB_CTRL[n]) {
            WriteTxCtrl(n, value, now);
        } else if (regs_[TXB_CTRL[n]] & TXREQ) {
            Note(now, "controller: write to " + Hex2(a) + " ignored while TXB" + std::to_string(n) + " is pending");
        } else {
            int offset = a - TXB_SIDH[n];
            if (offset == HDR_SIDL) value &= FILTER_SIDL_BITS;
            if (offset == HDR_DLC) value &= TX_DLC_BITS;
            regs_[a] = value;
        }
    } else if (a == RXB0CTRL) {
        uint8_t v = value & RXB0_WRITABLE;
        if (v & BUKT) v |= BUKT1;
        regs_[a] = static_cast<uint8_t>((regs_[a] & ~(RXB0_WRITABLE | BUKT1)) | v);
    } else if (a == RXB1CTRL) {
        regs_[a] = static_cast<uint8_t>((regs_[a] & ~RXB1_WRITABLE) | (value & RXB1_WRITABLE));
    }
    // Receive buffers are read-only.
}

void Mcp2515::BitModify(uint8_t address, uint8_t mask, uint8_t data, Ticks now) {
    uint8_t a = address & 0x7F;
    // Only these registers take a masked write; on every other one the
    // mask is forced to 0xFF.
    bool maskable = a == BFPCTRL || a == TXRTSCTRL || (a & 0x0F) == 0x0F || (a >= CNF3 && a <= EFLG) ||
                    a == TXB0CTRL || a == TXB1CTRL || a == TXB2CTRL || a == RXB0CTRL || a == RXB1CTRL;
    if (!maskable) mask = 0xFF;
    Write(a, static_cast<uint8_t>((Read(a) & ~mask) | (data & mask)), now);
}

void Mcp2515::WriteCanctrl(uint8_t value, Ticks now) {
    uint8_t old = regs_[CANCTRL];
    regs_[CANCTRL] = value;
    if ((value & ABAT) && !(old & ABAT)) {
        for (int n = 0; n < 3; ++n)
            if (regs_[TXB_CTRL[n]] & TXREQ) AbortTx(n);
    }
    RequestMode(static_cast<uint8_t>(value >> 5), now);
}

void Mcp2515::WriteTxCtrl(int n, uint8_t value, Ticks now) {
    uint8_t& r = regs_[TXB_CTRL[n]];
    bool was = (r & TXREQ) != 0;
    bool want = (value & TXREQ) != 0;
    r = static_cast<uint8_t>((r & ~TXP) | (value & TXP));
    if (!was && want) {
        SetTxRequest(n, now);
    } else if (was && !want) {
        AbortTx(n);
        ApplyDeferredMode(now);
    }
}

uint8_t Mcp2515::Peek(uint8_t address) const { return Read(address); }

void Mcp2515::Poke(uint8_t address, uint8_t value) {
    uint8_t a = address & 0x7F;
    if ((a & 0x0F) == 0x0E) {
        uint8_t m = value >> 5;
        if (m <= MODE_CONFIG) {
            if (mode_ == MODE_CONFIG && m != MODE_CONFIG) rate_ = ConfiguredBitRate();
            mode_ = m;
        }
        return;
    }
    if ((a & 0x0F) == 0x0F) a = CANCTRL;
    for (int n = 0; n < 3; ++n) {
        if (a == TXB_CTRL[n] && ((regs_[a] ^ value) & TXREQ)) tx_[n] = TxState{};
    }
    regs_[a] = value;
}

uint8_t Mcp2515::ReadStatus() const {
    uint8_t f = regs_[CANINTF];
    uint8_t s = f & (RX0IF | RX1IF);
    for (int n = 0; n < 3; ++n) {
        if (regs_[TXB_CTRL[n]] & TXREQ) s |= static_cast<uint8_t>(0x04 << (2 * n));
        if (f & (TX0IF << n)) s |= static_cast<uint8_t>(0x08 << (2 * n));
    }
    return s;
}

uint8_t Mcp2515::RxStatus() const {
    uint8_t f = regs_[CANINTF];
    uint8_t s = static_cast<uint8_t>(((f & RX0IF) ? 0x40 : 0) | ((f & RX1IF) ? 0x80 : 0));
    int b = (f & RX0IF) ? 0 : (f & RX1IF) ? 1 : -1;
    if (b < 0) return s;
    uint8_t sidl = regs_[RXB_SIDH[b] + HDR_SIDL];
    bool ext = (sidl & SIDL_IDE) != 0;
    bool remote = ext ? (regs_[RXB_SIDH[b] + HDR_DLC] & DLC_RTR) != 0 : (sidl & SIDL_SRR) != 0;
    uint8_t hit;
    if (b == 0) {
        hit = regs_[RXB0CTRL] & 0x01;
    } else {
        hit = regs_[RXB1CTRL] & 0x07;
        if (hit < RXB1_FIRST_FILTER) hit = static_cast<uint8_t>(hit + 6);  // RXF0/RXF1 rolled over
    }
    return static_cast<uint8_t>(s | (ext ? 0x10 : 0) | (remote ? 0x08 : 0) | hit);
}

// ---- Modes -----------------------------------------------------------------

double Mcp2515::ConfiguredBitRate() const {
    int brp = regs_[CNF1] & 0x3F;
    int prseg = regs_[CNF2] & 0x07;
    int ps1 = ((regs_[CNF2] >> 3) & 0x07) + 1;
    int ps2 = (regs_[CNF2] & 0x80) ? (regs_[CNF3] & 0x07) + 1 : std::max(ps1, 2);
    int tqPerBit = 1 + prseg + 1 + ps1 + ps2;
    return static_cast<double>(osc_) / (2.0 * (brp + 1) * tqPerBit);
}

void Mcp2515::CheckBitTiming(Ticks now) {
    int prop = (regs_[CNF2] & 0x07) + 1;
    int ps1 = ((regs_[CNF2] >> 3) & 0x07) + 1;
    int ps2 = (regs_[CNF2] & 0x80) ? (regs_[CNF3] & 0x07) + 1 : std::max(ps1, 2);
    int sjw = (regs_[CNF1] >> 6) + 1;
    if (prop + ps1 < ps2 || ps2 < 2 || sjw >= ps2) {
        Note(now, "controller: bit timing outside the datasheet's rules (PropSeg " + std::to_string(prop) +
                      ", PS1 " + std::to_string(ps1) + ", PS2 " + std::to_string(ps2) + ", SJW " +
                      std::to_string(sjw) + "): " + RateText(rate_));
    }
}

double Mcp2515::BitRate() const { return (mode_ == MODE_NORMAL || mode_ == MODE_LISTEN) ? rate_ : 0; }

bool Mcp2515::ListenOnly() const { return mode_ == MODE_LISTEN; }

bool Mcp2515::AnyTxPending() const {
    for (uint8_t c : TXB_CTRL)
        if (regs_[c] & TXREQ) return true;
    return false;
}

void Mcp2515::RequestMode(uint8_t reqop, Ticks now) {
    if (reqop > MODE_CONFIG) return;  // invalid: OPMOD keeps its value
    if (reqop == mode_) {
        modeDeferred_ = false;
        return;
    }
    // The controller does not leave a transmitting mode while a frame is pending.
    if ((mode_ == MODE_NORMAL || mode_ == MODE_LOOPBACK) && AnyTxPending()) {
        modeDeferred_ = true;
        return;
    }
    EnterMode(reqop, now);
}

void Mcp2515::ApplyDeferredMode(Ticks now) {
    if (!modeDeferred_ || AnyTxPending()) return;
    modeDeferred_ = false;
    uint8_t reqop = regs_[CANCTRL] >> 5;
    if (reqop <= MODE_CONFIG && reqop != mode_) EnterMode(reqop, now);
}

void Mcp2515::EnterMode(uint8_t mode, Ticks now) {
    if (mode_ == MODE_CONFIG && mode != MODE_CONFIG) {
        rate_ = ConfiguredBitRate();
        CheckBitTiming(now);
    }
    if (mode == MODE_CONFIG) {
        // The error counters restart, and with them the warning and passive flags.
        regs_[TEC] = 0;
        regs_[REC] = 0;
        regs_[EFLG] &= EFLG_OVERFLOWS;
    }
    mode_ = mode;
    if (mode == MODE_NORMAL) {
        for (int n = 0; n < 3; ++n)
            if ((regs_[TXB_CTRL[n]] & TXREQ) && !tx_[n].attempted) tx_[n].ready = now;
    } else if (mode == MODE_LOOPBACK) {
        ServiceLoopback(now);
    }
}

// ---- Transmission ----------------------------------------------------------

void Mcp2515::SetTxRequest(int n, Ticks now) {
    uint8_t& r = regs_[TXB_CTRL[n]];
    r = static_cast<uint8_t>((r & ~TXCTRL_STATUS) | TXREQ);
    tx_[n] = TxState{false, now};
    if (mode_ == MODE_LOOPBACK) ServiceLoopback(now);
}

void Mcp2515::AbortTx(int n) {
    uint8_t& r = regs_[TXB_CTRL[n]];
    r = static_cast<uint8_t>((r & ~TXREQ) | ABTF);
    tx_[n] = TxState{};
}

int Mcp2515::NextTxBuffer() const {
    // Highest TXP first; at equal TXP the higher buffer number.
    int best = -1;
    for (int n = 0; n < 3; ++n) {
        uint8_t c = regs_[TXB_CTRL[n]];
        if (!(c & TXREQ)) continue;
        if (best < 0 || (c & TXP) >= (regs_[TXB_CTRL[best]] & TXP)) best = n;
    }
    return best;
}

CanFrame Mcp2515::TxFrame(int n) const {
    const uint8_t* h = &regs_[TXB_SIDH[n]];
    CanFrame f;
    uint32_t base = static_cast<uint32_t>(h[0]) << 3 | h[HDR_SIDL] >> 5;
    f.extended = (h[HDR_SIDL] & SIDL_IDE) != 0;
    if (f.extended) {
        f.id = base << 18 | static_cast<uint32_t>(h[HDR_SIDL] & 0x03) << 16 | static_cast<uint32_t>(h[HDR_EID8]) << 8 |
               h[HDR_EID0];
    } else {
        f.id = base;
    }
    f.remote = (h[HDR_DLC] & DLC_RTR) != 0;
    f.dlc = h[HDR_DLC] & 0x0F;
    for (size_t i = 0; i < f.DataLength(); ++i) f.data[i] = h[HDR_DATA + i];
    return f;
}

bool Mcp2515::NextFrame(TxRequest* request) {
    if (mode_ != MODE_NORMAL) return false;
    int n = NextTxBuffer();
    if (n < 0) return false;
    offered_ = n;
    request->frame = TxFrame(n);
    request->bitRate = rate_;
    request->ready = tx_[n].ready;
    request->urgent = !tx_[n].attempted;
    request->retry = tx_[n].attempted;
    return true;
}

void Mcp2515::FrameDone(bool acknowledged, Ticks end) {
    int n = offered_;
    offered_ = -1;
    if (n < 0 || !(regs_[TXB_CTRL[n]] & TXREQ)) return;
    if (acknowledged) TxDone(n, end);
    else TxFailed(n);
    ApplyDeferredMode(end);
}

void Mcp2515::ArbitrationLost() {
    if (offered_ >= 0) regs_[TXB_CTRL[offered_]] |= MLOA;
}

void Mcp2515::TxDone(int n, Ticks) {
    regs_[TXB_CTRL[n]] &= static_cast<uint8_t>(~TXREQ);
    regs_[CANINTF] |= static_cast<uint8_t>(TX0IF << n);
    tx_[n] = TxState{};
    SetTec(regs_[TEC] - 1);
}

void Mcp2515::TxFailed(int n) {
    // Acknowledge errors raise TEC by 8 while error-active; an error-passive
    // transmitter's acknowledge error leaves it (so bus-off is never reached
    // this way). The first failure stands for the background retries that
    // bring TEC to 128; one-shot mode makes one attempt only.
    int tec = regs_[TEC];
    bool oneShot = (regs_[CANCTRL] & OSM) != 0;
    if (oneShot || tx_[n].attempted) {
        if (tec < PASSIVE_LIMIT) tec += ACK_ERROR_TEC_STEP;
    } else {
        while (tec < PASSIVE_LIMIT) tec += ACK_ERROR_TEC_STEP;
    }
    SetTec(tec);
    regs_[TXB_CTRL[n]] |= TXERR;
    regs_[CANINTF] |= MERRF;
    if (oneShot) {
        regs_[TXB_CTRL[n]] &= static_cast<uint8_t>(~TXREQ);
        tx_[n] = TxState{};
    } else {
        tx_[n].attempted = true;
    }
}

void Mcp2515::SetTec(int value) {
    regs_[TEC] = static_cast<uint8_t>(std::clamp(value, 0, 255));
    UpdateErrorFlags();
}

void Mcp2515::UpdateErrorFlags() {
    int tec = regs_[TEC], rec = regs_[REC];
    uint8_t f = regs_[EFLG] & EFLG_OVERFLOWS;
    if (tec >= WARNING_LIMIT || rec >= WARNING_LIMIT) f |= EWARN;
    if (rec >= WARNING_LIMIT) f |= RXWAR;
    if (tec >= WARNING_LIMIT) f |= TXWAR;
    if (rec >= PASSIVE_LIMIT) f |= RXEP;
    if (tec >= PASSIVE_LIMIT) f |= TXEP;
    if (f != regs_[EFLG] && (regs_[CANINTE] & ERRIE)) regs_[CANINTF] |= ERRIF;
    regs_[EFLG] = f;
}

void Mcp2515::ServiceLoopback(Ticks now) {
    // Loopback: the frame goes from the transmit buffer to the receive
    // buffers at once, without the bus and without an acknowledge.
    for (int n; mode_ == MODE_LOOPBACK && (n = NextTxBuffer()) >= 0;) {
        CanFrame f = TxFrame(n);
        regs_[TXB_CTRL[n]] &= static_cast<uint8_t>(~TXREQ);
        regs_[CANINTF] |= static_cast<uint8_t>(TX0IF << n);
        tx_[n] = TxState{};
        Accept(f);
    }
    ApplyDeferredMode(now);
}

// ---- Reception -------------------------------------------------------------

void Mcp2515::Receive(const CanFrame& frame, Ticks) {
    if (mode_ == MODE_NORMAL || mode_ == MODE_LISTEN) Accept(frame);
}

void Mcp2515::BusActivity(Ticks end) {
    // A sleeping controller wakes on bus activity into listen-only mode;
    // the frame that woke it is lost.
    if (mode_ != MODE_SLEEP || !(regs_[CANINTE] & WAKIE)) return;
    regs_[CANINTF] |= WAKIF;
    EnterMode(MODE_LISTEN, end);
}

int Mcp2515::MatchBuffer(int b, const CanFrame& frame) const {
    int rxm = (regs_[RXB_CTRL[b]] & RXM) >> 5;
    int first = b == 0 ? 0 : RXB1_FIRST_FILTER;
    if (rxm == 3) return first;  // filters off: every frame meets the criteria
    if ((rxm == 1 && frame.extended) || (rxm == 2 && !frame.extended)) return -1;
    auto id29 = [this](uint8_t at) {
        const uint8_t* r = &regs_[at];
        return (static_cast<uint32_t>(r[0]) << 3 | r[1] >> 5) << 18 | static_cast<uint32_t>(r[1] & 0x03) << 16 |
               static_cast<uint32_t>(r[2]) << 8 | r[3];
    };
    uint32_t mask = id29(MASK_ADDR[b]);
    uint32_t id = frame.extended ? frame.id : frame.id << 18;
    if (!frame.extended) mask &= 0x7FFu << 18;  // a standard frame meets the base bits only
    int last = b == 0 ? 1 : 5;
    for (int f = first; f <= last; ++f) {
        bool exide = (regs_[FILTER_ADDR[f] + 1] & SIDL_IDE) != 0;
        if (exide != frame.extended) continue;
        if (((id ^ id29(FILTER_ADDR[f])) & mask) == 0) return f;
    }
    return -1;
}

void Mcp2515::Store(int b, const CanFrame& frame, uint8_t filterHit) {
    uint8_t* h = &regs_[RXB_SIDH[b]];
    uint32_t base = frame.extended ? frame.id >> 18 : frame.id;
    h[0] = static_cast<uint8_t>(base >> 3);
    h[HDR_SIDL] = static_cast<uint8_t>((base & 0x07) << 5);
    if (frame.extended) {
        h[HDR_SIDL] |= static_cast<uint8_t>(SIDL_IDE | ((frame.id >> 16) & 0x03));
        h[HDR_EID8] = static_cast<uint8_t>(frame.id >> 8);
        h[HDR_EID0] = static_cast<uint8_t>(frame.id);
        h[HDR_DLC] = static_cast<uint8_t>((frame.remote ? DLC_RTR : 0) | (frame.dlc & 0x0F));
    } else {
        if (frame.remote) h[HDR_SIDL] |= SIDL_SRR;
        h[HDR_EID8] = 0;
        h[HDR_EID0] = 0;
        h[HDR_DLC] = frame.dlc & 0x0F;
    }
    // Data registers past the frame's data keep what they held.
    for (size_t i = 0; i < frame.DataLength(); ++i) h[HDR_DATA + i] = frame.data[i];
    uint8_t& c = regs_[RXB_CTRL[b]];
    if (b == 0) c = static_cast<uint8_t>((c & (RXB0_WRITABLE | BUKT1)) | (frame.remote ? RXRTR : 0) | (filterHit & 1));
    else c = static_cast<uint8_t>((c & RXB1_WRITABLE) | (frame.remote ? RXRTR : 0) | (filterHit & 0x07));
    regs_[CANINTF] |= b == 0 ? RX0IF : RX1IF;
}

void Mcp2515::Accept(const CanFrame& frame) {
    auto overflow = [this](uint8_t flag) {
        regs_[EFLG] |= flag;
        if (regs_[CANINTE] & ERRIE) regs_[CANINTF] |= ERRIF;
    };
    int hit = MatchBuffer(0, frame);
    if (hit >= 0) {
        if (!(regs_[CANINTF] & RX0IF)) {
            Store(0, frame, static_cast<uint8_t>(hit));
        } else if (regs_[RXB0CTRL] & BUKT) {
            // Rollover: into RXB1 whatever RXB1's own criteria say.
            if (!(regs_[CANINTF] & RX1IF)) Store(1, frame, static_cast<uint8_t>(hit));
            else overflow(RX1OVR);
        } else {
            overflow(RX0OVR);
        }
        return;
    }
    hit = MatchBuffer(1, frame);
    if (hit < 0) return;
    if (!(regs_[CANINTF] & RX1IF)) Store(1, frame, static_cast<uint8_t>(hit));
    else overflow(RX1OVR);
}

} // namespace simboard
