// The chip's bootloader on its own, driven through SDO frames from a test
// node, and its settings.
#include "sim_chip/chip_harness.h"

#include <fstream>
#include <map>
#include <tuple>

#include "support/temp_files.h"

namespace simboard
{
namespace
{

class Chip : public ChipHarness
{
protected:
    void SetUp() override { Power(); }
};

TEST_F(Chip, AnswersEachEntryWithItsReplySizeOrTheProtocolAbortCode)
{
    const struct {
        Bytes8 request;
        uint8_t command;
        uint32_t value;
    } rows[] = {
        {SdoUpload(0x1018, 2), 0x43, 0x1430102B},
        {SdoUpload(0x1018, 0), 0x4F, 3},
        {SdoUpload(0x5100, 3), 0x43, 3},
        {SdoUpload(0x5000, 0), 0x80, 0x06010001},              // write-only
        {SdoDownload(0x1018, 2, 1, 4), 0x80, 0x06010002},      // read-only
        {SdoUpload(0x2000, 0), 0x80, 0x06020000},              // no object
        {SdoUpload(0x1018, 4), 0x80, 0x06090011},              // no sub-index
        {SdoDownload(0x5000, 0, 0x5A5A, 4), 0x80, 0x06070012}, // too long
        {SdoDownload(0x5000, 0, 0x5A, 1), 0x80, 0x06070013},   // too short
        {SdoDownload(0x1F51, 1, 2, 1), 0x80, 0x06090030},      // Go value
        {Sdo(0xC0, 0x1F50, 1), 0x80, 0x05040001},              // block download
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(&r - rows);
        CanFrame reply;
        ASSERT_TRUE(Send(r.request, &reply));
        EXPECT_EQ(reply.data[0], r.command);
        EXPECT_TRUE(std::equal(reply.data + 1, reply.data + 4, r.request.begin() + 1));
        EXPECT_EQ(ReplyValue(reply), r.value);
    }
}

TEST_F(Chip, AnswersOnlyFullStandardDataFramesToItsIdentifierYetAcknowledgesAll)
{
    bool acked = false;
    EXPECT_FALSE(Send(SdoUpload(0x1018, 2), nullptr, &acked, 7));
    EXPECT_TRUE(acked);
    CanFrame other;
    other.id = 0x67C;
    other.dlc = 8;
    EXPECT_EQ(node_->Send(bus_, other, &now_), 0);
    other.id = LPC_SDO_REQUEST_ID;
    other.extended = true;
    EXPECT_EQ(node_->Send(bus_, other, &now_), 0);
    TestNode::Received r;
    EXPECT_FALSE(node_->Take(&r));
    EXPECT_EQ(chip_->Requests(), 0u);
    EXPECT_TRUE(Send(SdoUpload(0x1018, 2), nullptr, nullptr, 15)); // DLC 9-15 carries 8 bytes
    EXPECT_EQ(chip_->Requests(), 1u);
}

TEST_F(Chip, WrongUnlockCodeKeepsItLockedAndLockedCommandsAreRefused)
{
    EXPECT_EQ(Unlock(0x1234), ISP_ABORT(ISP_INVALID_CODE));
    EXPECT_EQ(chip_->State(), ChipStateCode::IspLocked);
    EXPECT_EQ(Prepare(0, 7), 0u); // allowed while locked
    EXPECT_EQ(Erase(0, 0), ISP_ABORT(ISP_CMD_LOCKED));
    EXPECT_EQ(Copy(0, 0x10000300, 256), ISP_ABORT(ISP_CMD_LOCKED));
    EXPECT_EQ(Set(0x5070, 1, 0x10000300), 0u);
    EXPECT_EQ(Set(0x1F51, 1, 1, 1), ISP_ABORT(ISP_CMD_LOCKED));
    EXPECT_EQ(WriteRam(0x10000300, Pattern(16)), 0u);
    EXPECT_EQ(Compare(0x10000300, 0x10000300, 16), 0u);
    EXPECT_EQ(Unlock(), 0u);
    EXPECT_EQ(chip_->State(), ChipStateCode::IspUnlocked);
}

// The flash file is written whole when flash changes, and only then.
TEST_F(Chip, EraseNeedsPreparedSectorsAndUnpreparesThem)
{
    const TempDir dir("simchip");
    ChipConfig config;
    config.flashPath = dir.Path("flash.bin");
    Power(config);
    EXPECT_FALSE(std::ifstream(config.flashPath).good());
    ASSERT_EQ(Unlock(), 0u);
    const std::vector<uint8_t> zeros(4096, 0);
    Put(0x1000, zeros);
    EXPECT_EQ(Erase(1, 1), ISP_ABORT(ISP_SECTOR_NOT_PREPARED));
    EXPECT_EQ(Prepare(2, 1), ISP_ABORT(ISP_INVALID_SECTOR));
    EXPECT_EQ(Prepare(0, 8), ISP_ABORT(ISP_INVALID_SECTOR));
    EXPECT_EQ(Prepare(1, 1), 0u);
    EXPECT_EQ(Erase(0, 1), ISP_ABORT(ISP_SECTOR_NOT_PREPARED));
    EXPECT_EQ(Flash(0x1000, 4096), zeros); // refused: nothing changed
    Ticks before = now_;
    EXPECT_EQ(Erase(1, 1), 0u);
    EXPECT_EQ(Flash(0x1000, 4096), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(ReadFile(config.flashPath), Bytes(32768, 0xFF));
    EXPECT_FALSE(std::ifstream(config.flashPath + ".tmp").good());
    // One erase command takes 100 ms before its reply.
    EXPECT_GE(lastReplyEnd_ - before, 100000 * TICKS_PER_US);
    EXPECT_LT(lastReplyEnd_ - before, 103000 * TICKS_PER_US);
    EXPECT_EQ(Erase(1, 1), ISP_ABORT(ISP_SECTOR_NOT_PREPARED));
    EXPECT_EQ(chip_->FlashTime(), 100000 * TICKS_PER_US); // refused erases take none
}

TEST_F(Chip, CopyChecksCountAlignmentMappingAndPreparation)
{
    ASSERT_EQ(Unlock(), 0u);
    ASSERT_EQ(Prepare(0, 7), 0u);
    const struct {
        uint32_t dst, src, count;
        int code;
    } rows[] = {
        {0x1000, 0x10000300, 100, ISP_COUNT_ERROR},         {0x1000, 0x10000300, 2048, ISP_COUNT_ERROR},
        {0x1080, 0x10000300, 256, ISP_DST_ADDR_ERROR},      {0x1000, 0x10000302, 256, ISP_SRC_ADDR_ERROR},
        {0x1000, 0x10001F00, 512, ISP_SRC_ADDR_NOT_MAPPED}, {0x1000, 0x00000000, 256, ISP_SRC_ADDR_NOT_MAPPED},
        {0x7F00, 0x10000300, 512, ISP_DST_ADDR_NOT_MAPPED},
    };
    for (const auto &r : rows)
        EXPECT_EQ(Copy(r.dst, r.src, r.count), ISP_ABORT(r.code))
            << std::hex << r.dst << " " << r.src << " " << r.count;
    EXPECT_EQ(Flash(0, 0x8000), std::vector<uint8_t>(0x8000, 0xFF));
}

TEST_F(Chip, ProgrammingOnlyClearsBitsTakesOneMillisecondPer256BytesAndUnprepares)
{
    ASSERT_EQ(Unlock(), 0u);
    Put(0x10000300, std::vector<uint8_t>(4096, 0xF0));
    ASSERT_EQ(Prepare(1, 1), 0u);
    Ticks before = now_;
    ASSERT_EQ(Copy(0x1000, 0x10000300, 4096), 0u);
    EXPECT_GE(lastReplyEnd_ - before, 16000 * TICKS_PER_US);
    EXPECT_EQ(Copy(0x1000, 0x10000300, 256), ISP_ABORT(ISP_SECTOR_NOT_PREPARED));
    Put(0x10000300, std::vector<uint8_t>(256, 0x3C));
    ASSERT_EQ(Prepare(1, 1), 0u);
    ASSERT_EQ(Copy(0x1000, 0x10000300, 256), 0u);
    EXPECT_EQ(Flash(0x1000, 256), std::vector<uint8_t>(256, 0x30)); // F0 AND 3C
    EXPECT_EQ(Flash(0x1100, 256), std::vector<uint8_t>(256, 0xF0));
    EXPECT_EQ(chip_->FlashTime(), (16000 + 1000) * TICKS_PER_US); // the refused copy took none
}

TEST_F(Chip, RamWriteStaysOutOfTheBootloadersRamAndInsideRam)
{
    const struct {
        uint32_t address;
        size_t count;
        int code;
    } rows[] = {
        {0x10000300, 16, ISP_CMD_SUCCESS},    {0x10001ED0, 16, ISP_CMD_SUCCESS},    {0x100002FC, 8, ISP_ADDR_ERROR},
        {0x10000000, 4, ISP_ADDR_ERROR},      {0x10001ED8, 9, ISP_ADDR_ERROR},      {0x10001F00, 4, ISP_ADDR_ERROR},
        {0x10001FFC, 8, ISP_ADDR_NOT_MAPPED}, {0x00000300, 4, ISP_ADDR_NOT_MAPPED},
    };
    for (bool sized : {true, false})
        for (const auto &r : rows)
            EXPECT_EQ(WriteRam(r.address, Pattern(r.count), sized), r.code ? ISP_ABORT(r.code) : 0)
                << std::hex << r.address << " sized " << sized;
    // Without an indicated size each segment is checked as it comes: the
    // first seven bytes of the write that runs into the top area stay.
    std::vector<uint8_t> top = Flash(0x10001ED8, 9);
    EXPECT_TRUE(std::equal(top.begin(), top.begin() + 7, Pattern(9).begin()));
    EXPECT_EQ(top[7], Pattern(16)[15]);
    EXPECT_EQ(top[8], 0);
    // Expedited: one to four bytes.
    ASSERT_EQ(Set(0x5015, 0, 0x10000400), 0u);
    EXPECT_EQ(Set(0x1F50, 1, 0xAABBCCDD, 2), 0u);
    EXPECT_EQ(Flash(0x10000400, 4), (std::vector<uint8_t>{0xDD, 0xCC, 0, 0}));
}

TEST_F(Chip, ToggleErrorEndsTheTransferAndAWriteKeepsTheBytesWritten)
{
    EXPECT_EQ(WriteRam(0x10000300, Pattern(30), true, 2), 0x05030000u);
    std::vector<uint8_t> ram = Flash(0x10000300, 30);
    EXPECT_TRUE(std::equal(ram.begin(), ram.begin() + 14, Pattern(30).begin()));
    EXPECT_EQ(ram[14], 0);
    // The transfer is over: its next segment has no transfer to belong to.
    EXPECT_EQ(Abort({0x10}), 0x05040001u);
    // A memory read's segment request that repeats the toggle before it.
    ASSERT_EQ(Set(0x5010, 0, 0x10000300), 0u);
    ASSERT_EQ(Set(0x5011, 0, 28), 0u);
    ASSERT_EQ(Abort(SdoUpload(0x1F50, 1)), 0u);
    ASSERT_EQ(Abort({0x60}), 0u);
    EXPECT_EQ(Abort({0x60}), 0x05030000u);
}

TEST_F(Chip, SegmentedDownloadsTakeExactlyTheSizeOfTheirEntry)
{
    ASSERT_EQ(Set(0x5015, 0, 0x10000300), 0u);
    ASSERT_EQ(Abort(Sdo(0x21, 0x1F50, 1, 10)), 0u);
    ASSERT_EQ(Abort({0x00, 1, 2, 3, 4, 5, 6, 7}), 0u);
    EXPECT_EQ(Abort({0x11, 1, 2, 3, 4, 5, 6, 7}), 0x06070012u); // 14 of 10
    // The RAM address (4 bytes) in one last segment that fills it exactly.
    ASSERT_EQ(Abort(Sdo(0x21, 0x5015, 0, 4)), 0u);
    EXPECT_EQ(Abort({0x07, 0x00, 0x04, 0x00, 0x10}), 0u);
    ASSERT_EQ(Set(0x1F50, 1, 0xBEEF, 2), 0u);
    EXPECT_EQ(Flash(0x10000400, 2), (std::vector<uint8_t>{0xEF, 0xBE}));
}

TEST_F(Chip, CompareReportsTheFirstDifferingWordAndChecksItsArguments)
{
    Put(0x10000300, Pattern(64));
    Put(0x10000400, Pattern(64));
    EXPECT_EQ(Compare(0x10000300, 0x10000400, 64), 0u);
    Put(0x10000400 + 0x26, {0x55});
    EXPECT_EQ(Compare(0x10000300, 0x10000400, 64), ISP_ABORT(ISP_COMPARE_ERROR));
    EXPECT_EQ(Get(0x5060, 4), 0x24u);
    EXPECT_EQ(Compare(0x10000300, 0x10000400, 0x24), 0u);
    EXPECT_EQ(Get(0x5060, 4), 0x24u); // kept until the next failure
    EXPECT_EQ(Compare(0x10000300, 0x10000400, 6), ISP_ABORT(ISP_COUNT_ERROR));
    EXPECT_EQ(Compare(0x10000302, 0x10000400, 8), ISP_ABORT(ISP_ADDR_ERROR));
    EXPECT_EQ(Compare(0x10001FF0, 0x10000400, 32), ISP_ABORT(ISP_ADDR_NOT_MAPPED));
    EXPECT_EQ(Compare(0x7FF0, 0x10000400, 32), ISP_ABORT(ISP_ADDR_NOT_MAPPED));
}

TEST_F(Chip, BlankCheckReportsTheFirstWordThatIsNotErased)
{
    Put(0x2000 + 0x13, {0});
    EXPECT_EQ(Set(0x5040, 1, 1 | 1 << 8, 2), 0u);
    EXPECT_EQ(Set(0x5040, 1, 2 | 2 << 8, 2), ISP_ABORT(ISP_SECTOR_NOT_BLANK));
    EXPECT_EQ(Get(0x5040, 2), 0x10u);
    EXPECT_EQ(Set(0x5040, 1, 1 | 2 << 8, 2), ISP_ABORT(ISP_SECTOR_NOT_BLANK));
    EXPECT_EQ(Get(0x5040, 2), 0x1010u); // from the start sector's address
    // Sector 0 starts with the boot ROM while remapped, and only then.
    EXPECT_EQ(Set(0x5040, 1, 0, 2), ISP_ABORT(ISP_SECTOR_NOT_BLANK));
    ChipConfig config;
    config.remap = false;
    Power(config);
    EXPECT_EQ(Set(0x5040, 1, 0, 2), 0u);
}

TEST_F(Chip, EntryDecisionFollowsThePinTheVectorChecksumAndTheNoIspLevels)
{
    // Vector words 0x10002000 and 0xEFFFE000, then word 7 (the checksum) of
    // 0 (they sum to 0: valid user code) or 0xFF.
    std::vector<uint8_t> vectors = {0x00, 0x20, 0x00, 0x10, 0x00, 0xE0, 0xFF, 0xEF};
    vectors.resize(32);
    const struct {
        ChipEntryPin pin;
        bool valid;
        uint32_t crp;
        ChipStateCode state;
    } rows[] = {{ChipEntryPin::Isp, true, 0, ChipStateCode::IspLocked},
                {ChipEntryPin::Isp, true, 0x4E697370, ChipStateCode::UserCode},
                {ChipEntryPin::Isp, false, 0x4E697370, ChipStateCode::IspLocked},
                {ChipEntryPin::Boot, true, 0, ChipStateCode::UserCode},
                {ChipEntryPin::Boot, false, 0, ChipStateCode::IspLocked},
                {ChipEntryPin::Absent, true, 0, ChipStateCode::Absent}};
    for (const auto &r : rows) {
        ChipConfig config;
        config.pin = r.pin;
        Power(config);
        vectors[28] = r.valid ? 0 : 0xFF;
        Put(0, vectors);
        Put(0x2FC, Le32(r.crp));
        chip_->PowerCycle(now_);
        EXPECT_EQ(chip_->State(), r.state) << int(r.pin) << " valid " << r.valid << " crp " << std::hex << r.crp;
    }
}

TEST_F(Chip, CodeReadProtectionRefusesWhatItsLevelForbids)
{
    const uint32_t crp1 = 0x12345678, crp2 = 0x87654321;
    for (uint32_t level : {crp1, crp2}) {
        Power();
        Put(0x2FC, Le32(level));
        chip_->PowerCycle(now_);
        ASSERT_EQ(Unlock(), 0u);
        ASSERT_EQ(Prepare(0, 7), 0u);
        const uint32_t crp = ISP_ABORT(ISP_CODE_READ_PROTECTION_ENABLED), crp1Only = level == crp1 ? 0u : crp;
        EXPECT_EQ(Compare(0x10000300, 0x10000400, 4), crp);
        EXPECT_EQ(Set(0x5040, 1, 0x0101, 2), crp);
        EXPECT_EQ(Abort(SdoUpload(0x1F50, 1)), crp);
        EXPECT_EQ(Copy(0x0, 0x10000300, 256), crp);
        EXPECT_EQ(Copy(0x1000, 0x10000300, 256), crp1Only);
        EXPECT_EQ(WriteRam(0x10000300, Pattern(8)), crp1Only);
        EXPECT_EQ(Erase(0, 1), crp);
        EXPECT_EQ(Erase(2, 2), crp1Only);
        ASSERT_EQ(Prepare(0, 7), 0u);
        EXPECT_EQ(Erase(0, 7), 0u);
    }
}

TEST(ChipSettings, AcceptsTheirGrammarAndRefusesTheRest)
{
    const struct {
        const char *name;
        std::vector<const char *> accepted, refused;
    } rows[] = {
        {"SIMBOARD_CHIP", {"boot"}, {"ISP "}},
        {"SIMBOARD_CHIP_BITRATE", {"10000"}, {"9999", "0x186A0"}},
        {"SIMBOARD_CHIP_PARTID", {"0xFFFFFFFF"}, {"0x100000000", "09"}},
        {"SIMBOARD_CHIP_ANSWER_FROM", {}, {"0"}},
        {"SIMBOARD_CHIP_SILENT_AFTER", {"0"}, {}},
        {"SIMBOARD_CHIP_REINVOKE", {}, {"loud"}},
        {"SIMBOARD_CHIP_ABORT",
         {"0x1018:2:0x06020000:1,0x5020:0:7"},
         {"0x1018:2", "0x10000:0:1", "0x1018:2:1:0", "0x1018:2:1,"}},
        {"SIMBOARD_CHIP_COMPARE_DIFF", {"0x10"}, {"6", "010"}},
        {"SIMBOARD_CHIP_REMAP", {}, {"no"}},
        {"SIMBOARD_CHIPS", {}, {"isp"}},
    };
    for (const auto &r : rows)
        for (bool ok : {true, false})
            for (const char *value : ok ? r.accepted : r.refused) {
                ChipConfig config;
                std::string why = ParseChipSetting(r.name, value, &config);
                EXPECT_EQ(why.empty(), ok) << r.name << "=" << value << ": " << why;
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
