// The chip log: its line parser, and the lines the chip writes.
#include "sim_chip/chip_harness.h"

#include "sim/records_chip.h"

#include "support/temp_files.h"

namespace simboard
{
namespace
{

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
        config.logPath = path_;
        Power(config);
    }

    // The parsed log's events, one a line.
    std::string Events()
    {
        std::vector<ChipLogLine> lines;
        std::string error, events;
        EXPECT_TRUE(ReadChipLog(path_, &lines, &error)) << error;
        for (const ChipLogLine &l : lines)
            events += l.event + "\n";
        return events;
    }
    TempDir dir_{"simchip"};
    const std::string path_ = dir_.Path("chip.log");
};

TEST_F(ChipLog, AnEraseLogsItsRequestsStatesAndSectorsAtTheirBoardTimes)
{
    Start(ChipConfig{});
    ASSERT_TRUE(Send(SdoUpload(0x1018, 2)));
    ASSERT_EQ(Unlock(), 0u);
    ASSERT_EQ(Prepare(0, 7), 0u);
    ASSERT_EQ(Erase(0, 7), 0u);
    // Each line at the end of its request plus the chip's 50 us: part ID
    // request 1240 us, its reply 1190 us; unlock 1200 us, reply 1240 us;
    // prepare 1220 us, reply 1230 us; erase 1220 us, then 100 ms.
    std::string expected = "0000000000 STATE RESET\n"
                           "0000000000 STATE ISP\n"
                           "0000001290 READ_PART_ID -> CMD_SUCCESS 0x1430102B\n"
                           "0000003730 UNLOCK 0x5A5A -> CMD_SUCCESS\n"
                           "0000003730 STATE UNLOCKED\n"
                           "0000006240 PREPARE 0 7 -> CMD_SUCCESS\n";
    for (int s = 0; s < 8; ++s)
        expected += "0000108740 FLASH ERASE " + std::to_string(s) + "\n";
    EXPECT_EQ(ReadFileText(path_), expected + "0000108740 ERASE 0 7 -> CMD_SUCCESS\n");
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
    EXPECT_EQ(Events(),
              "STATE RESET\nSTATE ISP\nUNLOCK 0x1234 -> INVALID_CODE\nUNLOCK 0x5A5A -> CMD_SUCCESS\nSTATE UNLOCKED\n"
              "SET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS\nSET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS\n"
              "WRITE_RAM 0x10000300 30 -> ABORT 0x05030000 after 14 bytes\n"
              "SET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS\nWRITE_RAM 0x10000300 16 -> CMD_SUCCESS\n"
              "WRITE_RAM 0x10000300 64 -> ABANDONED after 7 bytes\nREAD_PART_ID -> CMD_SUCCESS 0x1430102B\n"
              "SET CMP_ADDR1 0x10000300 -> CMD_SUCCESS\nSET CMP_ADDR2 0x10000304 -> CMD_SUCCESS\n"
              "COMPARE 0x10000300 0x10000304 8 -> COMPARE_ERROR 0x00000000\nREAD_OFFSET -> CMD_SUCCESS 0x00000000\n"
              "BLANK_CHECK 0 0 -> SECTOR_NOT_BLANK 0x00000000\nSET COPY_DST 0x00001000 -> CMD_SUCCESS\n"
              "SET COPY_SRC 0x10000300 -> CMD_SUCCESS\n"
              "COPY 0x00001000 0x10000300 256 -> SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION\n"
              "SET EXEC_ADDRESS 0x00000101 -> CMD_SUCCESS\nEXECUTE 0x00000101 -> ADDR_ERROR\n"
              "SDO 0x2000/00 download -> ABORT 0x06020000\nREINVOKE -> NO_REPLY\nSTATE LOCKED\n"
              "SET RAM_ADDRESS 0x10000400 -> CMD_SUCCESS\nWRITE_RAM 0x10000400 20 -> ABANDONED after 7 bytes\n");
}

