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

Bytes BytesOf(const SdoFrame &frame)
{
    Bytes bytes;
    std::memcpy(bytes.data(), &frame, 8);
    return bytes;
}

SdoFrame FrameOf(const Bytes &bytes)
{
    SdoFrame frame;
    std::memcpy(&frame, bytes.data(), 8);
    return frame;
}

using SdoFrameTest = ToolTest;

TEST_F(SdoFrameTest, RequestsOfTheIspCommandsAreBuiltByteForByte)
{
    SdoFrame frame;
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 2, 0, 0x1018, 2, 0)), (Bytes{0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0}))
        << "read part id";
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 1, 0x5000, 0, 2, 0x5A5A & 0xFF, 0x5A5A >> 8)),
              (Bytes{0x2B, 0x00, 0x50, 0x00, 0x5A, 0x5A, 0x00, 0x00}))
        << "unlock";
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 1, 0x5030, 0, 2, 0, 7)),
              (Bytes{0x2B, 0x30, 0x50, 0x00, 0x00, 0x07, 0x00, 0x00}))
        << "prepare sectors 0 to 7";
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 1, 0x1F51, 1, 1, 1)),
              (Bytes{0x2F, 0x51, 0x1F, 0x01, 0x01, 0x00, 0x00, 0x00}))
        << "trigger execution";
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 1, 0x5001, 0, 1, 0)),
              (Bytes{0x2F, 0x01, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00}))
        << "reinvoke isp";
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 0, 0x1F50, 1, 4, 16, 0, 0, 0)),
              (Bytes{0x21, 0x50, 0x1F, 0x01, 0x10, 0x00, 0x00, 0x00}))
        << "initiate segmented download of 16 bytes";
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 1, 0x5015, 0, 4, 0x00, 0x03, 0x00, 0x10)),
              (Bytes{0x23, 0x15, 0x50, 0x00, 0x00, 0x03, 0x00, 0x10}))
        << "expedited download of 4 bytes";
}

TEST_F(SdoFrameTest, CountAbove4IsTakenAs4AndCount0LeavesZeroData)
{
    SdoFrame frame;
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 1, 0x5050, 0, 5, 1, 2, 3, 4, 5)),
              (Bytes{0x23, 0x50, 0x50, 0x00, 1, 2, 3, 4}));
    std::memset(&frame, 0xEE, sizeof(frame));
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 1, 1, 0x5050, 0, 0)), (Bytes{0x23, 0x50, 0x50, 0x00, 0, 0, 0, 0}));
}

TEST_F(SdoFrameTest, OnlyTheLowBitsOfEachFieldAreStored)
{
    SdoFrame frame;
    // ccs keeps 3 bits, expedited 1 bit (2 is neither 0 nor 1: n = s = 0), data 8 bits.
    EXPECT_EQ(BytesOf(*SDO_BuildFrame(&frame, 0xFA, 2, 0xABCD, 0x7F, 2, 0x1FF, -1)),
              (Bytes{0x40, 0xCD, 0xAB, 0x7F, 0xFF, 0xFF, 0x00, 0x00}));
}

struct ReplyCase {
    const char *label;
    Bytes reply;
    int status;
    std::string printed; // at verbosity 2
};

