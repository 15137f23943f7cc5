// Programming over the whole simulated board, in-process on the virtual
// clock: which sectors the chip's flash ends with erased, programmed or
// untouched, for each image size and offset.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/actions.h"
#include "app/console.h"
#include "app/firmware.h"
#include "app/results.h"
#include "sim/records_chip.h"
#include "support/board_fixture.h"
#include "support/temp_files.h"

namespace
{

constexpr uint8_t UNTOUCHED = 0xA5; // what every flash byte holds before the run
constexpr uint8_t ERASED = 0xFF;

class ProgramBoardTest : public ToolOnBoardTest
{
protected:
    // Bit k of blank set: block k (256 bytes) of every sector is all 0xFF.
    std::string Image(size_t size, uint16_t blank = 0)
    {
        image.resize(size);
        for (size_t i = 0; i < size; ++i)
            image[i] = (blank >> (i / 256 % 16)) & 1
                           ? 0xFF
                           : static_cast<uint8_t>((i * 37 + i / 251) | 0x01); // not 0xFF, 0xA5
        const std::string path = temp.Path("image" + std::to_string(++files) + ".bin");
        WriteFile(path, image);
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

    // The image as programmed: padded (zeros to a whole word, or 0xFF on the
    // fast path), checksum in word 7.
    Bytes Programmed(uint32_t from, uint32_t to, uint8_t padding = 0)
    {
        Bytes padded(MAX_IMAGE_SIZE, padding);
        std::copy(image.begin(), image.end(), padded.begin());
        APP_WriteVectorChecksum(padded.data());
        return Bytes(padded.begin() + from, padded.begin() + to);
    }

    TempDir temp{"program"};
    int files = 0;
    Bytes image;
    uint32_t requestsBefore = 0;
};

TEST_F(ProgramBoardTest, SectorsEndErasedProgrammedOrUntouchedAsTheImageOffsetAndChipSay)
{
    // A silent chip: part ID, unlock, prepare and erase answered, then per
    // sector the RAM write's address, size and 586 segments, a prepare, three
    // copy and three compare parameters: 595 answers. 294 more segments, and
    // the next gets no reply: in sector 0, or on the fast path in the second
    // sector it writes.
    const struct {
        std::vector<std::pair<std::string, std::string>> settings;
        bool fast;
        size_t size;
        uint32_t offset;
        int result;
        const char *sectors; // E erased, P programmed, U untouched
        const char *shown;   // a line the console holds, if any
        uint8_t verbosity = 1;
    } cases[] = {
        {{}, false, 32768, 0, RC_OK, "PPPPPPPP", "Code will be written in Sectors 0 to 7."},
        {{}, false, 4096, 0, RC_OK, "PUUUUUUU", "Code will be written in Sectors 0 to 0."},
        {{}, false, 12288, 0x2000, RC_OK, "UUPUUUUU", "Code will be written in Sectors 2 to 2."},
        {{}, false, 8192, 0x1800, RC_OK, "UPUUUUUU", "Code will be written in Sectors 1 to 1."},
        // First above last: prepare and erase are asked for 5..0 and refused.
        {{}, false, 4096, 0x5000, RC_PREPARE_ERASE_FAILED, "UUUUUUUU", "Code will be written in Sectors 5 to 0."},
        {{}, false, 32769, 0, RC_FILE_TOO_BIG, "UUUUUUUU", nullptr},
        {{}, false, 4096, 0x8000, RC_OFFSET_BEYOND_FLASH, "UUUUUUUU", nullptr},
        {{{"SIMBOARD_CHIP_SILENT_AFTER", "300"}}, false, 8192, 0, RC_RAM_WRITE_FAILED, "EEUUUUUU", nullptr},
        {{{"SIMBOARD_CHIP_SILENT_AFTER", "899"}}, true, 12288, 0, RC_RAM_WRITE_FAILED, "EPEUUUUU", nullptr},
        // A failed compare stops after the sector it checked, its offset shown at level 0.
        {{{"SIMBOARD_CHIP_COMPARE_DIFF", "16"}},
         false,
         8192,
         0,
         RC_COMPARE_FAILED,
         "PEUUUUUU",
         "Offset: 0x10 0x00 0x00 0x00\n",
         0},
    };
    for (const auto &c : cases) {
        Restart(c.settings);
        Connect();
        g_verbosity = c.verbosity;
        const std::string path = Image(c.size);
        EXPECT_EQ(APP_ProgramFirmware(path.c_str(), c.offset, c.fast), c.result) << c.size << " at " << c.offset;
        if (c.shown != nullptr) {
            EXPECT_NE(console.find(c.shown), std::string::npos) << console;
        }
        for (uint32_t sector = 0; sector < 8; ++sector) {
            const uint32_t from = sector * SECTOR_SIZE, to = from + SECTOR_SIZE;
            const char state = c.sectors[sector];
            EXPECT_EQ(Flash(from, to),
                      state == 'P' ? Programmed(from, to) : Bytes(SECTOR_SIZE, state == 'E' ? ERASED : UNTOUCHED))
                << "sector " << sector << ", image " << c.size << " at " << c.offset;
        }
        if (c.result == RC_FILE_TOO_BIG || c.result == RC_OFFSET_BEYOND_FLASH) {
            EXPECT_EQ(console.find("Code will be written"), std::string::npos) << console;
            EXPECT_EQ(SimBoard_ChipRequests(), requestsBefore) << "refused before any request";
        }
    }
}

TEST_F(ProgramBoardTest, TheFastPathWritesSectorZeroLastAndNoBlankBlockAndCopiesTheTailAtItsSize)
{
    // Blocks 1, 4 and 10 to 15 of each sector blank: runs of 1, 2 and 5 blocks.
    const uint16_t SPARSE = 0xFC12;
    auto times = [](int n, const std::string &text) {
        std::string all;
        while (n-- > 0)
            all += text;
        return all;
    };
    const struct {
        size_t size;
        uint32_t offset;
        uint16_t blank;
        std::string copies, compares; // the sizes in the order requested
        uint32_t sent;                // bytes of all RAM writes
    } cases[] = {
        {4096, 0, 0, "4096 ", "3584 ", 4096},
        {4097, 0, 0, "256 4096 ", "256 3584 ", 4352},
        {32768, 0, 0, times(8, "4096 "), times(7, "4096 ") + "3584 ", 32768},
        // Sectors 1 and 2; the last holds 608 bytes, copied as 1024.
        {8800, 0x1000, 0, "4096 1024 ", "4096 1024 ", 5120},
        // The image's last block blank: the run before it is no tail.
        {1024, 0, 0x0008, "512 256 ", "256 ", 768},
        // Sector 0's first run lies in the boot ROM's window: not compared.
        {32768, 0, SPARSE, times(8, "256 512 1024 256 "), times(7, "256 512 1280 ") + "512 1280 ", 16384},
    };
    for (const auto &c : cases) {
        const std::string log = temp.Path("chip" + std::to_string(++files) + ".log");
        Restart({{"SIMBOARD_CHIPLOG", log}});
        Connect();
        const std::string path = Image(c.size, c.blank);
        ASSERT_EQ(APP_ProgramFirmware(path.c_str(), c.offset, true), RC_OK) << c.size << " at " << c.offset;
        const uint32_t first = c.offset / SECTOR_SIZE * SECTOR_SIZE;
        const uint32_t end = (c.size + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
        EXPECT_EQ(Flash(0, first), Bytes(first, UNTOUCHED));
        EXPECT_EQ(Flash(first, end), Programmed(first, end, ERASED)) << c.size << ": 0xFF past the image, blank blocks";
        EXPECT_EQ(Flash(end, MAX_IMAGE_SIZE), Bytes(MAX_IMAGE_SIZE - end, UNTOUCHED));

        std::vector<simboard::ChipLogLine> lines;
        ASSERT_TRUE(simboard::ReadChipLog(log, &lines));
        std::string copies, compares;
        uint32_t sent = 0, writes = 0;
        bool sectorZeroCopied = false;
        for (const auto &line : lines) {
            unsigned address = 0, ram = 0, count = 0;
            if (std::sscanf(line.command.c_str(), "COPY %x %x %u", &address, &ram, &count) == 3) {
                copies += std::to_string(count) + " ";
                EXPECT_TRUE(address < SECTOR_SIZE || !sectorZeroCopied) << c.size << ": a copy after sector 0's";
                sectorZeroCopied = sectorZeroCopied || address < SECTOR_SIZE;
            } else if (std::sscanf(line.command.c_str(), "COMPARE %x %x %u", &address, &ram, &count) == 3) {
                compares += std::to_string(count) + " ";
            } else if (std::sscanf(line.command.c_str(), "WRITE_RAM %x %u", &ram, &count) == 2) {
                sent += count;
                ++writes;
            }
        }
        EXPECT_EQ(copies, c.copies) << c.size;
        EXPECT_EQ(compares, c.compares) << c.size;
        EXPECT_EQ(sent, c.sent) << c.size;
        uint32_t printed = 0; // one line per RAM write
        for (size_t at = 0; (at = console.find("Writing Data for Sector", at)) != std::string::npos; ++at)
            ++printed;
        EXPECT_EQ(printed, writes) << c.size;
    }
}

} // namespace
