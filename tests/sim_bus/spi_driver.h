// Clocks whole bytes into an SPI slave as the engine does in SPI mode 0: at
// each rising edge the engine samples SO and the slave samples SI, then at
// the falling edge the slave presents its next bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/mcp2515.h"
#include "sim/spi_slave.h"

namespace simboard_test
{

using simboard::SoLevel;
using simboard::Ticks;

class SpiDriver
{
public:
    explicit SpiDriver(simboard::SpiSlave &slave) : slave_(slave) {}

    Ticks now = 1000 * simboard::TICKS_PER_US;
    Ticks halfPeriod = simboard::TICKS_PER_US / 2; // 1 MHz SCK

    // One chip-select frame: the bytes read back, one per byte sent; a last
    // partial byte of `extraBits` bits (MSB first from `extra`) is clocked
    // before the release.
    std::vector<uint8_t> Frame(const std::vector<uint8_t> &mosi, int extraBits = 0, uint8_t extra = 0)
    {
        slave_.Select(now);
        std::vector<uint8_t> miso;
        for (uint8_t b : mosi)
            miso.push_back(Byte(b, 8));
        if (extraBits)
            Byte(extra, extraBits);
        now += halfPeriod;
        now = slave_.Deselect(now);
        now += halfPeriod;
        return miso;
    }

    uint8_t Read(uint8_t address) { return Frame({0x03, address, 0x00})[2]; }
    std::vector<uint8_t> ReadMany(uint8_t address, size_t count)
    {
        std::vector<uint8_t> out = {0x03, address};
        out.resize(2 + count);
        out = Frame(out);
        return std::vector<uint8_t>(out.begin() + 2, out.end());
    }
    void Write(uint8_t address, const std::vector<uint8_t> &data)
    {
        std::vector<uint8_t> out = {0x02, address};
        out.insert(out.end(), data.begin(), data.end());
        Frame(out);
    }
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
    // through bit modifies, pins and interrupts, flags cleared, normal mode.
    void BringUp(uint8_t cnf1 = 0x09)
    {
        Reset();
        Write(0x28, {0x02, 0x90, cnf1});
        BitModify(0x60, 0x60, 0x60);
        BitModify(0x70, 0x60, 0x60);
        const uint8_t filters[6] = {0x00, 0x04, 0x08, 0x10, 0x14, 0x18};
        for (int n = 0; n < 6; ++n) {
            uint8_t r = filters[n];
            for (int ext = 0; ext < 2; ++ext) {
                BitModify(r, 0xFF, 0x00);
                BitModify(static_cast<uint8_t>(r + 1), 0xE0, 0x00);
                if (ext) {
                    BitModify(static_cast<uint8_t>(r + 1), 0x03, 0x00);
                    BitModify(static_cast<uint8_t>(r + 2), 0xFF, 0x00);
                    BitModify(static_cast<uint8_t>(r + 3), 0xFF, 0x00);
                }
            }
            if (n < 2)
                BitModify(0x60, 0x00, static_cast<uint8_t>(n));
            else
                BitModify(0x70, 0x07, static_cast<uint8_t>(n));
            BitModify(static_cast<uint8_t>(r + 1), 0x08, 0x40);
        }
        for (uint8_t r : {uint8_t(0x20), uint8_t(0x24)}) {
            BitModify(r, 0xFF, 0x00);
            BitModify(static_cast<uint8_t>(r + 1), 0xE0, 0x00);
            BitModify(static_cast<uint8_t>(r + 1), 0x03, 0x00);
            BitModify(static_cast<uint8_t>(r + 2), 0xFF, 0x00);
            BitModify(static_cast<uint8_t>(r + 3), 0xFF, 0x00);
        }
        BitModify(0x0C, 0xFF, 0x00);
        BitModify(0x0D, 0xFF, 0x00);
        BitModify(0x2B, 0xF4, 0x00);
        BitModify(0x2B, 0x03, 0xFF);
        BitModify(0x2C, 0xFF, 0x00);
        Read(0x2C);
        BitModify(0x0F, 0xE0, 0x00);
    }

    // The tool's transmit through buffer 0: LOAD TX BUFFER with the header
    // and data, then RTS.
    void LoadAndSend(const std::vector<uint8_t> &headerAndData, uint8_t load = 0x40, uint8_t rts = 0x81)
    {
        std::vector<uint8_t> out = {load};
        out.insert(out.end(), headerAndData.begin(), headerAndData.end());
        Frame(out);
        Frame({rts});
    }

private:
    uint8_t Byte(uint8_t b, int bits)
    {
        uint8_t in = 0;
        for (int i = 7; i > 7 - bits; --i) {
            now += halfPeriod;
            // The engine samples DI before the slave changes SO.
            in = static_cast<uint8_t>(in << 1 | (slave_.So() == SoLevel::Low ? 0 : 1));
            slave_.SampleRising(((b >> i) & 1) != 0, now);
            now += halfPeriod;
            slave_.AfterFalling(now);
        }
        return in;
    }

    simboard::SpiSlave &slave_;
};

} // namespace simboard_test
