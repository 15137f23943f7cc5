#include "sim/mpsse_engine.h"

#include <algorithm>

#include "sim/records.h"

namespace simboard {

namespace {

// Low pin byte wiring: SK, DO (MOSI), DI (MISO), CS; GPIOL1 is pin 5.
const uint8_t kPinSk = 0x01;
const uint8_t kPinDo = 0x02;
const uint8_t kPinDi = 0x04;
const uint8_t kPinCs = 0x08;
const uint8_t kPinGpioL1 = 0x20;

// The bad-command answer: this byte, then the command byte.
const uint8_t kBadCommand = 0xFA;

// A stalled engine holds at most this many later bytes (it bounds memory).
const size_t kMaxHeld = 65536;

// The master clock: 60 MHz, or 12 MHz behind the divide-by-5 (the FT2232D
// has only the 12 MHz base). SK's period is (1 + divisor) * 2 master cycles.
const uint32_t kBaseDiv5Hz = 12000000;
const uint32_t kBaseHz = 60000000;
const Ticks kTicksPerSecond = TICKS_PER_US * 1000000;

bool IsTms(uint8_t op)
{
    return op == 0x4A || op == 0x4B || op == 0x6A || op == 0x6B || op == 0x6E || op == 0x6F;
}

// Sampled bits as the answer byte. MSB first: each bit enters at bit 0 and
// moves the earlier ones up; LSB first mirrors it from bit 7 down.
uint8_t PackBits(const std::vector<bool> &bits, bool lsbFirst)
{
    uint8_t value = 0;
    for (bool bit : bits)
        value = lsbFirst ? static_cast<uint8_t>(value >> 1 | (bit ? 0x80 : 0)) : static_cast<uint8_t>(value << 1 | bit);
    return value;
}

} // namespace

// ---- MpsseEngine -------------------------------------------------------------

MpsseEngine::MpsseEngine(EngineKind kind, int position, TraceWriter &trace, SpiPort *port)
    : kind_(kind), position_(position), trace_(trace), port_(port)
{
}

void MpsseEngine::Reset(Ticks &now)
{
    div5_ = true;
    threePhase_ = false;
    loopback_ = false;
    adaptive_ = false;
    divisor_ = 0;
    lowValue_ = lowDir_ = highValue_ = highDir_ = 0;
    lowZero_ = highZero_ = 0;
    DiscardInput();
    SyncSelect(now);
    if (port_)
        port_->FlushLines();
}

void MpsseEngine::DiscardInput()
{
    header_.clear();
    headerNeed_ = 0;
    dataLeft_ = dataTotal_ = 0;
    answer_.clear();
    stalled_ = false;
    held_.clear();
    heldDropped_ = 0;
}

bool MpsseEngine::IsCommand(uint8_t op) const
{
    if (op < 0x80)
        return true;
    if (op <= 0x89)
        return true;
    if ((op >= 0x8A && op <= 0x8F) || (op >= 0x94 && op <= 0x97) || op == 0x9C || op == 0x9D)
        return HChip();
    if (op == 0x9E)
        return kind_ == EngineKind::FT232H;
    return false;
}

size_t MpsseEngine::HeaderLength(uint8_t op) const
{
    if (!IsCommand(op))
        return 1;
    if (op >= 0x10 && op <= 0x3F) {
        bool bitMode = op & 0x02, write = op & 0x10;
        return !bitMode ? 3 : (write ? 3 : 2);
    }
    if (IsTms(op))
        return 3;
    switch (op) {
    case 0x80:
    case 0x82:
    case 0x86:
    case 0x8F:
    case 0x9C:
    case 0x9D:
    case 0x9E:
        return 3;
    case 0x8E:
        return 2;
    default:
        return 1;
    }
}

uint32_t MpsseEngine::BaseHz() const { return (!HChip() || div5_) ? kBaseDiv5Hz : kBaseHz; }

// One SK period per bit; 3-phase clocking makes each bit last 1.5 periods.
// Exact in ticks for every divisor of both bases.
Ticks MpsseEngine::BitTicks() const
{
    Ticks period = 2 * (1 + static_cast<Ticks>(divisor_)) * kTicksPerSecond / BaseHz();
    return threePhase_ ? period * 3 / 2 : period;
}

// A pin that nothing drives reads 1: the board fits pull-ups on every pin. A
// drive-only-zero pin holding a 1 floats, so it reads 1 as well.
bool MpsseEngine::SkLevel() const { return (lowDir_ & kPinSk) ? (lowValue_ & kPinSk) != 0 : true; }

bool MpsseEngine::SiLevel() const { return (lowDir_ & kPinDo) ? DoLevel() : true; }

bool MpsseEngine::DiLevel() const
{
    if (lowDir_ & kPinDi)
        return (lowValue_ & kPinDi) != 0;
    return port_ ? port_->Miso() : true;
}

bool MpsseEngine::CsLevel() const { return (lowDir_ & kPinCs) ? (lowValue_ & kPinCs) != 0 : true; }

bool MpsseEngine::SlaveSeesClock() const { return port_ && !loopback_ && (lowDir_ & kPinSk); }

void MpsseEngine::SetDo(bool level) { lowValue_ = static_cast<uint8_t>(level ? lowValue_ | kPinDo : lowValue_ & ~kPinDo); }

uint8_t MpsseEngine::LowPins() const
{
    uint8_t pins = static_cast<uint8_t>((lowValue_ & lowDir_) | ~lowDir_);
    if (!(lowDir_ & kPinDi) && !DiLevel())
        pins = static_cast<uint8_t>(pins & ~kPinDi);
    return pins;
}

uint8_t MpsseEngine::HighPins() const
{
    // Pins a chip lacks read 1; nothing is wired to the high byte.
    uint8_t present = kind_ == EngineKind::FT4232H ? 0x00 : (kind_ == EngineKind::FT2232D ? 0x0F : 0xFF);
    uint8_t dir = highDir_ & present;
    return static_cast<uint8_t>((highValue_ & dir) | ~dir);
}

void MpsseEngine::SyncSelect(Ticks &now)
{
    if (!port_)
        return;
    bool low = !CsLevel();
    if (low && !port_->Selected())
        port_->Select(now);
    else if (!low && port_->Selected())
        now = port_->Deselect(now);
}

const char *MpsseEngine::SlaveState() const
{
    if (loopback_)
        return "loopback";
    if (!port_)
        return "none";
    return port_->Selected() ? "selected" : "deselected";
}

std::vector<bool> MpsseEngine::Clock(int count, const std::vector<bool> *out, bool outFalling, bool read,
                                     bool inFalling, bool tms, Ticks &now)
{
    std::vector<bool> in;
    // Clocks that carry nothing and reach no slave only take their time (the
    // same as the loop below; it would visit each of their edges).
    if (out == nullptr && !read && !tms && !(SlaveSeesClock() && port_->Selected())) {
        now += BitTicks() * static_cast<Ticks>(count > 0 ? count : 0);
        return in;
    }
    // The idle level decides which edge comes first in each cycle.
    bool idleHigh = SkLevel();
    bool outFirst = outFalling == idleHigh;
    auto put = [&](bool level) {
        if (tms) {
            if (lowDir_ & kPinCs) {
                lowValue_ = static_cast<uint8_t>(level ? lowValue_ | kPinCs : lowValue_ & ~kPinCs);
                SyncSelect(now);
            }
        } else {
            SetDo(level);
        }
    };
    if (out && !outFirst && count > 0)
        put((*out)[0]);
    Ticks period = BitTicks();
    for (int i = 0; i < count; ++i) {
        for (int edge = 0; edge < 2; ++edge) {
            bool falling = edge == 0 ? idleHigh : !idleHigh;
            bool slaveEdge = SlaveSeesClock() && port_->Selected();
            // Every receiver samples before any driver changes its output.
            if (!falling && slaveEdge)
                port_->Rising(SiLevel(), now);
            if (read && falling == inFalling)
                in.push_back(loopback_ ? DoLevel() : DiLevel());
            if (falling && slaveEdge)
                port_->Falling(now);
            if (out && falling == outFalling) {
                if (outFirst)
                    put((*out)[i]);
                else if (i + 1 < count)
                    put((*out)[i + 1]);
            }
        }
        now += period;
    }
    return in;
}

void MpsseEngine::SetLow(uint8_t value, uint8_t direction, Ticks &now)
{
    bool skOutBefore = lowDir_ & kPinSk;
    bool skBefore = SkLevel();
    bool siBefore = SiLevel();
    bool selectedBefore = port_ && port_->Selected();
    bool csLowAfter = (direction & kPinCs) && !(value & kPinCs);

    // A release takes effect before an SK change of the same command, a select
    // after it: the slave never sees that SK change.
    if (selectedBefore && !csLowAfter)
        now = port_->Deselect(now);
    lowValue_ = value;
    lowDir_ = direction;
    bool skAfter = SkLevel();
    if (selectedBefore && csLowAfter && skOutBefore && (lowDir_ & kPinSk) && !loopback_ && skAfter != skBefore) {
        if (skAfter)
            port_->Rising(siBefore, now);
        else
            port_->Falling(now);
    }
    SyncSelect(now);
}

void MpsseEngine::Line(Ticks now, const std::string &text, const std::vector<uint8_t> &answer)
{
    std::string rest = Format("%d ", position_) + text;
    if (!answer.empty())
        rest += " | " + HexBytes(answer);
    trace_.Line(now / TICKS_PER_US, "MPSSE", rest);
    if (port_)
        port_->FlushLines();
}

void MpsseEngine::Feed(const uint8_t *bytes, size_t count, Ticks &now, AnswerSink &sink)
{
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = bytes[i];
        if (stalled_) {
            if (held_.size() < kMaxHeld) {
                held_.push_back(byte);
            } else if (heldDropped_++ == 0) {
                trace_.Line(now / TICKS_PER_US, "NOTE",
                            Format("%d engine stalled: it holds %zu bytes, later ones are dropped", position_, kMaxHeld));
            }
            continue;
        }
        if (dataLeft_ > 0) {
            // A byte write clocks each data byte as it arrives.
            uint8_t op = header_[0];
            bool lsb = op & 0x08, read = op & 0x20;
            std::vector<bool> out(8);
            for (int b = 0; b < 8; ++b)
                out[b] = lsb ? (byte >> b & 1) : (byte >> (7 - b) & 1);
            std::vector<bool> in = Clock(8, &out, op & 0x01, read, op & 0x04, false, now);
            if (read) {
                answer_.push_back(PackBits(in, lsb));
            }
            if (--dataLeft_ == 0)
                Complete(now, sink);
            continue;
        }
        if (header_.empty())
            headerNeed_ = HeaderLength(byte);
        header_.push_back(byte);
        if (header_.size() == headerNeed_) {
            if (hook_)
                hook_(now);
            Command(header_[0], now, sink);
        }
    }
}

