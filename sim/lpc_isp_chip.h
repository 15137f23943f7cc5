// The board's microcontroller: an LPC11C24 (32 KB flash in eight 4 KB
// sectors, 8 KB SRAM) waiting in its C_CAN ISP bootloader, a CANopen SDO
// server at node 0x7D. It sits on the CAN bus as one node: it takes requests
// (0x67D) in Receive and offers its replies (0x5FD) through NextFrame, each
// one scheduled in board time after its request (command decoding plus the
// flash erase and programming times).
//
// Life cycle, as the board drives it:
//   LpcIspChip chip(config);           // config from LoadChipConfig
//   chip.Start(now, &name, &reason);   // log and flash file; power-on entry decision
//   bus.Attach(&chip);
//   ... the bus calls Receive / NextFrame / FrameDone ...
//   chip.Shutdown(now);                // at reset or unload: ends an open transfer, closes the log
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/can_bus.h"
#include "sim/records_chip.h"

namespace simboard
{

// ---- Memory map -------------------------------------------------------------

constexpr uint32_t LPC_FLASH_BASE = 0x00000000;
constexpr uint32_t LPC_FLASH_SIZE = 0x8000;
constexpr uint32_t LPC_SECTOR_SIZE = 0x1000;
constexpr uint32_t LPC_SECTOR_COUNT = 8;
constexpr uint32_t LPC_RAM_BASE = 0x10000000;
constexpr uint32_t LPC_RAM_SIZE = 0x2000;

// ---- CANopen identity of the bootloader -------------------------------------

constexpr uint8_t LPC_NODE_ID = 0x7D;
constexpr uint32_t LPC_SDO_REQUEST_ID = 0x600 + LPC_NODE_ID; // 0x67D
constexpr uint32_t LPC_SDO_REPLY_ID = 0x580 + LPC_NODE_ID;   // 0x5FD
constexpr uint32_t LPC_DEFAULT_BITRATE = 100000;
constexpr uint32_t LPC_DEFAULT_PART_ID = 0x1430102B; // LPC11C24/301

// ---- Scenario settings ------------------------------------------------------

// SIMBOARD_CHIP: how the ISP entry pin PIO0_1 is wired, or no chip at all.
enum class ChipEntryPin { Isp, Boot, Absent };
// SIMBOARD_CHIP_REINVOKE: what a write to 0x5001 does.
enum class ReinvokeMode { Silent, Answer, Absent };

// One SIMBOARD_CHIP_ABORT entry: the nth request to index:sub (every one when
// nth is 0) is answered with abort `code` instead of being carried out.
struct ChipAbortRule {
    uint16_t index = 0;
    uint8_t sub = 0;
    uint32_t code = 0;
    uint32_t nth = 0;
};

struct ChipConfig {
    ChipEntryPin pin = ChipEntryPin::Isp;
    uint32_t bitRate = LPC_DEFAULT_BITRATE;
    uint32_t partId = LPC_DEFAULT_PART_ID;
    uint32_t answerFrom = 1;  // answers from the nth part-ID request on
    uint32_t silentAfter = 0; // 0: never falls silent
    ReinvokeMode reinvoke = ReinvokeMode::Silent;
    std::vector<ChipAbortRule> aborts;
    bool compareDiff = false; // every long enough compare fails at compareDiffOffset
    uint32_t compareDiffOffset = 0;
    bool remap = true;     // flash 0x000-0x1FF reads as boot ROM while in ISP
    std::string flashPath; // empty: flash not persisted
    std::string logPath;   // empty: no chip log
};

// The names of the chip's settings, in the order LoadChipConfig reads them.
extern const char *const CHIP_SETTING_NAMES[11];

bool IsChipSetting(const std::string &name);

// Parses one chip setting into *config. An empty value sets the default.
// Returns "" or the reason the value cannot be read (for the board's line
// "simboard: cannot read NAME="VALUE": reason"). Files are not touched here:
// LpcIspChip::Start checks them. A name that is not a chip setting is refused.
std::string ParseChipSetting(const std::string &name, const std::string &value, ChipConfig *config);

// Reads every chip setting through `lookup` (the value in effect for a name,
// "" when unset). On a value that cannot be read returns false with the
// setting's name, its value and the reason; *config is then unchanged.
bool LoadChipConfig(const std::function<std::string(const std::string &)> &lookup, ChipConfig *config,
                    std::string *badName, std::string *badValue, std::string *reason);

// ---- The chip ---------------------------------------------------------------

namespace lpc
{
struct ChipState;
} // namespace lpc

// What SimBoard_ChipState reports.
enum class ChipStateCode : int { Absent = 0, IspLocked = 1, IspUnlocked = 2, UserCode = 3 };

class LpcIspChip : public CanNode
{
public:
    explicit LpcIspChip(const ChipConfig &config);
    ~LpcIspChip() override;
    LpcIspChip(const LpcIspChip &) = delete;
    LpcIspChip &operator=(const LpcIspChip &) = delete;

    // Creates (truncates) the chip log, reads the flash file when it exists,
    // then powers the chip on at board time `now`. False when a file setting
    // cannot be used: *badName is SIMBOARD_CHIPLOG or SIMBOARD_FLASH and
    // *reason says why; the chip is then left without log and erased.
    bool Start(Ticks now, std::string *badName, std::string *reason);
    // The board goes away (unload or reset) at board time `now`: a transfer
    // still open is logged as abandoned, the log is closed.
    void Shutdown(Ticks now);

    // ---- On the bus ---------------------------------------------------------
    double BitRate() const override;
    bool NextFrame(TxRequest *request) override;
    void FrameDone(bool acknowledged, Ticks end) override;
    void Receive(const CanFrame &frame, Ticks end) override;

    // ---- Control interface --------------------------------------------------
    // Flash or RAM, straight to the memories (no remap). 0, or -1 when a byte
    // of the range lies outside both. A write that changes flash is persisted.
    int Read(uint32_t address, uint8_t *buffer, uint32_t count) const;
    int Write(uint32_t address, const uint8_t *buffer, uint32_t count);
    ChipStateCode State() const;
    // Power-on of the chip alone at board time `now`: flash kept, RAM
    // cleared, the entry decision taken again.
    void PowerCycle(Ticks now);
    // SDO requests received since the chip was created.
    uint32_t Requests() const;
    // Flash erase and programming time of the erase and copy commands carried
    // out since the chip was created (refused ones take none). Observation only.
    Ticks FlashTime() const;

    const ChipConfig &Config() const;

private:
    // Everything the chip keeps (sim/lpc_isp_state.h), shared by the files
    // that model its parts.
    std::unique_ptr<lpc::ChipState> state_;
};

} // namespace simboard
