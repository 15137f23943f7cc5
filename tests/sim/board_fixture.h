// The common fixture of in-process tests of the simulated board: every board
// setting back to its default, except the SPI test double on the port in place
// of the CAN controller; a trace file of the test's own, and helpers that drive
// the entry points.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/driver_api.h"
#include "sim/records.h"
#include "sim/simboard.h"

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Stores a setting (which must be accepted) and resets the board.
    void Apply(const std::vector<std::pair<std::string, std::string>> &settings);
    void Apply(const std::string &name, const std::string &value) { Apply({{name, value}}); }

    // The trace so far, parsed; the test fails on a line that breaks the format.
    std::vector<simboard::TraceLine> Trace();
    std::vector<simboard::TraceLine> Trace(const std::string &tag);
    // The text of every line with that tag ("TIME TAG REST" as written).
    std::vector<std::string> RawLines(const std::string &tag = std::string());

    // Opens a record and puts it into MPSSE mode as the tool does.
    SB_HANDLE OpenMpsse(uint32_t position = 0, uint8_t latencyMs = 16, uint32_t readTimeoutMs = 5000);
    void Write(SB_HANDLE handle, const std::vector<uint8_t> &bytes);
    // Reads what the engine has answered (after a send immediate).
    std::vector<uint8_t> ReadAll(SB_HANDLE handle);
    // Writes the commands followed by a send immediate and reads the answer.
    std::vector<uint8_t> Exchange(SB_HANDLE handle, std::vector<uint8_t> commands);

    std::string tracePath;
};

// Every setting this suite touches; SetUp sets each to its default.
extern const char *const kBoardSettings[];