void MpsseEngine::Complete(Ticks &now, AnswerSink &sink)
{
    uint8_t op = header_[0];
    bool bitMode = op & 0x02, lsb = op & 0x08, write = op & 0x10, read = op & 0x20;
    std::string text = HexBytes(header_) + " data ";
    if (bitMode)
        text += Format("bits=%u", (header_[1] & 7u) + 1);
    else
        text += Format("bytes=%u", dataTotal_);
    if (write)
        text += (op & 0x01) ? " out=falling" : " out=rising";
    if (read)
        text += (op & 0x04) ? " in=falling" : " in=rising";
    text += lsb ? " lsb" : " msb";
    text += std::string(" slave=") + slaveAtStart_;
    if (!answer_.empty())
        sink.Answer(answer_.data(), answer_.size(), now);
    Line(now, text, answer_);
    header_.clear();
    answer_.clear();
    dataTotal_ = 0;
}

void MpsseEngine::Command(uint8_t op, Ticks &now, AnswerSink &sink)
{
    std::vector<uint8_t> answer;
    std::string cmd = HexBytes(header_);
    auto finish = [&](const std::string &text) {
        if (!answer.empty())
            sink.Answer(answer.data(), answer.size(), now);
        Line(now, cmd + " " + text, answer);
        header_.clear();
    };
    auto pin5 = [&]() { return (lowDir_ & kPinGpioL1) ? (lowValue_ & kPinGpioL1) != 0 : true; };
    auto stall = [&](const char *name) {
        // Nothing on the board ever changes pin 5 on its own: the wait never ends.
        stalled_ = true;
        trace_.Line(now / TICKS_PER_US, "NOTE", Format("%d engine stalled on %s", position_, name));
        header_.clear();
    };

    if (!IsCommand(op)) {
        answer = {kBadCommand, op};
        finish("bad-command");
        return;
    }
    if (op >= 0x10 && op <= 0x3F) {
        bool bitMode = op & 0x02, lsb = op & 0x08, write = op & 0x10, read = op & 0x20;
        slaveAtStart_ = SlaveState();
        if (!bitMode) {
            dataTotal_ = static_cast<uint32_t>(header_[1] | header_[2] << 8) + 1;
            if (write) {
                dataLeft_ = dataTotal_;
                return;
            }
            for (uint32_t n = 0; n < dataTotal_; ++n) {
                std::vector<bool> in = Clock(8, nullptr, false, true, op & 0x04, false, now);
                answer_.push_back(PackBits(in, lsb));
            }
            Complete(now, sink);
            return;
        }
        // Bit mode: a length above 7 uses its low three bits.
        int bits = (header_[1] & 7) + 1;
        std::vector<bool> out;
        if (write) {
            uint8_t data = header_[2];
            for (int b = 0; b < bits; ++b)
                out.push_back(lsb ? (data >> b & 1) : (data >> (7 - b) & 1));
        }
        std::vector<bool> in = Clock(bits, write ? &out : nullptr, op & 0x01, read, op & 0x04, false, now);
        if (read) {
            answer_.push_back(PackBits(in, lsb));
        }
        Complete(now, sink);
        return;
    }
    if (IsTms(op)) {
        // Bits 0 to 6 go out LSB first on pin 3 while bit 7 is held on DO.
        bool read = op & 0x20;
        bool outFalling = op == 0x4B || op == 0x6B || op == 0x6F;
        bool inFalling = op == 0x6E || op == 0x6F;
        int bits = std::min(7, (header_[1] & 7) + 1);
        uint8_t data = header_[2];
        std::string slave = SlaveState();
        SetDo(data & 0x80);
        std::vector<bool> out;
        for (int b = 0; b < bits; ++b)
            out.push_back(data >> b & 1);
        std::vector<bool> in = Clock(bits, &out, outFalling, read, inFalling, true, now);
        if (read) {
            uint8_t value = 0;
            for (bool bit : in)
                value = static_cast<uint8_t>(value >> 1 | (bit ? 0x80 : 0));
            answer.push_back(value);
        }
        std::string text = Format("tms bits=%d out=%s", bits, outFalling ? "falling" : "rising");
        if (read)
            text += inFalling ? " in=falling" : " in=rising";
        finish(text + " lsb slave=" + slave);
        return;
    }
    if (op < 0x80) {
        finish("ignored");
        trace_.Line(now / TICKS_PER_US, "NOTE", Format("%d byte 0x%02X is not a command: ignored", position_, op));
        return;
    }

    switch (op) {
    case 0x80:
        SetLow(header_[1], header_[2], now);
        finish(Format("set-low value=0x%02X dir=0x%02X pins=0x%02X", header_[1], header_[2], LowPins()));
        return;
    case 0x81:
        answer.push_back(LowPins());
        finish("read-low");
        return;
    case 0x82:
        highValue_ = header_[1];
        highDir_ = header_[2];
        finish(Format("set-high value=0x%02X dir=0x%02X pins=0x%02X", header_[1], header_[2], HighPins()));
        return;
    case 0x83:
        answer.push_back(HighPins());
        finish("read-high");
        return;
    case 0x84:
        loopback_ = true;
        finish("loopback-on");
        return;
    case 0x85:
        loopback_ = false;
        finish("loopback-off");
        return;
    case 0x86: {
        divisor_ = static_cast<uint16_t>(header_[1] | header_[2] << 8);
        uint32_t sck = BaseHz() / ((1u + divisor_) * 2u);
        finish(Format("divisor divisor=%u sck=%uHz", static_cast<unsigned>(divisor_), sck));
        return;
    }
    case 0x87:
        sink.SendImmediate(now);
        finish("send-immediate");
        return;
    case 0x88:
        if (pin5())
            finish("wait-high");
        else
            stall("wait-high");
        return;
    case 0x89:
        if (!pin5())
            finish("wait-low");
        else
            stall("wait-low");
        return;
    case 0x8A:
        div5_ = false;
        finish("div5-off");
        return;
    case 0x8B:
        div5_ = true;
        finish("div5-on");
        return;
    case 0x8C:
        threePhase_ = true;
        finish("3phase-on");
        return;
    case 0x8D:
        threePhase_ = false;
        finish("3phase-off");
        return;
    case 0x8E: {
        int bits = (header_[1] & 7) + 1;
        Clock(bits, nullptr, false, false, false, false, now);
        finish(Format("clock-bits bits=%d", bits));
        return;
    }
    case 0x8F: {
        uint32_t bytes = static_cast<uint32_t>(header_[1] | header_[2] << 8) + 1;
        Clock(static_cast<int>(bytes * 8), nullptr, false, false, false, false, now);
        finish(Format("clock-bytes bytes=%u", bytes));
        return;
    }
    case 0x94:
        if (pin5())
            finish("clock-until-high");
        else
            stall("clock-until-high");
        return;
    case 0x95:
        if (!pin5())
            finish("clock-until-low");
        else
            stall("clock-until-low");
        return;
    case 0x96:
        adaptive_ = true;
        finish("adaptive-on");
        return;
    case 0x97:
        adaptive_ = false;
        finish("adaptive-off");
        return;
    case 0x9C:
    case 0x9D: {
        // Clocks its full length unless pin 5 already shows the level.
        uint32_t bytes = static_cast<uint32_t>(header_[1] | header_[2] << 8) + 1;
        bool untilHigh = op == 0x9C;
        if (pin5() != untilHigh)
            Clock(static_cast<int>(bytes * 8), nullptr, false, false, false, false, now);
        finish(Format("%s bytes=%u", untilHigh ? "clock-until-high" : "clock-until-low", bytes));
        return;
    }
    case 0x9E:
        lowZero_ = header_[1];
        highZero_ = header_[2];
        finish(Format("drive-zero low=0x%02X high=0x%02X", lowZero_, highZero_));
        return;
    default:
        answer = {kBadCommand, op};
        finish("bad-command");
        return;
    }
}

} // namespace simboard
