#include <gtest/gtest.h>

#include <cstring>

#include "app/console.h"
#include "support/expected_output.h"
#include "support/tool_fixture.h"

namespace
{

using ConsoleTest = ToolTest;

TEST_F(ConsoleTest, BannerOfTheToolIsA79ColumnBoxWithTheTextCentred)
{
    APP_PrintBanner("CAN Bootloader for LPC11Cxx Microcontrollers");

    const std::string top = "\r\n\xDA" + std::string(77, '\xC4') + "\xBF\r\n";
    const std::string middle = "\xB3" + std::string(16, ' ') + "CAN Bootloader for LPC11Cxx Microcontrollers" +
                               std::string(17, ' ') + "\xB3\r\n";
    const std::string bottom = "\xC0" + std::string(77, '\xC4') + "\xD9";
    EXPECT_EQ(console, top + middle + bottom);
    EXPECT_EQ(middle.size() - 2, 79u);
}

TEST_F(ConsoleTest, BannerPutsTheOddBlankOnTheRight)
{
    struct Case {
        std::string text;
        size_t left;
        size_t right;
    };
    const Case cases[] = {
        {std::string(75, 'x'), 1, 1},                                // 77 - 2k: k blanks each side
        {std::string(1, 'x'), 38, 38}, {std::string(76, 'x'), 0, 1}, // even: one more on the right
        {std::string(), 38, 39},       {std::string(77, 'x'), 0, 0},
    };
    for (const Case &c : cases) {
        console.clear();
        APP_PrintBanner(c.text.c_str());
        const std::string middle = "\xB3" + std::string(c.left, ' ') + c.text + std::string(c.right, ' ') + "\xB3\r\n";
        EXPECT_NE(console.find(middle), std::string::npos) << "text length " << c.text.size();
    }
}

TEST_F(ConsoleTest, StatusLinePadsItsTextTo64Columns)
{
    struct Case {
        size_t length;
        size_t padding;
    };
    const Case cases[] = {{0, 64}, {1, 63}, {63, 1}, {64, 0}, {65, 0}, {120, 0}};
    for (const Case &c : cases) {
        console.clear();
        const std::string text(c.length, 'a');
        APP_PrintStatus(text.c_str());
        EXPECT_EQ(console, "\r\n\xC3  " + text + std::string(c.padding, ' ')) << "length " << c.length;
    }
}

TEST_F(ConsoleTest, FormatFillsTheMessageBufferAndReturnsItsLength)
{
    int written = APP_Format(g_message, "Connecting to PartID 0x%08X @ %ibaud", 0x1430102Bu, 100000);
    EXPECT_STREQ(g_message, "Connecting to PartID 0x1430102B @ 100000baud");
    EXPECT_EQ(written, 44);
}

TEST_F(ConsoleTest, FormatCutsAnOverlongTextVisiblyWithinTheBuffer)
{
    // A guard after the buffer catches a write past its 80 bytes.
    struct {
        char buffer[MESSAGE_SIZE];
        char guard[16];
    } area;
    std::memset(&area, '#', sizeof(area));
    const std::string name(200, 'n');

    int written = APP_Format(area.buffer, "File '%s' (%d bytes) loaded!", name.c_str(), 4100);

    EXPECT_EQ(written, 79);
    EXPECT_EQ(std::strlen(area.buffer), 79u);
    EXPECT_EQ(std::string(area.buffer), "File '" + std::string(70, 'n') + "...");
    EXPECT_EQ(std::string(area.guard, sizeof(area.guard)), std::string(16, '#'));
}

TEST_F(ConsoleTest, FormatOfExactly79CharactersIsNotCut)
{
    const std::string text(79, 'x');
    EXPECT_EQ(APP_Format(g_message, "%s", text.c_str()), 79);
    EXPECT_EQ(std::string(g_message), text);
}

} // namespace
