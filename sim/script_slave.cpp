#include "sim/script_slave.h"

namespace simboard
{

void ScriptSlave::Queue(const uint8_t *bytes, uint32_t count) { queue_.insert(queue_.end(), bytes, bytes + count); }

const ScriptSlave::Frame *ScriptSlave::FrameAt(uint32_t k) const
{
    if (k == 0 || k > frames_.size())
        return nullptr;
    return &frames_[k - 1];
}

// Presents output bit number rising_ of the frame. The first bit of a byte
// comes from the head of the queue without taking it: a byte is used up only
// once its first bit is clocked, so a frame that ends on a byte boundary
// leaves the next queued byte for the next frame.
void ScriptSlave::Present()
{
    uint32_t bit = rising_ % 8;
    if (bit == 0) {
        so_ = queue_.empty() ? SoLevel::Undriven : ((queue_.front() & 0x80) ? SoLevel::High : SoLevel::Low);
        return;
    }
    so_ = !haveByte_ ? SoLevel::Undriven : ((byte_ >> (7 - bit) & 1) ? SoLevel::High : SoLevel::Low);
}

void ScriptSlave::Select(Ticks)
{
    selected_ = true;
    rising_ = 0;
    haveByte_ = false;
    frames_.emplace_back();
    Present();
}

void ScriptSlave::SampleRising(bool si, Ticks)
{
    if (!selected_)
        return;
    if (rising_ % 8 == 0) {
        haveByte_ = !queue_.empty();
        if (haveByte_) {
            byte_ = queue_.front();
            queue_.pop_front();
        }
    }
    Frame &frame = frames_.back();
    if (frame.bits % 8 == 0)
        frame.mosi.push_back(0);
    if (si)
        frame.mosi.back() = static_cast<uint8_t>(frame.mosi.back() | 0x80 >> (frame.bits % 8));
    ++frame.bits;
    ++rising_;
}

void ScriptSlave::AfterFalling(Ticks)
{
    if (selected_)
        Present();
}

Ticks ScriptSlave::Deselect(Ticks now)
{
    selected_ = false;
    haveByte_ = false;
    so_ = SoLevel::Undriven;
    return now;
}

} // namespace simboard
