#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/options.h"
#include "support/tool_fixture.h"

namespace {

class OptionsTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        APP_SetDefaultSettings(&settings);
    }

    // argv holds exactly argc entries, with no terminating null: reading past
    // the last argument is caught by the sanitizer build.
    ParseResult Parse(const std::vector<std::string> &args)
    {
        storage = args;
        storage.insert(storage.begin(), "canisp");
        pointers.clear();
        for (const std::string &arg : storage)
            pointers.push_back(arg.c_str());
        return APP_ParseOptions(static_cast<int>(pointers.size()), pointers.data(), &settings);
    }

    RunSettings settings;
    std::vector<std::string> storage;
    std::vector<const char *> pointers;
};

TEST_F(OptionsTest, FailuresAndTheirMessages)
{
    struct Case {
        std::vector<std::string> args;
        ParseResult result;
        const char *message;
    };
    const Case cases[] = {
        {{}, PARSE_NO_ARGUMENTS, "Filename required!"},
        {{"-x", "1"}, PARSE_UNKNOWN, "Unknown Argument!"},
        {{"a", "p"}, PARSE_MALFORMED, "Malformed Argument!"},
        {{"-a", "p", "q", "-v", "2"}, PARSE_MALFORMED, "Malformed Argument!"},
        {{"-"}, PARSE_UNKNOWN, "Unknown Argument!"},
        {{"-", "1"}, PARSE_UNKNOWN, "Unknown Argument!"},
        {{"-A", "p"}, PARSE_UNKNOWN, "Unknown Argument!"}, // letters are case-sensitive
        {{"-a", "p", "q"}, PARSE_MALFORMED, "Malformed Argument!"},
        {{"-a", "p", "-z"}, PARSE_UNKNOWN, "Unknown Argument!"},
        // A known option in the last position has no value: refused, nothing read past the end.
        {{"-a", "p", "-v"}, PARSE_MALFORMED, "Malformed Argument!"},
        {{"-f"}, PARSE_MALFORMED, "Malformed Argument!"},
    };
    for (const Case &c : cases) {
        APP_SetDefaultSettings(&settings);
        ParseResult result = Parse(c.args);
        EXPECT_EQ(result, c.result) << ::testing::PrintToString(c.args);
        ASSERT_NE(APP_ParseMessage(result), nullptr);
        EXPECT_STREQ(APP_ParseMessage(result), c.message);
    }
    EXPECT_EQ(APP_ParseMessage(PARSE_OK), nullptr);
}

TEST_F(OptionsTest, NumericConversions)
{
    struct Case {
        std::vector<std::string> args;
        int32_t bitRate;
        uint32_t partId;
        uint32_t offset;
        uint32_t start;
        uint32_t unlock;
    };
    const int32_t B = 100000;
    const uint32_t P = 0x1430102B, U = 0x5A5A;
    const Case cases[] = {
        {{"-b", "0100000"}, 32768, P, 0, 0, U},                    // leading 0: octal
        {{"-b", "0x186A0"}, 100000, P, 0, 0, U},
        {{"-b", "  +125000"}, 125000, P, 0, 0, U},
        {{"-b", "-500"}, -500, P, 0, 0, U},
        {{"-b", "08"}, 0, P, 0, 0, U},                             // octal stops at 8
        {{"-b", "250k"}, 250, P, 0, 0, U},
        {{"-b", "0x"}, 0, P, 0, 0, U},
        {{"-b", "99999999999"}, 1215752191, P, 0, 0, U},           // low 32 bits
        {{"-b", "k"}, B, P, 0, 0, U},                              // no digits: unchanged
        {{"-b", "50000", "-b", "-"}, 50000, P, 0, 0, U},
        {{"-p", "1430102b"}, B, 0x1430102B, 0, 0, U},
        {{"-p", "0x1430102B"}, B, 0x1430102B, 0, 0, U},
        {{"-p", " 0X1430102b"}, B, 0x1430102B, 0, 0, U},
        {{"-o", "2000"}, B, P, 0x2000, 0, U},
        {{"-o", "-1"}, B, P, 0xFFFFFFFF, 0, U},
        {{"-o", "1FFFFFFFF"}, B, P, 0xFFFFFFFF, 0, U},
        {{"-s", "0x10000301"}, B, P, 0, 0x10000301, U},
        {{"-s", "zz"}, B, P, 0, 0, U},
        {{"-u", "1A5A5"}, B, P, 0, 0, 0x1A5A5},                    // kept whole; only 16 bits are sent
        {{"-u", "x"}, B, P, 0, 0, U},
        {{"-bitrate", "125000"}, 125000, P, 0, 0, U},              // only the letter counts
    };
    for (const Case &c : cases) {
        APP_SetDefaultSettings(&settings);
        ASSERT_EQ(Parse(c.args), PARSE_OK) << ::testing::PrintToString(c.args);
        EXPECT_EQ(settings.bitRate, c.bitRate) << ::testing::PrintToString(c.args);
        EXPECT_EQ(settings.expectedPartId, c.partId) << ::testing::PrintToString(c.args);
        EXPECT_EQ(settings.flashOffset, c.offset) << ::testing::PrintToString(c.args);
        EXPECT_EQ(settings.startAddress, c.start) << ::testing::PrintToString(c.args);
        EXPECT_EQ(settings.unlockCode, c.unlock) << ::testing::PrintToString(c.args);
    }
}

