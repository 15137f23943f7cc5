// The chip log: its line parser, and the lines the chip writes.
#include "sim_chip/chip_harness.h"

#include "sim/records_chip.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace simboard
{
namespace
{

// Every chip test reads the log through this parser; it must refuse what
// breaks the format.
TEST(ChipLogParse, RefusesLinesThatBreakTheFormat)
{
    ChipLogLine line;
    for (const char *bad : {"", "123 STATE ISP", "00000000x0 STATE ISP", "0000000000 ", "0000000000 X -> ABORT",
                            "0000000000 X -> CMD_SUCCESS 0x1234", "0000000000 X -> NO_REPLY after many bytes"}) {
        EXPECT_FALSE(ParseChipLogLine(bad, &line)) << bad;
    }
    ASSERT_TRUE(ParseChipLogLine("12345678901 PREPARE 0 0 -> ABORT 0x0F000009 (forced)", &line));
    EXPECT_TRUE(line.forced);
    EXPECT_EQ(line.value, 0x0F000009u);
}

class ChipLog : public ChipHarness
{
protected:
    void Start(ChipConfig config)
    {
        path_ = ::testing::TempDir() + "sim_chip_log_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        config.logPath = path_;
        Power(config);
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::vector<std::string> Events()
    {
        std::vector<ChipLogLine> lines;
        std::string error;
        EXPECT_TRUE(ReadChipLog(path_, &lines, &error)) << error;
        std::vector<std::string> events;
        for (const ChipLogLine &l : lines)
            events.push_back(l.event);
        return events;
    }
    std::string Text()
    {
        std::stringstream text;
        text << std::ifstream(path_).rdbuf();
        return text.str();
    }
    std::string path_;
};

// Bus time of a frame from the client or the chip, in microseconds.
uint64_t FrameUs(uint32_t id, const Bytes8 &bytes)
{
    CanFrame f;
    f.id = id;
    f.dlc = 8;
    std::copy(bytes.begin(), bytes.end(), f.data);
    return CanBitsToTicks(CanFrameBits(f).total, 100000) / TICKS_PER_US;
}

TEST_F(ChipLog, AnEraseLogsItsRequestsStatesAndSectorsAtTheirBoardTimes)
{
    Start(ChipConfig{});
    ASSERT_TRUE(Send(SdoUpload(0x1018, 2)));
    ASSERT_EQ(Unlock(), 0u);
    ASSERT_EQ(Prepare(0, 7), 0u);
    ASSERT_EQ(Erase(0, 7), 0u);

    // Part ID: 1240 us request, reply 50 us later, 1190 us long; the unlock
    // request 1200 us, its reply 1240 us.
    uint64_t t = 3730 + 1240;
    uint64_t prepare = t + FrameUs(0x67D, SdoDownload(0x5020, 0, 0x0700, 2)) + 50;
    t = prepare + FrameUs(0x5FD, {0x60, 0x20, 0x50, 0, 0, 0, 0, 0});
    uint64_t erase = t + FrameUs(0x67D, SdoDownload(0x5030, 0, 0x0700, 2)) + 50 + 100000;
    auto at = [](uint64_t us) {
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%010llu ", static_cast<unsigned long long>(us));
        return std::string(stamp);
    };
    std::string expected = "0000000000 STATE RESET\n"
                           "0000000000 STATE ISP\n"
                           "0000001290 READ_PART_ID -> CMD_SUCCESS 0x1430102B\n"
                           "0000003730 UNLOCK 0x5A5A -> CMD_SUCCESS\n"
                           "0000003730 STATE UNLOCKED\n" +
                           at(prepare) + "PREPARE 0 7 -> CMD_SUCCESS\n";
    for (int s = 0; s < 8; ++s)
        expected += at(erase) + "FLASH ERASE " + std::to_string(s) + "\n";
    EXPECT_EQ(Text(), expected + at(erase) + "ERASE 0 7 -> CMD_SUCCESS\n");
}

TEST_F(ChipLog, NamesEveryCommandAndHowItEnded)
{
    ChipConfig config;
    config.reinvoke = ReinvokeMode::Silent;
    Start(config);
    Unlock(0x1234);
    Unlock();
    Set(0x5015, 0, 0x10000300);
    WriteRam(0x10000300, Pattern(30), true, 2);
    WriteRam(0x10000300, Pattern(16));
    Abort(Sdo(0x21, 0x1F50, 1, 64));
    Send({0x00, 1, 2, 3, 4, 5, 6, 7});
    Send(SdoUpload(0x1018, 2)); // a new initiate abandons the open write
    Compare(0x10000300, 0x10000304, 8);
    Get(0x5060, 4);
    Set(0x5040, 1, 0, 2);
    Copy(0x1000, 0x10000300, 256);
    Set(0x5070, 1, 0x101);
    Set(0x1F51, 1, 1, 1);
    Abort(SdoDownload(0x2000, 0, 0, 4));
    Send(SdoDownload(0x5001, 0, 1, 1));
    Set(0x5015, 0, 0x10000400);
    Abort(Sdo(0x21, 0x1F50, 1, 20));
    Abort({0x00, 1, 2, 3, 4, 5, 6, 7});
    chip_->Shutdown(now_); // ends the open write
    const std::vector<std::string> expected = {
        "STATE RESET",
        "STATE ISP",
        "UNLOCK 0x1234 -> INVALID_CODE",
        "UNLOCK 0x5A5A -> CMD_SUCCESS",
        "STATE UNLOCKED",
        "SET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS",
        "SET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS",
        "WRITE_RAM 0x10000300 30 -> ABORT 0x05030000 after 14 bytes",
        "SET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS",
        "WRITE_RAM 0x10000300 16 -> CMD_SUCCESS",
        "WRITE_RAM 0x10000300 64 -> ABANDONED after 7 bytes",
        "READ_PART_ID -> CMD_SUCCESS 0x1430102B",
        "SET CMP_ADDR1 0x10000300 -> CMD_SUCCESS",
        "SET CMP_ADDR2 0x10000304 -> CMD_SUCCESS",
        "COMPARE 0x10000300 0x10000304 8 -> COMPARE_ERROR 0x00000000",
        "READ_OFFSET -> CMD_SUCCESS 0x00000000",
        "BLANK_CHECK 0 0 -> SECTOR_NOT_BLANK 0x00000000",
        "SET COPY_DST 0x00001000 -> CMD_SUCCESS",
        "SET COPY_SRC 0x10000300 -> CMD_SUCCESS",
        "COPY 0x00001000 0x10000300 256 -> SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
        "SET EXEC_ADDRESS 0x00000101 -> CMD_SUCCESS",
        "EXECUTE 0x00000101 -> ADDR_ERROR",
        "SDO 0x2000/00 download -> ABORT 0x06020000",
        "REINVOKE -> NO_REPLY",
        "STATE LOCKED",
        "SET RAM_ADDRESS 0x10000400 -> CMD_SUCCESS",
        "WRITE_RAM 0x10000400 20 -> ABANDONED after 7 bytes",
    };
    EXPECT_EQ(Events(), expected);
}

TEST_F(ChipLog, ScenarioSettingsShowInTheLog)
{
    ChipConfig config;
    config.answerFrom = 2;
    config.silentAfter = 5;
    ASSERT_EQ(ParseChipSetting("SIMBOARD_CHIP_ABORT", "0x5020:0:0x0F000007:1", &config), "");
    Start(config);
    Send(SdoUpload(0x1018, 2));
    Send(SdoUpload(0x1018, 2));
    Prepare(0, 0);
    WriteRam(0x10000300, Pattern(40));
    Send(SdoDownload(0x5000, 0, 0x5A5A, 2));
    chip_->Shutdown(now_);
    const std::vector<std::string> expected = {
        "STATE RESET",
        "STATE ISP",
        "READ_PART_ID -> IGNORED",
        "READ_PART_ID -> CMD_SUCCESS 0x1430102B",
        "PREPARE 0 0 -> ABORT 0x0F000007 (forced)",
        "SET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS",
        "STATE SILENT",
        "WRITE_RAM 0x10000300 40 -> NO_REPLY after 7 bytes",
        "UNLOCK 0x5A5A -> NO_REPLY",
    };
    EXPECT_EQ(Events(), expected);
}

TEST_F(ChipLog, ExecutionLogsWhereTheChipWentAfterItsConfirmation)
{
    struct Row {
        uint32_t address;
        std::vector<std::string> tail;
    };
    const Row rows[] = {
        {0x10000300, {"EXECUTE 0x10000300 -> CMD_SUCCESS", "STATE RESET", "STATE ISP"}},
        {0x10000400, {"EXECUTE 0x10000400 -> CMD_SUCCESS", "STATE USER_CODE 0x10000400"}},
    };
    for (const Row &r : rows) {
        Start(ChipConfig{});
        Put(0x10000300, kResetCode);
        ASSERT_EQ(Unlock(), 0u);
        ASSERT_EQ(Set(0x5070, 1, r.address), 0u);
        ASSERT_EQ(Set(0x1F51, 1, 1, 1), 0u);
        std::vector<std::string> events = Events();
        ASSERT_GE(events.size(), r.tail.size());
        EXPECT_EQ(std::vector<std::string>(events.end() - r.tail.size(), events.end()), r.tail);
    }
}

} // namespace
} // namespace simboard
