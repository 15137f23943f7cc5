// The SPI test double: what sits on the slave port with
// SIMBOARD_CONTROLLER=script. It behaves as the controller's SPI port does
// (samples SI on rising edges, presents SO after falling edges, MSB first),
// records every chip-select frame, and drives SO with bytes a test queues.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/spi_slave.h"

namespace simboard
{

class ScriptSlave : public SpiSlave
{
public:
    struct Frame {
        std::vector<uint8_t> mosi; // a last partial byte holds its bits from bit 7 down
        uint32_t bits = 0;
    };

    void Queue(const uint8_t *bytes, uint32_t count);
    // Frame k from 1; the frame still open counts as the last. Null if none.
    const Frame *FrameAt(uint32_t k) const;

    void Select(Ticks now) override;
    void SampleRising(bool si, Ticks now) override;
    void AfterFalling(Ticks now) override;
    SoLevel So() const override { return so_; }
    Ticks Deselect(Ticks now) override;

private:
    void Present();

    std::deque<uint8_t> queue_;
    std::vector<Frame> frames_;
    bool selected_ = false;
    uint32_t rising_ = 0;   // rising edges in this frame
    bool haveByte_ = false; // the byte being clocked came from the queue
    uint8_t byte_ = 0;
    SoLevel so_ = SoLevel::Undriven;
};

} // namespace simboard
