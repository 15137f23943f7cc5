#include "sim/records.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <fstream>

namespace simboard
{

namespace
{

// The driver's statuses, by number.
const char *const kStatusNames[] = {
    "OK",
    "INVALID_HANDLE",
    "DEVICE_NOT_FOUND",
    "DEVICE_NOT_OPENED",
    "IO_ERROR",
    "INSUFFICIENT_RESOURCES",
    "INVALID_PARAMETER",
    "INVALID_BAUD_RATE",
    "DEVICE_NOT_OPENED_FOR_ERASE",
    "DEVICE_NOT_OPENED_FOR_WRITE",
    "FAILED_TO_WRITE_DEVICE",
    "EEPROM_READ_FAILED",
    "EEPROM_WRITE_FAILED",
    "EEPROM_ERASE_FAILED",
    "EEPROM_NOT_PRESENT",
    "EEPROM_NOT_PROGRAMMED",
    "INVALID_ARGS",
    "NOT_SUPPORTED",
    "OTHER_ERROR",
    "DEVICE_LIST_NOT_READY",
};

bool ParseHexByte(const std::string &word, uint8_t *value)
{
    if (word.size() != 2 || HexDigitValue(word[0], true) < 0 || HexDigitValue(word[1], true) < 0)
        return false;
    *value = static_cast<uint8_t>(HexDigitValue(word[0], true) * 16 + HexDigitValue(word[1], true));
    return true;
}

bool ParsePosition(const std::string &word, int *pos)
{
    if (word == "-") {
        *pos = -1;
        return true;
    }
    uint64_t value = 0;
    if (!ParseDecimal(word, &value) || value > 255)
        return false;
    *pos = static_cast<int>(value);
    return true;
}

// Splits at single spaces; a double-quoted part (which may hold spaces) stays
// in its word, without the quotes.
bool SplitWords(const std::string &text, std::vector<std::string> *words)
{
    words->clear();
    std::string word;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any)
                words->push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (quoted)
        return false;
    if (any)
        words->push_back(word);
    return true;
}

bool Fail(std::string *error, const std::string &reason)
{
    if (error)
        *error = reason;
    return false;
}

// "mosi: 01 02 b101" up to the next group name; returns the index after it.
size_t ParseGroup(const std::vector<std::string> &words, size_t i, std::vector<uint8_t> *bytes, std::string *tail,
                  uint32_t *bitCount)
{
    for (; i < words.size() && words[i] != "miso:"; ++i) {
        uint8_t value = 0;
        if (ParseHexByte(words[i], &value)) {
            bytes->push_back(value);
            *bitCount += 8;
        } else if (words[i].size() >= 2 && words[i][0] == 'b') {
            *tail = words[i];
            *bitCount += static_cast<uint32_t>(words[i].size() - 1);
        } else {
            break;
        }
    }
    return i;
}

bool ParseUsb(TraceLine *line, std::string *error)
{
    const auto &w = line->words;
    if (w.empty())
        return Fail(error, "USB line without an entry point");
    size_t hash = w[0].find('#');
    if (hash == std::string::npos || !ParseDecimal(w[0].substr(hash + 1), &line->call))
        return Fail(error, "USB line without ENTRY#CALL");
    line->entry = w[0].substr(0, hash);
    size_t i = 1;
    while (i < w.size() && w[i] != "=")
        ++i;
    uint64_t status = 0;
    if (i + 2 >= w.size())
        return Fail(error, "USB line without '= STATUS NAME'");
    if (!ParseDecimal(w[i + 1], &status) || status > 0xFFFFFFFFu)
        return Fail(error, "USB line without a status number");
    line->status = static_cast<uint32_t>(status);
    line->statusName = w[i + 2];
    line->injected = i + 3 < w.size() && w[i + 3] == "injected";
    return true;
}

bool ParseMpsse(TraceLine *line, std::string *error)
{
    const auto &w = line->words;
    if (w.size() < 2 || !ParsePosition(w[0], &line->pos))
        return Fail(error, "MPSSE line without a position");
    size_t i = 1;
    uint8_t value = 0;
    while (i < w.size() && ParseHexByte(w[i], &value)) {
        line->command.push_back(value);
        ++i;
    }
    if (line->command.empty() || i >= w.size())
        return Fail(error, "MPSSE line without command bytes and a name");
    line->name = w[i];
    return true;
}

bool ParseSpi(TraceLine *line, std::string *error)
{
    const auto &w = line->words;
    if (w.size() < 2 || !ParsePosition(w[0], &line->pos))
        return Fail(error, "SPI line without a position");
    line->name = w[1];
    if (line->name == "select")
        return true;
    if (line->name != "frame" || w.size() < 3)
        return Fail(error, "SPI line neither select nor frame");
    uint64_t k = 0;
    if (!ParseDecimal(w[2], &k) || k == 0 || k > 0xFFFFFFFFu)
        return Fail(error, "SPI frame without its number");
    line->frame = static_cast<uint32_t>(k);
    size_t i = 3;
    if (i < w.size() && w[i] == "unfinished") {
        line->unfinished = true;
        ++i;
    }
    uint64_t bits = 0;
    if (i >= w.size() || w[i].compare(0, 5, "bits=") != 0 || !ParseDecimal(w[i].substr(5), &bits) || bits > 0xFFFFFFFFu)
        return Fail(error, "SPI frame without bits=N");
    line->bits = static_cast<uint32_t>(bits);
    ++i;
    if (i >= w.size() || w[i] != "mosi:")
        return Fail(error, "SPI frame without mosi:");
    uint32_t mosiBits = 0, misoBits = 0;
    i = ParseGroup(w, i + 1, &line->mosi, &line->mosiTail, &mosiBits);
    if (i >= w.size() || w[i] != "miso:")
        return Fail(error, "SPI frame without miso:");
    i = ParseGroup(w, i + 1, &line->miso, &line->misoTail, &misoBits);
    if (i != w.size())
        return Fail(error, "SPI frame with a word that is no byte: " + w[i]);
    if (mosiBits != line->bits || misoBits != line->bits)
        return Fail(error, "SPI frame whose groups do not hold bits=N bits");
    return true;
}

} // namespace

