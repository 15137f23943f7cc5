// The chip's settings: their grammar, their defaults and the reasons given
// for values that cannot be read.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "sim/lpc_isp_chip.h"

namespace simboard
{
namespace
{

TEST(ChipSettings, AcceptsTheirGrammarAndRefusesTheRest)
{
    const struct {
        const char *name, *value;
        bool ok;
    } rows[] = {
        {"SIMBOARD_CHIP", "boot", true},
        {"SIMBOARD_CHIP", "ISP ", false},
        {"SIMBOARD_CHIP_BITRATE", "10000", true},
        {"SIMBOARD_CHIP_BITRATE", "9999", false},
        {"SIMBOARD_CHIP_BITRATE", "0x186A0", false},
        {"SIMBOARD_CHIP_PARTID", "0xFFFFFFFF", true},
        {"SIMBOARD_CHIP_PARTID", "0x100000000", false},
        {"SIMBOARD_CHIP_PARTID", "09", false},
        {"SIMBOARD_CHIP_ANSWER_FROM", "0", false},
        {"SIMBOARD_CHIP_SILENT_AFTER", "0", true},
        {"SIMBOARD_CHIP_REINVOKE", "loud", false},
        {"SIMBOARD_CHIP_ABORT", "0x1018:2:0x06020000:1,0x5020:0:7", true},
        {"SIMBOARD_CHIP_ABORT", "0x1018:2", false},
        {"SIMBOARD_CHIP_ABORT", "0x10000:0:1", false},
        {"SIMBOARD_CHIP_ABORT", "0x1018:2:1:0", false},
        {"SIMBOARD_CHIP_ABORT", "0x1018:2:1,", false},
        {"SIMBOARD_CHIP_COMPARE_DIFF", "0x10", true},
        {"SIMBOARD_CHIP_COMPARE_DIFF", "6", false},
        {"SIMBOARD_CHIP_COMPARE_DIFF", "010", false},
        {"SIMBOARD_CHIP_REMAP", "no", false},
        {"SIMBOARD_CHIPS", "isp", false},
    };
    for (const auto &r : rows) {
        ChipConfig config;
        std::string why = ParseChipSetting(r.name, r.value, &config);
        EXPECT_EQ(why.empty(), r.ok) << r.name << "=" << r.value << ": " << why;
    }
}

// Loading reads every setting; it stops at the first value it cannot read,
// names it and changes nothing.
TEST(ChipSettings, LoadsValuesAndNamesTheFirstBadOne)
{
    std::map<std::string, std::string> env = {{"SIMBOARD_CHIP", "boot"},
                                              {"SIMBOARD_CHIP_PARTID", "0x1440102B"},
                                              {"SIMBOARD_CHIP_COMPARE_DIFF", "16"},
                                              {"SIMBOARD_CHIP_REMAP", "off"}};
    auto lookup = [&](const std::string &name) { return env.count(name) ? env[name] : std::string(); };
    ChipConfig config;
    ASSERT_TRUE(LoadChipConfig(lookup, &config, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::make_tuple(config.pin, config.partId, config.compareDiffOffset, config.remap),
              std::make_tuple(ChipEntryPin::Boot, 0x1440102Bu, 16u, false));

    env["SIMBOARD_CHIP_REINVOKE"] = "maybe";
    std::string name, value, reason;
    ChipConfig untouched;
    EXPECT_FALSE(LoadChipConfig(lookup, &untouched, &name, &value, &reason));
    EXPECT_EQ(name + "=" + value, "SIMBOARD_CHIP_REINVOKE=maybe");
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(untouched.pin, ChipEntryPin::Isp);
}

} // namespace
} // namespace simboard
