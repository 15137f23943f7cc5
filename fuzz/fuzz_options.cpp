// The command line: arbitrary argument lists (the input's bytes split at NUL)
// through the option parser. Whatever the arguments, the parser ends with one
// of its results, keeps the file name and the refusal terminated inside their
// buffers, and on success has taken every argument it was given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/options.h"
#include "app/test_reset.h"

namespace
{

constexpr size_t MAX_ARGUMENTS = 64;

[[noreturn]] void Fail(const char *condition, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, condition);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : Fail(#condition, __LINE__))

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words(1, "canisp");
    std::string current;
    for (size_t i = 0; i < size && words.size() < MAX_ARGUMENTS; ++i) {
        if (data[i] == '\0') {
            words.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 0 && words.size() < MAX_ARGUMENTS)
        words.push_back(current);

    // Each argument in its own exact-size allocation, so that a read past its
    // terminator is caught.
    std::vector<char *> argv;
    for (const std::string &word : words) {
        char *copy = static_cast<char *>(std::malloc(word.size() + 1));
        std::memcpy(copy, word.c_str(), word.size() + 1);
        argv.push_back(copy);
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    APP_ResetGlobalsForTest();
    RunSettings settings;
    APP_SetDefaultSettings(&settings);
    ParseResult result = APP_ParseOptions(argc, argv.data(), &settings);

    CHECK(result == PARSE_OK || result == PARSE_MALFORMED || result == PARSE_UNKNOWN || result == PARSE_NO_ARGUMENTS);
    CHECK((result == PARSE_NO_ARGUMENTS) == (argc <= 1));
    CHECK((APP_ParseMessage(result) == nullptr) == (result == PARSE_OK));
    CHECK(std::memchr(settings.fileName, '\0', sizeof(settings.fileName)) != nullptr);
    CHECK(std::memchr(settings.refusal, '\0', sizeof(settings.refusal)) != nullptr);
    // A refusal is only ever given with "Malformed Argument!".
    CHECK(settings.refusal[0] == '\0' || result == PARSE_MALFORMED);
    if (result == PARSE_OK && settings.request != REQUEST_HELP && settings.request != REQUEST_VERSION) {
        // Every argument was read: pairs whose option is a dash and a known
        // letter, and known long options; the last -f and -a win.
        const char *lastFile = nullptr;
        char lastAction = NO_ACTION;
        bool actionGiven = false;
        for (int i = 1; i < argc; i += 2) {
            if (argv[i][0] == '-' && argv[i][1] == '-') {
                CHECK(std::strlen(argv[i]) > 2);
                // --device and --length without "=" take the next argument;
                // the others take none or only after "=".
                const bool takesNext = std::strcmp(argv[i], "--device") == 0 || std::strcmp(argv[i], "--length") == 0;
                if (!takesNext)
                    --i;
                continue;
            }
            CHECK(i + 1 < argc);
            CHECK(argv[i][0] == '-' && argv[i][1] != '\0' && std::strchr("abfopsuv", argv[i][1]) != nullptr);
            if (argv[i][1] == 'f')
                lastFile = argv[i + 1];
            if (argv[i][1] == 'a') {
                lastAction = argv[i + 1][0];
                actionGiven = true;
            }
            // A number that was taken reads back as the same number.
            if (argv[i][1] == 'o') {
                uint32_t offset = 0;
                CHECK(APP_ParseHex32(argv[i + 1], &offset));
            }
        }
        CHECK(lastFile == nullptr ? settings.fileName[0] == '\0' : std::strcmp(settings.fileName, lastFile) == 0);
        CHECK(actionGiven ? settings.action == lastAction : settings.action == NO_ACTION);
    }

    for (char *copy : argv)
        std::free(copy);
    return 0;
}
