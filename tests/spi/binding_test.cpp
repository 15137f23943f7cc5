// The driver binding: the fatal report for a missing library or entry point
// (in child processes, with the library path set only for the child), and the
// module's behaviour while it is not bound.
#include <gtest/gtest.h>

#include <string>

#include "Infra/src/ftdi_infra.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "support/child_process.h"
#include "support/tool_fixture.h"

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

class UnboundDriver : public ToolTest {};

TEST_F(UnboundDriver, CleanupWithoutBindingAndCallsWhileUnbound)
{
    Cleanup_libMPSSE();
    EXPECT_EQ(hdll_d2xx, nullptr);
    // Nothing jumps through an empty table: every call is an error.
    uint32_t channels = 7;
    EXPECT_EQ(SPI_GetNumChannels(&channels), 18u);
    uint32_t written = 0;
    EXPECT_EQ(MPSSE_Write(reinterpret_cast<D2xxHandle>(0x10), "x", 1, &written), 18u);
    EXPECT_EQ(Infra_ModuleEntry(2), 1);
    EXPECT_EQ(Infra_ModuleEntry(INFRA_PROCESS_DETACH), 1);
    EXPECT_EQ(hdll_d2xx, nullptr);
}

TEST_F(UnboundDriver, TestFunctionAddsOneHundred)
{
    uint32_t result = 0;
    EXPECT_EQ(Infra_TestFunction(5, &result), 0u);
    EXPECT_EQ(result, 105u);
    EXPECT_EQ(Infra_TestFunction(0xFFFFFFFFu, &result), 0u);
    EXPECT_EQ(result, 99u);
}

} // namespace
