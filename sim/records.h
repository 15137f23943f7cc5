// The board's text formats: the writer of the USB trace and the reader that
// tests use to take its lines apart. Built as the static library simrecords,
// which the board links and tests link on their own.
//
// A trace line is "TIME TAG REST": TIME in whole microseconds of board time,
// at least 10 digits, zero-padded; hex bytes are two upper-case digits
// separated by single spaces; bytes moved or answered come last, after " | ".
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace simboard
{

// Decimal digits only (no sign, no blanks), at most 19 of them: the numbers
// of every text format and setting of the board.
bool ParseDecimal(const std::string &text, uint64_t *value);
// The value of a hexadecimal digit, -1 for anything else; upperOnly refuses
// a-f (the board's own records write upper case only).
int HexDigitValue(char c, bool upperOnly = false);

// ---- Writing ---------------------------------------------------------------

// "0A 1B FF": two upper-case digits per byte, single spaces between.
std::string HexBytes(const uint8_t *bytes, size_t count);
std::string HexBytes(const std::vector<uint8_t> &bytes);
// printf into a std::string.
// MinGW's plain "printf" check is the Microsoft runtime's dialect; the
// Windows build formats with the ISO one (__USE_MINGW_ANSI_STDIO), %zu included.
std::string Format(const char *format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// One trace file. Every line is flushed as it is written, so that nothing is
// lost however the process that writes it ends.
class TraceWriter
{
public:
    TraceWriter() = default;
    TraceWriter(const TraceWriter &) = delete;
    TraceWriter &operator=(const TraceWriter &) = delete;
    ~TraceWriter();

    // Creates or truncates the file. On failure *error gets the reason.
    bool Open(const std::string &path, std::string *error);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // Writes "TIME TAG REST\n". Does nothing while no file is open.
    void Line(uint64_t timeUs, const char *tag, const std::string &rest);

private:
    FILE *file_ = nullptr;
};

// ---- Reading ---------------------------------------------------------------

// One parsed trace line. Every line fills time, tag, text, head, bytes, words
// and fields; the parts for one tag are filled only for that tag.
struct TraceLine {
    uint64_t time = 0;                         // microseconds
    std::string tag;                           // BOARD, USB, REC, MPSSE, SPI, NOTE
    std::string text;                          // everything after "TAG "
    std::string head;                          // text before " | " (all of it when there is none)
    std::vector<uint8_t> bytes;                // the bytes after " | "
    bool hasBytes = false;                     // the line had a " | " part
    std::vector<std::string> words;            // head split at spaces (quoted texts kept whole, quotes removed)
    std::map<std::string, std::string> fields; // every key=value word of head (quotes removed)

    // USB: "ENTRY#CALL ARGS = STATUS NAME[ injected][ OUTPUTS]"
    std::string entry;
    uint64_t call = 0;
    uint32_t status = 0;
    std::string statusName;
    bool injected = false;

    // REC, MPSSE, SPI and NOTE: the record's list position (-1 for "-").
    int pos = -1;

    // MPSSE: the command bytes before the name, and the name.
    std::vector<uint8_t> command;
    std::string name;

    // SPI frame lines (name "frame"; "select" lines have name "select").
    uint32_t frame = 0;
    bool unfinished = false;
    uint32_t bits = 0;
    std::vector<uint8_t> mosi, miso; // whole bytes
    std::string mosiTail, misoTail;  // a last partial group, "b101" as written

    // NOTE: the text after the position.
    std::string note;

    // The value of a key=value field, or "" when absent.
    std::string Field(const std::string &key) const;
};

// Parses one line (without its line feed). Returns false, with *error set when
// error is not null, for a line that breaks the format.
bool ParseTraceLine(const std::string &line, TraceLine *out, std::string *error = nullptr);

// Reads a whole trace file. Returns false (with the reason) when the file
// cannot be read or a line cannot be parsed; lines read so far stay in *lines.
bool ReadTraceFile(const std::string &path, std::vector<TraceLine> *lines, std::string *error = nullptr);

// Name of a driver status without its prefix: OK, INVALID_HANDLE, ...,
// DEVICE_LIST_NOT_READY; UNKNOWN above 19.
const char *StatusName(uint32_t status);

} // namespace simboard
