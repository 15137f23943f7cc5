// The chip's memories: 32 KB flash in eight 4 KB sectors and 8 KB SRAM, the
// boot ROM that the bootloader keeps mapped over the first 512 bytes of flash,
// the words of flash the boot ROM reads before it starts anything (valid user
// code, code read protection), and the flash file that keeps the flash
// across runs (SIMBOARD_FLASH).
#include "sim/lpc_isp_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max stay usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace simboard
{
namespace lpc
{

namespace
{

// The RAM that a RAM write may reach. Below it the bootloader keeps its
// command handler (0x1000017C-0x1000025B) and the on-chip CAN driver's data
// (0x10000050-0x100000B8); above it flash programming uses the top 32 bytes
// and the stack the 256 bytes below them (UM10398 "RAM used by ISP command
// handler", "RAM used by IAP command handler"). A write there would corrupt
// the running bootloader: the board refuses it so that the fault shows.
constexpr uint32_t RAM_WRITE_FIRST = 0x10000300;
constexpr uint32_t RAM_WRITE_LAST = 0x10001EDF;

// In ISP mode the system memory remap register keeps the boot ROM at 0: the
// first 512 bytes of flash read as boot ROM (UM10398 "System memory remap
// register", "Memory map after any reset"). Its content is unknown here; the
// word at offset k reads BOOT_ROM_WORD_BASE + k.
constexpr uint32_t REMAP_SIZE = 0x200;
constexpr uint32_t BOOT_ROM_WORD_BASE = 0x1FFF0000;

// Code read protection word and its patterns (UM10398 "Code Read Protection
// (CRP)", "ISP entry protection").
constexpr uint32_t CRP_WORD_ADDRESS = 0x000002FC;
constexpr uint32_t CRP1_PATTERN = 0x12345678;
constexpr uint32_t CRP2_PATTERN = 0x87654321;
constexpr uint32_t CRP3_PATTERN = 0x43218765;
constexpr uint32_t NO_ISP_PATTERN = 0x4E697370;

// Valid user code: the first eight vector table words sum to 0 (UM10398
// "Criterion for Valid User Code").
constexpr uint32_t VECTOR_WORDS = 8;

// Writes `bytes` to `path` so that a crash leaves either the old file or the
// new one: a temporary file in the same folder, flushed to the disk, then
// renamed over the target.
bool WriteFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error)
{
    std::string temp = path + ".tmp";
    FILE *f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        *error = std::string("cannot create ") + temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0;
#if defined(_WIN32)
    ok = ok && _commit(_fileno(f)) == 0;
#else
    ok = ok && fsync(fileno(f)) == 0;
#endif
    int savedErrno = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        *error = std::string("cannot write ") + temp + ": " + std::strerror(savedErrno);
        std::remove(temp.c_str());
        return false;
    }
#if defined(_WIN32)
    // rename does not replace an existing file on Windows.
    if (!MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *error = "cannot replace " + path + " (error " + std::to_string(GetLastError()) + ")";
        std::remove(temp.c_str());
        return false;
    }
#else
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot replace " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
#endif
    return true;
}

// An existing flash file: exactly the flash's 32768 bytes.
bool ReadFlashFile(ChipState &s, FILE *f, std::string *reason)
{
    std::vector<uint8_t> image(LPC_FLASH_SIZE + 1);
    size_t got = std::fread(image.data(), 1, image.size(), f);
    bool readError = std::ferror(f) != 0;
    std::fclose(f);
    if (readError || got != LPC_FLASH_SIZE) {
        *reason = readError ? "cannot read the file"
                            : (got > LPC_FLASH_SIZE ? std::string("the file is larger than 32768 bytes")
                                                    : "the file has " + std::to_string(got) + " bytes, not 32768");
        return false;
    }
    std::copy(image.begin(), image.begin() + LPC_FLASH_SIZE, s.flash.begin());
    return true;
}

// No flash file yet: the first erase or copy creates it, through the
// temporary file beside it. A folder that cannot take that file would lose
// every image, so it is refused now.
bool ProbeFlashFolder(const ChipState &s, std::string *reason)
{
    std::string temp = s.config.flashPath + ".tmp";
    FILE *probe = std::fopen(temp.c_str(), "wb");
    if (!probe) {
        *reason = std::string("cannot create the file: ") + std::strerror(errno);
        return false;
    }
    std::fclose(probe);
    std::remove(temp.c_str());
    return true;
}

} // namespace

bool InFlash(uint64_t address, uint64_t count)
{
    return address >= LPC_FLASH_BASE && address + count <= uint64_t(LPC_FLASH_BASE) + LPC_FLASH_SIZE;
}

