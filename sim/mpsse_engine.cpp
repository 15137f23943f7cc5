#include "sim/mpsse_engine.h"

#include <algorithm>

#include "sim/records.h"

namespace simboard
{

namespace
{

// ---- The command set --------------------------------------------------------
// FTDI AN_108, "Command Processor for MPSSE and MCU Host Bus Emulation Modes",
// by its groups. A byte below 0x80 that starts no command is not one at all
// and is ignored; any other unknown byte is a bad command.

// Data shifting (AN_108 section 3, "Data Shifting Command bit definitions"):
// every opcode from 0x10 to 0x3F, its bits saying how it shifts. The TMS
// commands use bits 0, 2 and 5 the same way.
constexpr uint8_t SHIFT_FIRST = 0x10;
constexpr uint8_t SHIFT_LAST = 0x3F;
constexpr uint8_t SHIFT_OUT_FALLING = 0x01; // bit 0: data out at the falling SK edge
constexpr uint8_t SHIFT_BITS = 0x02;        // bit 1: a length of 1 to 8 bits, not bytes
constexpr uint8_t SHIFT_IN_FALLING = 0x04;  // bit 2: data in at the falling SK edge
constexpr uint8_t SHIFT_LSB_FIRST = 0x08;   // bit 3: LSB first, else MSB first
constexpr uint8_t SHIFT_OUT = 0x10;         // bit 4: writes DO
constexpr uint8_t SHIFT_IN = 0x20;          // bit 5: reads DI
// A data shifting header is as long as its bits make it (HeaderLength).
constexpr uint8_t SHIFT_HEADER = 0;

// TMS (AN_108 section 3, "TMS Commands"): up to 7 bits LSB first on pin 3,
// which drives chip select here, while bit 7 of the data byte is held on DO.
constexpr uint8_t TMS_OUT_RISING = 0x4A;
constexpr uint8_t TMS_OUT_FALLING = 0x4B;
constexpr uint8_t TMS_OUT_RISING_IN_RISING = 0x6A;
constexpr uint8_t TMS_OUT_FALLING_IN_RISING = 0x6B;
constexpr uint8_t TMS_OUT_RISING_IN_FALLING = 0x6E;
constexpr uint8_t TMS_OUT_FALLING_IN_FALLING = 0x6F;
constexpr int TMS_MAX_BITS = 7;

// Pins (AN_108 section 3, "Set / Read Data Bits High / Low Bytes").
constexpr uint8_t SET_LOW_BYTE = 0x80;
constexpr uint8_t READ_LOW_BYTE = 0x81;
constexpr uint8_t SET_HIGH_BYTE = 0x82;
constexpr uint8_t READ_HIGH_BYTE = 0x83;

// Loopback (AN_108 section 3, "Loopback Commands"): DI reads DO inside the
// chip.
constexpr uint8_t LOOPBACK_ON = 0x84;
constexpr uint8_t LOOPBACK_OFF = 0x85;

// Clock (AN_108 section 3, "Clock Divisor").
constexpr uint8_t SET_DIVISOR = 0x86;

// Both MPSSE and MCU host bus emulation modes (AN_108 section 5). Opcodes
// 0x90 to 0x93 (section 4) exist in host bus emulation mode only: in MPSSE
// mode they are bad commands.
constexpr uint8_t SEND_IMMEDIATE = 0x87;
constexpr uint8_t WAIT_ON_HIGH = 0x88;
constexpr uint8_t WAIT_ON_LOW = 0x89;

// FT232H, FT2232H and FT4232H only (AN_108 section 6).
constexpr uint8_t DIV5_OFF = 0x8A;
constexpr uint8_t DIV5_ON = 0x8B;
constexpr uint8_t THREE_PHASE_ON = 0x8C;
constexpr uint8_t THREE_PHASE_OFF = 0x8D;
constexpr uint8_t CLOCK_BITS = 0x8E;
constexpr uint8_t CLOCK_BYTES = 0x8F;
constexpr uint8_t CLOCK_UNTIL_HIGH = 0x94;
constexpr uint8_t CLOCK_UNTIL_LOW = 0x95;
constexpr uint8_t ADAPTIVE_ON = 0x96;
constexpr uint8_t ADAPTIVE_OFF = 0x97;
constexpr uint8_t CLOCK_BYTES_OR_UNTIL_HIGH = 0x9C;
constexpr uint8_t CLOCK_BYTES_OR_UNTIL_LOW = 0x9D;

// FT232H only (AN_108 section 7).
constexpr uint8_t DRIVE_ONLY_ZERO = 0x9E;

// The bad command's answer (AN_108, "Bad Commands"): this byte, then the
// command byte.
constexpr uint8_t BAD_COMMAND_ANSWER = 0xFA;
// Bytes below this that start no command are not commands at all.
constexpr uint8_t COMMANDS_FROM = 0x80;

// ---- Pins and clock ---------------------------------------------------------

// Low pin byte wiring: SK, DO (MOSI), DI (MISO), CS; GPIOL1 is pin 5.
constexpr uint8_t PIN_SK = 0x01;
constexpr uint8_t PIN_DO = 0x02;
constexpr uint8_t PIN_DI = 0x04;
constexpr uint8_t PIN_CS = 0x08;
constexpr uint8_t PIN_GPIOL1 = 0x20;

// High pin byte: the FT2232D has 4 high pins, the FT4232H none, the other H
// chips 8.
constexpr uint8_t HIGH_PINS_FT2232D = 0x0F;
constexpr uint8_t HIGH_PINS_FT4232H = 0x00;
constexpr uint8_t HIGH_PINS_H = 0xFF;

// A stalled engine holds at most this many later bytes (it bounds memory).
constexpr size_t MAX_HELD = 65536;

// The master clock: 60 MHz, or 12 MHz behind the divide-by-5 (the FT2232D
// has only the 12 MHz base). SK's period is (1 + divisor) * 2 master cycles.
constexpr uint32_t BASE_DIV5_HZ = 12000000;
constexpr uint32_t BASE_HZ = 60000000;
constexpr Ticks TICKS_PER_SECOND = TICKS_PER_US * 1000000;

// Sampled bits as the answer byte. MSB first: each bit enters at bit 0 and
// moves the earlier ones up; LSB first mirrors it from bit 7 down.
uint8_t PackBits(const std::vector<bool> &bits, bool lsbFirst)
{
    uint8_t value = 0;
    for (bool bit : bits)
        value = lsbFirst ? static_cast<uint8_t>(value >> 1 | (bit ? 0x80 : 0)) : static_cast<uint8_t>(value << 1 | bit);
    return value;
}

// The first count bits of a data byte in the order they go out.
std::vector<bool> UnpackBits(uint8_t data, int count, bool lsbFirst)
{
    std::vector<bool> bits;
    for (int b = 0; b < count; ++b)
        bits.push_back(lsbFirst ? (data >> b & 1) : (data >> (7 - b) & 1));
    return bits;
}

// A 16-bit length or divisor, low byte first.
uint32_t Word(const std::vector<uint8_t> &header) { return static_cast<uint32_t>(header[1] | header[2] << 8); }

} // namespace

// ---- The command table ------------------------------------------------------

struct MpsseEngine::CommandEntry {
    uint8_t first, last; // its opcodes
    uint8_t length;      // header bytes with the opcode, or SHIFT_HEADER
    Engines engines;
    const char *name; // as the trace names it
    Handler run;
};

const MpsseEngine::CommandEntry MpsseEngine::COMMANDS[] = {
    // Data shifting.
    {SHIFT_FIRST, SHIFT_LAST, SHIFT_HEADER, Engines::All, "data", &MpsseEngine::OnShift},
    // TMS.
    {TMS_OUT_RISING, TMS_OUT_RISING, 3, Engines::All, "tms", &MpsseEngine::OnTms},
    {TMS_OUT_FALLING, TMS_OUT_FALLING, 3, Engines::All, "tms", &MpsseEngine::OnTms},
    {TMS_OUT_RISING_IN_RISING, TMS_OUT_RISING_IN_RISING, 3, Engines::All, "tms", &MpsseEngine::OnTms},
    {TMS_OUT_FALLING_IN_RISING, TMS_OUT_FALLING_IN_RISING, 3, Engines::All, "tms", &MpsseEngine::OnTms},
    {TMS_OUT_RISING_IN_FALLING, TMS_OUT_RISING_IN_FALLING, 3, Engines::All, "tms", &MpsseEngine::OnTms},
    {TMS_OUT_FALLING_IN_FALLING, TMS_OUT_FALLING_IN_FALLING, 3, Engines::All, "tms", &MpsseEngine::OnTms},
    // Pins.
    {SET_LOW_BYTE, SET_LOW_BYTE, 3, Engines::All, "set-low", &MpsseEngine::OnSetLow},
    {READ_LOW_BYTE, READ_LOW_BYTE, 1, Engines::All, "read-low", &MpsseEngine::OnReadLow},
    {SET_HIGH_BYTE, SET_HIGH_BYTE, 3, Engines::All, "set-high", &MpsseEngine::OnSetHigh},
    {READ_HIGH_BYTE, READ_HIGH_BYTE, 1, Engines::All, "read-high", &MpsseEngine::OnReadHigh},
    // Loopback.
    {LOOPBACK_ON, LOOPBACK_ON, 1, Engines::All, "loopback-on", &MpsseEngine::OnLoopback},
    {LOOPBACK_OFF, LOOPBACK_OFF, 1, Engines::All, "loopback-off", &MpsseEngine::OnLoopback},
    // Clock.
    {SET_DIVISOR, SET_DIVISOR, 3, Engines::All, "divisor", &MpsseEngine::OnDivisor},
    // Both modes: send immediate and the waits on GPIOL1.
    {SEND_IMMEDIATE, SEND_IMMEDIATE, 1, Engines::All, "send-immediate", &MpsseEngine::OnSendImmediate},
    {WAIT_ON_HIGH, WAIT_ON_HIGH, 1, Engines::All, "wait-high", &MpsseEngine::OnWait},
    {WAIT_ON_LOW, WAIT_ON_LOW, 1, Engines::All, "wait-low", &MpsseEngine::OnWait},
    // H chips: clock settings, clocking without data, the clocked waits.
    {DIV5_OFF, DIV5_OFF, 1, Engines::HChips, "div5-off", &MpsseEngine::OnDiv5},
    {DIV5_ON, DIV5_ON, 1, Engines::HChips, "div5-on", &MpsseEngine::OnDiv5},
    {THREE_PHASE_ON, THREE_PHASE_ON, 1, Engines::HChips, "3phase-on", &MpsseEngine::OnThreePhase},
    {THREE_PHASE_OFF, THREE_PHASE_OFF, 1, Engines::HChips, "3phase-off", &MpsseEngine::OnThreePhase},
    {CLOCK_BITS, CLOCK_BITS, 2, Engines::HChips, "clock-bits", &MpsseEngine::OnClockBits},
    {CLOCK_BYTES, CLOCK_BYTES, 3, Engines::HChips, "clock-bytes", &MpsseEngine::OnClockBytes},
    {CLOCK_UNTIL_HIGH, CLOCK_UNTIL_HIGH, 1, Engines::HChips, "clock-until-high", &MpsseEngine::OnWait},
    {CLOCK_UNTIL_LOW, CLOCK_UNTIL_LOW, 1, Engines::HChips, "clock-until-low", &MpsseEngine::OnWait},
    {ADAPTIVE_ON, ADAPTIVE_ON, 1, Engines::HChips, "adaptive-on", &MpsseEngine::OnAdaptive},
    {ADAPTIVE_OFF, ADAPTIVE_OFF, 1, Engines::HChips, "adaptive-off", &MpsseEngine::OnAdaptive},
    {CLOCK_BYTES_OR_UNTIL_HIGH, CLOCK_BYTES_OR_UNTIL_HIGH, 3, Engines::HChips, "clock-until-high",
     &MpsseEngine::OnClockBytesUntil},
    {CLOCK_BYTES_OR_UNTIL_LOW, CLOCK_BYTES_OR_UNTIL_LOW, 3, Engines::HChips, "clock-until-low",
     &MpsseEngine::OnClockBytesUntil},
    // FT232H.
    {DRIVE_ONLY_ZERO, DRIVE_ONLY_ZERO, 3, Engines::Ft232hOnly, "drive-zero", &MpsseEngine::OnDriveZero},
};

const MpsseEngine::CommandEntry MpsseEngine::NOT_A_COMMAND = {0x00,      COMMANDS_FROM - 1,          1, Engines::All,
                                                              "ignored", &MpsseEngine::OnNotACommand};
const MpsseEngine::CommandEntry MpsseEngine::BAD_COMMAND = {0x00,         0xFF,          1,
                                                            Engines::All, "bad-command", &MpsseEngine::OnBadCommand};

// ---- Engine -----------------------------------------------------------------

MpsseEngine::MpsseEngine(EngineKind kind, int position, TraceWriter &trace, SpiPort *port)
    : kind_(kind), position_(position), trace_(trace), port_(port)
{
}

void MpsseEngine::Reset(Ticks &now)
{
    state_ = State();
    SyncSelect(now);
    if (port_)
        port_->FlushLines();
}

void MpsseEngine::DiscardInput()
{
    state_.command = PendingCommand();
    state_.stalled = false;
    state_.held.clear();
    state_.heldDropped = 0;
}

const MpsseEngine::CommandEntry &MpsseEngine::Decode(uint8_t opcode) const
{
    for (const CommandEntry &entry : COMMANDS)
        if (opcode >= entry.first && opcode <= entry.last)
            return Knows(entry.engines) ? entry : BAD_COMMAND;
    return opcode < COMMANDS_FROM ? NOT_A_COMMAND : BAD_COMMAND;
}

bool MpsseEngine::Knows(Engines engines) const
{
    switch (engines) {
    case Engines::All:
        return true;
    case Engines::HChips:
        return HChip();
    case Engines::Ft232hOnly:
        return kind_ == EngineKind::FT232H;
    }
    return false;
}

size_t MpsseEngine::HeaderLength(const CommandEntry &entry, uint8_t opcode) const
{
    if (entry.length != SHIFT_HEADER)
        return entry.length;
    // A data shifting command gives its length (two bytes, or one for bits)
    // and, as a bit write, its data byte; byte data follows the header.
    bool bits = opcode & SHIFT_BITS, out = opcode & SHIFT_OUT;
    return !bits ? 3 : (out ? 3 : 2);
}

void MpsseEngine::Feed(const uint8_t *bytes, size_t count, Ticks &now, AnswerSink &sink)
{
    for (size_t i = 0; i < count; ++i) {
        if (state_.stalled)
            Hold(bytes[i], now);
        else if (state_.command.dataLeft > 0)
            ShiftDataByte(bytes[i], now, sink);
        else
            HeaderByte(bytes[i], now, sink);
    }
}

void MpsseEngine::HeaderByte(uint8_t byte, Ticks &now, AnswerSink &sink)
{
    PendingCommand &command = state_.command;
    if (command.header.empty()) {
        command.entry = &Decode(byte);
        command.headerNeed = HeaderLength(*command.entry, byte);
    }
    command.header.push_back(byte);
    if (command.header.size() < command.headerNeed)
        return;
    if (hook_)
        hook_(now);
    (this->*command.entry->run)(*command.entry, now, sink);
}

void MpsseEngine::Hold(uint8_t byte, Ticks now)
{
    if (state_.held.size() < MAX_HELD) {
        state_.held.push_back(byte);
    } else if (state_.heldDropped++ == 0) {
        trace_.Line(now / TICKS_PER_US, "NOTE",
                    Format("%d engine stalled: it holds %zu bytes, later ones are dropped", position_, MAX_HELD));
    }
}

void MpsseEngine::Finish(const std::string &text, const std::vector<uint8_t> &answer, Ticks now, AnswerSink &sink)
{
    if (!answer.empty())
        sink.Answer(answer.data(), answer.size(), now);
    Line(now, HexBytes(state_.command.header) + " " + text, answer);
    state_.command.header.clear();
}

void MpsseEngine::Stall(const char *name, Ticks now)
{
    // Nothing on the board ever changes pin 5 on its own: the wait never ends.
    state_.stalled = true;
    trace_.Line(now / TICKS_PER_US, "NOTE", Format("%d engine stalled on %s", position_, name));
    state_.command.header.clear();
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

// ---- Data shifting ----------------------------------------------------------

void MpsseEngine::OnShift(const CommandEntry &, Ticks &now, AnswerSink &sink)
{
    PendingCommand &command = state_.command;
    uint8_t op = command.header[0];
    bool lsb = op & SHIFT_LSB_FIRST, write = op & SHIFT_OUT, read = op & SHIFT_IN;
    command.slaveAtStart = SlaveState();
    if (!(op & SHIFT_BITS)) {
        command.dataTotal = Word(command.header) + 1;
        if (write) {
            // A byte write clocks each data byte as it arrives.
            command.dataLeft = command.dataTotal;
            return;
        }
        for (uint32_t n = 0; n < command.dataTotal; ++n) {
            std::vector<bool> in = Clock(8, nullptr, false, true, op & SHIFT_IN_FALLING, false, now);
            command.answer.push_back(PackBits(in, lsb));
        }
        FinishShift(now, sink);
        return;
    }
    // Bit mode: a length above 7 uses its low three bits.
    int bits = (command.header[1] & 7) + 1;
    std::vector<bool> out;
    if (write)
        out = UnpackBits(command.header[2], bits, lsb);
    std::vector<bool> in =
        Clock(bits, write ? &out : nullptr, op & SHIFT_OUT_FALLING, read, op & SHIFT_IN_FALLING, false, now);
    if (read)
        command.answer.push_back(PackBits(in, lsb));
    FinishShift(now, sink);
}

void MpsseEngine::ShiftDataByte(uint8_t byte, Ticks &now, AnswerSink &sink)
{
    PendingCommand &command = state_.command;
    uint8_t op = command.header[0];
    bool lsb = op & SHIFT_LSB_FIRST, read = op & SHIFT_IN;
    std::vector<bool> out = UnpackBits(byte, 8, lsb);
    std::vector<bool> in = Clock(8, &out, op & SHIFT_OUT_FALLING, read, op & SHIFT_IN_FALLING, false, now);
    if (read)
        command.answer.push_back(PackBits(in, lsb));
    if (--command.dataLeft == 0)
        FinishShift(now, sink);
}

void MpsseEngine::FinishShift(Ticks &now, AnswerSink &sink)
{
    PendingCommand &command = state_.command;
    uint8_t op = command.header[0];
    std::string text = HexBytes(command.header) + " " + command.entry->name + " ";
    if (op & SHIFT_BITS)
        text += Format("bits=%u", (command.header[1] & 7u) + 1);
    else
        text += Format("bytes=%u", command.dataTotal);
    if (op & SHIFT_OUT)
        text += (op & SHIFT_OUT_FALLING) ? " out=falling" : " out=rising";
    if (op & SHIFT_IN)
        text += (op & SHIFT_IN_FALLING) ? " in=falling" : " in=rising";
    text += (op & SHIFT_LSB_FIRST) ? " lsb" : " msb";
    text += std::string(" slave=") + command.slaveAtStart;
    if (!command.answer.empty())
        sink.Answer(command.answer.data(), command.answer.size(), now);
    Line(now, text, command.answer);
    command.header.clear();
    command.answer.clear();
    command.dataTotal = 0;
}

// ---- TMS --------------------------------------------------------------------

void MpsseEngine::OnTms(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    const std::vector<uint8_t> &header = state_.command.header;
    uint8_t op = header[0];
    bool read = op & SHIFT_IN, outFalling = op & SHIFT_OUT_FALLING, inFalling = op & SHIFT_IN_FALLING;
    int bits = std::min(TMS_MAX_BITS, (header[1] & 7) + 1);
    uint8_t data = header[2];
    std::string slave = SlaveState();
    SetDo(data & 0x80);
    std::vector<bool> out = UnpackBits(data, bits, true);
    std::vector<bool> in = Clock(bits, &out, outFalling, read, inFalling, true, now);
    std::vector<uint8_t> answer;
    if (read)
        answer.push_back(PackBits(in, true));
    std::string text = Format("%s bits=%d out=%s", command.name, bits, outFalling ? "falling" : "rising");
    if (read)
        text += inFalling ? " in=falling" : " in=rising";
    Finish(text + " lsb slave=" + slave, answer, now, sink);
}

// ---- Pins -------------------------------------------------------------------

void MpsseEngine::OnSetLow(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    const std::vector<uint8_t> &header = state_.command.header;
    SetLow(header[1], header[2], now);
    Finish(Format("%s value=0x%02X dir=0x%02X pins=0x%02X", command.name, header[1], header[2], LowPins()), {}, now,
           sink);
}

void MpsseEngine::OnReadLow(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    Finish(command.name, {LowPins()}, now, sink);
}

void MpsseEngine::OnSetHigh(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    const std::vector<uint8_t> &header = state_.command.header;
    state_.highValue = header[1];
    state_.highDir = header[2];
    Finish(Format("%s value=0x%02X dir=0x%02X pins=0x%02X", command.name, header[1], header[2], HighPins()), {}, now,
           sink);
}

void MpsseEngine::OnReadHigh(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    Finish(command.name, {HighPins()}, now, sink);
}

// ---- Loopback and clock -----------------------------------------------------

void MpsseEngine::OnLoopback(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    state_.loopback = state_.command.header[0] == LOOPBACK_ON;
    Finish(command.name, {}, now, sink);
}

void MpsseEngine::OnDivisor(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    state_.divisor = static_cast<uint16_t>(Word(state_.command.header));
    uint32_t sck = BaseHz() / ((1u + state_.divisor) * 2u);
    Finish(Format("%s divisor=%u sck=%uHz", command.name, static_cast<unsigned>(state_.divisor), sck), {}, now, sink);
}

void MpsseEngine::OnDiv5(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    state_.div5 = state_.command.header[0] == DIV5_ON;
    Finish(command.name, {}, now, sink);
}

void MpsseEngine::OnThreePhase(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    state_.threePhase = state_.command.header[0] == THREE_PHASE_ON;
    Finish(command.name, {}, now, sink);
}

void MpsseEngine::OnAdaptive(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    // Adaptive clocking waits for RTCK on GPIOL3; the board clocks on as if
    // it followed at once.
    state_.adaptive = state_.command.header[0] == ADAPTIVE_ON;
    Finish(command.name, {}, now, sink);
}

void MpsseEngine::OnClockBits(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    int bits = (state_.command.header[1] & 7) + 1;
    Clock(bits, nullptr, false, false, false, false, now);
    Finish(Format("%s bits=%d", command.name, bits), {}, now, sink);
}

void MpsseEngine::OnClockBytes(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    uint32_t bytes = Word(state_.command.header) + 1;
    Clock(static_cast<int>(bytes * 8), nullptr, false, false, false, false, now);
    Finish(Format("%s bytes=%u", command.name, bytes), {}, now, sink);
}

void MpsseEngine::OnClockBytesUntil(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    // Clocks its full length unless pin 5 already shows the level.
    uint32_t bytes = Word(state_.command.header) + 1;
    bool untilHigh = state_.command.header[0] == CLOCK_BYTES_OR_UNTIL_HIGH;
    if (Gpiol1Level() != untilHigh)
        Clock(static_cast<int>(bytes * 8), nullptr, false, false, false, false, now);
    Finish(Format("%s bytes=%u", command.name, bytes), {}, now, sink);
}

// ---- Send immediate and the waits -------------------------------------------

void MpsseEngine::OnSendImmediate(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    sink.SendImmediate(now);
    Finish(command.name, {}, now, sink);
}

void MpsseEngine::OnWait(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    uint8_t op = state_.command.header[0];
    bool high = op == WAIT_ON_HIGH || op == CLOCK_UNTIL_HIGH;
    if (Gpiol1Level() == high)
        Finish(command.name, {}, now, sink);
    else
        Stall(command.name, now);
}

// ---- FT232H -----------------------------------------------------------------

void MpsseEngine::OnDriveZero(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    state_.lowZero = state_.command.header[1];
    state_.highZero = state_.command.header[2];
    Finish(Format("%s low=0x%02X high=0x%02X", command.name, state_.lowZero, state_.highZero), {}, now, sink);
}

// ---- Bytes that are no command ----------------------------------------------

void MpsseEngine::OnNotACommand(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    uint8_t op = state_.command.header[0];
    Finish(command.name, {}, now, sink);
    trace_.Line(now / TICKS_PER_US, "NOTE", Format("%d byte 0x%02X is not a command: ignored", position_, op));
}

void MpsseEngine::OnBadCommand(const CommandEntry &command, Ticks &now, AnswerSink &sink)
{
    Finish(command.name, {BAD_COMMAND_ANSWER, state_.command.header[0]}, now, sink);
}

// ---- Clock and pins ---------------------------------------------------------

uint32_t MpsseEngine::BaseHz() const { return (!HChip() || state_.div5) ? BASE_DIV5_HZ : BASE_HZ; }

// One SK period per bit; 3-phase clocking makes each bit last 1.5 periods.
// Exact in ticks for every divisor of both bases.
Ticks MpsseEngine::BitTicks() const
{
    Ticks period = 2 * (1 + static_cast<Ticks>(state_.divisor)) * TICKS_PER_SECOND / BaseHz();
    return state_.threePhase ? period * 3 / 2 : period;
}

// A pin that nothing drives reads 1: the board fits pull-ups on every pin. A
// drive-only-zero pin holding a 1 floats, so it reads 1 as well.
bool MpsseEngine::SkLevel() const { return (state_.lowDir & PIN_SK) ? (state_.lowValue & PIN_SK) != 0 : true; }

bool MpsseEngine::SiLevel() const { return (state_.lowDir & PIN_DO) ? DoLevel() : true; }

bool MpsseEngine::DiLevel() const
{
    if (state_.lowDir & PIN_DI)
        return (state_.lowValue & PIN_DI) != 0;
    return port_ ? port_->Miso() : true;
}

bool MpsseEngine::CsLevel() const { return (state_.lowDir & PIN_CS) ? (state_.lowValue & PIN_CS) != 0 : true; }

// Pin 5, which the waits and the clocked waits watch.
bool MpsseEngine::Gpiol1Level() const
{
    return (state_.lowDir & PIN_GPIOL1) ? (state_.lowValue & PIN_GPIOL1) != 0 : true;
}

bool MpsseEngine::SlaveSeesClock() const { return port_ && !state_.loopback && (state_.lowDir & PIN_SK); }

void MpsseEngine::SetDo(bool level)
{
    state_.lowValue = static_cast<uint8_t>(level ? state_.lowValue | PIN_DO : state_.lowValue & ~PIN_DO);
}

uint8_t MpsseEngine::LowPins() const
{
    uint8_t pins = static_cast<uint8_t>((state_.lowValue & state_.lowDir) | ~state_.lowDir);
    if (!(state_.lowDir & PIN_DI) && !DiLevel())
        pins = static_cast<uint8_t>(pins & ~PIN_DI);
    return pins;
}

uint8_t MpsseEngine::HighPins() const
{
    // Pins a chip lacks read 1; nothing is wired to the high byte.
    uint8_t present = kind_ == EngineKind::FT4232H ? HIGH_PINS_FT4232H
                                                   : (kind_ == EngineKind::FT2232D ? HIGH_PINS_FT2232D : HIGH_PINS_H);
    uint8_t dir = state_.highDir & present;
    return static_cast<uint8_t>((state_.highValue & dir) | ~dir);
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
    if (state_.loopback)
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
            if (state_.lowDir & PIN_CS) {
                state_.lowValue = static_cast<uint8_t>(level ? state_.lowValue | PIN_CS : state_.lowValue & ~PIN_CS);
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
                in.push_back(state_.loopback ? DoLevel() : DiLevel());
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
    bool skOutBefore = state_.lowDir & PIN_SK;
    bool skBefore = SkLevel();
    bool siBefore = SiLevel();
    bool selectedBefore = port_ && port_->Selected();
    bool csLowAfter = (direction & PIN_CS) && !(value & PIN_CS);

    // A release takes effect before an SK change of the same command, a select
    // after it: the slave never sees that SK change.
    if (selectedBefore && !csLowAfter)
        now = port_->Deselect(now);
    state_.lowValue = value;
    state_.lowDir = direction;
    bool skAfter = SkLevel();
    if (selectedBefore && csLowAfter && skOutBefore && (state_.lowDir & PIN_SK) && !state_.loopback &&
        skAfter != skBefore) {
        if (skAfter)
            port_->Rising(siBefore, now);
        else
            port_->Falling(now);
    }
    SyncSelect(now);
}

} // namespace simboard
