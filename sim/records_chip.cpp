#include "sim/records_chip.h"
#include "sim/records.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fstream>

namespace simboard
{

namespace
{

const char *const kIspCodeNames[] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
};
constexpr int kIspCodeCount = sizeof(kIspCodeNames) / sizeof(kIspCodeNames[0]);

constexpr size_t TIME_DIGITS = 10;
const char *const kArrow = " -> ";
const char *const kForced = " (forced)";
const char *const kAfter = " after ";
const char *const kBytes = " bytes";

bool ParseHex32(const std::string &s, uint32_t *out)
{
    if (s.size() != 10 || s[0] != '0' || s[1] != 'x')
        return false;
    uint32_t v = 0;
    for (size_t i = 2; i < s.size(); ++i) {
        char c = s[i];
        const int d = HexDigitValue(c, true);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

bool EndsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool Fail(std::string *error, const std::string &why)
{
    if (error)
        *error = why;
    return false;
}

} // namespace

const char *IspCodeName(int code) { return code >= 0 && code < kIspCodeCount ? kIspCodeNames[code] : "UNKNOWN"; }

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
    return text;
}

ChipLogWriter::~ChipLogWriter() { Close(); }

bool ChipLogWriter::Open(const std::string &path, std::string *error)
{
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        if (error)
            *error = std::string("cannot create the file: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void ChipLogWriter::Close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

void ChipLogWriter::Line(uint64_t timeUs, const std::string &event)
{
    if (!file_)
        return;
    std::fprintf(file_, "%010" PRIu64 " %s\n", timeUs, event.c_str());
    std::fflush(file_);
}

bool ParseChipLogLine(const std::string &line, ChipLogLine *out, std::string *error)
{
    ChipLogLine l;
    size_t space = line.find(' ');
    if (space == std::string::npos || space < TIME_DIGITS)
        return Fail(error, "no time of 10 digits or more");
    if (!ParseDecimal(line.substr(0, space), &l.time))
        return Fail(error, "time is not decimal");
    l.event = line.substr(space + 1);
    if (l.event.empty())
        return Fail(error, "no event after the time");

    size_t arrow = l.event.find(kArrow);
    if (arrow != std::string::npos) {
        l.request = true;
        l.command = l.event.substr(0, arrow);
        std::string rest = l.event.substr(arrow + std::strlen(kArrow));
        if (EndsWith(rest, kForced)) {
            l.forced = true;
            rest.erase(rest.size() - std::strlen(kForced));
        }
        size_t after = rest.find(kAfter);
        if (after != std::string::npos) {
            std::string n = rest.substr(after + std::strlen(kAfter));
            if (!EndsWith(n, kBytes) || !ParseDecimal(n.substr(0, n.size() - std::strlen(kBytes)), &l.afterBytes))
                return Fail(error, "\"after\" without a byte count");
            l.hasAfter = true;
            rest.erase(after);
        }
        size_t sp = rest.find(' ');
        l.result = rest.substr(0, sp);
        if (l.result.empty())
            return Fail(error, "no result after the arrow");
        if (sp != std::string::npos) {
            if (!ParseHex32(rest.substr(sp + 1), &l.value))
                return Fail(error, "result value is not 0x and 8 hex digits");
            l.hasValue = true;
        }
        if (l.result == "ABORT" && !l.hasValue)
            return Fail(error, "ABORT without its code");
    }
    *out = l;
    return true;
}

bool ReadChipLog(const std::string &path, std::vector<ChipLogLine> *lines, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(error, "cannot open " + path);
    lines->clear();
    std::string text;
    size_t number = 0;
    while (std::getline(in, text)) {
        ++number;
        ChipLogLine l;
        std::string why;
        if (!ParseChipLogLine(text, &l, &why))
            return Fail(error, "line " + std::to_string(number) + ": " + why);
        lines->push_back(l);
    }
    return true;
}

} // namespace simboard
