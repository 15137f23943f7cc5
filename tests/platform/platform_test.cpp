#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/vclock.h"
#include "support/temp_files.h"

namespace
{

TEST(VirtualClock, SleepsOnlyAdvanceTheCounter)
{
    PLAT_VirtualClockReset();
    for (int attempt = 0; attempt < 20; ++attempt)
        PLAT_SleepMs(500);
    PLAT_SleepMs(0);
    EXPECT_EQ(PLAT_VirtualClockMs(), 10000u);
    EXPECT_EQ(PLAT_VirtualSleepCount(), 21u);
    PLAT_VirtualClockReset();
    EXPECT_EQ(PLAT_VirtualClockMs(), 0u);
    EXPECT_EQ(PLAT_VirtualSleepCount(), 0u);
}

TEST(ConsoleCharset, Utf8OnlyForATerminalWithAUtf8Codeset)
{
    const struct {
        bool terminal;
        const char *codeset;
        bool utf8;
    } cases[] = {
        {true, "UTF-8", true},           {true, "utf-8", true},       {true, "utf8", true}, {false, "UTF-8", false},
        {true, "ANSI_X3.4-1968", false}, {true, "ISO-8859-1", false}, {true, "", false},    {true, nullptr, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(PLAT_ChooseUtf8(c.terminal, c.codeset), c.utf8)
            << c.terminal << " " << (c.codeset ? c.codeset : "(null)");
}

TEST(ConsoleCharset, FrameBytesHaveTheirBoxDrawingEquivalents)
{
    const struct {
        uint8_t cp437;
        const char *utf8;
    } glyphs[] = {
        {218, "\u250C"}, {196, "\u2500"}, {191, "\u2510"}, {179, "\u2502"},
        {192, "\u2514"}, {217, "\u2518"}, {195, "\u251C"}, {219, "\u2588"},
    };
    for (const auto &g : glyphs) {
        ASSERT_NE(PLAT_Cp437FrameToUtf8(g.cp437), nullptr) << int(g.cp437);
        EXPECT_STREQ(PLAT_Cp437FrameToUtf8(g.cp437), g.utf8) << int(g.cp437);
    }
    for (int other : {0, int('A'), 0x7F, 0x80, 0xC2, 0xE2, 0xFF})
        EXPECT_EQ(PLAT_Cp437FrameToUtf8(static_cast<uint8_t>(other)), nullptr) << other;
}

TEST(DynamicLibrary, LoadsFindsAndReleases)
{
    void *library = PLAT_LoadLibrary("libm.so.6");
    ASSERT_NE(library, nullptr);
    auto cosine = reinterpret_cast<double (*)(double)>(PLAT_FindSymbol(library, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(PLAT_FindSymbol(library, "no_such_entry_point"), nullptr);
    EXPECT_EQ(PLAT_FreeLibrary(library), 0);
}

class SharedOpenTest : public ::testing::Test
{
protected:
    TempDir temp{"open"};
    const std::string &dir = temp.path;
};

TEST_F(SharedOpenTest, RegularFileOpensWhileAnotherWriterHoldsIt)
{
    const std::string path = dir + "/image.bin";
    FILE *writer = std::fopen(path.c_str(), "wb");
    ASSERT_NE(writer, nullptr);
    std::fputs("\x01\r\n\x1A\x02", writer);
    std::fflush(writer);

    FILE *file = nullptr;
    ASSERT_EQ(PLAT_OpenSharedBinary(path.c_str(), &file), PLAT_OPEN_OK);
    ASSERT_NE(file, nullptr);
    std::string read;
    for (int c; (c = std::fgetc(file)) != EOF;)
        read.push_back(static_cast<char>(c));
    EXPECT_EQ(read, std::string("\x01\r\n\x1A\x02")); // binary: no line-end translation, no end at 0x1A
    std::fclose(file);
    std::fclose(writer);
}

TEST_F(SharedOpenTest, WhatIsNotARegularFileIsRefusedWithoutBlocking)
{
    const std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        PlatOpenResult result;
    } cases[] = {
        {dir, PLAT_OPEN_NOT_REGULAR},         // a folder
        {"/dev/zero", PLAT_OPEN_NOT_REGULAR}, // never ends
        {fifo, PLAT_OPEN_NOT_REGULAR},        // no writer: a plain open would block
        {dir + "/missing.bin", PLAT_OPEN_FAILED},
        {"", PLAT_OPEN_FAILED},
    };
    for (const auto &c : cases) {
        FILE *file = reinterpret_cast<FILE *>(1);
        EXPECT_EQ(PLAT_OpenSharedBinary(c.path.c_str(), &file), c.result) << c.path;
        EXPECT_EQ(file, nullptr) << c.path;
    }
}

} // namespace
