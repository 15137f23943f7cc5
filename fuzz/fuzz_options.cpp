// The command line: arbitrary argument lists (the input's bytes split at NUL)
// through the option parser. Whatever the arguments, the parser ends with one
// of its results, keeps the file name terminated inside its buffer, and on
// success has taken every pair it was given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/options.h"
#include "app/test_reset.h"

namespace {

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
    if (result == PARSE_OK) {
        // Pairs only, each option a dash and a known letter; the last -f wins.
        CHECK(argc % 2 == 1);
        const char *lastFile = nullptr;
        char lastAction = NO_ACTION;
        bool actionGiven = false;
        for (int i = 1; i < argc; i += 2) {
            CHECK(argv[i][0] == '-' && argv[i][1] != '\0' && std::strchr("abfopsuv", argv[i][1]) != nullptr);
            if (argv[i][1] == 'f')
                lastFile = argv[i + 1];
            if (argv[i][1] == 'a') {
                lastAction = argv[i + 1][0];
                actionGiven = true;
            }
        }
        CHECK(lastFile == nullptr ? settings.fileName[0] == '\0' : std::strcmp(settings.fileName, lastFile) == 0);
        CHECK(actionGiven ? settings.action == lastAction : settings.action == NO_ACTION);
    }

    for (char *copy : argv)
        std::free(copy);
    return 0;
}
