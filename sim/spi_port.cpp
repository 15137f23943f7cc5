#include "sim/spi_port.h"

#include <algorithm>

#include "sim/records.h"

namespace simboard
{

SpiPort::SpiPort(SpiSlave *slave, int position, TraceWriter &trace) : slave_(slave), position_(position), trace_(trace)
{
}

SoLevel SpiPort::So() const { return slave_ ? slave_->So() : SoLevel::Undriven; }

bool SpiPort::Miso() const { return So() != SoLevel::Low; }

void SpiPort::Select(Ticks now)
{
    state_.selected = true;
    ++state_.frames;
    state_.mosiBits.clear();
    state_.misoBits.clear();
    state_.pending.push_back({now, "SPI", Format("%d select", position_)});
    if (slave_)
        slave_->Select(now);
}

void SpiPort::Rising(bool si, Ticks now)
{
    // The level on SO during this bit is what the slave presented before the
    // edge; it changes only at the next falling edge.
    state_.misoBits.push_back(Miso() ? 1 : 0);
    state_.mosiBits.push_back(si ? 1 : 0);
    if (slave_)
        slave_->SampleRising(si, now);
    if (state_.mosiBits.size() % 8 == 0)
        ++state_.byteCount;
}

void SpiPort::Falling(Ticks now)
{
    if (slave_)
        slave_->AfterFalling(now);
}

Ticks SpiPort::Deselect(Ticks now)
{
    state_.selected = false;
    Ticks end = slave_ ? std::max(now, slave_->Deselect(now)) : now;
    state_.pending.push_back({end, "SPI", FrameText(false)});
    return end;
}

void SpiPort::Abandon(Ticks now)
{
    if (!state_.selected)
        return;
    state_.selected = false;
    FlushLines();
    trace_.Line(now / TICKS_PER_US, "SPI", FrameText(true));
}

void SpiPort::Note(Ticks now, const std::string &text)
{
    state_.pending.push_back({now, "NOTE", Format("%d ", position_) + text});
}

void SpiPort::FlushLines()
{
    for (const auto &line : state_.pending)
        trace_.Line(line.time / TICKS_PER_US, line.tag, line.rest);
    state_.pending.clear();
}

std::string SpiPort::FrameText(bool unfinished) const
{
    auto group = [](const std::vector<uint8_t> &bits) {
        std::string text;
        size_t whole = bits.size() / 8;
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < whole; ++i) {
            uint8_t value = 0;
            for (size_t b = 0; b < 8; ++b)
                value = static_cast<uint8_t>(value << 1 | bits[i * 8 + b]);
            bytes.push_back(value);
        }
        text = HexBytes(bytes);
        if (bits.size() % 8) {
            if (!text.empty())
                text += ' ';
            text += 'b';
            for (size_t b = whole * 8; b < bits.size(); ++b)
                text += bits[b] ? '1' : '0';
        }
        return text.empty() ? text : " " + text;
    };
    return Format("%d frame %u%s bits=%zu mosi:", position_, state_.frames, unfinished ? " unfinished" : "",
                  state_.mosiBits.size()) +
           group(state_.mosiBits) + " miso:" + group(state_.misoBits);
}

} // namespace simboard
