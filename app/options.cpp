#include "app/options.h"

#include <cstring>

int APP_DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace
{

bool hasHexPrefix(const char *text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// Every character a digit of base, at least one, the value at most limit.
bool parseDigits(const char *text, int base, uint64_t limit, uint64_t *value)
{
    if (*text == '\0')
        return false;
    uint64_t number = 0;
    for (; *text != '\0'; ++text) {
        int digit = APP_DigitValue(*text);
        if (digit < 0 || digit >= base)
            return false;
        number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (number > limit)
            return false;
    }
    *value = number;
    return true;
}

// Options that stand alone (flags) or take one value, as --name=value or,
// for the value options, --name value.
enum LongOption {
    LONG_HELP,
    LONG_VERSION,
    LONG_EXIT_CODE,
    LONG_LIST,
    LONG_DEVICE,
    LONG_FAST,
    LONG_LENGTH,
    LONG_ALLOW_CRP
};
// How a long option takes its value: none, as --name=value or --name value,
// or only as --name=value (the option also stands alone).
enum ValueKind { VALUE_NONE, VALUE_REQUIRED, VALUE_OPTIONAL };
struct LongOptionName {
    const char *name;
    LongOption option;
    ValueKind value;
};
const LongOptionName LONG_OPTIONS[] = {
    {"help", LONG_HELP, VALUE_NONE},           {"version", LONG_VERSION, VALUE_NONE},
    {"exit-code", LONG_EXIT_CODE, VALUE_NONE}, {"list", LONG_LIST, VALUE_NONE},
    {"device", LONG_DEVICE, VALUE_REQUIRED},   {"fast", LONG_FAST, VALUE_NONE},
    {"length", LONG_LENGTH, VALUE_REQUIRED},   {"allow-crp", LONG_ALLOW_CRP, VALUE_OPTIONAL},
};

struct CrpLevelName {
    const char *name;
    uint32_t allow;
};
const CrpLevelName CRP_LEVEL_NAMES[] = {
    {"CRP1", CRP_ALLOW_CRP1}, {"CRP2", CRP_ALLOW_CRP2}, {"CRP3", CRP_ALLOW_CRP3}, {"NO_ISP", CRP_ALLOW_NO_ISP}};

const LongOptionName *findLongOption(const char *name, size_t length)
{
    for (const LongOptionName &entry : LONG_OPTIONS)
        if (std::strlen(entry.name) == length && std::strncmp(entry.name, name, length) == 0)
            return &entry;
    return nullptr;
}

class Parser
{
public:
    Parser(int argc, const char *const *argv, RunSettings *settings) : argc_(argc), argv_(argv), settings_(settings) {}

    ParseResult Run()
    {
        if (argc_ <= 1)
            return PARSE_NO_ARGUMENTS;
        // A script that asks for exit statuses gets them for a command line
        // that is refused too, wherever the option stands.
        for (int index = 1; index < argc_; ++index)
            if (argv_[index] != nullptr && std::strcmp(argv_[index], "--exit-code") == 0)
                settings_->exitCode = true;
        ParseResult result = PARSE_OK;
        // The index is as wide as argc: any number of arguments is read.
        int index = 1;
        while (index < argc_ && result == PARSE_OK && !stopped_)
            result = ReadOne(&index);
        if (result == PARSE_MALFORMED && settings_->refusal[0] != '\0')
            FindVerbosityAfter(index);
        return result;
    }

private:
    ParseResult ReadOne(int *index)
    {
        const char *option = argv_[*index];
        if (option == nullptr || option[0] != '-')
            return PARSE_MALFORMED;
        if (option[1] == '-' && option[2] != '\0')
            return ReadLong(index);
        char letter = option[1];
        if (letter == '\0' || std::strchr("abfopsuv", letter) == nullptr)
            return PARSE_UNKNOWN;
        // An option in the last position has no value to read.
        if (*index + 1 >= argc_ || argv_[*index + 1] == nullptr)
            return PARSE_MALFORMED;
        const char *value = argv_[*index + 1];
        *index += 2;
        return ReadPair(letter, value);
    }

    ParseResult ReadPair(char letter, const char *value)
    {
        switch (letter) {
        case 'a':
            if (storing_)
                settings_->action = value[0];
            return PARSE_OK;
        case 'b': {
            int32_t rate = 0;
            if (!APP_ParseAutoBase32(value, &rate))
                return Refuse(letter, value, "a decimal, 0x hex or 0 octal number of 32 bits");
            if (storing_)
                settings_->bitRate = rate;
            return PARSE_OK;
        }
        case 'f': {
            size_t length = std::strlen(value);
            // A cut-off name could name another file: refuse it whole.
            if (length >= FILE_NAME_SIZE)
                return PARSE_MALFORMED;
            if (storing_)
                std::memcpy(settings_->fileName, value, length + 1);
            return PARSE_OK;
        }
        case 'o':
            if (storing_)
                settings_->offsetGiven = true;
            return ReadHex(letter, value, &settings_->flashOffset);
        case 'p':
            return ReadHex(letter, value, &settings_->expectedPartId);
        case 's':
            return ReadHex(letter, value, &settings_->startAddress);
        case 'u':
            return ReadHex(letter, value, &settings_->unlockCode);
        case 'v': {
            uint8_t level = 0;
            if (!APP_ParseVerbosity(value, &level))
                return Refuse(letter, value, "a decimal number");
            g_verbosity = level; // also while looking past a refusal for the level
            return PARSE_OK;
        }
        default:
            return PARSE_UNKNOWN;
        }
    }

    ParseResult ReadHex(char letter, const char *value, uint32_t *setting)
    {
        uint32_t number = 0;
        if (!APP_ParseHex32(value, &number))
            return Refuse(letter, value, "a hexadecimal number of 32 bits");
        if (storing_)
            *setting = number;
        return PARSE_OK;
    }

    ParseResult Refuse(char letter, const char *value, const char *expected)
    {
        if (storing_)
            APP_Format(settings_->refusal, "-%c expects %s, not '%s'", letter, expected, value);
        return PARSE_MALFORMED;
    }

    ParseResult ReadLong(int *index)
    {
        const char *name = argv_[*index] + 2;
        const char *equals = std::strchr(name, '=');
        const size_t length = equals != nullptr ? static_cast<size_t>(equals - name) : std::strlen(name);
        const LongOptionName *entry = findLongOption(name, length);
        if (entry == nullptr)
            return PARSE_UNKNOWN;
        const char *value = equals != nullptr ? equals + 1 : nullptr;
        if (entry->value == VALUE_REQUIRED && value == nullptr && *index + 1 < argc_ && argv_[*index + 1] != nullptr) {
            value = argv_[*index + 1];
            ++*index;
        }
        if (entry->value == VALUE_NONE && value != nullptr)
            return PARSE_MALFORMED; // a value for an option that takes none
        if (entry->value == VALUE_REQUIRED && (value == nullptr || value[0] == '\0'))
            return PARSE_MALFORMED;
        if (entry->value == VALUE_OPTIONAL && value != nullptr && value[0] == '\0')
            return PARSE_MALFORMED;
        ++*index;
        if (!storing_)
            return PARSE_OK;

        switch (entry->option) {
        case LONG_HELP:
            settings_->request = REQUEST_HELP;
            stopped_ = true;
            break;
        case LONG_VERSION:
            settings_->request = REQUEST_VERSION;
            stopped_ = true;
            break;
        case LONG_LIST:
            settings_->request = REQUEST_LIST;
            break;
        case LONG_EXIT_CODE:
            settings_->exitCode = true;
            break;
        case LONG_DEVICE:
            settings_->deviceSelector = value;
            break;
        case LONG_FAST:
            settings_->fast = true;
            break;
        case LONG_LENGTH:
            if (!APP_ParseHex32(value, &settings_->length)) {
                APP_Format(settings_->refusal, "--length expects a hexadecimal number of 32 bits, not '%s'", value);
                return PARSE_MALFORMED;
            }
            settings_->lengthGiven = true;
            break;
        case LONG_ALLOW_CRP:
            return ReadAllowedCrp(value);
        }
        return PARSE_OK;
    }

    ParseResult ReadAllowedCrp(const char *value)
    {
        if (value == nullptr) {
            settings_->allowedCrp |= CRP_ALLOW_CRP1 | CRP_ALLOW_CRP2;
            return PARSE_OK;
        }
        for (const CrpLevelName &level : CRP_LEVEL_NAMES)
            if (std::strcmp(level.name, value) == 0) {
                settings_->allowedCrp |= level.allow;
                return PARSE_OK;
            }
        APP_Format(settings_->refusal, "--allow-crp expects CRP1, CRP2, CRP3 or NO_ISP, not '%s'", value);
        return PARSE_MALFORMED;
    }

    // The refusal is shown at the level the command line asks for, wherever
    // its -v stands: the rest is read for well-formed -v pairs only, until
    // the arguments stop making sense.
    void FindVerbosityAfter(int index)
    {
        storing_ = false;
        while (index < argc_ && ReadOne(&index) == PARSE_OK) {
        }
    }

    const int argc_;
    const char *const *argv_;
    RunSettings *settings_;
    bool storing_ = true;
    bool stopped_ = false;
};

} // namespace

bool APP_ParseHex32(const char *text, uint32_t *value)
{
    if (hasHexPrefix(text))
        text += 2;
    uint64_t number = 0;
    if (!parseDigits(text, 16, 0xFFFFFFFFu, &number))
        return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

bool APP_ParseAutoBase32(const char *text, int32_t *value)
{
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    int base = 10;
    if (hasHexPrefix(text)) {
        base = 16;
        text += 2;
    } else if (text[0] == '0') {
        base = 8; // a lone 0 is octal zero
    }
    const uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    uint64_t number = 0;
    if (!parseDigits(text, base, limit, &number))
        return false;
    *value = static_cast<int32_t>(negative ? 0u - static_cast<uint32_t>(number) : static_cast<uint32_t>(number));
    return true;
}

bool APP_ParseVerbosity(const char *text, uint8_t *value)
{
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    if (*text == '\0')
        return false;
    // Modulo 256 all the way: exactly the low 8 bits of any number however long.
    uint8_t low = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        low = static_cast<uint8_t>(low * 10u + static_cast<unsigned>(*text - '0'));
    }
    *value = negative ? static_cast<uint8_t>(0u - low) : low;
    return true;
}

void APP_SetDefaultSettings(RunSettings *settings)
{
    std::memset(settings, 0, sizeof(*settings));
    settings->bitRate = DEFAULT_BIT_RATE;
    settings->unlockCode = DEFAULT_UNLOCK_CODE;
    settings->expectedPartId = DEFAULT_PART_ID;
    settings->action = NO_ACTION;
    settings->request = REQUEST_ACTION;
    settings->exitCode = false;
    settings->fast = false;
    settings->lengthGiven = false;
    settings->length = 0;
    settings->allowedCrp = 0;
    settings->deviceSelector = nullptr;
}

ParseResult APP_ParseOptions(int argc, const char *const *argv, RunSettings *settings)
{
    Parser parser(argc, argv, settings);
    return parser.Run();
}

const char *APP_ParseMessage(ParseResult result)
{
    switch (result) {
    case PARSE_MALFORMED:
        return "Malformed Argument!";
    case PARSE_UNKNOWN:
        return "Unknown Argument!";
    case PARSE_NO_ARGUMENTS:
        return "Filename required!";
    case PARSE_OK:
        break;
    }
    return nullptr;
}
