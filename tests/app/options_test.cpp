#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/adapter.h"
#include "app/console.h"
#include "app/options.h"
#include "support/tool_fixture.h"

namespace
{

class OptionsTest : public ToolTest
{
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

TEST_F(OptionsTest, NumbersInTheirDocumentedNotation)
{
    const struct {
        const char *option, *value;
        int64_t expected; // in the option's setting; the others keep their defaults
    } cases[] = {
        {"-b", "0100000", 32768}, // leading 0: octal
        {"-b", "0x186A0", 100000},
        {"-b", "+125000", 125000},
        {"-b", "-500", -500}, // refused later, by the interface
        {"-b", "2147483647", 2147483647},
        {"-b", "-2147483648", INT32_MIN},
        {"-bitrate", "125000", 125000}, // only the letter counts
        {"-p", "1430102b", 0x1430102B},
        {"-o", "2000", 0x2000},
        {"-o", "0x00000000FFFFFFFF", 0xFFFFFFFF}, // leading zeros do not count
        {"-s", "0x10000301", 0x10000301},
        {"-u", "1A5A5", 0x1A5A5}, // kept whole; only 16 bits are sent
    };
    for (const auto &c : cases) {
        APP_SetDefaultSettings(&settings);
        ASSERT_EQ(Parse({c.option, c.value}), PARSE_OK) << c.value;
        const int64_t got[] = {settings.bitRate, settings.expectedPartId, settings.flashOffset, settings.startAddress,
                               settings.unlockCode};
        int64_t expected[] = {100000, 0x1430102B, 0, 0, 0x5A5A};
        expected[std::string("bposu").find(c.option[1])] = c.expected;
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(got[i], expected[i]) << c.option << " " << c.value << ", setting " << i;
    }
}

// A value that is not a whole number in its option's notation, or does not
// fit it, is refused with a reason, and no setting changes.
TEST_F(OptionsTest, MalformedNumbersAreRefusedWithTheirReason)
{
    const struct {
        const char *option, *value, *reason;
    } cases[] = {
        {"-o", "O1000", "-o expects a hexadecimal number of 32 bits, not 'O1000'"},
        {"-o", "100000000", nullptr},
        {"-o", "0x", nullptr},
        {"-o", " 2000", nullptr},
        {"-p", "1430102B ", nullptr},
        {"-s", "zz", "-s expects a hexadecimal number of 32 bits, not 'zz'"},
        {"-u", "5A5Ag", nullptr},
        {"-b", "100000x", "-b expects a decimal, 0x hex or 0 octal number of 32 bits, not '100000x'"},
        {"-b", "08", nullptr},
        {"-b", "250k", nullptr},
        {"-b", "2147483648", nullptr},
        {"-b", "-2147483649", nullptr},
        {"-v", "abc", "-v expects a decimal number, not 'abc'"},
        {"-v", "0x10", nullptr},
        {"-v", "4x", nullptr},
    };
    for (const auto &c : cases) {
        APP_SetDefaultSettings(&settings);
        g_verbosity = 1;
        EXPECT_EQ(Parse({c.option, c.value}), PARSE_MALFORMED) << c.option << " " << c.value;
        EXPECT_NE(settings.refusal[0], '\0') << c.option << " " << c.value;
        if (c.reason != nullptr) {
            EXPECT_STREQ(settings.refusal, c.reason);
        }
        EXPECT_EQ(settings.flashOffset, 0u);
        EXPECT_EQ(settings.bitRate, DEFAULT_BIT_RATE);
        EXPECT_EQ(g_verbosity, 1);
    }
}

// The refusal shows at the level the command line asks for, wherever its -v
// stands; the pairs after the refusal set nothing else.
TEST_F(OptionsTest, TheLevelOfARefusalIsTheCommandLines)
{
    ASSERT_EQ(Parse({"-a", "p", "-o", "O1000", "-v", "2", "-a", "e", "-b", "0x"}), PARSE_MALFORMED);
    EXPECT_EQ(g_verbosity, 2);
    EXPECT_EQ(settings.action, 'p');
    g_verbosity = 1;
    ASSERT_EQ(Parse({"-o", "x", "q", "-v", "3"}), PARSE_MALFORMED); // the rest makes no sense: not read
    EXPECT_EQ(g_verbosity, 1);
}

TEST_F(OptionsTest, VerbosityKeepsTheLow8BitsOfTheDecimalNumber)
{
    const struct {
        const char *value;
        uint8_t verbosity;
    } cases[] = {
        {"2", 2}, {"258", 2}, {"-1", 255}, {"+4", 4}, {"1000000000000000000003", 3}, // beyond 64 bits: still the low 8
    };
    for (const auto &c : cases) {
        g_verbosity = 1;
        ASSERT_EQ(Parse({"-v", c.value}), PARSE_OK);
        EXPECT_EQ(g_verbosity, c.verbosity) << c.value;
    }
}

TEST_F(OptionsTest, LongOptionsStandAnywhereAmongThePairs)
{
    ASSERT_EQ(Parse({"--exit-code", "-a", "e", "--device", "SB000002", "-v", "0", "--device=1"}), PARSE_OK);
    EXPECT_TRUE(settings.exitCode);
    EXPECT_STREQ(settings.deviceSelector, "1");
    EXPECT_EQ(settings.action, 'e');
    EXPECT_EQ(settings.request, REQUEST_ACTION);

    ASSERT_EQ(Parse({"--length", "0x1000", "--allow-crp", "--allow-crp=NO_ISP"}), PARSE_OK);
    EXPECT_TRUE(settings.lengthGiven);
    EXPECT_EQ(settings.length, 0x1000u);
    EXPECT_EQ(settings.allowedCrp, CRP_ALLOW_CRP1 | CRP_ALLOW_CRP2 | CRP_ALLOW_NO_ISP);
}

TEST_F(OptionsTest, RequestsAndFailures)
{
    const struct {
        std::vector<std::string> args;
        ParseResult result;
        RunRequest request;
    } cases[] = {
        {{}, PARSE_NO_ARGUMENTS, REQUEST_ACTION},
        {{"-x", "1"}, PARSE_UNKNOWN, REQUEST_ACTION},
        {{"a", "p"}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"-a", "p", "q", "-v", "2"}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"-"}, PARSE_UNKNOWN, REQUEST_ACTION},
        {{"-A", "p"}, PARSE_UNKNOWN, REQUEST_ACTION}, // letters are case-sensitive
        {{"-a", "p", "-z"}, PARSE_UNKNOWN, REQUEST_ACTION},
        // A known option in the last position has no value: refused, nothing read past the end.
        {{"-a", "p", "-v"}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"-f"}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"--help"}, PARSE_OK, REQUEST_HELP},
        {{"-a", "e", "--version", "-x"}, PARSE_OK, REQUEST_VERSION}, // reading ends at --help and --version
        {{"--list", "--exit-code"}, PARSE_OK, REQUEST_LIST},
        {{"--list", "-x", "1"}, PARSE_UNKNOWN, REQUEST_LIST},
        {{"--helpme"}, PARSE_UNKNOWN, REQUEST_ACTION},
        {{"--help=yes"}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"-a", "e", "--device"}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"--device="}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"--allow-crp=CRP4"}, PARSE_MALFORMED, REQUEST_ACTION},
        {{"--allow-crp", "CRP3"}, PARSE_MALFORMED, REQUEST_ACTION}, // its value only after '='
    };
    for (const auto &c : cases) {
        APP_SetDefaultSettings(&settings);
        EXPECT_EQ(Parse(c.args), c.result) << ::testing::PrintToString(c.args);
        EXPECT_EQ(settings.request, c.request) << ::testing::PrintToString(c.args);
    }
    EXPECT_EQ(APP_ParseMessage(PARSE_OK), nullptr);
    EXPECT_STREQ(APP_ParseMessage(PARSE_NO_ARGUMENTS), "Filename required!");
    EXPECT_STREQ(APP_ParseMessage(PARSE_UNKNOWN), "Unknown Argument!");
    EXPECT_STREQ(APP_ParseMessage(PARSE_MALFORMED), "Malformed Argument!");
}