// Ignored requests are acknowledged and not carried out; a forced abort with
// a count hits that request only, one without it every request.
TEST_F(ChipLog, ScenarioSettingsShowInTheLog)
{
    ChipConfig config;
    config.answerFrom = 2;
    config.silentAfter = 8;
    ASSERT_EQ(ParseChipSetting("SIMBOARD_CHIP_ABORT", "0x5020:0:0x0F000007:1,0x5030:0:0x0F000009", &config), "");
    Start(config);
    bool acked = false;
    EXPECT_FALSE(Send(SdoUpload(0x1018, 2), nullptr, &acked));
    EXPECT_TRUE(acked);
    Send(SdoDownload(0x5000, 0, 0x5A5A, 2));
    EXPECT_EQ(Get(0x1018, 2), 0x1430102Bu);
    EXPECT_EQ(Prepare(0, 0), 0x0F000007u);
    EXPECT_EQ(Prepare(0, 0), 0u);
    EXPECT_EQ(Erase(0, 0), 0x0F000009u);
    EXPECT_EQ(Erase(0, 0), 0x0F000009u);
    WriteRam(0x10000300, Pattern(40));
    acked = false;
    EXPECT_FALSE(Send(SdoDownload(0x5000, 0, 0x5A5A, 2), nullptr, &acked));
    EXPECT_TRUE(acked);
    chip_->Shutdown(now_);
    EXPECT_EQ(Events(),
              "STATE RESET\nSTATE ISP\nREAD_PART_ID -> IGNORED\nUNLOCK 0x5A5A -> IGNORED\n"
              "READ_PART_ID -> CMD_SUCCESS 0x1430102B\nPREPARE 0 0 -> ABORT 0x0F000007 (forced)\n"
              "PREPARE 0 0 -> CMD_SUCCESS\nERASE 0 0 -> ABORT 0x0F000009 (forced)\n"
              "ERASE 0 0 -> ABORT 0x0F000009 (forced)\nSET RAM_ADDRESS 0x10000300 -> CMD_SUCCESS\nSTATE SILENT\n"
              "WRITE_RAM 0x10000300 40 -> NO_REPLY after 7 bytes\nUNLOCK 0x5A5A -> NO_REPLY\n");
}

// Execution is confirmed before the jump. The reset routine restarts the
// bootloader and keeps RAM; other code leaves the bus until a power cycle,
// which clears RAM and keeps flash.
TEST_F(ChipLog, ExecutionRestartsTheBootloaderOrLeavesTheBus)
{
    Start(ChipConfig{});
    ASSERT_EQ(Unlock(), 0u);
    ASSERT_EQ(WriteRam(0x10000300, kResetCode), 0u);
    const struct {
        uint32_t address, code;
    } rows[] = {{0x10000301, ISP_ABORT(ISP_ADDR_ERROR)}, {0x20000000, ISP_ABORT(ISP_ADDR_NOT_MAPPED)}, {0x10000300, 0}};
    for (const auto &r : rows) {
        EXPECT_EQ(Set(0x5070, 1, r.address), 0u);
        EXPECT_EQ(Set(0x1F51, 1, 1, 1), r.code) << std::hex << r.address;
    }
    EXPECT_EQ(chip_->State(), ChipStateCode::IspLocked);
    EXPECT_EQ(Flash(0x10000300, 16), kResetCode);
    ASSERT_EQ(Unlock(), 0u);
    ASSERT_EQ(Set(0x5070, 1, 0x10000400), 0u);
    ASSERT_EQ(Set(0x1F51, 1, 1, 1), 0u);
    EXPECT_EQ(chip_->State(), ChipStateCode::UserCode);
    const std::string
        events = Events(),
        last =
            "EXECUTE 0x10000300 -> CMD_SUCCESS\nSTATE RESET\nSTATE ISP\nUNLOCK 0x5A5A -> CMD_SUCCESS\nSTATE UNLOCKED\n"
            "SET EXEC_ADDRESS 0x10000400 -> CMD_SUCCESS\nEXECUTE 0x10000400 -> CMD_SUCCESS\nSTATE USER_CODE "
            "0x10000400\n";
    ASSERT_GE(events.size(), last.size());
    EXPECT_EQ(events.substr(events.size() - last.size()), last);
    bool acked = true;
    EXPECT_FALSE(Send(SdoUpload(0x1018, 2), nullptr, &acked));
    EXPECT_FALSE(acked);
    Put(0x10000500, {0x5A});
    Put(0x7FFF, {0x5A});
    chip_->PowerCycle(now_);
    EXPECT_EQ(chip_->State(), ChipStateCode::IspLocked);
    EXPECT_EQ(Flash(0x10000500, 1)[0], 0);
    EXPECT_EQ(Flash(0x7FFF, 1)[0], 0x5A);
    uint8_t b[2] = {};
    EXPECT_EQ(chip_->Read(0x7FFF, b, 2), -1);
    EXPECT_EQ(chip_->Write(0x10001FFF, b, 2), -1);
}

} // namespace
} // namespace simboard
