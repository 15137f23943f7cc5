#include "app/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/console.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A "%i" conversion: blanks, sign, then 0x-prefixed hexadecimal, 0-prefixed
// octal or decimal. The number is taken as a 64-bit signed value (saturating
// like strtoll) and its low 32 bits stored, the same on every platform.
// No digits: the setting keeps its value.
void convertAutoBase(const char *value, int32_t *setting)
{
    char *end = nullptr;
    errno = 0;
    long long number = std::strtoll(value, &end, 0);
    if (end == value)
        return;
    *setting = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(number)));
}

// A "%x" conversion: blanks, sign, optional 0x prefix, hexadecimal digits;
// unsigned 64-bit as strtoull, low 32 bits stored. No digits: unchanged.
void convertHex(const char *value, uint32_t *setting)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(value, &end, 16);
    if (end == value)
        return;
    *setting = static_cast<uint32_t>(number);
}

// Decimal as atoi reads it, kept to its low 8 bits: the arithmetic runs modulo
// 256, which gives exactly the low 8 bits of any number however long.
uint8_t convertVerbosity(const char *value)
{
    while (isBlank(*value))
        ++value;
    bool negative = false;
    if (*value == '+' || *value == '-') {
        negative = *value == '-';
        ++value;
    }
    uint8_t low = 0;
    for (; *value >= '0' && *value <= '9'; ++value)
        low = static_cast<uint8_t>(low * 10u + static_cast<unsigned>(*value - '0'));
    return negative ? static_cast<uint8_t>(0u - low) : low;
}

} // namespace

void APP_SetDefaultSettings(RunSettings *settings)
{
    std::memset(settings, 0, sizeof(*settings));
    settings->fileName[0] = '\0';
    settings->startAddress = 0;
    settings->flashOffset = 0;
    settings->bitRate = DEFAULT_BIT_RATE;
    settings->unlockCode = DEFAULT_UNLOCK_CODE;
    settings->expectedPartId = DEFAULT_PART_ID;
    settings->action = NO_ACTION;
}

ParseResult APP_ParseOptions(int argc, const char *const *argv, RunSettings *settings)
{
    if (argc <= 1)
        return PARSE_NO_ARGUMENTS;

    // The index is as wide as argc: any number of pairs is read.
    for (int optionIndex = 1; optionIndex < argc; optionIndex += 2) {
        const char *option = argv[optionIndex];
        if (option == nullptr || option[0] != '-')
            return PARSE_MALFORMED;
        char letter = option[1];
        if (std::strchr("abfopsuv", letter) == nullptr || letter == '\0')
            return PARSE_UNKNOWN;
        // An option in the last position has no value to read.
        if (optionIndex + 1 >= argc || argv[optionIndex + 1] == nullptr)
            return PARSE_MALFORMED;
        const char *value = argv[optionIndex + 1];

        switch (letter) {
        case 'a':
            settings->action = value[0];
            break;
        case 'b':
            convertAutoBase(value, &settings->bitRate);
            break;
        case 'f': {
            size_t length = std::strlen(value);
            // A cut-off name could name another file: refuse it whole.
            if (length >= FILE_NAME_SIZE)
                return PARSE_MALFORMED;
            std::memcpy(settings->fileName, value, length + 1);
            break;
        }
        case 'o':
            convertHex(value, &settings->flashOffset);
            break;
        case 'p':
            convertHex(value, &settings->expectedPartId);
            break;
        case 's':
            convertHex(value, &settings->startAddress);
            break;
        case 'u':
            convertHex(value, &settings->unlockCode);
            break;
        case 'v':
            g_verbosity = convertVerbosity(value);
            break;
        default:
            return PARSE_UNKNOWN;
        }
    }
    return PARSE_OK;
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
