#include <gtest/gtest.h>

#include <cstring>

#include "app/console.h"
#include "support/tool_fixture.h"

namespace
{

using ConsoleTest = ToolTest;

TEST_F(ConsoleTest, BannerIsA79ColumnBoxWithTheTextCentredAndTheOddBlankOnTheRight)
{
    APP_PrintBanner("CAN Bootloader for LPC11Cxx Microcontrollers");
    EXPECT_EQ(console, "\r\n\xDA" + std::string(77, '\xC4') + "\xBF\r\n\xB3" + std::string(16, ' ') +
                           "CAN Bootloader for LPC11Cxx Microcontrollers" + std::string(17, ' ') + "\xB3\r\n\xC0" +
                           std::string(77, '\xC4') + "\xD9");
    const struct {
        size_t length, left, right;
    } cases[] = {{75, 1, 1}, {1, 38, 38}, {76, 0, 1}, {0, 38, 39}, {77, 0, 0}};
    for (const auto &c : cases) {
        console.clear();
        const std::string text(c.length, 'x');
        APP_PrintBanner(text.c_str());
        const std::string middle = "\xB3" + std::string(c.left, ' ') + text + std::string(c.right, ' ') + "\xB3\r\n";
        EXPECT_NE(console.find(middle), std::string::npos) << "text length " << c.length;
    }
}

TEST_F(ConsoleTest, StatusLinePadsItsTextTo64Columns)
{
    for (size_t length : {0, 1, 63, 64, 65, 120}) {
        console.clear();
        const std::string text(length, 'a');
        APP_PrintStatus(text.c_str());
        EXPECT_EQ(console, "\r\n\xC3  " + text + std::string(length < 64 ? 64 - length : 0, ' ')) << length;
    }
}

TEST_F(ConsoleTest, FormatFillsTheMessageBufferAndCutsAnOverlongTextVisiblyWithinIt)
{
    EXPECT_EQ(APP_Format(g_message, "Connecting to PartID 0x%08X @ %ibaud", 0x1430102Bu, 100000), 44);
    EXPECT_STREQ(g_message, "Connecting to PartID 0x1430102B @ 100000baud");
    const std::string text(79, 'x');
    EXPECT_EQ(APP_Format(g_message, "%s", text.c_str()), 79);
    EXPECT_EQ(std::string(g_message), text);

    // A guard after the buffer catches a write past its 80 bytes.
    struct {
        char buffer[MESSAGE_SIZE];
        char guard[16];
    } area;
    std::memset(&area, '#', sizeof(area));
    const std::string name(200, 'n');
    EXPECT_EQ(APP_Format(area.buffer, "File '%s' (%d bytes) loaded!", name.c_str(), 4100), 79);
    EXPECT_EQ(std::string(area.buffer), "File '" + std::string(70, 'n') + "...");
    EXPECT_EQ(std::string(area.guard, sizeof(area.guard)), std::string(16, '#'));
}

} // namespace
