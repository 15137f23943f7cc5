#include "app/firmware.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "app/actions.h"
#include "app/console.h"
#include "app/options.h"
#include "app/results.h"
#include "isp/isp_commands.h"
#include "platform/platform.h"

namespace
{

constexpr uint32_t VECTOR_CHECKSUM_OFFSET = 28;
constexpr uint32_t VECTOR_WORDS = 8;

// While the bootloader runs, the chip shows its boot ROM in place of the
// first 512 bytes of flash, so sector 0 is compared from there on.
constexpr uint32_t BOOT_ROM_WINDOW = 512;

uint32_t readWord(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void writeWord(uint8_t *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Copy RAM to Flash takes these byte counts only, to a flash address on a
// 256-byte boundary from a word-aligned RAM address (LPC11Cxx ISP); a copy
// needs its sector prepared just before it, every time.
constexpr uint32_t COPY_SIZES[] = {256, 512, 1024, 4096};
constexpr uint32_t BLOCK_SIZE = 256;
constexpr uint32_t BLOCKS_PER_SECTOR = SECTOR_SIZE / BLOCK_SIZE;
constexpr uint8_t ERASED_BYTE = 0xFF;

// An erased block already holds it: the fast path neither sends nor copies it.
bool blankBlock(const uint8_t *block)
{
    for (uint32_t i = 0; i < BLOCK_SIZE; ++i)
        if (block[i] != ERASED_BYTE)
            return false;
    return true;
}

// The blocks of the copy that starts at block `at` with `rest` blocks of its
// run still to copy: the smallest copy that covers them if it ends by block
// `limit`, else the largest that fits in them.
uint32_t copyBlocks(uint32_t at, uint32_t rest, uint32_t limit)
{
    uint32_t largest = 1;
    for (uint32_t size : COPY_SIZES) {
        const uint32_t blocks = size / BLOCK_SIZE;
        if (blocks >= rest && at + blocks <= limit)
            return blocks;
        if (blocks <= rest)
            largest = blocks;
    }
    return largest;
}

// Blocks [from, to) of the sector, none blank, in one RAM write at their
// offset in the window, then copied piece by piece and compared at once.
// Copies may run on to block `limit` over what the image holds past its end
// (0xFF, sent with the run), so that a short tail takes one copy.
ResultCode programRun(const uint8_t *image, uint32_t sector, uint32_t from, uint32_t to, uint32_t limit)
{
    uint32_t end = from;
    while (end < to)
        end += copyBlocks(end, to - end, limit);

    const uint32_t sectorAddress = sector * SECTOR_SIZE;
    if (g_verbosity >= 1) {
        APP_Format(g_message, "Writing Data for Sector %d to RAM.", static_cast<int>(sector));
        APP_PrintStatus(g_message);
    }
    if (ISP_WriteToRam(RAM_BUFFER_ADDRESS + from * BLOCK_SIZE, (end - from) * BLOCK_SIZE,
                       image + sectorAddress + from * BLOCK_SIZE) != 0)
        return RC_RAM_WRITE_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Data written to RAM!");

    for (uint32_t at = from; at < end;) {
        const uint32_t blocks = copyBlocks(at, to - at, limit);
        if (ISP_PrepareSectors(sector, sector) != 0)
            return RC_PREPARE_WRITE_FAILED;
        if (g_verbosity >= 2)
            APP_PrintStatus("Sector prepared for writing!");
        if (ISP_CopyRamToFlash(sectorAddress + at * BLOCK_SIZE, RAM_BUFFER_ADDRESS + at * BLOCK_SIZE,
                               blocks * BLOCK_SIZE) != 0)
            return RC_COPY_FAILED;
        if (g_verbosity >= 1)
            APP_PrintStatus("Data copied from RAM to Flash!");
        at += blocks;
    }

    uint32_t compareFrom = from * BLOCK_SIZE;
    if (sector == 0 && compareFrom < BOOT_ROM_WINDOW)
        compareFrom = BOOT_ROM_WINDOW;
    if (compareFrom >= end * BLOCK_SIZE)
        return RC_OK;
    if (ISP_Compare(sectorAddress + compareFrom, RAM_BUFFER_ADDRESS + compareFrom, end * BLOCK_SIZE - compareFrom) != 0)
        return RC_COMPARE_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Sector compared!");
    return RC_OK;
}

// Sectors first to last, sector 0 after the others: until its copy its
// vector checksum stays erased, so a run that stops part way never leaves a
// partial image that the boot code would start.
ResultCode programFast(const uint8_t *image, uint32_t imageSize, uint32_t first, uint32_t last)
{
    const uint32_t lastBlock = (imageSize - 1) / BLOCK_SIZE;
    for (uint32_t step = first; step <= last; ++step) {
        const uint32_t sector = first != 0 ? step : step == last ? 0 : step + 1;
        const uint32_t base = sector * BLOCKS_PER_SECTOR;
        for (uint32_t from = 0; from < BLOCKS_PER_SECTOR;) {
            if (blankBlock(image + (base + from) * BLOCK_SIZE)) {
                ++from;
                continue;
            }
            uint32_t to = from + 1;
            while (to < BLOCKS_PER_SECTOR && !blankBlock(image + (base + to) * BLOCK_SIZE))
                ++to;
            const bool tail = base + from <= lastBlock && lastBlock < base + to;
            const ResultCode result = programRun(image, sector, from, to, tail ? BLOCKS_PER_SECTOR : to);
            if (result != RC_OK)
                return result;
            from = to;
        }
    }
    return RC_OK;
}

// A HEX text of the whole flash is about 90 KB; an ELF file carries its
// debug information too. Anything larger is no image for a 32 KB chip.
constexpr uint64_t MAX_IMAGE_FILE_SIZE = 64u << 20;
// Enough of a file to tell its format.
constexpr size_t FORMAT_PROBE_SIZE = 4096;

// The word the boot code reads for code read protection (LPC11Cxx user
// manual, flash programming firmware: CRP).
constexpr uint32_t CRP_WORD_ADDRESS = 0x2FC;
struct CrpPattern {
    uint32_t word;
    CrpLevel level;
    const char *name;
    uint32_t allow;
    const char *effect;
};
const CrpPattern CRP_PATTERNS[] = {
    {0x12345678, CRP_LEVEL_1, "CRP1", CRP_ALLOW_CRP1,
     "no SWD; the bootloader refuses reads, compares, sector 0 writes"},
    {0x87654321, CRP_LEVEL_2, "CRP2", CRP_ALLOW_CRP2, "no SWD; the bootloader refuses all but a whole-flash erase"},
    {0x43218765, CRP_LEVEL_3, "CRP3", CRP_ALLOW_CRP3, "no SWD, no bootloader: with valid code the chip is lost"},
    {0x4E697370, CRP_NO_ISP, "NO_ISP", CRP_ALLOW_NO_ISP, "no bootloader entry: with valid code the chip is lost"},
};

const CrpPattern *crpPattern(CrpLevel level)
{
    for (const CrpPattern &pattern : CRP_PATTERNS)
        if (pattern.level == level)
            return &pattern;
    return nullptr;
}

// The whole file, at most MAX_IMAGE_FILE_SIZE bytes; false when it cannot be read.
bool readWholeFile(const char *fileName, std::vector<uint8_t> *bytes, bool *tooBig)
{
    FILE *file = nullptr;
    if (PLAT_OpenSharedBinary(fileName, &file) != PLAT_OPEN_OK)
        return false;
    uint64_t length = 0;
    bool read = PLAT_FileSize(file, &length);
    *tooBig = read && length > MAX_IMAGE_FILE_SIZE;
    if (read && !*tooBig) {
        bytes->resize(static_cast<size_t>(length));
        read = length == 0 || std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
    }
    std::fclose(file);
    return read && !*tooBig;
}

// HEX or ELF by the file's first bytes; raw otherwise (also when it cannot be read).
ImageFormat formatOfFile(const char *fileName)
{
    FILE *file = nullptr;
    if (PLAT_OpenSharedBinary(fileName, &file) != PLAT_OPEN_OK)
        return IMAGE_RAW;
    uint8_t probe[FORMAT_PROBE_SIZE];
    const size_t got = std::fread(probe, 1, sizeof(probe), file);
    std::fclose(file);
    return APP_ImageFormatOf(probe, got);
}

// Sectors first to last, each sent as far as the image goes and copied and
// compared whole.
ResultCode programDefault(const uint8_t *image, uint32_t imageSize, uint32_t first, uint32_t last)
{
    for (uint32_t sector = first; sector <= last; ++sector) {
        const uint32_t flashAddress = sector * SECTOR_SIZE;
        if (g_verbosity >= 1) {
            APP_Format(g_message, "Writing Data for Sector %d to RAM.", static_cast<int>(sector));
            APP_PrintStatus(g_message);
        }
        const uint32_t count = flashAddress + SECTOR_SIZE < imageSize ? SECTOR_SIZE : imageSize - flashAddress;
        if (ISP_WriteToRam(RAM_BUFFER_ADDRESS, count, image + flashAddress) != 0)
            return RC_RAM_WRITE_FAILED;
        if (g_verbosity >= 2)
            APP_PrintStatus("Data written to RAM!");

        if (ISP_PrepareSectors(sector, sector) != 0)
            return RC_PREPARE_WRITE_FAILED;
        if (g_verbosity >= 2)
            APP_PrintStatus("Sector prepared for writing!");

        if (ISP_CopyRamToFlash(flashAddress, RAM_BUFFER_ADDRESS, SECTOR_SIZE) != 0)
            return RC_COPY_FAILED;
        if (g_verbosity >= 1)
            APP_PrintStatus("Data copied from RAM to Flash!");

        const uint32_t skip = sector == 0 ? BOOT_ROM_WINDOW : 0;
        if (ISP_Compare(flashAddress + skip, RAM_BUFFER_ADDRESS + skip, SECTOR_SIZE - skip) != 0)
            return RC_COMPARE_FAILED;
        if (g_verbosity >= 2)
            APP_PrintStatus("Sector compared!");
    }
    return RC_OK;
}

} // namespace

CrpLevel APP_CrpLevel(const Firmware &firmware)
{
    if (firmware.end < CRP_WORD_ADDRESS + 4)
        return CRP_NONE;
    const uint32_t word = readWord(firmware.bytes.data() + CRP_WORD_ADDRESS);
    for (const CrpPattern &pattern : CRP_PATTERNS)
        if (pattern.word == word)
            return pattern.level;
    return CRP_NONE;
}

uint32_t APP_CrpWord(CrpLevel level)
{
    const CrpPattern *pattern = crpPattern(level);
    return pattern != nullptr ? pattern->word : 0;
}

const char *APP_CrpName(CrpLevel level)
{
    const CrpPattern *pattern = crpPattern(level);
    return pattern != nullptr ? pattern->name : "none";
}

const char *APP_CrpEffect(CrpLevel level)
{
    const CrpPattern *pattern = crpPattern(level);
    return pattern != nullptr ? pattern->effect : "";
}

bool APP_CrpAllowed(CrpLevel level, uint32_t allowedCrp)
{
    const CrpPattern *pattern = crpPattern(level);
    return pattern == nullptr || (allowedCrp & pattern->allow) != 0;
}

ResultCode APP_LoadFirmware(const char *fileName, uint8_t padding, Firmware *firmware, char *reason)
{
    if (reason != nullptr)
        reason[0] = '\0';
    firmware->bytes.assign(MAX_IMAGE_SIZE, padding);
    firmware->format = formatOfFile(fileName);
    firmware->low = 0;
    if (firmware->format == IMAGE_RAW) {
        const LoadResult loaded =
            APP_LoadImage(fileName, &firmware->end, firmware->bytes.data(), padding, &firmware->fileEnd);
        if (loaded == LOAD_TOO_BIG)
            return RC_FILE_TOO_BIG;
        return loaded == LOAD_OK ? RC_OK : RC_FILE_LOAD_FAILED;
    }

    std::vector<uint8_t> bytes;
    bool tooBig = false;
    if (!readWholeFile(fileName, &bytes, &tooBig))
        return tooBig ? RC_FILE_TOO_BIG : RC_FILE_LOAD_FAILED;
    std::unique_ptr<FlashImage> image(new FlashImage);
    if (APP_DecodeImage(bytes.data(), bytes.size(), 0, image.get(), reason) != IMAGE_OK)
        return RC_FILE_LOAD_FAILED;
    std::memcpy(firmware->bytes.data(), image->bytes, MAX_IMAGE_SIZE);
    firmware->low = image->low;
    firmware->fileEnd = image->high;
    firmware->end = (image->high + 3) & ~3u;
    // Up to the word's end the padding is programming's, as for a raw binary.
    std::memset(firmware->bytes.data() + firmware->fileEnd, padding, firmware->end - firmware->fileEnd);
    bool vectors = true;
    for (uint32_t i = 0; i < VECTOR_WORDS * 4; ++i)
        vectors = vectors && image->defined[i];
    if (vectors)
        APP_WriteVectorChecksum(firmware->bytes.data());
    return RC_OK;
}

void APP_WriteVectorChecksum(uint8_t *image)
{
    writeWord(image + VECTOR_CHECKSUM_OFFSET, 0);
    uint32_t sum = 0;
    for (uint32_t word = 0; word < VECTOR_WORDS; ++word)
        sum += readWord(image + 4 * word);
    writeWord(image + VECTOR_CHECKSUM_OFFSET, 0u - sum);
}

LoadResult APP_ReadImage(FILE *file, uint64_t length, uint8_t *buffer)
{
    if (length > MAX_IMAGE_SIZE)
        return LOAD_TOO_BIG;
    // Never more than the length measured: a file that grows meanwhile cannot
    // overrun the buffer, and one that shrinks or fails is not programmed cut.
    uint32_t read = 0;
    int c = 0;
    while (read < length && (c = std::fgetc(file)) != EOF)
        buffer[read++] = static_cast<uint8_t>(c);
    return read == length && !std::ferror(file) ? LOAD_OK : LOAD_READ_FAILED;
}

LoadResult APP_LoadImage(const char *fileName, uint32_t *imageSize, uint8_t *buffer, uint8_t padding,
                         uint32_t *fileLength)
{
    FILE *file = nullptr;
    if (PLAT_OpenSharedBinary(fileName, &file) != PLAT_OPEN_OK)
        return LOAD_OPEN_FAILED;

    uint64_t length = 0;
    if (!PLAT_FileSize(file, &length)) {
        std::fclose(file);
        return LOAD_OPEN_FAILED;
    }
    if (length > MAX_IMAGE_SIZE) {
        std::fclose(file);
        return LOAD_TOO_BIG;
    }

    std::memset(buffer, padding, MAX_IMAGE_SIZE);
    std::rewind(file);
    LoadResult read = APP_ReadImage(file, length, buffer);
    std::fclose(file);
    if (read != LOAD_OK)
        return read;
    if (length == 0)
        return LOAD_EMPTY;

    *imageSize = static_cast<uint32_t>((length + 3) & ~static_cast<uint64_t>(3));
    if (fileLength != nullptr)
        *fileLength = static_cast<uint32_t>(length);
    APP_WriteVectorChecksum(buffer);
    return LOAD_OK;
}

ResultCode APP_ProgramFirmware(const char *fileName, uint32_t flashOffset, bool fast, uint32_t allowedCrp)
{
    if (g_connected != 1)
        return RC_NOT_CONNECTED;

    Firmware firmware;
    const ResultCode loaded = APP_LoadFirmware(fileName, fast ? ERASED_BYTE : 0, &firmware, nullptr);
    if (loaded != RC_OK)
        return loaded;
    std::vector<uint8_t> &image = firmware.bytes;
    const uint32_t imageSize = firmware.end;

    if (g_verbosity >= 1) {
        if (firmware.format == IMAGE_RAW)
            APP_Format(g_message, "File '%s' (%d bytes) loaded!", fileName, static_cast<int>(imageSize));
        else
            APP_Format(g_message, "File '%s' (%s, 0x%04X-0x%04X) loaded!", fileName,
                       firmware.format == IMAGE_HEX ? "Intel HEX" : "ELF", firmware.low, firmware.fileEnd - 1);
        APP_PrintStatus(g_message);
    }
    // Checked again here: the file may have changed since the command line's check.
    const CrpLevel crp = APP_CrpLevel(firmware);
    if (!APP_CrpAllowed(crp, allowedCrp))
        return RC_CRP_REFUSED;
    if (crp != CRP_NONE && g_verbosity >= 2) {
        APP_Format(g_message, "Image sets code read protection %s", APP_CrpName(crp));
        APP_PrintStatus(g_message);
    }
    // A HEX or ELF file places itself: programming starts at its first sector.
    if (firmware.format != IMAGE_RAW)
        flashOffset = firmware.low;

    // An offset beyond the flash would wrap to a low sector and erase it.
    if (flashOffset >= MAX_IMAGE_SIZE)
        return RC_OFFSET_BEYOND_FLASH;
    const uint32_t first = flashOffset / SECTOR_SIZE;
    const uint32_t last = (imageSize - 1) / SECTOR_SIZE;
    if (g_verbosity >= 1) {
        APP_Format(g_message, "Code will be written in Sectors %d to %d.", static_cast<int>(first),
                   static_cast<int>(last));
        APP_PrintStatus(g_message);
    }

    if (ISP_PrepareSectors(first, last) != 0)
        return RC_PREPARE_ERASE_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Sector(s) prepared for erasing!");
    if (ISP_EraseSectors(first, last) != 0)
        return RC_ERASE_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Sector(s) erased!");

    APP_PrintStatus("Starting Firmware download");
    if (fast)
        return programFast(image.data(), imageSize, first, last);
    return programDefault(image.data(), imageSize, first, last);
}
