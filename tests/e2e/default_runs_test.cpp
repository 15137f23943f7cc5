// A run without any of the newer options is the documented behaviour, and it
// stays byte for byte what it was: what the tool prints, what it sends over
// USB (the board's trace) and how long it pauses. New behaviour sits behind
// new options only. Each run below is pinned by digests of its standard output
// and of the board's USB trace and by its pause total on the virtual clock,
// recorded from the tool before those options existed; every run starts with
// an erased flash, and works in a folder of its own so that no path reaches
// the output.
//
// An intended change to a default run: check the new output and trace by hand,
// then copy the row this test prints for the run into the table.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_files.h"

namespace
{

// 64-bit FNV-1a.
uint64_t Digest(const Bytes &bytes)
{
    uint64_t hash = 0xcbf29ce484222325u;
    for (uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3u;
    }
    return hash;
}

struct DefaultRun {
    const char *what;
    std::vector<std::string> args;
    uint64_t console; // digest of standard output
    uint64_t trace;   // digest of the USB trace
    uint64_t pauseMs; // the tool's pauses, in total
};

const DefaultRun RUNS[] = {
    {"erase at level 2", {"-v", "2", "-a", "e"}, 0x2a378f217739a767u, 0x2f885a65fe928715u, 952},
    {"program at level 1", {"-a", "p", "-f", "sample.bin"}, 0x845b34491b35d253u, 0xdfe4f431b5ecb75du, 2161},
    {"program at level 4", {"-v", "4", "-a", "p", "-f", "sample.bin"}, 0x2d130534d2e08d8du, 0xdfe4f431b5ecb75du, 2161},
    {"reset", {"-a", "r"}, 0x3028fdb0f1079c1cu, 0xf66cc97af194cb0cu, 1107},
    {"go", {"-a", "g", "-s", "0"}, 0x1e330b65afe3a58au, 0xbf4f3a4589887289u, 952},
    {"unlock refused", {"-u", "1234", "-a", "e"}, 0xe89ea6c755a5eb88u, 0x887e1fcd174dfab4u, 890},
};

TEST(DefaultRuns, PrintSendAndPauseAsRecorded)
{
    for (const DefaultRun &run : RUNS) {
        TempDir temp("default");
        WriteFile(temp.Path("sample.bin"), ReadFile(SAMPLE_IMAGE));

        ChildSpec child;
        child.program = CANISP_VCLOCK_BINARY;
        child.args = run.args;
        child.env = {{"LD_LIBRARY_PATH", SIMBOARD_DIR},
                     {"SIMBOARD_FLASH", "flash.bin"},
                     {"SIMBOARD_TRACE", "usb.trace"},
                     {"CANISP_VCLOCK_REPORT", "pauses.txt"}};
        child.workDir = temp.path;
        ChildResult result = RunChild(child);
        ASSERT_EQ(result.exitStatus, 0) << run.what << "\n" << result.Describe();
        EXPECT_EQ(result.err, "") << run.what;

        uint64_t pauseMs = UINT64_MAX;
        std::ifstream(temp.Path("pauses.txt")) >> pauseMs;
        const uint64_t console = Digest(Bytes(result.out.begin(), result.out.end()));
        const uint64_t trace = Digest(ReadFile(temp.Path("usb.trace")));

        char row[160];
        std::snprintf(row, sizeof row, "{\"%s\", ..., 0x%016" PRIx64 "u, 0x%016" PRIx64 "u, %" PRIu64 "}", run.what,
                      console, trace, pauseMs);
        EXPECT_EQ(console, run.console) << "console differs; this run now gives " << row << "\n" << result.out;
        EXPECT_EQ(trace, run.trace) << "USB trace differs; this run now gives " << row;
        EXPECT_EQ(pauseMs, run.pauseMs) << "pauses differ; this run now gives " << row;
    }
}

} // namespace
