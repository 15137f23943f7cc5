#include "sim/settings.h"

#include "sim/records.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <stdlib.h>
#define SIMBOARD_ENVIRON _environ
#else
extern char **environ;
#define SIMBOARD_ENVIRON environ
#endif

namespace simboard {

namespace {

const char kDevices[] = "SIMBOARD_DEVICES";
const char kEngine[] = "SIMBOARD_ENGINE";
const char kFail[] = "SIMBOARD_FAIL";
const char kTrace[] = "SIMBOARD_TRACE";
const char kController[] = "SIMBOARD_CONTROLLER";
const char kOscHz[] = "SIMBOARD_OSC_HZ";
const char kNoise[] = "SIMBOARD_NOISE";
const char kCapture[] = "SIMBOARD_CAPTURE";
const char kCanlog[] = "SIMBOARD_CANLOG";
const char kChipLog[] = "SIMBOARD_CHIPLOG";
const char kFlash[] = "SIMBOARD_FLASH";

const char kDefaultDevices[] = "FT2232H";
const char kDefaultController[] = "mcp2515";

// The MCP2515's oscillator range (datasheet: 1 to 25 MHz).
const uint64_t kOscHzMin = 1000000;
const uint64_t kOscHzMax = 25000000;

const size_t kMaxEntries = 16;

// The chips the board offers by name. Interfaces are A to D; a chip with one
// interface has none lettered (its location's interface number is 0).
struct ChipModel {
    const char *name;
    uint32_t type;
    int interfaces;           // lettered interfaces; 0 for a single-interface chip
    unsigned engineMask;      // bit i: interface i (0 = A) has an engine; bit 0 for single chips
    EngineKind engine;
    bool highSpeed;
    uint32_t id;              // VID << 16 | PID
    const char *description;  // lettered chips add " " and the letter
};

const ChipModel kChips[] = {
    {"FT2232D", 4, 2, 0x1, EngineKind::FT2232D, false, 0x04036010, "Dual RS232"},
    {"FT2232C", 4, 2, 0x1, EngineKind::FT2232D, false, 0x04036010, "Dual RS232"},
    {"FT2232H", 6, 2, 0x3, EngineKind::FT2232H, true, 0x04036010, "Dual RS232-HS"},
    {"FT4232H", 7, 4, 0x3, EngineKind::FT4232H, true, 0x04036011, "Quad RS232-HS"},
    {"FT232H", 8, 0, 0x1, EngineKind::FT232H, true, 0x04036014, "Single RS232-HS"},
    {"FT232R", 5, 0, 0x0, EngineKind::None, false, 0x04036001, "FT232R USB UART"},
    {"FT230X", 9, 0, 0x0, EngineKind::None, false, 0x04036015, "FT230X Basic UART"},
};
// TYPEn: any other device type the driver may list; never an engine.
const uint32_t kTypeNId = 0x04030000;
const uint32_t kFlagHighSpeed = 0x2;
const uint32_t kFlagOpen = 0x1;
const uint32_t kTypeUnknown = 3;

std::string Trim(const std::string &text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

std::string Upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// Decimal digits only, no sign, no overflow.
bool ParseDecimal(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty())
        return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (max - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

// Decimal, or hexadecimal with a 0x prefix.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint64_t result = 0;
        for (size_t i = 2; i < text.size(); ++i) {
            int digit = std::isxdigit(static_cast<unsigned char>(text[i]))
                            ? (std::isdigit(static_cast<unsigned char>(text[i]))
                                   ? text[i] - '0'
                                   : std::toupper(static_cast<unsigned char>(text[i])) - 'A' + 10)
                            : -1;
            if (digit < 0 || result > (max - static_cast<uint64_t>(digit)) / 16)
                return false;
            result = result * 16 + static_cast<uint64_t>(digit);
        }
        *value = result;
        return true;
    }
    return ParseDecimal(text, max, value);
}

// ---- SIMBOARD_DEVICES --------------------------------------------------------

struct ParsedDevices {
    std::vector<RecordModel> records;
    int spiRecord = -1;
    std::string text;
};

bool ParseDevices(const std::string &value, ParsedDevices *out, std::string *reason)
{
    *out = ParsedDevices();
    std::string whole = Trim(value.empty() ? std::string(kDefaultDevices) : value);
    if (Lower(whole) == "none") {
        out->text = "none";
        return true;
    }
    std::vector<std::string> entries = Split(whole, ',');
    if (entries.size() > kMaxEntries) {
        *reason = "at most 16 entries";
        return false;
    }
    bool spiNamed = false;
    int firstEngineRecord = -1;
    std::string text;
    for (size_t k = 0; k < entries.size(); ++k) {
        std::vector<std::string> parts = Split(entries[k], '/');
        std::string head = Trim(parts[0]);
        if (head.empty()) {
            *reason = Format("entry %zu names no chip", k + 1);
            return false;
        }
        std::string chipName = head, letters;
        size_t colon = head.find(':');
        bool lettersGiven = colon != std::string::npos;
        if (lettersGiven) {
            chipName = Trim(head.substr(0, colon));
            letters = Upper(Trim(head.substr(colon + 1)));
        }
        chipName = Upper(chipName);

        ChipModel model{};
        bool known = false;
        for (const ChipModel &chip : kChips)
            if (chipName == chip.name) {
                model = chip;
                known = true;
            }
        uint64_t typeNumber = 0;
        std::string typeName;
        if (!known && chipName.compare(0, 4, "TYPE") == 0 && ParseDecimal(chipName.substr(4), 255, &typeNumber)) {
            typeName = Format("Device type %u", static_cast<unsigned>(typeNumber));
            model = ChipModel{nullptr, static_cast<uint32_t>(typeNumber), 0, 0, EngineKind::None, false, kTypeNId,
                              typeName.c_str()};
            chipName = Format("TYPE%u", static_cast<unsigned>(typeNumber));
            known = true;
        }
        if (!known) {
            *reason = "unknown chip \"" + chipName + "\"";
            return false;
        }

        // Which interfaces are listed.
        std::vector<int> interfaces;
        if (lettersGiven) {
            if (model.interfaces == 0) {
                *reason = chipName + " has a single interface and takes no letters";
                return false;
            }
            if (letters.empty()) {
                *reason = "no interface letter after ':' in entry " + std::to_string(k + 1);
                return false;
            }
            for (char letter : letters) {
                int i = letter - 'A';
                if (letter < 'A' || i >= model.interfaces) {
                    *reason = chipName + " has no interface " + std::string(1, letter);
                    return false;
                }
                if (!interfaces.empty() && i <= interfaces.back()) {
                    *reason = "interface letters must be in order A to D, each once";
                    return false;
                }
                interfaces.push_back(i);
            }
        } else if (model.interfaces == 0) {
            interfaces.push_back(-1);
        } else {
            for (int i = 0; i < model.interfaces; ++i)
                interfaces.push_back(i);
        }

        // Flags.
        bool busy = false, spi = false;
        int spiInterface = -2;   // -2: the first listed interface with an engine
        std::string flagText;
        for (size_t f = 1; f < parts.size(); ++f) {
            std::string flag = Lower(Trim(parts[f]));
            size_t eq = flag.find('=');
            std::string flagName = Trim(flag.substr(0, eq));
            if (flagName == "busy" && eq == std::string::npos) {
                busy = true;
                flagText += "/busy";
            } else if (flagName == "spi") {
                if (spi || spiNamed) {
                    *reason = "/spi on more than one entry";
                    return false;
                }
                spi = true;
                if (eq != std::string::npos) {
                    std::string letter = Upper(Trim(flag.substr(eq + 1)));
                    if (letter.size() != 1 || model.interfaces == 0 || letter[0] < 'A' ||
                        letter[0] - 'A' >= model.interfaces) {
                        *reason = chipName + " has no interface \"" + letter + "\"";
                        return false;
                    }
                    spiInterface = letter[0] - 'A';
                    flagText += "/spi=" + letter;
                } else {
                    flagText += "/spi";
                }
            } else {
                *reason = "unknown flag \"" + Trim(parts[f]) + "\"";
                return false;
            }
        }

        int port = static_cast<int>(k) + 1;
        int firstRecordOfEntry = static_cast<int>(out->records.size());
        int spiRecord = -1;
        for (int i : interfaces) {
            RecordModel record;
            bool engine = !busy && (model.engineMask >> (i < 0 ? 0 : i) & 1u);
            if (busy) {
                record.flags = kFlagOpen;
                record.type = kTypeUnknown;
            } else {
                record.flags = model.highSpeed ? kFlagHighSpeed : 0;
                record.type = model.type;
                record.id = model.id;
                record.location = static_cast<uint32_t>(port << 4 | (i < 0 ? 0 : i + 1));
                record.serial = Format("SB%06d", port);
                record.description = model.description;
                if (i >= 0) {
                    record.serial += static_cast<char>('A' + i);
                    record.description += std::string(" ") + static_cast<char>('A' + i);
                }
            }
            record.engine = engine ? model.engine : EngineKind::None;
            record.highSpeed = model.highSpeed;
            record.busy = busy;
            int position = static_cast<int>(out->records.size());
            if (engine && firstEngineRecord < 0)
                firstEngineRecord = position;
            if (spi && spiRecord < 0 && engine && (spiInterface == -2 || spiInterface == i))
                spiRecord = position;
            out->records.push_back(record);
        }
        if (spi) {
            if (spiRecord < 0) {
                *reason = spiInterface == -2 ? "/spi on an entry without an MPSSE interface"
                                             : "/spi names an interface without an MPSSE engine, or one not listed";
                return false;
            }
            spiNamed = true;
            out->spiRecord = spiRecord;
        }
        (void)firstRecordOfEntry;

        if (!text.empty())
            text += ",";
        text += chipName;
        if (lettersGiven)
            text += ":" + letters;
        text += flagText;
    }
    if (!spiNamed)
        out->spiRecord = firstEngineRecord;
    out->text = text;
    return true;
}

// ---- SIMBOARD_ENGINE ---------------------------------------------------------

bool ParseEngine(const std::string &value, Settings *out, std::string *reason)
{
    std::string text = Lower(Trim(value));
    out->deadAfter = 0;
    if (text.empty() || text == "ok") {
        out->engine = EngineMode::Ok;
        out->engineText = "ok";
    } else if (text == "dead") {
        out->engine = EngineMode::Dead;
        out->engineText = "dead";
    } else if (text == "trickle") {
        out->engine = EngineMode::Trickle;
        out->engineText = "trickle";
    } else if (text.compare(0, 11, "dead-after:") == 0) {
        if (!ParseDecimal(Trim(text.substr(11)), UINT64_MAX, &out->deadAfter)) {
            *reason = "dead-after needs a decimal byte count";
            return false;
        }
        out->engine = EngineMode::DeadAfter;
        out->engineText = "dead-after:" + std::to_string(out->deadAfter);
    } else {
        *reason = "expected ok, dead, dead-after:N or trickle";
        return false;
    }
    return true;
}

// ---- SIMBOARD_FAIL -----------------------------------------------------------

bool ParseFail(const std::string &value, Settings *out, std::string *reason)
{
    out->fail.clear();
    out->failText.clear();
    std::string whole = Trim(value);
    if (whole.empty())
        return true;
    for (const std::string &ruleText : Split(whole, ',')) {
        std::vector<std::string> parts = Split(ruleText, ':');
        if (parts.size() != 3) {
            *reason = "a rule is ENTRY:CALLS:STATUS";
            return false;
        }
        FailRule rule;
        rule.entry = Trim(parts[0]);
        bool known = false;
        for (const char *name : ENTRY_NAMES)
            known = known || rule.entry == name;
        if (!known) {
            *reason = "unknown entry point \"" + rule.entry + "\"";
            return false;
        }
        std::string calls = Trim(parts[1]);
        std::string callsText;
        if (calls == "*") {
            rule.first = 1;
            rule.last = UINT64_MAX;
            callsText = "*";
        } else {
            size_t dash = calls.find('-');
            std::string firstText = Trim(calls.substr(0, dash));
            if (!ParseNumber(firstText, UINT64_MAX, &rule.first)) {
                *reason = "calls must be N, N-M, N- or *";
                return false;
            }
            if (rule.first == 0) {
                *reason = "call number must be 1 or more";
                return false;
            }
            if (dash == std::string::npos) {
                rule.last = rule.first;
                callsText = std::to_string(rule.first);
            } else {
                std::string lastText = Trim(calls.substr(dash + 1));
                if (lastText.empty()) {
                    rule.last = UINT64_MAX;
                    callsText = std::to_string(rule.first) + "-";
                } else if (!ParseNumber(lastText, UINT64_MAX, &rule.last)) {
                    *reason = "calls must be N, N-M, N- or *";
                    return false;
                } else if (rule.last < rule.first) {
                    *reason = "last call number below the first";
                    return false;
                } else {
                    callsText = std::to_string(rule.first) + "-" + std::to_string(rule.last);
                }
            }
        }
        uint64_t status = 0;
        if (!ParseNumber(Trim(parts[2]), 0xFFFFFFFFu, &status)) {
            *reason = "status must be a number from 1 to 4294967295";
            return false;
        }
        if (status == 0) {
            *reason = "status must be 1 or more";
            return false;
        }
        rule.status = static_cast<uint32_t>(status);
        if (!out->failText.empty())
            out->failText += ",";
        out->failText += rule.entry + ":" + callsText + ":" + std::to_string(rule.status);
        out->fail.push_back(rule);
    }
    return true;
}

// ---- SIMBOARD_CONTROLLER -----------------------------------------------------

bool ParseController(const std::string &value, ControllerKind *kind, std::string *reason)
{
    std::string text = Lower(Trim(value.empty() ? std::string(kDefaultController) : value));
    static const struct {
        const char *name;
        ControllerKind kind;
    } kKinds[] = {
        {"mcp2515", ControllerKind::Mcp2515}, {"absent", ControllerKind::Absent}, {"miso-low", ControllerKind::MisoLow},
        {"no-bus", ControllerKind::NoBus},    {"script", ControllerKind::Script},
    };
    for (const auto &entry : kKinds)
        if (text == entry.name) {
            *kind = entry.kind;
            return true;
        }
    *reason = "expected mcp2515, absent, miso-low, no-bus or script";
    return false;
}

// A file the board will create: opened for appending, so that checking a
// path never empties a file; the board truncates it when it starts. The
// reason is the system's, after `prefix`, as each file's writer words it
// when the board starts.
bool CheckCreatable(const std::string &value, const std::string &prefix, std::string *reason)
{
    if (value.empty())
        return true;
    FILE *file = std::fopen(value.c_str(), "ab");
    if (!file) {
        *reason = prefix + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    return true;
}

bool CheckTracePath(const std::string &value, std::string *reason) { return CheckCreatable(value, "", reason); }

bool ParseOscHz(const std::string &value, uint32_t *hz, std::string *reason)
{
    std::string text = Trim(value);
    uint64_t n = Mcp2515::DEFAULT_OSC_HZ;
    if (!text.empty() && (!ParseDecimal(text, UINT64_MAX, &n) || n < kOscHzMin || n > kOscHzMax)) {
        *reason = "oscillator frequency must be a decimal number of Hz from 1000000 to 25000000";
        return false;
    }
    *hz = static_cast<uint32_t>(n);
    return true;
}

bool ParseNoiseSetting(const std::string &value, std::vector<NoiseEntry> *entries, std::string *reason)
{
    entries->clear();
    if (Trim(value).empty())
        return true;
    std::string why = ParseNoise(value, entries);
    if (!why.empty()) {
        entries->clear();
        *reason = why;
        return false;
    }
    return true;
}

// The flash file is read, not written, when the board starts: a chip started
// on it alone says whether it can be used, in the words of the board's start.
bool CheckFlashPath(const std::string &value, std::string *reason)
{
    if (value.empty())
        return true;
    ChipConfig config;
    config.flashPath = value;
    LpcIspChip chip(config);
    std::string name;
    return chip.Start(0, &name, reason);
}

bool IsBoardName(const std::string &name) { return name.compare(0, 9, "SIMBOARD_") == 0; }

} // namespace

std::string Settings::Raw(const std::string &name) const
{
    auto found = raw.find(name);
    return found == raw.end() ? std::string() : found->second;
}

std::string SettingMessage(const std::string &name, const std::string &value, const std::string &reason)
{
    return "simboard: cannot read " + name + "=\"" + value + "\": " + reason;
}

bool CheckSetting(const std::string &name, const std::string &value, std::string *reason)
{
    Settings scratch;
    if (name == kDevices) {
        ParsedDevices devices;
        return ParseDevices(value, &devices, reason);
    }
    if (name == kEngine)
        return ParseEngine(value, &scratch, reason);
    if (name == kFail)
        return ParseFail(value, &scratch, reason);
    if (name == kTrace)
        return CheckTracePath(value, reason);
    if (name == kController)
        return ParseController(value, &scratch.controller, reason);
    if (name == kOscHz)
        return ParseOscHz(value, &scratch.oscHz, reason);
    if (name == kNoise)
        return ParseNoiseSetting(value, &scratch.noise, reason);
    if (name == kCapture || name == kCanlog)
        return CheckCreatable(value, "cannot create \"" + value + "\": ", reason);
    if (name == kChipLog)
        return CheckCreatable(value, "cannot create the file: ", reason);
    if (IsChipSetting(name)) {
        *reason = ParseChipSetting(name, value, &scratch.chip);
        if (!reason->empty())
            return false;
        return name != kFlash || CheckFlashPath(value, reason);
    }
    if (!IsBoardName(name)) {
        *reason = "not a setting of the board";
        return false;
    }
    return true;
}

bool LoadSettings(const std::map<std::string, std::string> &overrides, Settings *out, std::string *badName,
                  std::string *badValue, std::string *reason)
{
    *out = Settings();
    for (char **entry = SIMBOARD_ENVIRON; entry && *entry; ++entry) {
        const char *eq = std::strchr(*entry, '=');
        if (!eq)
            continue;
        std::string name(*entry, static_cast<size_t>(eq - *entry));
        if (IsBoardName(name))
            out->raw[name] = eq + 1;
    }
    for (const auto &set : overrides)
        out->raw[set.first] = set.second;

    auto fail = [&](const char *name) {
        *badName = name;
        *badValue = out->Raw(name);
        return false;
    };
    ParsedDevices devices;
    if (!ParseDevices(out->Raw(kDevices), &devices, reason))
        return fail(kDevices);
    out->records = devices.records;
    out->spiRecord = devices.spiRecord;
    out->devicesText = devices.text;
    if (!ParseEngine(out->Raw(kEngine), out, reason))
        return fail(kEngine);
    if (!ParseFail(out->Raw(kFail), out, reason))
        return fail(kFail);
    out->tracePath = out->Raw(kTrace);
    if (!ParseController(out->Raw(kController), &out->controller, reason))
        return fail(kController);
    if (!ParseOscHz(out->Raw(kOscHz), &out->oscHz, reason))
        return fail(kOscHz);
    if (!ParseNoiseSetting(out->Raw(kNoise), &out->noise, reason))
        return fail(kNoise);
    out->capturePath = out->Raw(kCapture);
    out->canlogPath = out->Raw(kCanlog);
    // The chip's files (its log and the flash image) are checked when the
    // chip starts.
    std::string chipName;
    if (!LoadChipConfig([&](const std::string &n) { return out->Raw(n); }, &out->chip, &chipName, badValue, reason)) {
        *badName = chipName;
        return false;
    }
    return true;
}

} // namespace simboard
