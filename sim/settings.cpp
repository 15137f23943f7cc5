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

namespace simboard
{

namespace
{

constexpr char DEVICES_SETTING[] = "SIMBOARD_DEVICES";
constexpr char ENGINE_SETTING[] = "SIMBOARD_ENGINE";
constexpr char FAIL_SETTING[] = "SIMBOARD_FAIL";
constexpr char TRACE_SETTING[] = "SIMBOARD_TRACE";
constexpr char CONTROLLER_SETTING[] = "SIMBOARD_CONTROLLER";
constexpr char OSC_HZ_SETTING[] = "SIMBOARD_OSC_HZ";
constexpr char NOISE_SETTING[] = "SIMBOARD_NOISE";
constexpr char CAPTURE_SETTING[] = "SIMBOARD_CAPTURE";
constexpr char CANLOG_SETTING[] = "SIMBOARD_CANLOG";
constexpr char CHIPLOG_SETTING[] = "SIMBOARD_CHIPLOG";
constexpr char FLASH_SETTING[] = "SIMBOARD_FLASH";

constexpr char DEFAULT_DEVICES[] = "FT2232H";
constexpr char DEFAULT_CONTROLLER[] = "mcp2515";

// The MCP2515's oscillator range (datasheet: 1 to 25 MHz).
constexpr uint64_t OSC_HZ_MIN = 1000000;
constexpr uint64_t OSC_HZ_MAX = 25000000;

constexpr size_t MAX_ENTRIES = 16;

// The chips the board offers by name. Interfaces are A to D; a chip with one
// interface has none lettered (its location's interface number is 0).
struct ChipModel {
    const char *name;
    uint32_t type;
    int interfaces;      // lettered interfaces; 0 for a single-interface chip
    unsigned engineMask; // bit i: interface i (0 = A) has an engine; bit 0 for single chips
    EngineKind engine;
    bool highSpeed;
    uint32_t id;             // VID << 16 | PID
    const char *description; // lettered chips add " " and the letter
};

constexpr ChipModel CHIPS[] = {
    {"FT2232D", 4, 2, 0x1, EngineKind::FT2232D, false, 0x04036010, "Dual RS232"},
    {"FT2232C", 4, 2, 0x1, EngineKind::FT2232D, false, 0x04036010, "Dual RS232"},
    {"FT2232H", 6, 2, 0x3, EngineKind::FT2232H, true, 0x04036010, "Dual RS232-HS"},
    {"FT4232H", 7, 4, 0x3, EngineKind::FT4232H, true, 0x04036011, "Quad RS232-HS"},
    {"FT232H", 8, 0, 0x1, EngineKind::FT232H, true, 0x04036014, "Single RS232-HS"},
    {"FT232R", 5, 0, 0x0, EngineKind::None, false, 0x04036001, "FT232R USB UART"},
    {"FT230X", 9, 0, 0x0, EngineKind::None, false, 0x04036015, "FT230X Basic UART"},
};
// TYPEn: any other device type the driver may list; never an engine.
constexpr uint32_t TYPE_N_ID = 0x04030000;
constexpr uint32_t FLAG_HIGH_SPEED = 0x2;
constexpr uint32_t FLAG_OPEN = 0x1;
constexpr uint32_t TYPE_UNKNOWN = 3;

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
            const int digit = HexDigitValue(text[i]);
            if (digit < 0 || result > (max - static_cast<uint64_t>(digit)) / 16)
                return false;
            result = result * 16 + static_cast<uint64_t>(digit);
        }
        *value = result;
        return true;
    }
    return ParseDecimal(text, max, value);
}

// ---- SIMBOARD_DEVICES -------------------------------------------------------

struct ParsedDevices {
    std::vector<RecordModel> records;
    int spiRecord = -1;
    std::string text;
};

// /spi without a letter: the entry's first listed interface with an engine.
constexpr int SPI_FIRST_ENGINE = -2;
// A single-interface chip's one interface, which has no letter.
constexpr int NO_LETTER = -1;

// One entry of the list, CHIP[:LETTERS][/FLAG...], as read.
struct DeviceEntry {
    std::string chipName; // upper case, as the trace's BOARD line shows it
    std::string letters;  // after ':', upper case
    bool lettersGiven = false;
    ChipModel model{};
    std::string description;     // the records' description (a lettered one adds its letter)
    std::vector<int> interfaces; // listed interfaces, 0 = A; NO_LETTER for a single-interface chip
    bool busy = false;
    bool spi = false;
    int spiInterface = SPI_FIRST_ENGINE;
    std::string flagText; // the flags as the BOARD line shows them
};

