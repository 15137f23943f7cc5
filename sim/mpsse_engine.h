// The MPSSE engine of one device record and its pins.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/settings.h"
#include "sim/spi_port.h"
#include "sim/spi_slave.h"

namespace simboard {

class TraceWriter;

// Where the engine's answers go: the device's receive side (the driver front).
class AnswerSink {
public:
    virtual ~AnswerSink() = default;
    // Answer bytes produced at board time at.
    virtual void Answer(const uint8_t *bytes, size_t count, Ticks at) = 0;
    // A send-immediate completed at board time at.
    virtual void SendImmediate(Ticks at) = 0;
};

class MpsseEngine {
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
    bool Stalled() const { return stalled_; }

private:
    void Command(uint8_t opcode, Ticks &now, AnswerSink &sink);
    void Complete(Ticks &now, AnswerSink &sink);
    void Line(Ticks now, const std::string &text, const std::vector<uint8_t> &answer);
    size_t HeaderLength(uint8_t opcode) const;
    bool IsCommand(uint8_t opcode) const;
    bool HChip() const { return kind_ != EngineKind::FT2232D; }

    uint32_t BaseHz() const;
    Ticks BitTicks() const;
    bool SkLevel() const;
    bool DoLevel() const { return lowValue_ >> 1 & 1; }
    void SetDo(bool level);
    bool SiLevel() const;
    bool DiLevel() const;
    bool CsLevel() const;
    bool SlaveSeesClock() const;
    // Selects or releases the port to match chip select's level.
    void SyncSelect(Ticks &now);
    // Clocks count bits; out gives the level to write for bit i (or is null);
    // returns the bits read, in order.
    std::vector<bool> Clock(int count, const std::vector<bool> *out, bool outFalling, bool read, bool inFalling, bool tms,
                   Ticks &now);
    void SetLow(uint8_t value, uint8_t direction, Ticks &now);
    const char *SlaveState() const;

    EngineKind kind_;
    int position_;
    TraceWriter &trace_;
    SpiPort *port_;
    CommandHook hook_;

    // Settings (reset state in Reset()).
    bool div5_ = true;
    bool threePhase_ = false;
    bool loopback_ = false;
    bool adaptive_ = false;
    uint16_t divisor_ = 0;
    uint8_t lowValue_ = 0, lowDir_ = 0;
    uint8_t highValue_ = 0, highDir_ = 0;
    uint8_t lowZero_ = 0, highZero_ = 0;   // drive-only-zero enables

    // The command being assembled.
    std::vector<uint8_t> header_;
    size_t headerNeed_ = 0;
    uint32_t dataLeft_ = 0;        // data bytes still to come for a byte write
    uint32_t dataTotal_ = 0;
    std::vector<uint8_t> answer_;  // answer of the data command in progress
    const char *slaveAtStart_ = "none";

    bool stalled_ = false;
    std::vector<uint8_t> held_;
    uint64_t heldDropped_ = 0;
};

} // namespace simboard
