// The SPI slave port of the simulated board: what the MPSSE engine's low pin
// byte is wired to (SCK pin 0, MOSI pin 1, MISO pin 2, CS pin 3). The CAN
// controller and the scripted SPI test double both sit behind this interface.
//
// The engine applies the clock-edge rule: at every SCK edge receivers sample
// before drivers change. It calls, per chip-select frame:
//   Select()            chip select fell; the slave presents its first SO bit
//   SampleRising(si)    a rising SCK edge while selected: the slave samples SI
//   AfterFalling()      a falling SCK edge while selected: the slave presents
//                       output bit k + 1, k being the rising edges so far
//   Deselect(now)       chip select rose: the frame ends; a partial byte is
//                       discarded by the slave
// and reads SoLevel() whenever it samples DI. All times are board ticks.
#pragma once

#include <cstdint>

namespace simboard
{

// Board time unit: 1/60 µs, exact for every SK period and UART character.
using Ticks = uint64_t;
constexpr Ticks TICKS_PER_US = 60;

// The level a slave puts on SO, or that it leaves undriven (the board's
// pull-up then makes MISO read 1).
enum class SoLevel : int8_t { Low = 0, High = 1, Undriven = -1 };

class SpiSlave
{
public:
    virtual ~SpiSlave() = default;
    virtual void Select(Ticks now) = 0;
    virtual void SampleRising(bool si, Ticks now) = 0;
    virtual void AfterFalling(Ticks now) = 0;
    virtual SoLevel So() const = 0;
    // Returns the board time after the release's own effects (a RESET, a
    // request to send that puts a frame on the bus and its reply); equal to
    // now when the release costs nothing.
    virtual Ticks Deselect(Ticks now) = 0;
};

} // namespace simboard
