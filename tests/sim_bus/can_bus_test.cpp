#include "sim/can_bus.h"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace simboard;

namespace {

CanFrame Std(uint32_t id, std::initializer_list<uint8_t> data) {
    CanFrame f;
    f.id = id;
    f.dlc = static_cast<uint8_t>(data.size());
    size_t i = 0;
    for (uint8_t b : data) f.data[i++] = b;
    return f;
}

CanFrame Ext(uint32_t id, std::initializer_list<uint8_t> data) {
    CanFrame f = Std(id, data);
    f.extended = true;
    return f;
}

constexpr Ticks US = TICKS_PER_US;

} // namespace

// The worked frame lengths: exact stuffing over SOF..CRC, 13 tail bits.
TEST(CanFrameBits, WorkedFrames) {
    struct Case {
        CanFrame frame;
        int unstuffed, stuff, total;
    } cases[] = {
        {Std(0x67D, {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0}), 98, 13, 124},
        {Std(0x5FD, {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14}), 98, 8, 119},
        {Std(0x67D, {0x2B, 0x00, 0x50, 0x00, 0x5A, 0x5A, 0, 0}), 98, 9, 120},
        {Std(0x5FD, {0x60, 0x00, 0x50, 0x00, 0, 0, 0, 0}), 98, 13, 124},
        {Ext(0x048EABCD, {0, 0, 0, 0, 0, 0, 0, 0}), 118, 14, 145},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame.id);
        CanBitCount n = CanFrameBits(c.frame);
        EXPECT_EQ(n.unstuffed, c.unstuffed);
        EXPECT_EQ(n.stuff, c.stuff);
        EXPECT_EQ(n.total, c.total);
        EXPECT_EQ(n.unacknowledged, c.unstuffed + c.stuff + 19);
    }
    EXPECT_EQ(CanBitsToTicks(124, 100000), 1240 * US);
    EXPECT_EQ(CanBitsToTicks(119, 100000), 1190 * US);
    EXPECT_EQ(CanBitsToTicks(119, 125000), 952 * US);
    EXPECT_EQ(CanBitsToTicks(1, 300000), 4 * US);  // 3.33 µs rounds up
}
