#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "app/console.h"
#include "isp/sdo_frame.h"
#include "support/tool_fixture.h"

namespace
{

using Bytes = std::array<uint8_t, 8>;
using SdoFrameTest = ToolTest;

TEST_F(SdoFrameTest, RequestsAreBuiltByteForByteFromTheLowBitsOfEachField)
{
    const struct {
        const char *what;
        int ccs, expedited, index, subIndex, count, data[5];
        Bytes bytes;
    } cases[] = {
        {"read part id", 2, 0, 0x1018, 2, 0, {}, {0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0}},
        {"unlock", 1, 1, 0x5000, 0, 2, {0x5A, 0x5A}, {0x2B, 0x00, 0x50, 0x00, 0x5A, 0x5A, 0, 0}},
        {"prepare 0 to 7", 1, 1, 0x5030, 0, 2, {0, 7}, {0x2B, 0x30, 0x50, 0x00, 0x00, 0x07, 0, 0}},
        {"go", 1, 1, 0x1F51, 1, 1, {1}, {0x2F, 0x51, 0x1F, 0x01, 0x01, 0, 0, 0}},
        {"reinvoke", 1, 1, 0x5001, 0, 1, {0}, {0x2F, 0x01, 0x50, 0x00, 0, 0, 0, 0}},
        {"segmented 16", 1, 0, 0x1F50, 1, 4, {16, 0, 0, 0}, {0x21, 0x50, 0x1F, 0x01, 0x10, 0, 0, 0}},
        {"expedited 4", 1, 1, 0x5015, 0, 4, {0, 3, 0, 0x10}, {0x23, 0x15, 0x50, 0x00, 0x00, 0x03, 0x00, 0x10}},
        {"count 5 as 4", 1, 1, 0x5050, 0, 5, {1, 2, 3, 4, 5}, {0x23, 0x50, 0x50, 0x00, 1, 2, 3, 4}},
        {"count 0", 1, 1, 0x5050, 0, 0, {9}, {0x23, 0x50, 0x50, 0x00, 0, 0, 0, 0}},
        // ccs keeps 3 bits, expedited 1 (2 is neither 0 nor 1: n = s = 0), data 8.
        {"low bits", 0xFA, 2, 0xABCD, 0x7F, 2, {0x1FF, -1}, {0x40, 0xCD, 0xAB, 0x7F, 0xFF, 0xFF, 0, 0}},
    };
    for (const auto &c : cases) {
        SdoFrame frame;
        std::memset(&frame, 0xEE, sizeof(frame));
        const SdoFrame *built = SDO_BuildFrame(&frame, static_cast<uint8_t>(c.ccs), static_cast<uint8_t>(c.expedited),
                                               static_cast<uint16_t>(c.index), static_cast<uint8_t>(c.subIndex),
                                               c.count, c.data[0], c.data[1], c.data[2], c.data[3], c.data[4]);
        Bytes bytes;
        std::memcpy(bytes.data(), built, 8);
        EXPECT_EQ(bytes, c.bytes) << c.what;
    }
}

// Each reply's status, and what it prints at verbosity 2 and 255 ("-v -1"),
// after "\r\n Reply to '<label>' : "; below 2 nothing, with the same status.
TEST_F(SdoFrameTest, RepliesPrintAtVerbosity2AndAboveWithTheSameStatusAtEveryLevel)
{
    const struct {
        const char *label;
        Bytes reply;
        int status;
        std::string printed;
    } cases[] = {
        {"Read Part ID",
         {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14},
         0,
         "0x1018|0x02 sent 4 bytes : 0x2B 0x10 0x30 0x14"},
        {"Read Part ID", {0x4F, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14}, 0, "0x1018|0x02 sent 1 bytes : 0x2B"},
        // The count comes from n even when e and s are clear.
        {"Read Part ID", {0x48, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14}, 0, "0x1018|0x02 sent 2 bytes : 0x2B 0x10"},
        {"Unlock", {0x60, 0x00, 0x50, 0x00, 0, 0, 0, 0}, 0, "0x5000|0x00 confirms download."},
        {"Write", {0x20, 0, 0, 0, 0, 0, 0, 0}, 0, "Acknowledge of upload."},
        {"Segment", {0x15, 0x41, 0x42, 0x43, 0x44, 0x45, 0, 0}, 0, "Downloaded 5 bytes :  0x41 0x42 0x43 0x44 0x45"},
        {"Segment", {0x0E, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}, 0, "Downloaded 0 bytes : "},
        {"Compare",
         {0x80, 0x60, 0x50, 0x03, 0x0A, 0, 0, 0x0F},
         10,
         "0x5060|0x03 sent SDO Abort Code.\r\n COMPARE_ERROR"},
        {"Unlock", {0x80, 0x00, 0x50, 0x00, 0x10, 0, 0, 0x0F}, 16, "0x5000|0x00 sent SDO Abort Code.\r\n INVALID_CODE"},
        {"Unlock",
         {0x80, 0x00, 0x50, 0x00, 0x03, 0, 0, 0x0F},
         3,
         "0x5000|0x00 sent SDO Abort Code.\r\n UNKNOWN_ERROR_CODE"},
        {"Unlock", {0x80, 0x00, 0x50, 0x00, 0x00, 0, 0, 0x0F}, 0, "0x5000|0x00 sent SDO Abort Code.\r\n NO_ERROR"},
        // Bytes 5 and 6 are not examined; a code above 19 has no name.
        {"Erase",
         {0x80, 0x40, 0x50, 0x00, 0xC8, 0x12, 0x34, 0x0F},
         200,
         "0x5040|0x00 sent SDO Abort Code.\r\n UNKNOWN_ERROR_CODE"},
        {"Unlock",
         {0x80, 0x00, 0x50, 0x00, 0x00, 0x00, 0x02, 0x06},
         -1,
         "0x5000|0x00 sent SDO Abort Code.\r\n 0x00 0x00 0x02 0x06"},
        {"Go", {0xA1, 0x51, 0x1F, 0x01, 0x01, 0x02, 0x03, 0x04}, 0, " 0xA1 0x1F51 0x01 0x01 0x02 0x03 0x04"},
        {"Go", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, " 0xFF 0xFFFF 0xFF 0xFF 0xFF 0xFF 0xFF"},
    };
    for (uint8_t level : {0, 1, 2, 255}) {
        g_verbosity = level;
        for (const auto &c : cases) {
            console.clear();
            SdoFrame frame;
            std::memcpy(&frame, c.reply.data(), 8);
            EXPECT_EQ(SDO_PrintReply(c.label, &frame), c.status) << c.printed;
            EXPECT_EQ(console, level < 2 ? "" : "\r\n Reply to '" + std::string(c.label) + "' : " + c.printed)
                << "verbosity " << int(level);
        }
    }
}

} // namespace
