// Clocks whole bytes into an SPI slave as the engine does in SPI mode 0: at
// each rising edge the engine samples SO and the slave samples SI, then at
// the falling edge the slave presents its next bit. Also builds the bus
// suites' frames.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sim/can_bus.h"
#include "sim/mcp2515.h"
#include "sim/spi_slave.h"

namespace simboard_test
{

using Bytes = std::vector<uint8_t>;

// A frame with `data`; its DLC is the data's size unless `dlc` is given.
inline simboard::CanFrame Frame(uint32_t id, bool ext, const Bytes &data, bool remote = false, uint8_t dlc = 0xFF)
{
    simboard::CanFrame f;
    f.id = id;
    f.extended = ext;
    f.remote = remote;
    f.dlc = dlc != 0xFF ? dlc : static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

class SpiDriver
{
public:
    explicit SpiDriver(simboard::SpiSlave &slave) : slave_(slave) {}

    simboard::Ticks now = 1000 * simboard::TICKS_PER_US;
    simboard::Ticks halfPeriod = simboard::TICKS_PER_US / 2; // 1 MHz SCK

    // One chip-select frame: the bytes read back, one per byte sent; a last
    // partial byte of `extraBits` bits (MSB first from `extra`) is clocked
    // before the release.
    Bytes Frame(const Bytes &mosi, int extraBits = 0, uint8_t extra = 0)
    {
        slave_.Select(now);
        Bytes miso;
        for (uint8_t b : mosi)
            miso.push_back(Byte(b, 8));
        if (extraBits)
            Byte(extra, extraBits);
        now = slave_.Deselect(now + halfPeriod) + halfPeriod;
        return miso;
    }

    uint8_t Read(uint8_t address) { return Frame({0x03, address, 0x00})[2]; }
    Bytes ReadMany(uint8_t address, size_t count)
    {
        Bytes miso = Frame(With({0x03, address}, Bytes(count)));
        return Bytes(miso.begin() + 2, miso.end());
    }
    void Write(uint8_t address, const Bytes &data) { Frame(With({0x02, address}, data)); }
    void BitModify(uint8_t address, uint8_t mask, uint8_t data) { Frame({0x05, address, mask, data}); }
    uint8_t ReadStatus() { return Frame({0xA0, 0x00})[1]; }
    uint8_t RxStatus() { return Frame({0xB0, 0x00})[1]; }
    // RESET, then wait out the oscillator start-up (the tool waits ms here).
    void Reset()
    {
        Frame({0xC0});
        now += 1000 * simboard::TICKS_PER_US;
    }

    // Normal mode at 100 kbit/s on a 16 MHz oscillator, both buffers open to
    // every frame, the receive interrupts enabled and every flag clear.
    void BringUp()
    {
        Reset();
        Write(0x28, {0x02, 0x90, 0x09});
        Write(0x60, {0x60});
        Write(0x70, {0x60});
        Write(0x2B, {0x03});
        BitModify(0x0F, 0xE0, 0x00);
    }

    // The tool's transmit through buffer 0: LOAD TX BUFFER with the header
    // and data, then RTS.
    void LoadAndSend(const Bytes &headerAndData)
    {
        Frame(With({0x40}, headerAndData));
        Frame({0x81});
    }

private:
    static Bytes With(Bytes head, const Bytes &tail)
    {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    }
    uint8_t Byte(uint8_t b, int bits)
    {
        uint8_t in = 0;
        for (int i = 7; i > 7 - bits; --i) {
            now += halfPeriod;
            // The engine samples DI before the slave changes SO.
            in = static_cast<uint8_t>(in << 1 | (slave_.So() == simboard::SoLevel::Low ? 0 : 1));
            slave_.SampleRising(((b >> i) & 1) != 0, now);
            now += halfPeriod;
            slave_.AfterFalling(now);
        }
        return in;
    }

    simboard::SpiSlave &slave_;
};

} // namespace simboard_test
