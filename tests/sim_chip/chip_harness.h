// A CANopen SDO client on a test node of the simulated bus, driving the chip
// the way a host would, frame by frame.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/can_bus.h"
#include "sim/lpc_isp_chip.h"

namespace simboard
{

using Bytes8 = std::array<uint8_t, 8>;

// A request with a command byte, an index and sub-index and a little-endian value.
inline Bytes8 Sdo(uint8_t command, uint16_t index, uint8_t sub, uint32_t value = 0)
{
    return {command,        uint8_t(index),      uint8_t(index >> 8),  sub,
            uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}
// Expedited initiate download with the size indicated (1, 2 or 4 bytes).
inline Bytes8 SdoDownload(uint16_t index, uint8_t sub, uint32_t value, unsigned size)
{
    return Sdo(static_cast<uint8_t>(0x23 | (4 - size) << 2), index, sub, value);
}
inline Bytes8 SdoUpload(uint16_t index, uint8_t sub) { return Sdo(0x40, index, sub); }
inline uint32_t ReplyValue(const CanFrame &f)
{
    return f.data[4] | f.data[5] << 8 | f.data[6] << 16 | static_cast<uint32_t>(f.data[7]) << 24;
}

constexpr uint32_t ISP_ABORT(int code) { return 0x0F000000u + static_cast<uint32_t>(code); }

// RAM code that jumps to the bootloader's reset: executing it restarts the chip.
const std::vector<uint8_t> kResetCode = {0x01, 0x4A, 0x02, 0x4B, 0xDA, 0x60, 0xC0, 0x46,
                                         0x04, 0x00, 0xFA, 0x05, 0x00, 0xED, 0x00, 0xE0};

class ChipHarness : public ::testing::Test
{
protected:
    ~ChipHarness() override
    {
        if (chip_)
            bus_.Detach(chip_.get());
    }

    // A fresh chip with `config`, started at the current board time, and a
    // client node at 100 kbit/s.
    void Power(const ChipConfig &config = ChipConfig{})
    {
        if (chip_)
            bus_.Detach(chip_.get());
        chip_ = std::make_unique<LpcIspChip>(config);
        std::string name, reason;
        ASSERT_TRUE(chip_->Start(now_, &name, &reason)) << name << ": " << reason;
        bus_.Attach(chip_.get());
        if (node_)
            bus_.DetachTestNode(nodeHandle_);
        nodeHandle_ = bus_.AttachTestNode(100000, false);
        node_ = bus_.FindTestNode(nodeHandle_);
    }

    // Sends one request; true with *reply when the chip answered. *acked
    // tells whether any node acknowledged the request.
    bool Send(const Bytes8 &bytes, CanFrame *reply = nullptr, bool *acked = nullptr, uint8_t dlc = 8)
    {
        CanFrame f;
        f.id = LPC_SDO_REQUEST_ID;
        f.dlc = dlc;
        std::copy(bytes.begin(), bytes.end(), f.data);
        int sent = node_->Send(bus_, f, &now_);
        if (acked)
            *acked = sent == 0;
        TestNode::Received r;
        bool got = false;
        while (node_->Take(&r)) {
            EXPECT_FALSE(got) << "more than one reply to one request";
            EXPECT_EQ(r.frame.id, LPC_SDO_REPLY_ID);
            EXPECT_EQ(r.frame.dlc, 8);
            got = true;
            lastReplyEnd_ = r.end;
            if (reply)
                *reply = r.frame;
        }
        return got;
    }

    // The reply's abort code (0 when it is no abort).
    uint32_t Abort(const Bytes8 &bytes)
    {
        CanFrame r;
        if (!Send(bytes, &r)) {
            ADD_FAILURE() << "no reply";
            return 0xFFFFFFFF;
        }
        return r.data[0] == 0x80 ? ReplyValue(r) : 0;
    }
    uint32_t Set(uint16_t index, uint8_t sub, uint32_t value, unsigned size = 4)
    {
        return Abort(SdoDownload(index, sub, value, size));
    }
    uint32_t Get(uint16_t index, uint8_t sub)
    {
        CanFrame r;
        EXPECT_TRUE(Send(SdoUpload(index, sub), &r));
        EXPECT_NE(r.data[0], 0x80) << "abort " << std::hex << ReplyValue(r);
        return ReplyValue(r);
    }
    uint32_t Unlock(uint16_t code = 0x5A5A) { return Set(0x5000, 0, code, 2); }
    uint32_t Prepare(int first, int last) { return Set(0x5020, 0, first | last << 8, 2); }
    uint32_t Erase(int first, int last) { return Set(0x5030, 0, first | last << 8, 2); }
    // Copy (0x5050) and compare (0x5060): two addresses, then the count that starts it.
    uint32_t Run(uint16_t index, uint32_t a, uint32_t b, uint32_t count)
    {
        EXPECT_EQ(Set(index, 1, a), 0u);
        EXPECT_EQ(Set(index, 2, b), 0u);
        return Set(index, 3, count, 2);
    }
    uint32_t Copy(uint32_t dst, uint32_t src, uint32_t count) { return Run(0x5050, dst, src, count); }
    uint32_t Compare(uint32_t a, uint32_t b, uint32_t count) { return Run(0x5060, a, b, count); }

    // A segmented RAM write, size indicated or not; the abort code that ends
    // it (0 when every segment was confirmed). `badToggleAt` sends that
    // segment (0-based) with the wrong toggle bit.
    uint32_t WriteRam(uint32_t address, const std::vector<uint8_t> &bytes, bool sized = true, int badToggleAt = -1)
    {
        EXPECT_EQ(Set(0x5015, 0, address), 0u);
        uint32_t code = Abort(Sdo(sized ? 0x21 : 0x20, 0x1F50, 1, sized ? uint32_t(bytes.size()) : 0));
        for (size_t seg = 0, at = 0; !code; ++seg) {
            size_t k = std::min<size_t>(7, bytes.size() - at);
            bool last = at + k == bytes.size(), t = (seg % 2 == 1) != (int(seg) == badToggleAt);
            Bytes8 s{static_cast<uint8_t>((t ? 0x10 : 0) | (7 - k) << 1 | (last ? 1 : 0))};
            std::copy(bytes.begin() + at, bytes.begin() + at + k, s.begin() + 1);
            CanFrame r;
            if (!Send(s, &r))
                return 0xFFFFFFFF;
            if (r.data[0] == 0x80)
                return ReplyValue(r);
            EXPECT_EQ(r.data[0], t ? 0x30 : 0x20);
            at += k;
            if (last)
                break;
        }
        return code;
    }

    std::vector<uint8_t> Flash(uint32_t address, uint32_t count)
    {
        std::vector<uint8_t> b(count);
        EXPECT_EQ(chip_->Read(address, b.data(), count), 0);
        return b;
    }
    void Put(uint32_t address, const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(chip_->Write(address, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    }

    CanBus bus_;
    std::unique_ptr<LpcIspChip> chip_;
    TestNode *node_ = nullptr;
    int nodeHandle_ = -1;
    Ticks now_ = 0;
    Ticks lastReplyEnd_ = 0;
};

// A counting pattern that no erased or remapped word equals.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

// A word's bytes, little-endian.
inline std::vector<uint8_t> Le32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

} // namespace simboard