// The chip of "CHIP[:LETTERS]": one of CHIPS, or TYPEn (n 0 to 255).
bool ParseChip(const std::string &head, size_t k, DeviceEntry *entry, std::string *reason)
{
    if (head.empty()) {
        *reason = Format("entry %zu names no chip", k + 1);
        return false;
    }
    std::string chipName = head;
    size_t colon = head.find(':');
    entry->lettersGiven = colon != std::string::npos;
    if (entry->lettersGiven) {
        chipName = Trim(head.substr(0, colon));
        entry->letters = Upper(Trim(head.substr(colon + 1)));
    }
    entry->chipName = Upper(chipName);
    for (const ChipModel &chip : CHIPS)
        if (entry->chipName == chip.name) {
            entry->model = chip;
            entry->description = chip.description;
            return true;
        }
    uint64_t typeNumber = 0;
    if (entry->chipName.compare(0, 4, "TYPE") == 0 && ParseDecimal(entry->chipName.substr(4), 255, &typeNumber)) {
        entry->model =
            ChipModel{nullptr, static_cast<uint32_t>(typeNumber), 0, 0, EngineKind::None, false, TYPE_N_ID, nullptr};
        entry->description = Format("Device type %u", static_cast<unsigned>(typeNumber));
        entry->chipName = Format("TYPE%u", static_cast<unsigned>(typeNumber));
        return true;
    }
    *reason = "unknown chip \"" + entry->chipName + "\"";
    return false;
}

// The interfaces an entry lists: those its letters name, in order A to D, or
// every one the chip has.
bool ParseInterfaces(size_t k, DeviceEntry *entry, std::string *reason)
{
    const ChipModel &model = entry->model;
    if (!entry->lettersGiven) {
        if (model.interfaces == 0)
            entry->interfaces.push_back(NO_LETTER);
        for (int i = 0; i < model.interfaces; ++i)
            entry->interfaces.push_back(i);
        return true;
    }
    if (model.interfaces == 0) {
        *reason = entry->chipName + " has a single interface and takes no letters";
        return false;
    }
    if (entry->letters.empty()) {
        *reason = "no interface letter after ':' in entry " + std::to_string(k + 1);
        return false;
    }
    for (char letter : entry->letters) {
        int i = letter - 'A';
        if (letter < 'A' || i >= model.interfaces) {
            *reason = entry->chipName + " has no interface " + std::string(1, letter);
            return false;
        }
        if (!entry->interfaces.empty() && i <= entry->interfaces.back()) {
            *reason = "interface letters must be in order A to D, each once";
            return false;
        }
        entry->interfaces.push_back(i);
    }
    return true;
}

// The flags after the chip: /busy, /spi and /spi=LETTER. spiNamed: an
// earlier entry has /spi.
bool ParseFlags(const std::vector<std::string> &parts, bool spiNamed, DeviceEntry *entry, std::string *reason)
{
    for (size_t f = 1; f < parts.size(); ++f) {
        std::string flag = Lower(Trim(parts[f]));
        size_t eq = flag.find('=');
        std::string flagName = Trim(flag.substr(0, eq));
        if (flagName == "busy" && eq == std::string::npos) {
            entry->busy = true;
            entry->flagText += "/busy";
        } else if (flagName == "spi") {
            if (entry->spi || spiNamed) {
                *reason = "/spi on more than one entry";
                return false;
            }
            entry->spi = true;
            if (eq == std::string::npos) {
                entry->flagText += "/spi";
                continue;
            }
            std::string letter = Upper(Trim(flag.substr(eq + 1)));
            int interfaces = entry->model.interfaces;
            if (letter.size() != 1 || interfaces == 0 || letter[0] < 'A' || letter[0] - 'A' >= interfaces) {
                *reason = entry->chipName + " has no interface \"" + letter + "\"";
                return false;
            }
            entry->spiInterface = letter[0] - 'A';
            entry->flagText += "/spi=" + letter;
        } else {
            *reason = "unknown flag \"" + Trim(parts[f]) + "\"";
            return false;
        }
    }
    return true;
}