const ReplyCase REPLY_CASES[] = {
    {"Read Part ID",
     {0x43, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14},
     0,
     "\r\n Reply to 'Read Part ID' : 0x1018|0x02 sent 4 bytes : 0x2B 0x10 0x30 0x14"},
    {"Read Part ID",
     {0x4F, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14},
     0,
     "\r\n Reply to 'Read Part ID' : 0x1018|0x02 sent 1 bytes : 0x2B"},
    // The count comes from n even when e and s are clear.
    {"Read Part ID",
     {0x48, 0x18, 0x10, 0x02, 0x2B, 0x10, 0x30, 0x14},
     0,
     "\r\n Reply to 'Read Part ID' : 0x1018|0x02 sent 2 bytes : 0x2B 0x10"},
    {"Unlock", {0x60, 0x00, 0x50, 0x00, 0, 0, 0, 0}, 0, "\r\n Reply to 'Unlock' : 0x5000|0x00 confirms download."},
    {"Write Data Bytes [0x0000-0x0007]",
     {0x20, 0, 0, 0, 0, 0, 0, 0},
     0,
     "\r\n Reply to 'Write Data Bytes [0x0000-0x0007]' : Acknowledge of upload."},
    {"Segment",
     {0x15, 0x41, 0x42, 0x43, 0x44, 0x45, 0x00, 0x00},
     0,
     "\r\n Reply to 'Segment' : Downloaded 5 bytes :  0x41 0x42 0x43 0x44 0x45"},
    {"Segment", {0x0E, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}, 0, "\r\n Reply to 'Segment' : Downloaded 0 bytes : "},
    {"Compare",
     {0x80, 0x60, 0x50, 0x03, 0x0A, 0x00, 0x00, 0x0F},
     10,
     "\r\n Reply to 'Compare' : 0x5060|0x03 sent SDO Abort Code.\r\n COMPARE_ERROR"},
    {"Unlock",
     {0x80, 0x00, 0x50, 0x00, 0x10, 0x00, 0x00, 0x0F},
     16,
     "\r\n Reply to 'Unlock' : 0x5000|0x00 sent SDO Abort Code.\r\n INVALID_CODE"},
    {"Unlock",
     {0x80, 0x00, 0x50, 0x00, 0x03, 0x00, 0x00, 0x0F},
     3,
     "\r\n Reply to 'Unlock' : 0x5000|0x00 sent SDO Abort Code.\r\n UNKNOWN_ERROR_CODE"},
    {"Unlock",
     {0x80, 0x00, 0x50, 0x00, 0x00, 0x00, 0x00, 0x0F},
     0,
     "\r\n Reply to 'Unlock' : 0x5000|0x00 sent SDO Abort Code.\r\n NO_ERROR"},
    // Bytes 5 and 6 are not examined; a code above 19 has no name.
    {"Erase",
     {0x80, 0x40, 0x50, 0x00, 0xC8, 0x12, 0x34, 0x0F},
     200,
     "\r\n Reply to 'Erase' : 0x5040|0x00 sent SDO Abort Code.\r\n UNKNOWN_ERROR_CODE"},
    {"Unlock",
     {0x80, 0x00, 0x50, 0x00, 0x00, 0x00, 0x02, 0x06},
     -1,
     "\r\n Reply to 'Unlock' : 0x5000|0x00 sent SDO Abort Code.\r\n 0x00 0x00 0x02 0x06"},
    {"Go",
     {0xA1, 0x51, 0x1F, 0x01, 0x01, 0x02, 0x03, 0x04},
     0,
     "\r\n Reply to 'Go' :  0xA1 0x1F51 0x01 0x01 0x02 0x03 0x04"},
    {"Go",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     0,
     "\r\n Reply to 'Go' :  0xFF 0xFFFF 0xFF 0xFF 0xFF 0xFF 0xFF"},
};

TEST_F(SdoFrameTest, RepliesPrintAtVerbosity2)
{
    g_verbosity = 2;
    for (const ReplyCase &c : REPLY_CASES) {
        console.clear();
        SdoFrame frame = FrameOf(c.reply);
        EXPECT_EQ(SDO_PrintReply(c.label, &frame), c.status) << c.printed;
        EXPECT_EQ(console, c.printed);
    }
}

TEST_F(SdoFrameTest, RepliesAreSilentBelowVerbosity2WithTheSameStatus)
{
    for (uint8_t level : {0, 1}) {
        g_verbosity = level;
        for (const ReplyCase &c : REPLY_CASES) {
            console.clear();
            SdoFrame frame = FrameOf(c.reply);
            EXPECT_EQ(SDO_PrintReply(c.label, &frame), c.status) << c.printed;
            EXPECT_EQ(console, "") << "verbosity " << int(level);
        }
    }
    // 255 is "everything" (-v -1): printed as at 2.
    g_verbosity = 255;
    console.clear();
    SdoFrame frame = FrameOf(REPLY_CASES[0].reply);
    SDO_PrintReply(REPLY_CASES[0].label, &frame);
    EXPECT_EQ(console, REPLY_CASES[0].printed);
}

} // namespace
