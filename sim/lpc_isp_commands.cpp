// The bootloader's object dictionary and the ISP commands behind it (UM10398
// "C_CAN ISP object directory"): the identity entries, the parameter entries
// (addresses and lengths, 0 when the bootloader starts) and the command
// entries that carry out unlock, prepare, erase, blank check, copy, compare
// and go, each as the UART ISP command of the same name, with its return
// codes (UM10398 "ISP Return Codes Summary"), code read protection rules
// and flash times. Also the checks of the program data domain's write to RAM
// and memory read, and the chip log's names of entry writes.
#include "sim/lpc_isp_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace simboard
{
namespace lpc
{

namespace
{

// ---- Abort codes of the dictionary (CiA 301 "SDO abort transfer") -----------

constexpr uint32_t ABORT_NO_OBJECT = 0x06020000;
constexpr uint32_t ABORT_NO_SUB = 0x06090011;
constexpr uint32_t ABORT_VALUE_RANGE = 0x06090030;

// ---- Entry values -----------------------------------------------------------

constexpr uint32_t IDENTITY_ENTRIES = 3;           // 0x1018/00
constexpr uint32_t VENDOR_ID = 0x00000000;         // 0x1018/01
constexpr uint32_t BOOT_CODE_VERSION = 0x00000001; // 0x1018/03 (UM10398 "Read Boot code version number")
constexpr uint32_t DEVICE_TYPE = 0x00000000;       // 0x1000
constexpr uint32_t EXEC_ENTRIES = 1;               // 0x5070/00
constexpr uint16_t UNLOCK_CODE = 0x5A5A;           // 23130 (UM10398 "Unlock")
constexpr uint32_t EXECUTE_START = 1;              // 0x1F51/01: start the program at the execution address

// ldr r2,[pc,#4]; ldr r3,[pc,#8]; str r2,[r3,#12]; nop; .word 0x05FA0004,
// 0xE000ED00: VECTKEY with SYSRESETREQ stored to AIRCR, a system reset.
constexpr uint8_t RESET_ROUTINE[16] = {0x01, 0x4A, 0x02, 0x4B, 0xDA, 0x60, 0xC0, 0x46,
                                       0x04, 0x00, 0xFA, 0x05, 0x00, 0xED, 0x00, 0xE0};

// Copy RAM to flash: the byte counts the manual allows, the destination
// boundary and the source alignment (UM10398 "Copy RAM to flash").
constexpr uint32_t COPY_COUNTS[] = {256, 512, 1024, 4096};
constexpr uint32_t COPY_DST_ALIGN = 256;

// LPC11Cx2/Cx4 data sheet, flash characteristics, typical values: the erase
// time of a sector or of several consecutive ones (one erase command,
// whatever its sector count), and the programming time of 256 bytes.
constexpr Ticks ERASE_TIME = 100000 * TICKS_PER_US;
constexpr Ticks PROGRAM_TIME_PER_256 = 1000 * TICKS_PER_US;

// ---- The dictionary ---------------------------------------------------------

constexpr OdEntry DICTIONARY[] = {
    {OD_DEVICE_TYPE, 0, 4, Access::Ro},  {OD_ERROR_REGISTER, 0, 1, Access::Ro},
    {OD_IDENTITY, 0, 1, Access::Ro},     {OD_IDENTITY, 1, 4, Access::Ro},
    {OD_IDENTITY, 2, 4, Access::Ro},     {OD_IDENTITY, 3, 4, Access::Ro},
    {OD_PROGRAM_DATA, 1, 0, Access::Rw}, {OD_PROGRAM_CONTROL, 1, 1, Access::Rw},
    {OD_UNLOCK, 0, 2, Access::Wo},       {OD_REINVOKE, 0, 1, Access::Wo},
    {OD_READ_ADDRESS, 0, 4, Access::Rw}, {OD_READ_LENGTH, 0, 4, Access::Rw},
    {OD_RAM_ADDRESS, 0, 4, Access::Rw},  {OD_PREPARE, 0, 2, Access::Wo},
    {OD_ERASE, 0, 2, Access::Wo},        {OD_BLANK_CHECK, 1, 2, Access::Wo},
    {OD_BLANK_CHECK, 2, 4, Access::Ro},  {OD_COPY, 1, 4, Access::Rw},
    {OD_COPY, 2, 4, Access::Rw},         {OD_COPY, 3, 2, Access::Wo},
    {OD_COMPARE, 1, 4, Access::Rw},      {OD_COMPARE, 2, 4, Access::Rw},
    {OD_COMPARE, 3, 2, Access::Wo},      {OD_COMPARE, 4, 4, Access::Ro},
    {OD_EXEC_ADDRESS, 0, 1, Access::Ro}, {OD_EXEC_ADDRESS, 1, 4, Access::Rw},
    {OD_SERIAL, 1, 4, Access::Ro},       {OD_SERIAL, 2, 4, Access::Ro},
    {OD_SERIAL, 3, 4, Access::Ro},       {OD_SERIAL, 4, 4, Access::Ro},
};

// The parameter entries and their names in the chip log.
struct ParamName {
    uint16_t index;
    uint8_t sub;
    const char *name;
};
constexpr ParamName PARAM_NAMES[] = {
    {OD_READ_ADDRESS, 0, "READ_ADDRESS"},
    {OD_READ_LENGTH, 0, "READ_LENGTH"},
    {OD_RAM_ADDRESS, 0, "RAM_ADDRESS"},
    {OD_COPY, 1, "COPY_DST"},
    {OD_COPY, 2, "COPY_SRC"},
    {OD_COMPARE, 1, "CMP_ADDR1"},
    {OD_COMPARE, 2, "CMP_ADDR2"},
    {OD_EXEC_ADDRESS, 1, "EXEC_ADDRESS"},
};

const char *ParamNameOf(uint16_t index, uint8_t sub)
{
    for (const auto &p : PARAM_NAMES)
        if (p.index == index && p.sub == sub)
            return p.name;
    return nullptr;
}

// ---- Sectors (UM10398 "Sector numbers") -------------------------------------

// A command's sector range: start sector in bits 7-0, end sector in 15-8.
bool SectorRange(uint32_t value, uint32_t *first, uint32_t *last)
{
    *first = value & 0xFF;
    *last = (value >> 8) & 0xFF;
    return *first <= *last && *last < LPC_SECTOR_COUNT;
}

uint8_t SectorMask(uint32_t first, uint32_t last)
{
    uint8_t mask = 0;
    for (uint32_t s = first; s <= last; ++s)
        mask = static_cast<uint8_t>(mask | 1u << s);
    return mask;
}

bool ReadProtected(const ChipState &s) { return s.crp == Crp::Crp1 || s.crp == Crp::Crp2; }

// ---- The commands -----------------------------------------------------------

// UM10398 "Unlock": flash writes, erases and go are refused until then.
int Unlock(ChipState &s, uint32_t value, Outcome *out)
{
    if (value != UNLOCK_CODE)
        return ISP_INVALID_CODE;
    if (!s.unlocked)
        out->afterLines.push_back("STATE UNLOCKED");
    s.unlocked = true;
    return ISP_CMD_SUCCESS;
}

// 0x5001: the bootloader restarts as after a reset into ISP; RAM is kept.
void Reinvoke(ChipState &s, Outcome *out)
{
    bool wasUnlocked = s.unlocked;
    StartBootloader(s);
    if (wasUnlocked)
        out->afterLines.push_back("STATE LOCKED");
}

// UM10398 "Prepare sector(s) for write operation".
int Prepare(ChipState &s, uint32_t value)
{
    uint32_t first, last;
    if (!SectorRange(value, &first, &last))
        return ISP_INVALID_SECTOR;
    s.prepared = static_cast<uint8_t>(s.prepared | SectorMask(first, last));
    return ISP_CMD_SUCCESS;
}

// UM10398 "Erase sector(s)". Under CRP1 sector 0 goes only with the whole
// flash, under CRP2 only the whole flash (UM10398 "Code Read Protection (CRP)").
int Erase(ChipState &s, uint32_t value, Outcome *out)
{
    uint32_t first, last;
    if (!s.unlocked)
        return ISP_CMD_LOCKED;
    if (!SectorRange(value, &first, &last))
        return ISP_INVALID_SECTOR;
    const bool all = first == 0 && last == LPC_SECTOR_COUNT - 1;
    if ((s.crp == Crp::Crp1 && first == 0 && !all) || (s.crp == Crp::Crp2 && !all))
        return ISP_CODE_READ_PROTECTION_ENABLED;
    const uint8_t mask = SectorMask(first, last);
    if ((s.prepared & mask) != mask)
        return ISP_SECTOR_NOT_PREPARED;
    EraseSectors(s, first, last);
    s.prepared = static_cast<uint8_t>(s.prepared & ~mask);
    out->flashTime = ERASE_TIME;
    for (uint32_t n = first; n <= last; ++n)
        out->flashLines.push_back("FLASH ERASE " + std::to_string(n));
    return ISP_CMD_SUCCESS;
}

// UM10398 "Blank check sector(s)": the offset of the first word that is not
// blank goes to 0x5040/02. It reads flash as the bootloader sees it.
int BlankCheck(ChipState &s, uint32_t value)
{
    uint32_t first, last;
    if (ReadProtected(s))
        return ISP_CODE_READ_PROTECTION_ENABLED;
    if (!SectorRange(value, &first, &last))
        return ISP_INVALID_SECTOR;
    const uint32_t start = LPC_FLASH_BASE + first * LPC_SECTOR_SIZE;
    const uint32_t end = LPC_FLASH_BASE + (last + 1) * LPC_SECTOR_SIZE;
    for (uint32_t a = start; a < end; ++a) {
        if (ViewByte(s, a) != 0xFF) {
            s.blankOffset = (a - start) & ~(WORD - 1);
            return ISP_SECTOR_NOT_BLANK;
        }
    }
    return ISP_CMD_SUCCESS;
}

// UM10398 "Copy RAM to flash" from the copy source to the copy destination.
// Under CRP1 sector 0 cannot be written, under CRP2 no sector.
int Copy(ChipState &s, uint32_t count, Outcome *out)
{
    if (!s.unlocked)
        return ISP_CMD_LOCKED;
    if (std::find(std::begin(COPY_COUNTS), std::end(COPY_COUNTS), count) == std::end(COPY_COUNTS))
        return ISP_COUNT_ERROR;
    if (s.copyDst % COPY_DST_ALIGN != 0)
        return ISP_DST_ADDR_ERROR;
    if (s.copySrc % WORD != 0)
        return ISP_SRC_ADDR_ERROR;
    if (!InRam(s.copySrc, count))
        return ISP_SRC_ADDR_NOT_MAPPED;
    if (!InFlash(s.copyDst, count))
        return ISP_DST_ADDR_NOT_MAPPED;
    const uint32_t first = (s.copyDst - LPC_FLASH_BASE) / LPC_SECTOR_SIZE;
    const uint32_t last = (s.copyDst - LPC_FLASH_BASE + count - 1) / LPC_SECTOR_SIZE;
    if (s.crp == Crp::Crp2 || (s.crp == Crp::Crp1 && first == 0))
        return ISP_CODE_READ_PROTECTION_ENABLED;
    const uint8_t mask = SectorMask(first, last);
    if ((s.prepared & mask) != mask)
        return ISP_SECTOR_NOT_PREPARED;
    ProgramFlash(s, s.copyDst, s.copySrc, count);
    s.prepared = static_cast<uint8_t>(s.prepared & ~mask);
    out->flashTime = PROGRAM_TIME_PER_256 * (count / 256);
    out->flashLines.push_back("FLASH PROGRAM " + Hex32(s.copyDst) + " " + std::to_string(count));
    return ISP_CMD_SUCCESS;
}

// UM10398 "Compare": word by word, as the bootloader sees memory; the offset
// of the first difference goes to 0x5060/04. SIMBOARD_CHIP_COMPARE_DIFF forces
// a difference at its offset in every compare long enough to reach it.
int Compare(ChipState &s, uint32_t count)
{
    if (ReadProtected(s))
        return ISP_CODE_READ_PROTECTION_ENABLED;
    if (count % WORD != 0)
        return ISP_COUNT_ERROR;
    if (s.cmpAddr1 % WORD != 0 || s.cmpAddr2 % WORD != 0)
        return ISP_ADDR_ERROR;
    for (uint32_t a : {s.cmpAddr1, s.cmpAddr2})
        if (!InFlash(a, count) && !InRam(a, count))
            return ISP_ADDR_NOT_MAPPED;
    if (s.config.compareDiff && count > s.config.compareDiffOffset) {
        s.compareOffset = s.config.compareDiffOffset;
        return ISP_COMPARE_ERROR;
    }
    for (uint32_t i = 0; i < count; i += WORD) {
        for (uint32_t k = 0; k < WORD; ++k) {
            if (ViewByte(s, s.cmpAddr1 + i + k) != ViewByte(s, s.cmpAddr2 + i + k)) {
                s.compareOffset = i;
                return ISP_COMPARE_ERROR;
            }
        }
    }
    return ISP_CMD_SUCCESS;
}

// UM10398 "Go", through 0x1F51/01: the program at the execution address runs
// once the confirmation has gone out (board choice). The reset routine of the
// tool's reset action resets the chip instead.
int Execute(ChipState &s, Outcome *out)
{
    if (!s.unlocked)
        return ISP_CMD_LOCKED;
    if (ReadProtected(s))
        return ISP_CODE_READ_PROTECTION_ENABLED;
    if (s.execAddress % WORD != 0)
        return ISP_ADDR_ERROR;
    if (!InFlash(s.execAddress, 1) && !InRam(s.execAddress, 1))
        return ISP_ADDR_NOT_MAPPED;
    uint8_t code[sizeof RESET_ROUTINE];
    bool reset =
        ReadMemory(s, s.execAddress, code, sizeof code) == 0 && std::memcmp(code, RESET_ROUTINE, sizeof code) == 0;
    out->after = reset ? AfterReply::Reset : AfterReply::RunUserCode;
    out->jumpAddress = s.execAddress;
    return ISP_CMD_SUCCESS;
}

// A write to a fixed-size entry carried out: its ISP code, and the value of
// a failed check for the log line in *extra.
int ApplyWrite(ChipState &s, uint16_t index, uint8_t sub, uint32_t value, Outcome *out, std::string *extra)
{
    int isp = ISP_CMD_SUCCESS;
    switch (index) {
    case OD_PROGRAM_CONTROL:
        return Execute(s, out);
    case OD_UNLOCK:
        return Unlock(s, value, out);
    case OD_REINVOKE:
        Reinvoke(s, out);
        break;
    case OD_READ_ADDRESS:
        s.readAddress = value;
        break;
    case OD_READ_LENGTH:
        s.readLength = value;
        break;
    case OD_RAM_ADDRESS:
        s.ramAddress = value;
        break;
    case OD_PREPARE:
        return Prepare(s, value);
    case OD_ERASE:
        return Erase(s, value, out);
    case OD_BLANK_CHECK:
        isp = BlankCheck(s, value);
        if (isp == ISP_SECTOR_NOT_BLANK)
            *extra = " " + Hex32(s.blankOffset);
        break;
    case OD_COPY:
        if (sub == 1)
            s.copyDst = value;
        else if (sub == 2)
            s.copySrc = value;
        else
            isp = Copy(s, value, out);
        break;
    case OD_COMPARE:
        if (sub == 1)
            s.cmpAddr1 = value;
        else if (sub == 2)
            s.cmpAddr2 = value;
        else {
            isp = Compare(s, value);
            if (isp == ISP_COMPARE_ERROR)
                *extra = " " + Hex32(s.compareOffset);
        }
        break;
    case OD_EXEC_ADDRESS:
        s.execAddress = value;
        break;
    default:
        break;
    }
    return isp;
}

} // namespace

void StartBootloader(ChipState &s)
{
    s.mode = Mode::Isp;
    s.crp = ReadCrp(s);
    s.unlocked = false;
    s.prepared = 0;
    s.readAddress = s.readLength = s.ramAddress = 0;
    s.copyDst = s.copySrc = s.cmpAddr1 = s.cmpAddr2 = s.execAddress = 0;
    s.blankOffset = s.compareOffset = 0;
    s.transfer = Transfer{};
}

const OdEntry *FindEntry(const ChipState &s, uint16_t index, uint8_t sub, uint32_t *abortCode)
{
    // SIMBOARD_CHIP_REINVOKE=absent: a bootloader without 0x5001.
    const bool reinvokePresent = s.config.reinvoke != ReinvokeMode::Absent;
    bool indexFound = false;
    for (const OdEntry &e : DICTIONARY) {
        if (e.index != index)
            continue;
        if (index == OD_REINVOKE && !reinvokePresent)
            continue;
        indexFound = true;
        if (e.sub == sub)
            return &e;
    }
    *abortCode = indexFound ? ABORT_NO_SUB : ABORT_NO_OBJECT;
    return nullptr;
}

uint32_t ReadEntry(const ChipState &s, uint16_t index, uint8_t sub)
{
    switch (index) {
    case OD_DEVICE_TYPE:
        return DEVICE_TYPE;
    case OD_ERROR_REGISTER:
        return 0;
    case OD_IDENTITY:
        // UM10398 "Read Part Identification number" is 0x1018/02.
        return sub == 0 ? IDENTITY_ENTRIES : sub == 1 ? VENDOR_ID : sub == 2 ? s.config.partId : BOOT_CODE_VERSION;
    case OD_PROGRAM_CONTROL:
        return 0;
    case OD_READ_ADDRESS:
        return s.readAddress;
    case OD_READ_LENGTH:
        return s.readLength;
    case OD_RAM_ADDRESS:
        return s.ramAddress;
    case OD_BLANK_CHECK:
        return s.blankOffset;
    case OD_COPY:
        return sub == 1 ? s.copyDst : s.copySrc;
    case OD_COMPARE:
        return sub == 1 ? s.cmpAddr1 : sub == 2 ? s.cmpAddr2 : s.compareOffset;
    case OD_EXEC_ADDRESS:
        return sub == 0 ? EXEC_ENTRIES : s.execAddress;
    case OD_SERIAL:
        return sub; // serial number words 1-4
    default:
        return 0;
    }
}

void WriteEntry(ChipState &s, uint16_t index, uint8_t sub, uint32_t value, Outcome *out)
{
    const std::string text = CommandText(s, index, sub, value);
    if (index == OD_PROGRAM_CONTROL && value != EXECUTE_START) {
        SetAbort(index, sub, ABORT_VALUE_RANGE, out);
        out->line = text + " -> ABORT " + Hex32(ABORT_VALUE_RANGE);
        return;
    }
    std::string extra;
    const int isp = ApplyWrite(s, index, sub, value, out, &extra);
    if (index == OD_REINVOKE && s.config.reinvoke == ReinvokeMode::Silent) {
        // The bootloader restarts without a reply.
        out->line = text + " -> NO_REPLY";
        return;
    }
    if (isp == ISP_CMD_SUCCESS) {
        SetConfirm(SDO_DOWNLOAD_CONFIRM, index, sub, out);
    } else {
        SetIspError(index, sub, isp, out);
        out->afterLines.clear();
    }
    out->line = text + " -> " + IspCodeName(isp) + extra;
}

std::string CommandText(const ChipState &s, uint16_t index, uint8_t sub, uint32_t value)
{
    char text[64];
    switch (index) {
    case OD_PROGRAM_CONTROL:
        return "EXECUTE " + Hex32(s.execAddress);
    case OD_UNLOCK:
        std::snprintf(text, sizeof text, "UNLOCK 0x%04X", value);
        return text;
    case OD_REINVOKE:
        return "REINVOKE";
    case OD_PREPARE:
    case OD_ERASE:
        std::snprintf(text, sizeof text, "%s %u %u", index == OD_PREPARE ? "PREPARE" : "ERASE", value & 0xFF,
                      (value >> 8) & 0xFF);
        return text;
    case OD_BLANK_CHECK:
        if (sub == 1) {
            std::snprintf(text, sizeof text, "BLANK_CHECK %u %u", value & 0xFF, (value >> 8) & 0xFF);
            return text;
        }
        break;
    case OD_COPY:
        if (sub == 3)
            return "COPY " + Hex32(s.copyDst) + " " + Hex32(s.copySrc) + " " + std::to_string(value);
        break;
    case OD_COMPARE:
        if (sub == 3)
            return "COMPARE " + Hex32(s.cmpAddr1) + " " + Hex32(s.cmpAddr2) + " " + std::to_string(value);
        break;
    default:
        break;
    }
    if (const char *name = ParamNameOf(index, sub))
        return std::string("SET ") + name + " " + Hex32(value);
    return "SDO " + Mux(index, sub) + " download";
}

// UM10398 "Write to RAM": refused under CRP2; the range must lie in the RAM
// the bootloader leaves free.
int CheckWriteToRam(const ChipState &s, bool sizeKnown, uint32_t count)
{
    if (s.crp == Crp::Crp2)
        return ISP_CODE_READ_PROTECTION_ENABLED;
    return sizeKnown ? CheckRamWrite(s.ramAddress, count) : ISP_CMD_SUCCESS;
}

// UM10398 "Read memory": refused under CRP1 and CRP2; the range must lie in
// flash or in RAM.
int CheckReadMemory(const ChipState &s)
{
    if (ReadProtected(s))
        return ISP_CODE_READ_PROTECTION_ENABLED;
    if (!InFlash(s.readAddress, s.readLength) && !InRam(s.readAddress, s.readLength))
        return ISP_ADDR_NOT_MAPPED;
    return ISP_CMD_SUCCESS;
}

} // namespace lpc
} // namespace simboard