int HexDigitValue(char c, bool upperOnly)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (!upperOnly && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool ParseDecimal(const std::string &text, uint64_t *value)
{
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = result;
    return true;
}

std::string HexBytes(const uint8_t *bytes, size_t count)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i)
            text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string HexBytes(const std::vector<uint8_t> &bytes) { return HexBytes(bytes.data(), bytes.size()); }

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(size));
    }
    va_end(again);
    return text;
}

const char *StatusName(uint32_t status)
{
    if (status < sizeof kStatusNames / sizeof kStatusNames[0])
        return kStatusNames[status];
    return "UNKNOWN";
}

TraceWriter::~TraceWriter() { Close(); }

bool TraceWriter::Open(const std::string &path, std::string *error)
{
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    return true;
}

void TraceWriter::Close()
{
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void TraceWriter::Line(uint64_t timeUs, const char *tag, const std::string &rest)
{
    if (!file_)
        return;
    std::fprintf(file_, "%010" PRIu64 " %s %s\n", timeUs, tag, rest.c_str());
    std::fflush(file_);
}

std::string TraceLine::Field(const std::string &key) const
{
    auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

bool ParseTraceLine(const std::string &text, TraceLine *out, std::string *error)
{
    *out = TraceLine();
    size_t space = text.find(' ');
    if (space == std::string::npos || space < 10 || !ParseDecimal(text.substr(0, space), &out->time))
        return Fail(error, "line does not start with a time of 10 digits or more");
    size_t tagEnd = text.find(' ', space + 1);
    if (tagEnd == std::string::npos)
        return Fail(error, "line without text after its tag");
    out->tag = text.substr(space + 1, tagEnd - space - 1);
    out->text = text.substr(tagEnd + 1);

    // " | " before the bytes; a quoted text never holds one in the board's own
    // lines, but search from the end so that a description could.
    size_t bar = out->text.rfind(" | ");
    out->head = out->text;
    if (bar != std::string::npos) {
        std::vector<std::string> byteWords;
        std::string tail = out->text.substr(bar + 3);
        bool allBytes = SplitWords(tail, &byteWords) && !byteWords.empty();
        std::vector<uint8_t> bytes;
        for (const auto &word : byteWords) {
            uint8_t value = 0;
            allBytes = allBytes && ParseHexByte(word, &value);
            bytes.push_back(value);
        }
        if (allBytes) {
            out->head = out->text.substr(0, bar);
            out->bytes = bytes;
            out->hasBytes = true;
        }
    }
    if (!SplitWords(out->head, &out->words))
        return Fail(error, "unbalanced double quote");
    for (const auto &word : out->words) {
        size_t eq = word.find('=');
        if (eq != std::string::npos && eq > 0)
            out->fields[word.substr(0, eq)] = word.substr(eq + 1);
    }

    if (out->tag == "USB")
        return ParseUsb(out, error);
    if (out->tag == "MPSSE")
        return ParseMpsse(out, error);
    if (out->tag == "SPI")
        return ParseSpi(out, error);
    if (out->tag == "REC" || out->tag == "NOTE") {
        if (out->words.empty() || !ParsePosition(out->words[0], &out->pos))
            return Fail(error, out->tag + " line without a position");
        if (out->tag == "NOTE") {
            size_t start = out->text.find(' ');
            out->note = start == std::string::npos ? std::string() : out->text.substr(start + 1);
        }
        return true;
    }
    if (out->tag == "BOARD")
        return true;
    return Fail(error, "unknown tag " + out->tag);
}

bool ReadTraceFile(const std::string &path, std::vector<TraceLine> *lines, std::string *error)
{
    lines->clear();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(error, "cannot open " + path);
    std::string text;
    size_t number = 0;
    while (std::getline(in, text)) {
        ++number;
        TraceLine line;
        std::string reason;
        if (!ParseTraceLine(text, &line, &reason))
            return Fail(error, Format("line %zu: %s: %s", number, reason.c_str(), text.c_str()));
        lines->push_back(line);
    }
    return true;
}

} // namespace simboard
