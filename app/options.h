// The run settings and the command-line parser.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/console.h"

constexpr size_t FILE_NAME_SIZE = 1024; // at most 1023 characters and the terminator
constexpr int32_t DEFAULT_BIT_RATE = 100000;
constexpr uint32_t DEFAULT_PART_ID = 0x1430102B; // what the LPC11C24 reports
// The code that the LPC11Cxx ISP's Unlock command expects.
constexpr uint32_t DEFAULT_UNLOCK_CODE = 0x5A5A;
constexpr char NO_ACTION = '\0';

// What a run does besides the action of its -a pair. The first of --help,
// --version and --list on the command line names it; reading ends there.
enum RunRequest {
    REQUEST_ACTION = 0,
    REQUEST_HELP,
    REQUEST_VERSION,
    REQUEST_LIST,
};

struct RunSettings {
    char fileName[FILE_NAME_SIZE];
    uint32_t startAddress;
    uint32_t flashOffset;
    bool offsetGiven; // -o stood on the command line
    int32_t bitRate;
    uint32_t unlockCode;
    uint32_t expectedPartId;
    char action;
    RunRequest request;
    bool exitCode;    // --exit-code: the exit status names the outcome
    bool fast;        // --fast: the fast wire and programming order
    bool lengthGiven; // --length: the byte count of -a d
    uint32_t length;
    // --allow-crp: the code read protection levels an image may set
    // (CRP_ALLOW_* bits); none without the option.
    uint32_t allowedCrp;
    const char *deviceSelector; // --device: points into argv; nullptr for the first channel
    // Why a value was refused, for the status line before "Malformed Argument!"
    // at level 2 and above; empty when nothing was refused for its value.
    char refusal[MESSAGE_SIZE];
};

// Code read protection levels an image may be allowed to set: the bare
// --allow-crp allows CRP1 and CRP2; CRP3 and NO_ISP, which end the
// bootloader's access for good, only when named (--allow-crp=CRP3).
constexpr uint32_t CRP_ALLOW_CRP1 = 0x1;
constexpr uint32_t CRP_ALLOW_CRP2 = 0x2;
constexpr uint32_t CRP_ALLOW_CRP3 = 0x4;
constexpr uint32_t CRP_ALLOW_NO_ISP = 0x8;

enum ParseResult {
    PARSE_OK = 0,
    PARSE_MALFORMED = -1,
    PARSE_UNKNOWN = -2,
    PARSE_NO_ARGUMENTS = -3,
};

void APP_SetDefaultSettings(RunSettings *settings);

// Reads the arguments in order into settings and sets g_verbosity: option
// pairs (-x value, only the letter after the dash counts) and long options
// (--name, --name=value, and --device SEL). Besides the documented failures,
// PARSE_MALFORMED also stands for an option with no value after it, for a -f
// value too long for fileName (nothing is stored then), and for a number that
// is not whole, not in the option's notation or too large for it; the last
// fills settings->refusal, and g_verbosity is then the level that the whole
// command line asks for, so that the refusal can be shown at level 2.
ParseResult APP_ParseOptions(int argc, const char *const *argv, RunSettings *settings);

// The message main prints for a parser result; nullptr for PARSE_OK.
const char *APP_ParseMessage(ParseResult result);

// Strict numbers: the whole text must be the number, with nothing before or
// after it. False leaves *value untouched.
// Hexadecimal with an optional 0x or 0X prefix, at most 0xFFFFFFFF.
bool APP_ParseHex32(const char *text, uint32_t *value);
// An optional sign, then 0x-prefixed hexadecimal, 0-prefixed octal or
// decimal, within the signed 32-bit range.
bool APP_ParseAutoBase32(const char *text, int32_t *value);
// An optional sign and decimal digits, as many as given, kept modulo 256.
bool APP_ParseVerbosity(const char *text, uint8_t *value);
// The value of a digit 0-9, a-f or A-F; -1 for any other character.
int APP_DigitValue(char c);
