#include <gtest/gtest.h>

#include <cstdlib>

#include "support/child_process.h"

namespace
{

TEST(ChildProcess, CapturesBothStreamsAsBytesAndTheExitStatus)
{
    ChildSpec child;
    child.program = "/bin/sh";
    child.args = {"-c", "printf 'a\\r\\n\\303\\000b'; printf err >&2; exit 7"};
    ChildResult result = RunChild(child);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_EQ(result.out, std::string("a\r\n\xC3\0b", 6));
    EXPECT_EQ(result.err, "err");
}

TEST(ChildProcess, EnvironmentIsExplicitAndBoardSettingsDoNotLeakIn)
{
    setenv("SIMBOARD_LEAK", "1", 1);
    setenv("LD_LIBRARY_PATH", "/nowhere", 1);
    ChildSpec child;
    child.program = "/bin/sh";
    child.args = {"-c", "echo \"${SIMBOARD_LEAK-unset}/${LD_LIBRARY_PATH-unset}/${SIMBOARD_CHIP-unset}\""};
    child.env = {{"SIMBOARD_CHIP", "absent"}};
    ChildResult result = RunChild(child);
    unsetenv("SIMBOARD_LEAK");
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(result.out, "unset/unset/absent\n");
}

TEST(ChildProcess, AHangingChildIsKilledAtItsBound)
{
    ChildSpec child;
    child.program = "/bin/sleep";
    child.args = {"30"};
    child.timeoutSeconds = 0.2;
    ChildResult result = RunChild(child);
    EXPECT_TRUE(result.timedOut);
    EXPECT_NE(result.signal, 0);
}

} // namespace
