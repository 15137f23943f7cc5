// The driver binding in child processes, with the library path set only in
// the child's environment: the fatal report for a missing library or entry
// point, and a complete bind.
#include <gtest/gtest.h>

#include <string>

#include "support/child_process.h"

namespace {

ChildResult RunProbe(const std::string &libraryDir)
{
    ChildSpec spec;
    spec.program = SPI_BINDING_PROBE;
    spec.env = {{"LD_LIBRARY_PATH", libraryDir}};
    spec.timeoutSeconds = 30;
    return RunChild(spec);
}

std::string Report(int line)
{
    return "../../Infra/src/ftdi_infra:" + std::to_string(line) + ":Init_libMPSSE(): NULL expression encountered\n";
}

TEST(DriverBinding, NoLibraryIsFatalWithLine246)
{
    ChildResult result = RunProbe(SPI_EMPTY_LIBRARY_DIR);
    ASSERT_TRUE(result.started) << result.Describe();
    EXPECT_EQ(result.exitStatus, 1) << result.Describe();
    EXPECT_EQ(result.out, Report(246));
    EXPECT_EQ(result.err, "");
}

#ifdef SPI_BOARD_DIR
TEST(DriverBinding, MissingEntryPointIsFatalWithItsLine)
{
    const struct {
        std::string dir;
        int line;
    } cases[] = {
        {SPI_BOARD_DIR "/no-FT_Purge", 269},
        // Never called, but still required.
        {SPI_BOARD_DIR "/no-FT_GetLibraryVersion", 250},
    };
    for (const auto &c : cases) {
        ChildResult result = RunProbe(c.dir);
        EXPECT_EQ(result.exitStatus, 1) << result.Describe();
        EXPECT_EQ(result.out, Report(c.line)) << c.dir;
    }
}

TEST(DriverBinding, CompleteLibraryBinds)
{
    ChildResult result = RunProbe(SPI_BOARD_DIR);
    EXPECT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_EQ(result.out, "bound: status 0, 2 channels\n");
}
#endif

} // namespace
