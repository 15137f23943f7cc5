#include "app/flash_read.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/actions.h"
#include "app/console.h"
#include "app/firmware.h"
#include "app/image_file.h"
#include "app/results.h"
#include "isp/isp_commands.h"
#include "platform/platform.h"

namespace
{

constexpr uint32_t WORD = 4;

uint32_t roundDown(uint32_t value) { return value & ~(WORD - 1); }
uint32_t roundUp(uint32_t value) { return (value + WORD - 1) & ~(WORD - 1); }

// Reads [from, to) of the flash into flash + from, a read per sector as
// programming writes one: each with its milestone line and, at level 1, its
// progress bar of the bytes received.
bool readRange(uint32_t from, uint32_t to, uint8_t *flash)
{
    for (uint32_t at = from; at < to;) {
        const uint32_t sector = at / SECTOR_SIZE;
        const uint32_t end = (sector + 1) * SECTOR_SIZE < to ? (sector + 1) * SECTOR_SIZE : to;
        if (g_verbosity >= 1) {
            APP_Format(g_message, "Reading Data of Sector %u (0x%04X-0x%04X).", static_cast<unsigned>(sector), at,
                       end - 1);
            APP_PrintStatus(g_message);
        }
        if (ISP_ReadMemory(at, end - at, flash + at) != 0)
            return false;
        at = end;
    }
    return true;
}

void sayBootRomNotRead()
{
    APP_Format(g_message, "Flash 0x000-0x%03X not read: the bootloader may show its boot ROM there",
               BOOT_ROM_WINDOW_END - 1);
    APP_PrintStatus(g_message);
}

} // namespace

bool APP_IsHexFileName(const char *fileName)
{
    const size_t length = std::strlen(fileName);
    if (length < 4)
        return false;
    const char *suffix = fileName + length - 4;
    return suffix[0] == '.' && (suffix[1] == 'h' || suffix[1] == 'H') && (suffix[2] == 'e' || suffix[2] == 'E') &&
           (suffix[3] == 'x' || suffix[3] == 'X');
}

const char *APP_ReadRangeProblem(const char *fileName, uint32_t flashOffset, uint32_t length)
{
    if (flashOffset % WORD != 0 || length % WORD != 0)
        return "-o and --length must be multiples of 4: the bootloader reads whole words";
    if (flashOffset >= MAX_IMAGE_SIZE || length == 0 || length > MAX_IMAGE_SIZE - flashOffset)
        return "-o and --length must lie inside the 32 KB of flash";
    if (!APP_IsHexFileName(fileName) && flashOffset < BOOT_ROM_WINDOW_END)
        return "a binary file starts at -o 200 or above (boot ROM below), or use .hex";
    if (flashOffset + length <= BOOT_ROM_WINDOW_END)
        return "flash 0x000-0x1FF cannot be read as flash (boot ROM): nothing else in range";
    return nullptr;
}

ResultCode APP_VerifyFirmware(const char *fileName, uint32_t flashOffset, bool fast)
{
    if (g_connected != 1)
        return RC_NOT_CONNECTED;
    Firmware firmware;
    const ResultCode loaded = APP_LoadFirmware(fileName, fast ? 0xFF : 0, &firmware, nullptr);
    if (loaded != RC_OK)
        return loaded;
    APP_Format(g_message, "Verifying Flash against '%s'", fileName);
    APP_PrintStatus(g_message);

    // The bytes the file gives, from the first sector programming writes.
    uint32_t from = firmware.format == IMAGE_RAW ? flashOffset / SECTOR_SIZE * SECTOR_SIZE : firmware.low;
    const uint32_t to = firmware.fileEnd;
    if (from < BOOT_ROM_WINDOW_END) {
        sayBootRomNotRead();
        from = BOOT_ROM_WINDOW_END;
    }
    // Nothing compared is nothing verified.
    if (from >= to) {
        APP_PrintStatus("Nothing to compare: the image lies in flash 0x000-0x1FF");
        return RC_VERIFY_FAILED;
    }
    std::vector<uint8_t> flash(MAX_IMAGE_SIZE);
    if (!readRange(roundDown(from), roundUp(to), flash.data()))
        return RC_READ_FAILED;

    uint32_t differing = 0, first = 0;
    for (uint32_t address = from; address < to; ++address)
        if (flash[address] != firmware.bytes[address] && differing++ == 0)
            first = address;
    if (differing == 0) {
        if (g_verbosity >= 1) {
            APP_Format(g_message, "Flash 0x%04X-0x%04X equals the image!", from, to - 1);
            APP_PrintStatus(g_message);
        }
        return RC_OK;
    }
    APP_Format(g_message, "First difference at 0x%04X: flash 0x%02X, image 0x%02X; %u byte(s) differ", first,
               flash[first], firmware.bytes[first], static_cast<unsigned>(differing));
    APP_PrintStatus(g_message);
    return RC_VERIFY_FAILED;
}

ResultCode APP_ReadFlash(const char *fileName, uint32_t flashOffset, uint32_t length)
{
    if (g_connected != 1)
        return RC_NOT_CONNECTED;
    APP_Format(g_message, "Reading Flash into '%s'", fileName);
    APP_PrintStatus(g_message);
    uint32_t from = flashOffset;
    const uint32_t to = flashOffset + length;
    if (from < BOOT_ROM_WINDOW_END) {
        sayBootRomNotRead();
        from = BOOT_ROM_WINDOW_END;
    }
    std::unique_ptr<FlashImage> image(new FlashImage);
    APP_ClearImage(image.get());
    std::vector<uint8_t> flash(MAX_IMAGE_SIZE);
    if (!readRange(from, to, flash.data()))
        return RC_READ_FAILED;

    bool written;
    if (APP_IsHexFileName(fileName)) {
        APP_PlaceBytes(image.get(), from, flash.data() + from, to - from);
        const std::string text = APP_EncodeHex(*image);
        written = PLAT_WriteFileWhole(fileName, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    } else {
        written = PLAT_WriteFileWhole(fileName, flash.data() + from, to - from);
    }
    if (!written)
        return RC_FILE_WRITE_FAILED;
    if (g_verbosity >= 1) {
        APP_Format(g_message, "Flash 0x%04X-0x%04X saved!", from, to - 1);
        APP_PrintStatus(g_message);
    }
    return RC_OK;
}
