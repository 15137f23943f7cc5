// Clocks whole bytes into an SPI slave as the engine does in SPI mode 0: at
// each rising edge the engine samples SO and the slave samples SI, then at
// the falling edge the slave presents its next bit.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/mcp2515.h"
#include "sim/spi_slave.h"

namespace simboard_test
{

using Bytes = std::vector<uint8_t>;

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

    // The tool's controller bring-up at 100 kbit/s on a 16 MHz oscillator:
    // reset, bit timing, both buffers open to every frame, filters and masks
    // cleared through bit modifies (each filter's SIDL 0x40), pins and
    // interrupts, flags cleared, normal mode.
    void BringUp()
    {
        Reset();
        Write(0x28, {0x02, 0x90, 0x09});
        BitModify(0x60, 0x60, 0x60);
        BitModify(0x70, 0x60, 0x60);
        for (uint8_t r : {0x00, 0x04, 0x08, 0x10, 0x14, 0x18, 0x20, 0x24}) {
            for (uint8_t k = 0; k < 4; ++k)
                BitModify(static_cast<uint8_t>(r + k), k == 1 ? 0xE3 : 0xFF, 0x00);
            if (r < 0x20)
                BitModify(static_cast<uint8_t>(r + 1), 0x08, 0x40);
        }
        BitModify(0x0C, 0xFF, 0x00);
        BitModify(0x0D, 0xFF, 0x00);
        BitModify(0x2B, 0xF4, 0x00);
        BitModify(0x2B, 0x03, 0xFF);
        BitModify(0x2C, 0xFF, 0x00);
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
