// The trace reader that tests use refuses lines that break the format, so a
// board that writes such a line fails every test that reads its trace.
#include <gtest/gtest.h>

#include "sim/records.h"

TEST(TraceReader, RefusesBrokenLinesWithAReason)
{
    for (const char *text : {
             "",
             "000000100 USB FT_Open#1 index=0 = 0 OK",      // 9 digits
             "0000000100 USB FT_Open index=0 = 0 OK",       // no call number
             "0000000100 USB FT_Open#1 index=0 0 OK",       // no "="
             "0000000100 MPSSE 0 84",                       // no name
             "0000000100 SPI 0 frame 0 bits=0 mosi: miso:", // frames count from 1
             "0000000100 SPI 0 frame 1 bits=9 mosi: C0 miso: FF",
             "0000000100 SPI 0 frame 1 bits=8 mosi: C0 miso: FF extra",
             "0000000100 NOTE 300 text",
             "0000000100 WHAT 0 something",
             "0000000100 USB FT_GetDeviceInfo#1 handle=0x1 = 0 OK serial=\"SB",
         }) {
        simboard::TraceLine line;
        std::string error;
        EXPECT_FALSE(simboard::ParseTraceLine(text, &line, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}