TEST_F(OptionsTest, VerbosityKeepsTheLow8BitsOfTheDecimalNumber)
{
    struct Case {
        const char *value;
        uint8_t verbosity;
    };
    const Case cases[] = {
        {"2", 2},          {"258", 2},  {"-1", 255}, {" +4x", 4}, {"x", 0}, {"", 0}, {"0x10", 0},
        {"1000000000000000000003", 3}, // far beyond 64 bits: still exactly the low 8 bits
    };
    for (const Case &c : cases) {
        g_verbosity = 1;
        ASSERT_EQ(Parse({"-v", c.value}), PARSE_OK);
        EXPECT_EQ(g_verbosity, c.verbosity) << c.value;
    }
}

TEST_F(OptionsTest, ActionIsTheFirstCharacterOfItsValue)
{
    const struct {
        const char *value;
        char action;
    } cases[] = {{"program", 'p'}, {"e", 'e'}, {"-b", '-'}, {"", '\0'}};
    for (const auto &c : cases) {
        ASSERT_EQ(Parse({"-a", c.value}), PARSE_OK);
        EXPECT_EQ(settings.action, c.action) << c.value;
    }
}

TEST_F(OptionsTest, LaterPairsOverrideEarlierOnesInAnyOrder)
{
    ASSERT_EQ(Parse({"-v", "3", "-a", "e", "-b", "125000", "-a", "g", "-v", "0"}), PARSE_OK);
    EXPECT_EQ(settings.action, 'g');
    EXPECT_EQ(settings.bitRate, 125000);
    EXPECT_EQ(g_verbosity, 0);
}

TEST_F(OptionsTest, FileNameUpTo1023CharactersIsStoredWhole)
{
    const std::string longest(1023, 'f');
    ASSERT_EQ(Parse({"-f", longest}), PARSE_OK);
    EXPECT_EQ(std::string(settings.fileName), longest);
}

TEST_F(OptionsTest, FileNameTooLongForTheBufferIsRefusedNotCut)
{
    ASSERT_EQ(Parse({"-f", "image.bin"}), PARSE_OK);
    const std::string tooLong = std::string(1020, 'd') + "/image.bin";
    EXPECT_EQ(Parse({"-f", tooLong}), PARSE_MALFORMED);
    // The earlier name stands: a cut-off prefix never becomes the name.
    EXPECT_STREQ(settings.fileName, "image.bin");
}

TEST_F(OptionsTest, MoreThan254ArgumentsAreAllRead)
{
    std::vector<std::string> args;
    for (int i = 0; i < 150; ++i) {
        args.push_back("-v");
        args.push_back(std::to_string(i % 5));
    }
    args.push_back("-a");
    args.push_back("r");
    ASSERT_EQ(Parse(args), PARSE_OK);
    EXPECT_EQ(settings.action, 'r');
    EXPECT_EQ(g_verbosity, 149 % 5);

    // A bad pair far past an 8-bit index is still found.
    args.push_back("q");
    args.push_back("1");
    EXPECT_EQ(Parse(args), PARSE_MALFORMED);
}

} // namespace
