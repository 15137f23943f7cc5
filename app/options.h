// The run settings and the command-line parser.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t FILE_NAME_SIZE = 1024; // at most 1023 characters and the terminator
constexpr int32_t DEFAULT_BIT_RATE = 100000;
constexpr uint32_t DEFAULT_PART_ID = 0x1430102B; // what the LPC11C24 reports
// The code that the LPC11Cxx ISP's Unlock command expects.
constexpr uint32_t DEFAULT_UNLOCK_CODE = 0x5A5A;
constexpr char NO_ACTION = '\0';

struct RunSettings {
    char fileName[FILE_NAME_SIZE];
    uint32_t startAddress;
    uint32_t flashOffset;
    int32_t bitRate;
    uint32_t unlockCode;
    uint32_t expectedPartId;
    char action;
};

enum ParseResult {
    PARSE_OK = 0,
    PARSE_MALFORMED = -1,
    PARSE_UNKNOWN = -2,
    PARSE_NO_ARGUMENTS = -3,
};

void APP_SetDefaultSettings(RunSettings *settings);

// Reads the option pairs into settings and sets g_verbosity. Besides the
// documented failures, PARSE_MALFORMED also stands for an option with no value
// after it and for a -f value too long for fileName (nothing is stored then).
ParseResult APP_ParseOptions(int argc, const char *const *argv, RunSettings *settings);

// The message main prints for a parser result; nullptr for PARSE_OK.
const char *APP_ParseMessage(ParseResult result);
