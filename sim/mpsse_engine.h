// The MPSSE engine of one device record and its pins.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/settings.h"
#include "sim/spi_port.h"
#include "sim/spi_slave.h"

namespace simboard
{

class TraceWriter;

// Where the engine's answers go: the device's receive side (the driver front).
class AnswerSink
{
public:
    virtual ~AnswerSink() = default;
    // Answer bytes produced at board time at.
    virtual void Answer(const uint8_t *bytes, size_t count, Ticks at) = 0;
    // A send-immediate completed at board time at.
    virtual void SendImmediate(Ticks at) = 0;
};

class MpsseEngine
{
public:
    // Called with the board time before each command runs (the CAN bus
    // catches up to it, so that the slave sees every frame ended by then).
    using CommandHook = std::function<void(Ticks now)>;

    // port is null when this record's pins are wired to nothing.
    MpsseEngine(EngineKind kind, int position, TraceWriter &trace, SpiPort *port);

    void SetCommandHook(CommandHook hook) { hook_ = std::move(hook); }

    // The engine's reset state (entering mode 2 or leaving to mode 0): every
    // pin an input, which raises chip select and ends an open frame.
    void Reset(Ticks &now);
    // Takes command bytes in write order; clocking advances now.
    void Feed(const uint8_t *bytes, size_t count, Ticks &now, AnswerSink &sink);
    // Drops a partial command and whatever a stalled engine holds.
    void DiscardInput();

    uint8_t LowPins() const;
    uint8_t HighPins() const;
    bool Stalled() const { return state_.stalled; }

private:
    // The engines that know a command: all of them, the H chips, the FT232H.
    enum class Engines : uint8_t { All, HChips, Ft232hOnly };
    // One row of the command table (mpsse_engine.cpp): its opcodes, header
    // length, the engines that know it, its trace name and its handler.
    struct CommandEntry;
    using Handler = void (MpsseEngine::*)(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    // The command set as FTDI's AN_108 groups it.
    static const CommandEntry COMMANDS[];
    // What a byte stands for at the start of a command: its table row, the
    // ignored byte below 0x80, or the bad command.
    static const CommandEntry NOT_A_COMMAND;
    static const CommandEntry BAD_COMMAND;

    // The command being assembled from the written bytes.
    struct PendingCommand {
        const CommandEntry *entry = nullptr;
        std::vector<uint8_t> header; // the opcode and its parameter bytes
        size_t headerNeed = 0;
        uint32_t dataLeft = 0; // data bytes still to come for a byte write
        uint32_t dataTotal = 0;
        std::vector<uint8_t> answer; // answer of the data command in progress
        const char *slaveAtStart = "none";
    };

    // The engine's state; Reset() restores all of it.
    struct State {
        // Clock settings.
        bool div5 = true;
        bool threePhase = false;
        bool loopback = false;
        bool adaptive = false;
        uint16_t divisor = 0;
        // Pins: levels written and directions (1: output).
        uint8_t lowValue = 0, lowDir = 0;
        uint8_t highValue = 0, highDir = 0;
        uint8_t lowZero = 0, highZero = 0; // drive-only-zero enables
        PendingCommand command;
        // A wait that never ends holds every later byte.
        bool stalled = false;
        std::vector<uint8_t> held;
        uint64_t heldDropped = 0;
    };

    // ---- Decoding ----
    const CommandEntry &Decode(uint8_t opcode) const;
    bool Knows(Engines engines) const;
    size_t HeaderLength(const CommandEntry &entry, uint8_t opcode) const;
    void HeaderByte(uint8_t byte, Ticks &now, AnswerSink &sink);
    void Hold(uint8_t byte, Ticks now);
    // Ends a command: its answer to the sink, its trace line.
    void Finish(const std::string &text, const std::vector<uint8_t> &answer, Ticks now, AnswerSink &sink);
    void Stall(const char *name, Ticks now);
    void Line(Ticks now, const std::string &text, const std::vector<uint8_t> &answer);

    // ---- Handlers, by the command set's groups ----
    void OnShift(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void ShiftDataByte(uint8_t byte, Ticks &now, AnswerSink &sink);
    void FinishShift(Ticks &now, AnswerSink &sink);
    void OnTms(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnSetLow(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnReadLow(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnSetHigh(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnReadHigh(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnLoopback(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnDivisor(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnSendImmediate(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnWait(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnDiv5(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnThreePhase(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnClockBits(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnClockBytes(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnClockBytesUntil(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnAdaptive(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnDriveZero(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnNotACommand(const CommandEntry &command, Ticks &now, AnswerSink &sink);
    void OnBadCommand(const CommandEntry &command, Ticks &now, AnswerSink &sink);

    // ---- Clock and pins ----
    bool HChip() const { return kind_ != EngineKind::FT2232D; }
    uint32_t BaseHz() const;
    Ticks BitTicks() const;
    bool SkLevel() const;
    bool DoLevel() const { return state_.lowValue >> 1 & 1; }
    void SetDo(bool level);
    bool SiLevel() const;
    bool DiLevel() const;
    bool CsLevel() const;
    bool Gpiol1Level() const;
    bool SlaveSeesClock() const;
    // Selects or releases the port to match chip select's level.
    void SyncSelect(Ticks &now);
    // Clocks count bits; out gives the level to write for bit i (or is null);
    // returns the bits read, in order.
    std::vector<bool> Clock(int count, const std::vector<bool> *out, bool outFalling, bool read, bool inFalling,
                            bool tms, Ticks &now);
    void SetLow(uint8_t value, uint8_t direction, Ticks &now);
    const char *SlaveState() const;

    EngineKind kind_;
    int position_;
    TraceWriter &trace_;
    SpiPort *port_;
    CommandHook hook_;
    State state_;
};

} // namespace simboard
