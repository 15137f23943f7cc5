#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/resource.h>

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

// A write that the file system refuses only at the flush (here: past the
// file size limit) fails, and leaves neither the file nor its temporary.
TEST(WholeFiles, AWriteRefusedAtTheFlushFailsAndLeavesNothing)
{
    TempDir temp("whole");
    const std::string path = temp.Path("out.bin");
    const Bytes bytes(100, 0x42);
    rlimit saved, low;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    low = saved;
    low.rlim_cur = 10;
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    const bool written = PLAT_WriteFileWhole(path.c_str(), bytes.data(), bytes.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    ASSERT_TRUE(PLAT_WriteFileWhole(path.c_str(), bytes.data(), bytes.size()));
    EXPECT_EQ(ReadFile(path), bytes);
}

} // namespace
