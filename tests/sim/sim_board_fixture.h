// The common fixture of in-process tests of the simulated board: every board
// setting back to its default, except the SPI test double on the port in place
// of the CAN controller; a trace file of the test's own, and helpers that drive
// the entry points.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/driver_api.h"
#include "sim/records.h"
#include "sim/simboard.h"

using Bytes = std::vector<uint8_t>;

class SimBoardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        tracePath = ::testing::TempDir() + "simboard-" + std::to_string(getpid()) + "-" + name + ".trace";
        // Every setting these suites touch back to its default.
        for (const char *setting :
             {"DEVICES", "ENGINE", "FAIL", "TRACE", "OSC_HZ", "NOISE", "CAPTURE", "CANLOG", "CHIP", "CHIP_BITRATE",
              "CHIP_PARTID", "CHIP_ANSWER_FROM", "CHIP_SILENT_AFTER", "CHIP_REINVOKE", "CHIP_ABORT",
              "CHIP_COMPARE_DIFF", "CHIP_REMAP", "FLASH", "CHIPLOG"})
            ASSERT_EQ(0, SimBoard_Set((std::string("SIMBOARD_") + setting).c_str(), ""));
        ASSERT_EQ(0, SimBoard_Set("SIMBOARD_CONTROLLER", "script"));
        ASSERT_EQ(0, SimBoard_Set("SIMBOARD_TRACE", tracePath.c_str()));
        SimBoard_Reset();
    }
    void TearDown() override
    {
        SimBoard_Set("SIMBOARD_TRACE", "");
        SimBoard_Reset();
        std::remove(tracePath.c_str());
    }

    // Stores settings (which must be accepted) and resets the board.
    void Apply(const std::vector<std::pair<std::string, std::string>> &settings)
    {
        for (const auto &setting : settings)
            ASSERT_EQ(0, SimBoard_Set(setting.first.c_str(), setting.second.c_str())) << setting.first;
        SimBoard_Reset();
    }
    void Apply(const std::string &name, const std::string &value) { Apply({{name, value}}); }

    // The trace so far, parsed (the test fails on a line that breaks the
    // format), keeping the lines with this tag; all of them for "".
    std::vector<simboard::TraceLine> Trace(const std::string &tag = "")
    {
        std::vector<simboard::TraceLine> lines, kept;
        std::string error;
        EXPECT_TRUE(simboard::ReadTraceFile(tracePath, &lines, &error)) << error;
        for (auto &line : lines)
            if (tag.empty() || line.tag == tag)
                kept.push_back(line);
        return kept;
    }
    // The text of every line with that tag ("TIME TAG REST" as written).
    std::vector<std::string> RawLines(const std::string &tag = "")
    {
        std::vector<std::string> lines;
        std::ifstream in(tracePath);
        for (std::string text; std::getline(in, text);)
            if (tag.empty() || text.compare(11, tag.size() + 1, tag + " ") == 0)
                lines.push_back(text);
        return lines;
    }

    // Opens a record and puts it into MPSSE mode as the tool does.
    SB_HANDLE OpenMpsse(uint32_t position = 0, uint8_t latencyMs = 16, uint32_t readTimeoutMs = 5000)
    {
        SB_HANDLE handle = nullptr;
        EXPECT_EQ(0u, FT_Open(position, &handle));
        EXPECT_EQ(0u, FT_SetTimeouts(handle, readTimeoutMs, readTimeoutMs));
        EXPECT_EQ(0u, FT_SetLatencyTimer(handle, latencyMs));
        EXPECT_EQ(0u, FT_SetBitMode(handle, 0, 0));
        EXPECT_EQ(0u, FT_SetBitMode(handle, 0, 2));
        return handle;
    }
    void Write(SB_HANDLE handle, const Bytes &bytes)
    {
        uint32_t written = 0;
        EXPECT_EQ(0u, FT_Write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
        EXPECT_EQ(bytes.size(), written);
    }
    // Reads what the engine has answered (after a send immediate).
    Bytes ReadAll(SB_HANDLE handle)
    {
        uint32_t queued = 0, read = 0;
        EXPECT_EQ(0u, FT_GetQueueStatus(handle, &queued));
        Bytes bytes(queued);
        if (queued) {
            EXPECT_EQ(0u, FT_Read(handle, bytes.data(), queued, &read));
        }
        bytes.resize(read);
        return bytes;
    }
    // Writes the commands followed by a send immediate and reads the answer.
    Bytes Exchange(SB_HANDLE handle, Bytes commands)
    {
        commands.push_back(0x87);
        Write(handle, commands);
        return ReadAll(handle);
    }

    std::string tracePath;
};
