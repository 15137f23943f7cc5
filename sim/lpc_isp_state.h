// The inside of the board's LPC11C24 (sim/lpc_isp_chip.h is the chip as the
// board and the tests see it): everything the chip keeps, in one struct, and
// the units that share it, each a file of functions over that struct:
//
//   lpc_isp_chip.cpp      the node on the bus: power-on and the boot ROM's
//                         entry decision, requests in and replies out, the
//                         answer scenarios, the control interface
//   lpc_isp_sdo.cpp       the SDO server: CiA 301 transfers as the bootloader
//                         implements them, and the log's names of requests
//   lpc_isp_commands.cpp  the object dictionary and the ISP commands behind
//                         it (unlock, prepare, erase, blank check, copy,
//                         compare, go, write to RAM, read memory)
//   lpc_isp_memory.cpp    flash, RAM, the boot ROM remap, the valid user code
//                         and CRP words, the flash file
//   lpc_isp_settings.cpp  the chip's settings
//
// "UM10398" is the LPC111x/LPC11Cxx user manual; its chapter on the flash
// programming firmware describes the bootloader, and its sections are named
// here by their titles.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/can_bus.h"
#include "sim/lpc_isp_chip.h"
#include "sim/records_chip.h"

namespace simboard
{
namespace lpc
{

// ---- Words ------------------------------------------------------------------

// Flash, RAM and the SDO frames hold 32-bit values little-endian.
constexpr uint32_t WORD = 4;

inline uint32_t Le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void PutLe32(uint8_t *p, uint32_t v)
{
    for (uint32_t i = 0; i < WORD; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- Object dictionary indices ----------------------------------------------
// UM10398 "C_CAN ISP object directory": the CiA 301 entries the bootloader
// has, and its own 0x5000 range that carries the ISP commands.

constexpr uint16_t OD_DEVICE_TYPE = 0x1000;
constexpr uint16_t OD_ERROR_REGISTER = 0x1001;
constexpr uint16_t OD_IDENTITY = 0x1018;
constexpr uint16_t OD_PROGRAM_DATA = 0x1F50;
constexpr uint16_t OD_PROGRAM_CONTROL = 0x1F51;
constexpr uint16_t OD_UNLOCK = 0x5000;
constexpr uint16_t OD_REINVOKE = 0x5001;
constexpr uint16_t OD_READ_ADDRESS = 0x5010;
constexpr uint16_t OD_READ_LENGTH = 0x5011;
constexpr uint16_t OD_RAM_ADDRESS = 0x5015;
constexpr uint16_t OD_PREPARE = 0x5020;
constexpr uint16_t OD_ERASE = 0x5030;
constexpr uint16_t OD_BLANK_CHECK = 0x5040;
constexpr uint16_t OD_COPY = 0x5050;
constexpr uint16_t OD_COMPARE = 0x5060;
constexpr uint16_t OD_EXEC_ADDRESS = 0x5070;
constexpr uint16_t OD_SERIAL = 0x5100;

constexpr uint8_t IDENTITY_PART_ID = 2;   // 0x1018/02
constexpr uint8_t PROGRAM_DATA_SUB = 1;   // 0x1F50/01, the memory domain
constexpr uint8_t COMPARE_OFFSET_SUB = 4; // 0x5060/04

// ---- SDO protocol -----------------------------------------------------------
// CiA 301 "SDO protocols": byte 0 of every SDO frame is its command.

// Client command specifiers (bits 7-5 of byte 0).
constexpr uint8_t CCS_DOWNLOAD_SEGMENT = 0;
constexpr uint8_t CCS_INITIATE_DOWNLOAD = 1;
constexpr uint8_t CCS_INITIATE_UPLOAD = 2;
constexpr uint8_t CCS_UPLOAD_SEGMENT = 3;
constexpr uint8_t CCS_ABORT = 4;

inline uint8_t CommandSpecifier(const uint8_t *req) { return static_cast<uint8_t>(req[0] >> 5); }
// The multiplexor of an initiate or abort frame: index (bytes 1-2), sub-index (byte 3).
inline uint16_t RequestIndex(const uint8_t *req) { return static_cast<uint16_t>(req[1] | req[2] << 8); }

// The server's confirmation of an initiate download.
constexpr uint8_t SDO_DOWNLOAD_CONFIRM = 0x60;

// A command the bootloader refuses is aborted with this plus its ISP return
// code (UM10398 "C_CAN ISP SDO abort codes").
constexpr uint32_t ABORT_ISP_BASE = 0x0F000000;

// ---- The chip's parts -------------------------------------------------------

enum class Mode { Absent, Isp, UserCode };
// UM10398 "Code Read Protection (CRP)" and "ISP entry protection".
enum class Crp { None, Crp1, Crp2, Crp3, NoIsp };

// An open segmented transfer of the SDO server.
struct Transfer {
    enum class Kind { None, Download, Upload } kind = Kind::None;
    uint16_t index = 0;
    uint8_t sub = 0;
    bool toggle = false; // toggle bit the next segment must carry
    bool sizeIndicated = false;
    uint32_t size = 0;
    uint32_t done = 0;         // bytes moved so far
    uint32_t address = 0;      // RAM write or memory read start
    std::vector<uint8_t> data; // a fixed-size entry's bytes, or the upload's
};

// What happens when a reply has gone out.
enum class AfterReply { Nothing, Reset, RunUserCode };

struct Reply {
    CanFrame frame;
    Ticks ready = 0;
    bool retry = false;
    AfterReply after = AfterReply::Nothing;
    uint32_t jumpAddress = 0;
};

// The outcome of one request: a reply (or none) and what to log.
struct Outcome {
    bool reply = false;
    uint8_t data[8] = {};
    Ticks flashTime = 0;                 // erase or programming, before the reply
    std::vector<std::string> flashLines; // at the end of the flash time
    std::string line;                    // the request line; empty: none
    std::vector<std::string> afterLines; // state changes, at the reply time
    AfterReply after = AfterReply::Nothing;
    uint32_t jumpAddress = 0;
};

// ---- The state --------------------------------------------------------------

struct ChipState {
    explicit ChipState(const ChipConfig &config);

    ChipConfig config;
    ChipLogWriter log;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> ram;

    Mode mode = Mode::Absent;
    Crp crp = Crp::None; // read when the bootloader starts
    bool unlocked = false;
    uint8_t prepared = 0; // one bit per sector

    // Parameter entries, 0 when the bootloader starts.
    uint32_t readAddress = 0;   // 0x5010
    uint32_t readLength = 0;    // 0x5011
    uint32_t ramAddress = 0;    // 0x5015
    uint32_t copyDst = 0;       // 0x5050/1
    uint32_t copySrc = 0;       // 0x5050/2
    uint32_t cmpAddr1 = 0;      // 0x5060/1
    uint32_t cmpAddr2 = 0;      // 0x5060/2
    uint32_t execAddress = 0;   // 0x5070/1
    uint32_t blankOffset = 0;   // 0x5040/2
    uint32_t compareOffset = 0; // 0x5060/4

    Transfer transfer;
    std::deque<Reply> replies;
    Ticks busyUntil = 0;  // the bootloader works on one request at a time
    bool leaving = false; // an accepted execution waits for its reply to go out

    // Scenario counters, kept across the chip's own resets.
    uint32_t requests = 0;
    Ticks flashTicks = 0;
    uint32_t partIdRequests = 0;
    bool answering = false;
    uint32_t answered = 0;
    bool silent = false;
    std::vector<uint32_t> abortHits; // per SIMBOARD_CHIP_ABORT entry
};

// ---- lpc_isp_memory.cpp -----------------------------------------------------

bool InFlash(uint64_t address, uint64_t count);
bool InRam(uint64_t address, uint64_t count);
// A byte as the bootloader's reads see it (the boot ROM remap applied).
uint8_t ViewByte(const ChipState &s, uint32_t address);
// A RAM write of `count` bytes at `address`: the ISP code it gets.
int CheckRamWrite(uint32_t address, uint64_t count);
bool ValidUserCode(const ChipState &s);
Crp ReadCrp(const ChipState &s);
// Flash or RAM as they are (no remap): 0, or -1 when a byte lies outside both.
int ReadMemory(const ChipState &s, uint32_t address, uint8_t *buffer, uint32_t count);
int WriteMemory(ChipState &s, uint32_t address, const uint8_t *buffer, uint32_t count);
// Sectors first to last erased; the flash file follows.
void EraseSectors(ChipState &s, uint32_t first, uint32_t last);
// `count` bytes of RAM at `src` programmed into flash at `dst`.
void ProgramFlash(ChipState &s, uint32_t dst, uint32_t src, uint32_t count);
// The flash file of SIMBOARD_FLASH read into flash when it exists; false with
// the reason when it cannot be used.
bool LoadFlashFile(ChipState &s, std::string *reason);
void SaveFlash(const ChipState &s);

// ---- lpc_isp_sdo.cpp --------------------------------------------------------

// One request the bootloader carries out: its reply and log lines in *out.
void ServeRequest(ChipState &s, const uint8_t *req, uint64_t endUs, Outcome *out);
// A request as the log names it, from its bytes alone.
std::string DescribeRequest(const ChipState &s, const uint8_t *req);
// Closes the open transfer; returns its log line with `result` (and the
// bytes moved when it did not complete).
std::string EndTransfer(ChipState &s, const std::string &result);
void SetConfirm(uint8_t command, uint16_t index, uint8_t sub, Outcome *out);
void SetAbort(uint16_t index, uint8_t sub, uint32_t code, Outcome *out);
void SetIspError(uint16_t index, uint8_t sub, int code, Outcome *out);
// "0xIIII/SS", an entry as the log names it.
std::string Mux(uint16_t index, uint8_t sub);

// ---- lpc_isp_commands.cpp ---------------------------------------------------

enum class Access { Ro, Wo, Rw };

struct OdEntry {
    uint16_t index;
    uint8_t sub;
    uint8_t size; // bytes; 0 for the program data domain
    Access access;
};

// The bootloader (re)starts: locked, nothing prepared, parameters 0.
void StartBootloader(ChipState &s);
// The entry, or null with the abort code for a missing object or sub-index.
const OdEntry *FindEntry(const ChipState &s, uint16_t index, uint8_t sub, uint32_t *abortCode);
// A fixed-size entry's value as an upload reads it.
uint32_t ReadEntry(const ChipState &s, uint16_t index, uint8_t sub);
// A fixed-size entry written with its value; fills the reply or an abort.
void WriteEntry(ChipState &s, uint16_t index, uint8_t sub, uint32_t value, Outcome *out);
// The log's name of a write of `value` to the entry.
std::string CommandText(const ChipState &s, uint16_t index, uint8_t sub, uint32_t value);
// The ISP codes of a write to RAM of `count` bytes (its range checked only
// when the size is known) and of a memory read, as 0x1F50/01 starts them.
int CheckWriteToRam(const ChipState &s, bool sizeKnown, uint32_t count);
int CheckReadMemory(const ChipState &s);

} // namespace lpc
} // namespace simboard
