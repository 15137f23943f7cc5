// The SPI slave port: the wires between one record's low pin byte and
// whatever sits on the port (SK to SCK, DO to SI, DI from SO, pin 3 to CS).
// It frames the traffic by chip select, keeps each frame's bits as the slave
// sampled them, and writes the trace's SPI lines. The slave may be absent
// (nothing on the port).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/spi_slave.h"

namespace simboard
{

class TraceWriter;

class SpiPort
{
public:
    SpiPort(SpiSlave *slave, int position, TraceWriter &trace);

    bool Selected() const { return state_.selected; }
    // The level on MISO: the slave's SO, 1 where it does not drive it.
    bool Miso() const;
    // The slave's SO as it drives it (Undriven with nothing on the port).
    SoLevel So() const;

    void Select(Ticks now);
    void Rising(bool si, Ticks now);
    void Falling(Ticks now);
    // Returns the board time after the slave's own effects of the release.
    Ticks Deselect(Ticks now);
    // A frame still open when the board is reset or unloaded.
    void Abandon(Ticks now);

    uint64_t ByteCount() const { return state_.byteCount; }

    // A board note of the slave (its text without the position): it waits
    // with the SPI lines, since the command that caused it is still running.
    void Note(Ticks now, const std::string &text);

    // SPI lines wait until the engine has written the line of the command that
    // caused them.
    void FlushLines();

private:
    std::string FrameText(bool unfinished) const;

    // A trace line held until the engine's command line is out.
    struct PendingLine {
        Ticks time;
        const char *tag;
        std::string rest;
    };

    // The port's state: the chip-select frame in progress and the counts.
    struct State {
        bool selected = false;
        uint32_t frames = 0;                     // chip-select frames begun
        std::vector<uint8_t> mosiBits, misoBits; // the frame's bits, one per rising SCK edge
        uint64_t byteCount = 0;                  // whole bytes clocked while selected
        std::vector<PendingLine> pending;
    };

    SpiSlave *slave_;
    int position_;
    TraceWriter &trace_;
    State state_;
};

} // namespace simboard
