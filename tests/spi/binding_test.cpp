// The driver binding in child processes, with the library path set only in
// the child's environment: the fatal report for a missing library or entry
// point, and a complete bind.
#include <gtest/gtest.h>

#include <string>

#include "support/child_process.h"

namespace
{

std::string Report(int line)
{
    return "../../Infra/src/ftdi_infra:" + std::to_string(line) + ":Init_libMPSSE(): NULL expression encountered\n";
}

TEST(DriverBinding, MissingLibraryOrEntryPointIsFatalWithItsLine)
{
    const struct {
        std::string dir;
        int exitStatus;
        std::string out;
    } cases[] = {
        {SPI_EMPTY_LIBRARY_DIR, 1, Report(246)},
        {SPI_BOARD_DIR "/no-FT_Purge", 1, Report(269)},
        // Never called, but still required.
        {SPI_BOARD_DIR "/no-FT_GetLibraryVersion", 1, Report(250)},
        {SPI_BOARD_DIR, 0, "bound: status 0, 2 channels\n"},
    };
    for (const auto &c : cases) {
        ChildSpec child;
        child.program = SPI_BINDING_PROBE;
        child.env = {{"LD_LIBRARY_PATH", c.dir}};
        child.timeoutSeconds = 30;
        ChildResult result = RunChild(child);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.Describe();
        EXPECT_EQ(result.out, c.out) << c.dir;
        EXPECT_EQ(result.err, "") << c.dir;
    }
}

} // namespace