// Whether a listed interface has an engine (a busy one shows none).
bool HasEngine(const DeviceEntry &entry, int interface)
{
    return !entry.busy && (entry.model.engineMask >> (interface < 0 ? 0 : interface) & 1u);
}

// One listed interface as the driver's record: port is the entry's number
// (from 1), interface NO_LETTER or 0 = A.
RecordModel MakeRecord(const DeviceEntry &entry, int port, int interface)
{
    const ChipModel &model = entry.model;
    RecordModel record;
    if (entry.busy) {
        // Open in another process: the driver knows neither type nor names.
        record.flags = FLAG_OPEN;
        record.type = TYPE_UNKNOWN;
    } else {
        record.flags = model.highSpeed ? FLAG_HIGH_SPEED : 0;
        record.type = model.type;
        record.id = model.id;
        record.location = static_cast<uint32_t>(port << 4 | (interface < 0 ? 0 : interface + 1));
        record.serial = Format("SB%06d", port);
        record.description = entry.description;
        if (interface >= 0) {
            record.serial += static_cast<char>('A' + interface);
            record.description += std::string(" ") + static_cast<char>('A' + interface);
        }
    }
    record.engine = HasEngine(entry, interface) ? model.engine : EngineKind::None;
    record.highSpeed = model.highSpeed;
    record.busy = entry.busy;
    return record;
}

// Adds the entry's records; returns the position of the record its /spi
// wires, or -1. *firstEngine becomes the first record with an engine.
int AddRecords(const DeviceEntry &entry, int port, ParsedDevices *out, int *firstEngine)
{
    int spiRecord = -1;
    for (int i : entry.interfaces) {
        RecordModel record = MakeRecord(entry, port, i);
        bool engine = HasEngine(entry, i);
        int position = static_cast<int>(out->records.size());
        if (engine && *firstEngine < 0)
            *firstEngine = position;
        if (entry.spi && spiRecord < 0 && engine && (entry.spiInterface == SPI_FIRST_ENGINE || entry.spiInterface == i))
            spiRecord = position;
        out->records.push_back(record);
    }
    return spiRecord;
}

// The entry as the BOARD line shows it.
std::string EntryText(const DeviceEntry &entry)
{
    return entry.chipName + (entry.lettersGiven ? ":" + entry.letters : std::string()) + entry.flagText;
}

bool ParseDevices(const std::string &value, ParsedDevices *out, std::string *reason)
{
    *out = ParsedDevices();
    std::string whole = Trim(value.empty() ? std::string(DEFAULT_DEVICES) : value);
    if (Lower(whole) == "none") {
        out->text = "none";
        return true;
    }
    std::vector<std::string> entries = Split(whole, ',');
    if (entries.size() > MAX_ENTRIES) {
        *reason = "at most 16 entries";
        return false;
    }
    bool spiNamed = false;
    int firstEngine = -1;
    std::string text;
    for (size_t k = 0; k < entries.size(); ++k) {
        std::vector<std::string> parts = Split(entries[k], '/');
        DeviceEntry entry;
        if (!ParseChip(Trim(parts[0]), k, &entry, reason) || !ParseInterfaces(k, &entry, reason) ||
            !ParseFlags(parts, spiNamed, &entry, reason))
            return false;
        int spiRecord = AddRecords(entry, static_cast<int>(k) + 1, out, &firstEngine);
        if (entry.spi) {
            if (spiRecord < 0) {
                *reason = entry.spiInterface == SPI_FIRST_ENGINE
                              ? "/spi on an entry without an MPSSE interface"
                              : "/spi names an interface without an MPSSE engine, or one not listed";
                return false;
            }
            spiNamed = true;
            out->spiRecord = spiRecord;
        }
        text += (text.empty() ? "" : ",") + EntryText(entry);
    }
    if (!spiNamed)
        out->spiRecord = firstEngine;
    out->text = text;
    return true;
}

// ---- SIMBOARD_ENGINE --------------------------------------------------------

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

// ---- SIMBOARD_FAIL ----------------------------------------------------------

