// The chip's settings: SIMBOARD_CHIP* (the entry pin, the bootloader's bit
// rate and part identification, the scenarios of answers, aborts and
// compares, the boot ROM remap), SIMBOARD_FLASH and SIMBOARD_CHIPLOG, parsed
// into a ChipConfig. Files are not touched here: LpcIspChip::Start checks them.
#include "sim/lpc_isp_chip.h"
#include "sim/records.h"

namespace simboard
{

namespace
{

// The bit rates the bootloader's C_CAN timing is given for: the ISP runs at
// 100 kbit/s, the board lets a scenario move it within what CAN allows.
constexpr uint32_t CHIP_BITRATE_MIN = 10000;
constexpr uint32_t CHIP_BITRATE_MAX = 1000000;

// The compare command works on whole words, so a forced difference lies on one.
constexpr uint32_t COMPARE_DIFF_ALIGN = 4;

// A number in C syntax: 0x hexadecimal, a leading 0 octal, else decimal.
bool ParseCNumber(const std::string &s, uint64_t max, uint64_t *out)
{
    if (s.empty())
        return false;
    unsigned base = 10;
    size_t i = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (s.size() > 1 && s[0] == '0') {
        base = 8;
        i = 1;
    }
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const int digit = HexDigitValue(s[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            return false;
        const unsigned d = static_cast<unsigned>(digit);
        if (v > (max - d) / base)
            return false;
        v = v * base + d;
    }
    *out = v;
    return true;
}

// The text between separators `sep`, every piece (empty ones included).
std::vector<std::string> SplitAt(const std::string &text, char sep)
{
    std::vector<std::string> pieces;
    size_t from = 0;
    for (;;) {
        size_t at = text.find(sep, from);
        pieces.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return pieces;
        from = at + 1;
    }
}

// One SIMBOARD_CHIP_ABORT entry, INDEX:SUB:CODE[:NTH], the n-th of the value.
std::string ParseAbortRule(int n, const std::string &entry, ChipAbortRule *rule)
{
    std::vector<std::string> fields = SplitAt(entry, ':');
    std::string where = "entry " + std::to_string(n) + " \"" + entry + "\": ";
    if (fields.size() < 3 || fields.size() > 4)
        return where + "must be INDEX:SUB:CODE or INDEX:SUB:CODE:NTH";
    uint64_t index, sub, code, nth = 0;
    if (!ParseCNumber(fields[0], 0xFFFF, &index))
        return where + "index must be a number up to 0xFFFF";
    if (!ParseCNumber(fields[1], 0xFF, &sub))
        return where + "sub-index must be a number up to 0xFF";
    if (!ParseCNumber(fields[2], 0xFFFFFFFF, &code))
        return where + "abort code must be a 32-bit number";
    if (fields.size() == 4 && (!ParseCNumber(fields[3], 0xFFFFFFFF, &nth) || nth == 0))
        return where + "request number must be 1 or more";
    rule->index = static_cast<uint16_t>(index);
    rule->sub = static_cast<uint8_t>(sub);
    rule->code = static_cast<uint32_t>(code);
    rule->nth = static_cast<uint32_t>(nth);
    return "";
}

std::string ParseAbortRules(const std::string &text, std::vector<ChipAbortRule> *rules)
{
    std::vector<ChipAbortRule> parsed;
    int n = 0;
    for (const std::string &entry : SplitAt(text, ',')) {
        ChipAbortRule r;
        std::string why = ParseAbortRule(++n, entry, &r);
        if (!why.empty())
            return why;
        parsed.push_back(r);
    }
    *rules = std::move(parsed);
    return "";
}

std::string ParseCompareDiff(const std::string &value, ChipConfig *config)
{
    uint64_t n = 0;
    if (value.empty()) {
        config->compareDiff = false;
        config->compareDiffOffset = 0;
        return "";
    }
    bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    bool ok = hex ? ParseCNumber(value, 0xFFFFFFFF, &n) : ParseDecimal(value, &n) && n <= 0xFFFFFFFF;
    if (!ok)
        return "must be a byte offset, decimal or 0x hexadecimal";
    if (n % COMPARE_DIFF_ALIGN != 0)
        return "offset must be a multiple of 4";
    config->compareDiff = true;
    config->compareDiffOffset = static_cast<uint32_t>(n);
    return "";
}

// A value that is one of a few words.
template <typename T> struct Word {
    const char *text;
    T value;
};

constexpr Word<ChipEntryPin> PIN_WORDS[] = {
    {"isp", ChipEntryPin::Isp}, {"boot", ChipEntryPin::Boot}, {"absent", ChipEntryPin::Absent}};
constexpr Word<ReinvokeMode> REINVOKE_WORDS[] = {
    {"silent", ReinvokeMode::Silent}, {"answer", ReinvokeMode::Answer}, {"absent", ReinvokeMode::Absent}};
constexpr Word<bool> REMAP_WORDS[] = {{"on", true}, {"off", false}};

// One of `words` into *field; "" sets `fallback`, anything else is refused
// with `expected`.
template <typename T, size_t N>
std::string ParseWord(const std::string &value, const Word<T> (&words)[N], T fallback, const char *expected, T *field)
{
    if (value.empty()) {
        *field = fallback;
        return "";
    }
    for (const Word<T> &w : words) {
        if (value == w.text) {
            *field = w.value;
            return "";
        }
    }
    return expected;
}

// A decimal number from min to max into *field; "" sets `fallback`, anything
// else is refused with `expected`.
std::string ParseDecimalIn(const std::string &value, uint64_t min, uint64_t max, uint32_t fallback,
                           const char *expected, uint32_t *field)
{
    uint64_t n = 0;
    if (value.empty())
        *field = fallback;
    else if (!ParseDecimal(value, &n) || n < min || n > max)
        return expected;
    else
        *field = static_cast<uint32_t>(n);
    return "";
}

std::string ParsePartId(const std::string &value, uint32_t fallback, uint32_t *field)
{
    uint64_t n = 0;
    if (value.empty())
        *field = fallback;
    else if (!ParseCNumber(value, 0xFFFFFFFF, &n))
        return "part identification must be a 32-bit number";
    else
        *field = static_cast<uint32_t>(n);
    return "";
}

std::string ParseAborts(const std::string &value, ChipConfig *config)
{
    if (!value.empty())
        return ParseAbortRules(value, &config->aborts);
    config->aborts.clear();
    return "";
}

} // namespace

const char *const CHIP_SETTING_NAMES[11] = {
    "SIMBOARD_CHIP",
    "SIMBOARD_CHIP_BITRATE",
    "SIMBOARD_CHIP_PARTID",
    "SIMBOARD_CHIP_ANSWER_FROM",
    "SIMBOARD_CHIP_SILENT_AFTER",
    "SIMBOARD_CHIP_REINVOKE",
    "SIMBOARD_CHIP_ABORT",
    "SIMBOARD_CHIP_COMPARE_DIFF",
    "SIMBOARD_CHIP_REMAP",
    "SIMBOARD_FLASH",
    "SIMBOARD_CHIPLOG",
};

bool IsChipSetting(const std::string &name)
{
    for (const char *n : CHIP_SETTING_NAMES)
        if (name == n)
            return true;
    return false;
}

std::string ParseChipSetting(const std::string &name, const std::string &value, ChipConfig *config)
{
    const ChipConfig defaults;
    if (name == "SIMBOARD_CHIP")
        return ParseWord(value, PIN_WORDS, defaults.pin, "must be isp, boot or absent", &config->pin);
    if (name == "SIMBOARD_CHIP_BITRATE")
        return ParseDecimalIn(value, CHIP_BITRATE_MIN, CHIP_BITRATE_MAX, defaults.bitRate,
                              "bit rate must be a decimal number from 10000 to 1000000", &config->bitRate);
    if (name == "SIMBOARD_CHIP_PARTID")
        return ParsePartId(value, defaults.partId, &config->partId);
    if (name == "SIMBOARD_CHIP_ANSWER_FROM")
        return ParseDecimalIn(value, 1, 0xFFFFFFFF, defaults.answerFrom, "must be a decimal request number, 1 or more",
                              &config->answerFrom);
    if (name == "SIMBOARD_CHIP_SILENT_AFTER")
        return ParseDecimalIn(value, 0, 0xFFFFFFFF, defaults.silentAfter,
                              "must be a decimal number of answers (0: never silent)", &config->silentAfter);
    if (name == "SIMBOARD_CHIP_REINVOKE")
        return ParseWord(value, REINVOKE_WORDS, defaults.reinvoke, "must be silent, answer or absent",
                         &config->reinvoke);
    if (name == "SIMBOARD_CHIP_ABORT")
        return ParseAborts(value, config);
    if (name == "SIMBOARD_CHIP_COMPARE_DIFF")
        return ParseCompareDiff(value, config);
    if (name == "SIMBOARD_CHIP_REMAP")
        return ParseWord(value, REMAP_WORDS, defaults.remap, "must be on or off", &config->remap);
    if (name == "SIMBOARD_FLASH")
        config->flashPath = value;
    else if (name == "SIMBOARD_CHIPLOG")
        config->logPath = value;
    else
        return "not a setting of the chip";
    return "";
}

bool LoadChipConfig(const std::function<std::string(const std::string &)> &lookup, ChipConfig *config,
                    std::string *badName, std::string *badValue, std::string *reason)
{
    ChipConfig c;
    for (const char *name : CHIP_SETTING_NAMES) {
        std::string value = lookup(name);
        std::string why = ParseChipSetting(name, value, &c);
        if (!why.empty()) {
            if (badName)
                *badName = name;
            if (badValue)
                *badValue = value;
            if (reason)
                *reason = why;
            return false;
        }
    }
    *config = c;
    return true;
}

} // namespace simboard
