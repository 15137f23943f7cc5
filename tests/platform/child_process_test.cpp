#include <gtest/gtest.h>

#include <cstdlib>

#include "support/child_process.h"

namespace {

TEST(ChildProcess, CapturesBothStreamsAsBytesAndTheExitStatus)
{
    ChildSpec spec;
    spec.program = "/bin/sh";
    spec.args = {"-c", "printf 'a\\r\\n\\303\\000b'; printf err >&2; exit 7"};
    ChildResult result = RunChild(spec);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_EQ(result.out, std::string("a\r\n\xC3\0b", 6));
    EXPECT_EQ(result.err, "err");
}

TEST(ChildProcess, EnvironmentIsExplicitAndBoardSettingsDoNotLeakIn)
{
    setenv("SIMBOARD_LEAK", "1", 1);
    setenv("LD_LIBRARY_PATH", "/nowhere", 1);
    ChildSpec spec;
    spec.program = "/bin/sh";
    spec.args = {"-c", "echo \"${SIMBOARD_LEAK-unset}/${LD_LIBRARY_PATH-unset}/${SIMBOARD_CHIP-unset}\""};
    spec.env = {{"SIMBOARD_CHIP", "absent"}};
    ChildResult result = RunChild(spec);
    unsetenv("SIMBOARD_LEAK");
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(result.out, "unset/unset/absent\n");
}

TEST(ChildProcess, AHangingChildIsKilledAtItsBound)
{
    ChildSpec spec;
    spec.program = "/bin/sleep";
    spec.args = {"30"};
    spec.timeoutSeconds = 0.2;
    ChildResult result = RunChild(spec);
    EXPECT_TRUE(result.timedOut);
    EXPECT_NE(result.signal, 0);
}

TEST(ChildProcess, AProgramThatCannotRunIsReportedAsNotStarted)
{
    ChildSpec spec;
    spec.program = "/nonexistent/canisp";
    ChildResult result = RunChild(spec);
    EXPECT_FALSE(result.started);
}

TEST(ChildProcess, RunsInTheGivenFolderWithAPrefixCommand)
{
    ChildSpec spec;
    spec.prefix = {"/usr/bin/env"};
    spec.program = "pwd";
    spec.workDir = "/tmp";
    ChildResult result = RunChild(spec);
    EXPECT_EQ(result.out, "/tmp\n");
    EXPECT_EQ(result.exitStatus, 0);
}

} // namespace
