// The chip log: one line per SDO request the bootloader received, per state
// change and per flash operation, each "TIME EVENT" with TIME in whole
// microseconds of board time, zero-padded to 10 digits. A request line is
// "COMMAND ARGUMENTS -> RESULT", RESULT an ISP return code name (with a value
// for reads and failed checks), "ABORT 0xXXXXXXXX" for a protocol abort,
// IGNORED, NO_REPLY or ABANDONED; " after N bytes" ends a RAM write or memory
// read that stopped part way, " (forced)" an abort that a scenario forced.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace simboard
{

// The ISP return codes of the bootloader, by their manual names.
enum IspCode : int {
    ISP_CMD_SUCCESS = 0,
    ISP_INVALID_COMMAND = 1,
    ISP_SRC_ADDR_ERROR = 2,
    ISP_DST_ADDR_ERROR = 3,
    ISP_SRC_ADDR_NOT_MAPPED = 4,
    ISP_DST_ADDR_NOT_MAPPED = 5,
    ISP_COUNT_ERROR = 6,
    ISP_INVALID_SECTOR = 7,
    ISP_SECTOR_NOT_BLANK = 8,
    ISP_SECTOR_NOT_PREPARED = 9,
    ISP_COMPARE_ERROR = 10,
    ISP_BUSY = 11,
    ISP_PARAM_ERROR = 12,
    ISP_ADDR_ERROR = 13,
    ISP_ADDR_NOT_MAPPED = 14,
    ISP_CMD_LOCKED = 15,
    ISP_INVALID_CODE = 16,
    ISP_INVALID_BAUD_RATE = 17,
    ISP_INVALID_STOP_BIT = 18,
    ISP_CODE_READ_PROTECTION_ENABLED = 19,
};

// "CMD_SUCCESS" ... "CODE_READ_PROTECTION_ENABLED"; "UNKNOWN" beyond.
const char *IspCodeName(int code);

// "0x" and 8 upper-case hexadecimal digits.
std::string Hex32(uint32_t value);

class ChipLogWriter
{
public:
    ChipLogWriter() = default;
    ChipLogWriter(const ChipLogWriter &) = delete;
    ChipLogWriter &operator=(const ChipLogWriter &) = delete;
    ~ChipLogWriter();

    // Creates or truncates the file; on failure *error gets the reason.
    bool Open(const std::string &path, std::string *error);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    // Writes and flushes "TIME EVENT\n"; nothing while no file is open.
    void Line(uint64_t timeUs, const std::string &event);

private:
    FILE *file_ = nullptr;
};

// One chip log line taken apart.
struct ChipLogLine {
    uint64_t time = 0;
    std::string event;     // everything after the time
    bool request = false;  // a "... -> RESULT" line
    std::string command;   // request: text before " -> "
    std::string result;    // request: ISP code name, ABORT, IGNORED, NO_REPLY, ABANDONED
    bool hasValue = false; // a 0x value after the result name (ABORT's code included)
    uint32_t value = 0;
    bool hasAfter = false; // " after N bytes"
    uint64_t afterBytes = 0;
    bool forced = false; // " (forced)"
};

bool ParseChipLogLine(const std::string &line, ChipLogLine *out, std::string *error = nullptr);
bool ReadChipLog(const std::string &path, std::vector<ChipLogLine> *lines, std::string *error = nullptr);

} // namespace simboard
