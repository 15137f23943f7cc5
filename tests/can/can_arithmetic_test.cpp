#include <gtest/gtest.h>

#include <climits>

#include "can/can.h"
#include "isp/isp_commands.h"

namespace
{

TEST(BitTiming, Cnf1ForTheDocumentedRates)
{
    const struct {
        int32_t rate;
        uint8_t cnf1;
    } table[] = {
        {1000000, 0x00}, {500000, 0x01}, {250000, 0x03}, {125000, 0x07}, {100000, 0x09},
        {50000, 0x13},   {20000, 0x31},  {300000, 0x02}, {400000, 0x01}, {15385, 0x3F},
    };
    for (const auto &row : table)
        EXPECT_EQ(MCP_BitTimingCnf1(row.rate), row.cnf1) << row.rate;
}

// The bus time the fast path waits for: exact stuffing over SOF to CRC (the
// CRC's own bits included), then 13 bits; examples worked by hand.
TEST(FrameBits, StuffedLengthsOfWorkedFrames)
{
    const struct {
        uint32_t id;
        uint8_t extended, remote, length;
        uint8_t data[8];
        uint32_t bits;
    } table[] = {
        {0x67D, 0, 0, 8, {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0}, 124},
        {0x5FD, 0, 0, 8, {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14}, 119},
        {0x67D, 0, 0, 8, {0x2B, 0x00, 0x50, 0x00, 0x5A, 0x5A, 0, 0}, 120},
        {0x5FD, 0, 0, 8, {0x60, 0x00, 0x50, 0, 0, 0, 0, 0}, 124},
        {0x123 | (0x2ABCDu << 11), 1, 0, 8, {}, 145}, // 29-bit 0x048EABCD
    };
    for (const auto &row : table)
        EXPECT_EQ(CAN_FrameBits(CanMessage(row.id, row.remote, row.extended, row.length, row.data)), row.bits)
            << std::hex << row.id;
}

TEST(StatusSum, AddsWhileNonNegativeAndNeverCancelsOut)
{
    const struct {
        int a, b, sum;
    } table[] = {
        {0, 0, 0}, {9, 9, 18}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, -1}, {0, -1, -1}, {INT_MAX, 5, INT_MAX},
    };
    for (const auto &row : table)
        EXPECT_EQ(CAN_AddStatus(row.a, row.b), row.sum) << row.a << " + " << row.b;
}

// Walks the bar as a RAM write of size bytes draws it: a step per 7-byte
// segment but the last, then the completion.
uint32_t DrawnBlocks(uint32_t size)
{
    uint32_t drawn = 0, blocks = 0, offset = 0;
    while (size - offset > 7) {
        uint32_t position = ISP_BarStepPosition(size, offset + 7);
        if (position > drawn) {
            blocks += ISP_BarStepBlocks(size);
            drawn = position;
        }
        offset += 7;
    }
    return blocks + ISP_BarCompletionBlocks(size, size - offset);
}

TEST(ProgressBar, BlockCountsOfTheDocumentedSizes)
{
    const struct {
        uint32_t size, blocks;
    } table[] = {{1, 77}, {7, 77}, {8, 77}, {16, 77}, {512, 146}, {4096, 76}, {0, 0}};
    for (const auto &row : table)
        EXPECT_EQ(DrawnBlocks(row.size), row.blocks) << row.size;
}

} // namespace
