#include <gtest/gtest.h>

#include <cstdlib>

#include "support/child_process.h"

namespace
{

// Both streams as bytes and the exit status; an environment of the child's
// own, without the board settings or library path of the test; a hanging
// child killed at its bound.
TEST(ChildProcess, CapturesStreamsAndStatusInItsOwnEnvironmentAndIsKilledAtItsBound)
{
    setenv("SIMBOARD_LEAK", "1", 1);
    setenv("LD_LIBRARY_PATH", "/nowhere", 1);
    ChildSpec child;
    child.program = "/bin/sh";
    child.args = {"-c", "printf 'a\\r\\n\\303\\000b'; printf err >&2; "
                        "echo \"${SIMBOARD_LEAK-unset}/${LD_LIBRARY_PATH-unset}/${SIMBOARD_CHIP-unset}\"; exit 7"};
    child.env = {{"SIMBOARD_CHIP", "absent"}};
    ChildResult result = RunChild(child);
    unsetenv("SIMBOARD_LEAK");
    unsetenv("LD_LIBRARY_PATH");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_EQ(result.out, std::string("a\r\n\xC3\0b", 6) + "unset/unset/absent\n");
    EXPECT_EQ(result.err, "err");

    child.program = "/bin/sleep";
    child.args = {"30"};
    child.timeoutSeconds = 0.2;
    result = RunChild(child);
    EXPECT_TRUE(result.timedOut);
    EXPECT_NE(result.signal, 0);
}

} // namespace
