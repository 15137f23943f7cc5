// Programming over the whole simulated board, in-process on the virtual
// clock: which sectors the chip's flash ends with erased, programmed or
// untouched, for each image size and offset.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/actions.h"
#include "app/console.h"
#include "app/firmware.h"
#include "app/results.h"
#include "support/board_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t UNTOUCHED = 0xA5; // what every flash byte holds before the run
constexpr uint8_t ERASED = 0xFF;

class ProgramBoardTest : public BoardTest {
protected:
    void TearDown() override
    {
        for (const std::string &path : files)
            std::remove(path.c_str());
        BoardTest::TearDown();
    }

    std::string Image(size_t size)
    {
        std::string path = ::testing::TempDir() + "program_board_test." + std::to_string(getpid()) + "." +
                           std::to_string(files.size()) + ".bin";
        image.resize(size);
        for (size_t i = 0; i < size; ++i)
            image[i] = static_cast<uint8_t>((i * 37 + i / 251) | 0x01); // never 0xFF or 0xA5 alone
        FILE *file = std::fopen(path.c_str(), "wb");
        std::fwrite(image.data(), 1, size, file);
        std::fclose(file);
        files.push_back(path);
        return path;
    }

    // Connects and unlocks over a flash that holds UNTOUCHED everywhere.
    void Connect()
    {
        Bytes flash(MAX_IMAGE_SIZE, UNTOUCHED);
        ASSERT_EQ(SimBoard_ChipWrite(0, flash.data(), MAX_IMAGE_SIZE), 0);
        ASSERT_EQ(APP_Connect(100000, 0x1430102B), RC_OK);
        ASSERT_EQ(APP_Unlock(0x5A5A), RC_OK);
        requestsBefore = SimBoard_ChipRequests();
        console.clear();
    }

    Bytes Flash(uint32_t from, uint32_t to)
    {
        Bytes bytes(to - from);
        EXPECT_EQ(SimBoard_ChipRead(from, bytes.data(), to - from), 0);
        return bytes;
    }

    // The image as programmed: padded to a whole word, checksum in word 7.
    Bytes Programmed(uint32_t from, uint32_t to)
    {
        Bytes padded(MAX_IMAGE_SIZE, 0);
        std::copy(image.begin(), image.end(), padded.begin());
        APP_WriteVectorChecksum(padded.data());
        return Bytes(padded.begin() + from, padded.begin() + to);
    }

    Bytes image;
    std::vector<std::string> files;
    uint32_t requestsBefore = 0;
};

TEST_F(ProgramBoardTest, SectorsEndErasedProgrammedOrUntouchedAsTheImageAndOffsetSay)
{
    const struct {
        size_t size;
        uint32_t offset;
        int result;
        const char *range;          // the range line, or "" when none is printed
        uint32_t firstProgrammed;   // sectors [firstProgrammed, endProgrammed) hold the image
        uint32_t endProgrammed;
    } cases[] = {
        {32768, 0, RC_OK, "Code will be written in Sectors 0 to 7.", 0, 8},
        {4096, 0, RC_OK, "Code will be written in Sectors 0 to 0.", 0, 1},
        {12288, 0x2000, RC_OK, "Code will be written in Sectors 2 to 2.", 2, 3},
        {8192, 0x1800, RC_OK, "Code will be written in Sectors 1 to 1.", 1, 2},
        // First above last: prepare and erase are asked for 5..0 and refused.
        {4096, 0x5000, RC_PREPARE_ERASE_FAILED, "Code will be written in Sectors 5 to 0.", 0, 0},
        {32769, 0, RC_FILE_TOO_BIG, "", 0, 0},
        {4096, 0x8000, RC_OFFSET_BEYOND_FLASH, "", 0, 0},
    };
    for (const auto &c : cases) {
        Restart({});
        Connect();
        const std::string path = Image(c.size);
        EXPECT_EQ(APP_ProgramFirmware(path.c_str(), c.offset), c.result) << c.size << " at " << c.offset;
        if (*c.range) {
            EXPECT_NE(console.find(c.range), std::string::npos) << console;
        } else {
            EXPECT_EQ(console.find("Code will be written"), std::string::npos) << console;
        }
        for (uint32_t sector = 0; sector < 8; ++sector) {
            const uint32_t from = sector * SECTOR_SIZE, to = from + SECTOR_SIZE;
            if (sector >= c.firstProgrammed && sector < c.endProgrammed) {
                EXPECT_EQ(Flash(from, to), Programmed(from, to)) << "sector " << sector << ", image " << c.size;
            } else {
                EXPECT_EQ(Flash(from, to), Bytes(SECTOR_SIZE, UNTOUCHED)) << "sector " << sector << ", image " << c.size;
            }
        }
        if (c.result == RC_FILE_TOO_BIG || c.offset >= 0x8000) {
            EXPECT_EQ(SimBoard_ChipRequests(), requestsBefore) << "refused before any request";
        }
    }
}

TEST_F(ProgramBoardTest, AShortImageIsReportedPaddedAndSentWhole)
{
    Connect();
    const std::string path = Image(5);
    ASSERT_EQ(APP_ProgramFirmware(path.c_str(), 0), RC_OK);
    EXPECT_NE(console.find("' (8 bytes) loaded!"), std::string::npos) << console;
    // The RAM write carries the 8 padded bytes; the rest of the sector is the
    // RAM window's earlier content (zeros on a fresh chip).
    EXPECT_EQ(Flash(0, 8), Programmed(0, 8));
    EXPECT_EQ(Flash(8, 28), Bytes(20, 0));
}

TEST_F(ProgramBoardTest, AChipThatFallsSilentMidWriteLeavesItsSectorErased)
{
    // Part ID, unlock, prepare and erase answered, then the RAM write's address,
    // size and 294 segments: the next segment gets no reply.
    Configure({{"SIMBOARD_CHIP_SILENT_AFTER", "300"}});
    Connect();
    const std::string path = Image(8192);
    EXPECT_EQ(APP_ProgramFirmware(path.c_str(), 0), RC_RAM_WRITE_FAILED);
    EXPECT_EQ(Flash(0, 8192), Bytes(8192, ERASED)) << "both sectors erased, neither programmed";
    EXPECT_EQ(Flash(8192, MAX_IMAGE_SIZE), Bytes(MAX_IMAGE_SIZE - 8192, UNTOUCHED));
}

TEST_F(ProgramBoardTest, AFailedCompareStopsAfterTheSectorItChecked)
{
    Configure({{"SIMBOARD_CHIP_COMPARE_DIFF", "16"}});
    Connect();
    g_verbosity = 0;
    const std::string path = Image(8192);
    EXPECT_EQ(APP_ProgramFirmware(path.c_str(), 0), RC_COMPARE_FAILED);
    EXPECT_NE(console.find("Offset: 0x10 0x00 0x00 0x00\n"), std::string::npos) << console;
    EXPECT_EQ(Flash(0, 4096), Programmed(0, 4096));
    EXPECT_EQ(Flash(4096, 8192), Bytes(4096, ERASED));
}

} // namespace