bool InRam(uint64_t address, uint64_t count)
{
    return address >= LPC_RAM_BASE && address + count <= uint64_t(LPC_RAM_BASE) + LPC_RAM_SIZE;
}

uint8_t ViewByte(const ChipState &s, uint32_t address)
{
    if (s.config.remap && address < LPC_FLASH_BASE + REMAP_SIZE) {
        uint32_t offset = address - LPC_FLASH_BASE;
        uint32_t word = BOOT_ROM_WORD_BASE + (offset & ~(WORD - 1));
        return static_cast<uint8_t>(word >> (8 * (offset & (WORD - 1))));
    }
    if (InFlash(address, 1))
        return s.flash[address - LPC_FLASH_BASE];
    return s.ram[address - LPC_RAM_BASE];
}

int CheckRamWrite(uint32_t address, uint64_t count)
{
    if (count == 0)
        return ISP_CMD_SUCCESS;
    if (!InRam(address, count))
        return ISP_ADDR_NOT_MAPPED;
    if (address < RAM_WRITE_FIRST || uint64_t(address) + count - 1 > RAM_WRITE_LAST)
        return ISP_ADDR_ERROR;
    return ISP_CMD_SUCCESS;
}

bool ValidUserCode(const ChipState &s)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < VECTOR_WORDS; ++i)
        sum += Le32(&s.flash[i * WORD]);
    return sum == 0;
}

Crp ReadCrp(const ChipState &s)
{
    switch (Le32(&s.flash[CRP_WORD_ADDRESS])) {
    case CRP1_PATTERN:
        return Crp::Crp1;
    case CRP2_PATTERN:
        return Crp::Crp2;
    case CRP3_PATTERN:
        return Crp::Crp3;
    case NO_ISP_PATTERN:
        return Crp::NoIsp;
    default:
        return Crp::None;
    }
}

int ReadMemory(const ChipState &s, uint32_t address, uint8_t *buffer, uint32_t count)
{
    if (InFlash(address, count)) {
        if (count)
            std::memcpy(buffer, &s.flash[address - LPC_FLASH_BASE], count);
        return 0;
    }
    if (InRam(address, count)) {
        if (count)
            std::memcpy(buffer, &s.ram[address - LPC_RAM_BASE], count);
        return 0;
    }
    return -1;
}

int WriteMemory(ChipState &s, uint32_t address, const uint8_t *buffer, uint32_t count)
{
    if (InFlash(address, count)) {
        if (count == 0)
            return 0;
        uint8_t *at = &s.flash[address - LPC_FLASH_BASE];
        bool changed = std::memcmp(at, buffer, count) != 0;
        std::memcpy(at, buffer, count);
        if (changed)
            SaveFlash(s);
        return 0;
    }
    if (InRam(address, count)) {
        if (count)
            std::memcpy(&s.ram[address - LPC_RAM_BASE], buffer, count);
        return 0;
    }
    return -1;
}

void EraseSectors(ChipState &s, uint32_t first, uint32_t last)
{
    // Erased flash reads all ones.
    std::fill(s.flash.begin() + first * LPC_SECTOR_SIZE, s.flash.begin() + (last + 1) * LPC_SECTOR_SIZE, 0xFF);
    SaveFlash(s);
}

void ProgramFlash(ChipState &s, uint32_t dst, uint32_t src, uint32_t count)
{
    // Programming can only clear bits.
    bool changed = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t &cell = s.flash[dst - LPC_FLASH_BASE + i];
        uint8_t next = static_cast<uint8_t>(cell & s.ram[src - LPC_RAM_BASE + i]);
        changed = changed || next != cell;
        cell = next;
    }
    if (changed)
        SaveFlash(s);
}

bool LoadFlashFile(ChipState &s, std::string *reason)
{
    FILE *f = std::fopen(s.config.flashPath.c_str(), "rb");
    if (f)
        return ReadFlashFile(s, f, reason);
    if (errno != ENOENT) {
        *reason = std::string("cannot open the file: ") + std::strerror(errno);
        return false;
    }
    return ProbeFlashFolder(s, reason);
}

void SaveFlash(const ChipState &s)
{
    if (s.config.flashPath.empty())
        return;
    std::string why;
    if (!WriteFileAtomically(s.config.flashPath, s.flash, &why)) {
        // Nothing else can report it: a lost flash image must not pass unseen.
        std::fprintf(stderr, "simboard: cannot write SIMBOARD_FLASH=\"%s\": %s\n", s.config.flashPath.c_str(),
                     why.c_str());
        std::fflush(stderr);
    }
}

} // namespace lpc
} // namespace simboard