// CALLS of a rule: N, N-M, N- or *; *text as the BOARD line shows it.
bool ParseCalls(const std::string &calls, FailRule *rule, std::string *text, std::string *reason)
{
    if (calls == "*") {
        rule->first = 1;
        rule->last = UINT64_MAX;
        *text = "*";
        return true;
    }
    size_t dash = calls.find('-');
    if (!ParseNumber(Trim(calls.substr(0, dash)), UINT64_MAX, &rule->first)) {
        *reason = "calls must be N, N-M, N- or *";
        return false;
    }
    if (rule->first == 0) {
        *reason = "call number must be 1 or more";
        return false;
    }
    if (dash == std::string::npos) {
        rule->last = rule->first;
        *text = std::to_string(rule->first);
        return true;
    }
    std::string lastText = Trim(calls.substr(dash + 1));
    if (lastText.empty()) {
        rule->last = UINT64_MAX;
        *text = std::to_string(rule->first) + "-";
    } else if (!ParseNumber(lastText, UINT64_MAX, &rule->last)) {
        *reason = "calls must be N, N-M, N- or *";
        return false;
    } else if (rule->last < rule->first) {
        *reason = "last call number below the first";
        return false;
    } else {
        *text = std::to_string(rule->first) + "-" + std::to_string(rule->last);
    }
    return true;
}

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
        std::string callsText;
        if (!ParseCalls(Trim(parts[1]), &rule, &callsText, reason))
            return false;
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

// ---- SIMBOARD_CONTROLLER ----------------------------------------------------

bool ParseController(const std::string &value, ControllerKind *kind, std::string *reason)
{
    std::string text = Lower(Trim(value.empty() ? std::string(DEFAULT_CONTROLLER) : value));
    static constexpr struct {
        const char *name;
        ControllerKind kind;
    } KINDS[] = {
        {"mcp2515", ControllerKind::Mcp2515}, {"absent", ControllerKind::Absent}, {"miso-low", ControllerKind::MisoLow},
        {"no-bus", ControllerKind::NoBus},    {"script", ControllerKind::Script},
    };
    for (const auto &entry : KINDS)
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
    if (!text.empty() && (!ParseDecimal(text, UINT64_MAX, &n) || n < OSC_HZ_MIN || n > OSC_HZ_MAX)) {
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
    if (name == DEVICES_SETTING) {
        ParsedDevices devices;
        return ParseDevices(value, &devices, reason);
    }
    if (name == ENGINE_SETTING)
        return ParseEngine(value, &scratch, reason);
    if (name == FAIL_SETTING)
        return ParseFail(value, &scratch, reason);
    if (name == TRACE_SETTING)
        return CheckTracePath(value, reason);
    if (name == CONTROLLER_SETTING)
        return ParseController(value, &scratch.controller, reason);
    if (name == OSC_HZ_SETTING)
        return ParseOscHz(value, &scratch.oscHz, reason);
    if (name == NOISE_SETTING)
        return ParseNoiseSetting(value, &scratch.noise, reason);
    if (name == CAPTURE_SETTING || name == CANLOG_SETTING)
        return CheckCreatable(value, "cannot create \"" + value + "\": ", reason);
    if (name == CHIPLOG_SETTING)
        return CheckCreatable(value, "cannot create the file: ", reason);
    if (IsChipSetting(name)) {
        *reason = ParseChipSetting(name, value, &scratch.chip);
        if (!reason->empty())
            return false;
        return name != FLASH_SETTING || CheckFlashPath(value, reason);
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
    if (!ParseDevices(out->Raw(DEVICES_SETTING), &devices, reason))
        return fail(DEVICES_SETTING);
    out->records = devices.records;
    out->spiRecord = devices.spiRecord;
    out->devicesText = devices.text;
    if (!ParseEngine(out->Raw(ENGINE_SETTING), out, reason))
        return fail(ENGINE_SETTING);
    if (!ParseFail(out->Raw(FAIL_SETTING), out, reason))
        return fail(FAIL_SETTING);
    out->tracePath = out->Raw(TRACE_SETTING);
    if (!ParseController(out->Raw(CONTROLLER_SETTING), &out->controller, reason))
        return fail(CONTROLLER_SETTING);
    if (!ParseOscHz(out->Raw(OSC_HZ_SETTING), &out->oscHz, reason))
        return fail(OSC_HZ_SETTING);
    if (!ParseNoiseSetting(out->Raw(NOISE_SETTING), &out->noise, reason))
        return fail(NOISE_SETTING);
    out->capturePath = out->Raw(CAPTURE_SETTING);
    out->canlogPath = out->Raw(CANLOG_SETTING);
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
