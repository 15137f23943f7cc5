// Reading the board's settings: what each accepts and refuses, the device
// lists they give, and their normal form.
#include "sim/sim_board_fixture.h"

#include <cstring>

namespace
{

struct SettingCase {
    const char *name;
    const char *value;
    const char *reason; // nullptr: accepted
};

const SettingCase kSettingCases[] = {
    {"SIMBOARD_DEVICES", " ft2232h : a , FT232R , FT2232H:B ", nullptr},
    {"SIMBOARD_DEVICES", "FT4232H:CD", nullptr},
    {"SIMBOARD_DEVICES", "FT2232H:C", "FT2232H has no interface C"},
    {"SIMBOARD_DEVICES", "FT2232H:BA", "in order"},
    {"SIMBOARD_DEVICES", "FT232H:A", "single interface"},
    {"SIMBOARD_DEVICES", "FT9999", "unknown chip \"FT9999\""},
    {"SIMBOARD_DEVICES", "FT2232H,,FT232R", "names no chip"},
    {"SIMBOARD_DEVICES", "FT2232H/spi,FT232H/spi", "/spi on more than one entry"},
    {"SIMBOARD_DEVICES", "FT2232D/spi=B", "without an MPSSE engine"},
    {"SIMBOARD_DEVICES", "FT232R/spi", "without an MPSSE interface"},
    {"SIMBOARD_DEVICES",
     "FT232R,FT232R,FT232R,FT232R,FT232R,FT232R,FT232R,FT232R,FT232R,FT232R,FT232R,FT232R,"
     "FT232R,FT232R,FT232R,FT232R,FT232R",
     "at most 16 entries"},
    {"SIMBOARD_ENGINE", "dead-after:-1", "decimal byte count"},
    {"SIMBOARD_ENGINE", "slow", "expected ok, dead, dead-after:N or trickle"},
    {"SIMBOARD_FAIL", "FT_Read:*:0xFFFFFFFF,FT_Write:2-5:1", nullptr},
    {"SIMBOARD_FAIL", "FT_Write:5-3:4", "below the first"},
    {"SIMBOARD_FAIL", "FT_Write:1:0", "status must be 1 or more"},
    {"SIMBOARD_FAIL", "ft_write:1:4", "unknown entry point"},
    {"SIMBOARD_CONTROLLER", "mcp2551", "expected mcp2515"},
    {"SIMBOARD_TRACE", "/nonexistent-folder/usb.trace", "No such file or directory"},
    {"SIMBOARD_OSC_HZ", "25000001", "from 1000000 to 25000000"},
    {"SIMBOARD_OSC_HZ", "16MHz", "decimal"},
    // The bus and chip settings have their own suites; these show that the
    // board hands each name to its reader.
    {"SIMBOARD_NOISE", "080#01@1000,080#012@1000", "entry 2"},
    {"SIMBOARD_CAPTURE", "/nonexistent-folder/bus.pcap", "No such file or directory"},
    {"SIMBOARD_CHIPLOG", "/nonexistent-folder/chip.log", "No such file or directory"},
    {"SIMBOARD_FLASH", "/nonexistent-folder/flash.bin", "cannot create the file: No such file or directory"},
    {"SIMBOARD_CHIP", "present", "isp, boot or absent"},
    {"SIMBOARD_SOMETHING_LATER", "anything", nullptr},
    {"NOT_A_BOARD_SETTING", "x", "not a setting of the board"},
};

TEST(Settings, AcceptOrRefuseWithOneLine)
{
    for (const SettingCase &c : kSettingCases) {
        ::testing::internal::CaptureStderr();
        int result = SimBoard_Set(c.name, c.value);
        std::string err = ::testing::internal::GetCapturedStderr();
        if (!c.reason) {
            EXPECT_EQ(0, result);
            EXPECT_EQ("", err);
        } else {
            EXPECT_EQ(-1, result);
            std::string start = std::string("simboard: cannot read ") + c.name + "=\"" + c.value + "\": ";
            EXPECT_EQ(0u, err.compare(0, start.size(), start)) << err;
            EXPECT_NE(std::string::npos, err.find(c.reason)) << err;
            EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n'));
        }
        SimBoard_Set(c.name, "");
    }
}

struct ListCase {
    const char *devices;
    std::vector<std::pair<uint32_t, uint32_t>> records; // type, location
    std::vector<uint32_t> engines;                      // positions that answer MPSSE commands
    int slavePort;                                      // position wired to the SPI port, -1 none
};

const ListCase kListCases[] = {
    {"", {{6, 0x11}, {6, 0x12}}, {0, 1}, 0},
    {"none", {}, {}, -1},
    {"FT232R", {{5, 0x10}}, {}, -1},
    {"FT232H", {{8, 0x10}}, {0}, 0},
    {"FT2232H:A,FT232R,FT2232H:B", {{6, 0x11}, {5, 0x20}, {6, 0x32}}, {0, 2}, 0},
    {"FT4232H", {{7, 0x11}, {7, 0x12}, {7, 0x13}, {7, 0x14}}, {0, 1}, 0},
    {"FT2232D", {{4, 0x11}, {4, 0x12}}, {0}, 0},
    {"FT232R,FT2232H/spi=B", {{5, 0x10}, {6, 0x21}, {6, 0x22}}, {1, 2}, 2},
    {"FT2232H/busy", {{3, 0}, {3, 0}}, {}, -1},
};

using Records = SimBoardTest;

TEST_F(Records, DeviceListsGiveTheRecordsEnginesAndSlavePort)
{
    for (const ListCase &c : kListCases) {
        Apply("SIMBOARD_DEVICES", c.devices);
        uint32_t count = 0;
        ASSERT_EQ(0u, FT_CreateDeviceInfoList(&count));
        ASSERT_EQ(c.records.size(), count) << c.devices;
        std::vector<SB_DEVICE_RECORD> records(count + 1);
        ASSERT_EQ(0u, FT_GetDeviceInfoList(records.data(), &count));
        std::vector<uint32_t> engines;
        int slavePort = -1;
        for (uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(c.records[i].first, records[i].Type) << i;
            EXPECT_EQ(c.records[i].second, records[i].LocId) << i;
            SB_HANDLE handle = nullptr;
            if (records[i].Flags & 1) {
                EXPECT_EQ(3u, FT_Open(i, &handle)) << "a busy record cannot be opened";
                continue;
            }
            handle = OpenMpsse(i);
            // An engine answers a bad command; then a chip-select frame tells
            // whether this record's pins reach the slave port.
            if (Exchange(handle, {0xAA}) == std::vector<uint8_t>{0xFA, 0xAA})
                engines.push_back(i);
            uint64_t before = SimBoard_SpiByteCount();
            Write(handle, {0x80, 0x00, 0x0B, 0x11, 0x00, 0x00, 0x5A, 0x80, 0x08, 0x0B});
            if (SimBoard_SpiByteCount() == before + 1)
                slavePort = static_cast<int>(i);
            EXPECT_EQ(0u, FT_Close(handle));
        }
        EXPECT_EQ(c.engines, engines) << c.devices;
        EXPECT_EQ(c.slavePort, slavePort) << c.devices;
    }
}

TEST_F(Records, CarryTextsFlagsAndTheOpenHandleOfTheListLastBuilt)
{
    Apply("SIMBOARD_DEVICES", "FT2232D:B,FT232H,TYPE200,FT4232H:D");
    uint32_t count = 0;
    ASSERT_EQ(0u, FT_CreateDeviceInfoList(&count));
    ASSERT_EQ(4u, count);
    SB_HANDLE handle = nullptr;
    ASSERT_EQ(0u, FT_Open(1, &handle));
    SB_DEVICE_RECORD records[4];
    std::memset(records, 0x55, sizeof records);
    ASSERT_EQ(0u, FT_GetDeviceInfoList(records, &count));
    EXPECT_EQ(nullptr, records[1].ftHandle) << "the list was built before the open";
    ASSERT_EQ(0u, FT_CreateDeviceInfoList(&count));
    ASSERT_EQ(0u, FT_GetDeviceInfoList(records, &count));
    const char *const expected[] = {
        "0x0 4 0x04036010 0x12 SB000001B Dual RS232 B",
        "0x3 8 0x04036014 0x20 SB000002 Single RS232-HS",
        "0x0 200 0x04030000 0x30 SB000003 Device type 200",
        "0x2 7 0x04036011 0x44 SB000004D Quad RS232-HS D",
    };
    for (int i = 0; i < 4; ++i) {
        const SB_DEVICE_RECORD &r = records[i];
        char line[160];
        std::snprintf(line, sizeof line, "0x%X %u 0x%08X 0x%X %s %s", r.Flags, r.Type, r.ID, r.LocId, r.SerialNumber,
                      r.Description);
        EXPECT_EQ(expected[i], std::string(line));
        // Texts end in zeros up to their field's end.
        for (size_t k = std::strlen(r.Description); k < sizeof r.Description; ++k)
            ASSERT_EQ(0, r.Description[k]) << i;
        EXPECT_EQ(i == 1 ? handle : nullptr, r.ftHandle) << i;
    }
}

// The board's start line gives the values in their normal form; names of the
// board it does not know yet are accepted and ignored.
TEST_F(Records, StartLineGivesTheSettingsInTheirNormalFormTakenAtTheNextReset)
{
    const struct {
        std::vector<std::pair<std::string, std::string>> settings;
        const char *line;
    } cases[] = {
        {{{"SIMBOARD_DEVICES", " ft2232h : a , ft232r/BUSY,FT4232H/spi = b "},
          {"SIMBOARD_ENGINE", "Dead-After:07"},
          {"SIMBOARD_FAIL", "FT_Read : 0x10- : 0x12 , FT_Open:*:3"}},
         "start devices=\"FT2232H:A,FT232R/busy,FT4232H/spi=B\" engine=\"dead-after:7\" "
         "fail=\"FT_Read:16-:18,FT_Open:*:3\""},
        {{{"SIMBOARD_NOT_YET", "x"}, {"SIMBOARD_DEVICES", "NONE"}, {"SIMBOARD_ENGINE", ""}, {"SIMBOARD_FAIL", ""}},
         "start devices=\"none\" engine=\"ok\" fail=\"\""},
    };
    for (const auto &c : cases) {
        Apply(c.settings);
        std::vector<simboard::TraceLine> lines = Trace("BOARD");
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(c.line, lines.back().text);
    }
    SimBoard_Set("SIMBOARD_NOT_YET", "");

    // An override is taken at the next reset, and wins over the environment;
    // "" takes the default even where the environment says otherwise.
    Apply("SIMBOARD_DEVICES", "");
    uint32_t count = 0;
    ASSERT_EQ(0, SimBoard_Set("SIMBOARD_DEVICES", "FT232H"));
    ASSERT_EQ(0u, FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(2u, count);
    SimBoard_Reset();
    ASSERT_EQ(0u, FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(1u, count);
    setenv("SIMBOARD_DEVICES", "none", 1);
    ASSERT_EQ(0, SimBoard_Set("SIMBOARD_DEVICES", ""));
    SimBoard_Reset();
    ASSERT_EQ(0u, FT_CreateDeviceInfoList(&count));
    EXPECT_EQ(2u, count);
    unsetenv("SIMBOARD_DEVICES");
}

} // namespace