TEST_F(OptionsTest, AFileNameOf1023CharactersIsStoredWholeAndOneOf1024Refused)
{
    const std::string longest(1023, 'f');
    ASSERT_EQ(Parse({"-f", longest}), PARSE_OK);
    EXPECT_EQ(std::string(settings.fileName), longest);
    ASSERT_EQ(Parse({"-f", "image.bin"}), PARSE_OK);
    // 1024 characters: its terminator would not fit. The earlier name stands.
    EXPECT_EQ(Parse({"-f", std::string(1014, 'd') + "/image.bin"}), PARSE_MALFORMED);
    EXPECT_STREQ(settings.fileName, "image.bin");
}

// Later pairs override earlier ones, past an 8-bit argument index too; the
// action is its value's first character.
TEST_F(OptionsTest, LaterPairsOverrideEarlierOnesAmongMoreThan254Arguments)
{
    std::vector<std::string> args = {"-a", "e", "-b", "125000"};
    for (int i = 0; i < 150; ++i)
        args.insert(args.end(), {"-v", std::to_string(i % 5)});
    args.insert(args.end(), {"-a", "reset"});
    ASSERT_EQ(Parse(args), PARSE_OK);
    EXPECT_EQ(settings.action, 'r');
    EXPECT_EQ(settings.bitRate, 125000);
    EXPECT_EQ(g_verbosity, 149 % 5);
    for (const char *value : {"-b", ""}) {
        ASSERT_EQ(Parse({"-a", value}), PARSE_OK);
        EXPECT_EQ(settings.action, value[0]) << value;
    }
    args.insert(args.end(), {"q", "1"}); // a bad pair far past an 8-bit index
    EXPECT_EQ(Parse(args), PARSE_MALFORMED);
}

TEST(AdapterSelection, ASelectorNamesAChannelByIndexSerialNumberOrDescription)
{
    const CanChannelInfo channels[] = {
        {0, 6, 0x11, "SB000001A", "Dual RS232-HS A"},
        {1, 6, 0x12, "SB000001B", "Dual RS232-HS B"},
        {2, 8, 0x21, "SB000002", "Single RS232-HS"},
        {3, 8, 0x31, "SB000003", "Single RS232-HS"},
    };
    const struct {
        const char *selector;
        uint32_t matches, index;
    } cases[] = {
        {"2", 1, 2},
        {"02", 1, 2},
        {"SB000001B", 1, 1},
        {"Dual RS232-HS A", 1, 0},
        {"Single RS232-HS", 2, 2},
        {"4", 0, 99},
        {"SB00000", 0, 99},
        {"99999999999999999999", 0, 99},
        {"sb000002", 0, 99},
        {"", 0, 99},
    };
    for (const auto &c : cases) {
        uint32_t index = 99;
        EXPECT_EQ(APP_MatchChannel(c.selector, channels, 4, &index), c.matches) << c.selector;
        EXPECT_EQ(index, c.index) << c.selector;
    }
}

} // namespace
