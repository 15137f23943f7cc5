// The real canisp binary: its exact console bytes and exit status for the
// runs that end before any device access.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/expected_output.h"

namespace
{

ChildResult RunTool(const std::vector<std::string> &args)
{
    ChildSpec child;
    child.program = CANISP_BINARY;
    child.args = args;
    child.timeoutSeconds = 30;
    return RunChild(child);
}

TEST(FrontEnd, ParserFailuresPrintTheirMessageAndNothingAfter)
{
    const struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{}, "Filename required!"},
        {{"-x", "1"}, "Unknown Argument!"},
        {{"a", "p"}, "Malformed Argument!"},
        {{"-a", "p", "q", "-v", "2"}, "Malformed Argument!"},
        {{"-v", "0", "-a"}, "Malformed Argument!"},
        {{"-a", "p", "-f", std::string(1500, 'x')}, "Malformed Argument!"},
        {{"-a", "g", "-s", "zz"}, "Malformed Argument!"},
    };
    for (const auto &c : cases) {
        ChildResult result = RunTool(c.args);
        ASSERT_EQ(result.exitStatus, 0) << result.Describe();
        EXPECT_EQ(result.out, expected::ToolBanner() + expected::Status(c.message)) << ::testing::PrintToString(c.args);
        EXPECT_EQ(result.err, "");
    }
}

// A bit rate the controller cannot time fails before any device access; with
// one it can, a run without the driver library ends with its report, status 1.
TEST(FrontEnd, ABadBitRateOrNoDriverLibraryEndsTheRunAtTheInterface)
{
    const std::string noLibrary = "../../Infra/src/ftdi_infra:246:Init_libMPSSE(): NULL expression encountered\n";
    const struct {
        std::vector<std::string> args;
        const char *line;
        int status;
    } cases[] = {
        {{"-v", "0", "-a", "e", "-b", "2000000"}, "Connecting to PartID 0x1430102B @ 2000000baud", 0},
        {{"-a", "e", "-b", "0", "-p", "abc"}, "Connecting to PartID 0x00000ABC @ 0baud", 0},
        {{"-b", "-1", "-v", "4"}, "Connecting to PartID 0x1430102B @ -1baud", 0},
        {{"-b", "15384"}, "Connecting to PartID 0x1430102B @ 15384baud", 0},
        {{"-v", "0", "-a", "e"}, "Connecting to PartID 0x1430102B @ 100000baud", 1},
    };
    for (const auto &c : cases) {
        ChildResult result = RunTool(c.args);
        ASSERT_EQ(result.exitStatus, c.status) << result.Describe();
        EXPECT_EQ(result.out, expected::ToolBanner() + expected::Status(c.line) +
                                  expected::Status("Connecting to CAN Transceiver") +
                                  (c.status == 0 ? expected::Status("CAN Interface could not be opened!") : noLibrary));
    }
}

// On a terminal a UTF-8 locale sees box-drawing characters; another charset
// keeps the raw bytes.
TEST(FrontEnd, TheTerminalsCharsetChoosesTheFrameCharacters)
{
    ChildSpec child;
    child.program = CANISP_BINARY;
    child.stdoutIsTerminal = true;
    child.env = {{"LC_ALL", "C.UTF-8"}};
    ChildResult result = RunChild(child);
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    std::string top = "\r\n\u250C";
    for (int i = 0; i < 77; ++i)
        top += "\u2500";
    EXPECT_EQ(result.out.substr(0, top.size() + 5), top + "\u2510\r\n");
    EXPECT_NE(result.out.find("\r\n\u251C  Filename required!"), std::string::npos);
    EXPECT_EQ(result.out.find('\xC4'), std::string::npos) << "no raw code page 437 byte";

    child.env = {{"LC_ALL", "C"}};
    result = RunChild(child);
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_EQ(result.out, expected::ToolBanner() + expected::Status("Filename required!"));
}

} // namespace
