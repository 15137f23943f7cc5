// The trace reader that tests use: each kind of line taken apart, and lines
// that break the format refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim/records.h"

namespace {

using simboard::ParseTraceLine;
using simboard::TraceLine;

TEST(TraceReader, TakesUsbLinesApart)
{
    TraceLine line;
    ASSERT_TRUE(ParseTraceLine("0000269250 USB FT_Read#1 handle=0x5B00000010 count=2 = 0 OK read=2 | FA AA", &line));
    EXPECT_EQ(269250u, line.time);
    EXPECT_EQ("USB", line.tag);
    EXPECT_EQ("FT_Read", line.entry);
    EXPECT_EQ(1u, line.call);
    EXPECT_EQ(0u, line.status);
    EXPECT_EQ("OK", line.statusName);
    EXPECT_FALSE(line.injected);
    EXPECT_EQ("0x5B00000010", line.Field("handle"));
    EXPECT_EQ("2", line.Field("read"));
    EXPECT_EQ((std::vector<uint8_t>{0xFA, 0xAA}), line.bytes);

    ASSERT_TRUE(ParseTraceLine("0000000000 USB FT_CreateDeviceInfoList#12 = 4 IO_ERROR injected count=0", &line));
    EXPECT_EQ(12u, line.call);
    EXPECT_EQ(4u, line.status);
    EXPECT_TRUE(line.injected);
    EXPECT_FALSE(line.hasBytes);
    EXPECT_EQ("0", line.Field("count"));

    ASSERT_TRUE(ParseTraceLine("12345678901 USB FT_GetDeviceInfo#1 handle=0x5B00000010 = 0 OK type=6 "
                               "id=0x04036010 serial=\"SB000001A\" description=\"Dual RS232-HS A\"",
                               &line));
    EXPECT_EQ(12345678901u, line.time);
    EXPECT_EQ("Dual RS232-HS A", line.Field("description"));
}

TEST(TraceReader, TakesEngineSpiRecordAndNoteLinesApart)
{
    TraceLine line;
    ASSERT_TRUE(ParseTraceLine("0000524750 MPSSE 0 86 AF 04 divisor divisor=1199 sck=5000Hz", &line));
    EXPECT_EQ(0, line.pos);
    EXPECT_EQ((std::vector<uint8_t>{0x86, 0xAF, 0x04}), line.command);
    EXPECT_EQ("divisor", line.name);
    EXPECT_EQ("1199", line.Field("divisor"));

    ASSERT_TRUE(ParseTraceLine("0000014125 MPSSE 2 AA bad-command | FA AA", &line));
    EXPECT_EQ(2, line.pos);
    EXPECT_EQ("bad-command", line.name);
    EXPECT_EQ((std::vector<uint8_t>{0xFA, 0xAA}), line.bytes);

    ASSERT_TRUE(ParseTraceLine("0000527225 SPI 0 frame 1 bits=11 mosi: C0 b101 miso: FF b111", &line));
    EXPECT_EQ("frame", line.name);
    EXPECT_EQ(1u, line.frame);
    EXPECT_EQ(11u, line.bits);
    EXPECT_EQ(std::vector<uint8_t>{0xC0}, line.mosi);
    EXPECT_EQ("b101", line.mosiTail);
    EXPECT_EQ(std::vector<uint8_t>{0xFF}, line.miso);
    EXPECT_FALSE(line.unfinished);

    ASSERT_TRUE(ParseTraceLine("0000000001 SPI 1 frame 7 unfinished bits=0 mosi: miso:", &line));
    EXPECT_TRUE(line.unfinished);
    EXPECT_EQ(7u, line.frame);
    EXPECT_TRUE(line.mosi.empty());

    ASSERT_TRUE(ParseTraceLine("0000525125 SPI 0 select", &line));
    EXPECT_EQ("select", line.name);

    ASSERT_TRUE(ParseTraceLine("0000001000 REC 1 flags=0x00000002 type=6 id=0x04036010 loc=0x00000012 "
                               "serial=\"SB000001B\" description=\"Dual RS232-HS B\" handle=0x0",
                               &line));
    EXPECT_EQ(1, line.pos);
    EXPECT_EQ("0x00000012", line.Field("loc"));

    ASSERT_TRUE(ParseTraceLine("0000000000 NOTE - read time-out 0: read would block forever", &line));
    EXPECT_EQ(-1, line.pos);
    EXPECT_EQ("read time-out 0: read would block forever", line.note);

    ASSERT_TRUE(ParseTraceLine("0000000000 BOARD start devices=\"FT2232H\" engine=\"ok\" fail=\"\"", &line));
    EXPECT_EQ("FT2232H", line.Field("devices"));
    EXPECT_EQ("", line.Field("fail"));
}

const char *const kBrokenLines[] = {
    "",
    "000000100 USB FT_Open#1 index=0 = 0 OK",          // 9 digits
    "00000001x0 USB FT_Open#1 index=0 = 0 OK",
    "0000000100 USB",
    "0000000100 USB FT_Open index=0 = 0 OK",           // no call number
    "0000000100 USB FT_Open#1 index=0 0 OK",           // no "="
    "0000000100 USB FT_Open#1 index=0 = x OK",
    "0000000100 USB FT_Open#1 index=0 =",
    "0000000100 MPSSE 0 loopback-on",                  // no command bytes
    "0000000100 MPSSE 0 84",                           // no name
    "0000000100 SPI 0 frame 0 bits=0 mosi: miso:",
    "0000000100 SPI 0 frame 1 bits=9 mosi: C0 miso: FF",
    "0000000100 SPI 0 frame 1 bits=8 mosi: C0",
    "0000000100 SPI 0 frame 1 bits=8 mosi: C0 miso: FF extra",
    "0000000100 SPI 0 open",
    "0000000100 REC x flags=0x0",
    "0000000100 NOTE 300 text",
    "0000000100 WHAT 0 something",
    "0000000100 USB FT_GetDeviceInfo#1 handle=0x1 = 0 OK serial=\"SB",
};

class BrokenLine : public ::testing::TestWithParam<const char *> {};

TEST_P(BrokenLine, IsRefusedWithAReason)
{
    TraceLine line;
    std::string error;
    EXPECT_FALSE(ParseTraceLine(GetParam(), &line, &error));
    EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(Lines, BrokenLine, ::testing::ValuesIn(kBrokenLines));

TEST(TraceWriter, WritesPaddedTimesAndFlushesEachLine)
{
    std::string path = ::testing::TempDir() + "simrecords-writer.trace";
    simboard::TraceWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, &error)) << error;
    writer.Line(42, "NOTE", "- " + simboard::HexBytes(std::vector<uint8_t>{0x0A, 0xFF}));
    writer.Line(12345678901ull, "NOTE", "0 x");
    // Flushed already: readable while the writer still holds the file.
    std::ifstream in(path);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ("0000000042 NOTE - 0A FF", first);
    EXPECT_EQ("12345678901 NOTE 0 x", second);
    writer.Close();
    std::remove(path.c_str());
    EXPECT_FALSE(writer.Open("/nonexistent-folder/x.trace", &error));
    EXPECT_FALSE(error.empty());
}

} // namespace
