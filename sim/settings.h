// The board's settings: SIMBOARD_* environment variables, or overrides set
// through SimBoard_Set, read when the board is created and at every reset.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/can_bus.h"
#include "sim/lpc_isp_chip.h"
#include "sim/mcp2515.h"

namespace simboard
{

// Which command set an engine has.
enum class EngineKind {
    None,    // no MPSSE engine on this record
    FT2232D, // the original engine: fixed 12 MHz base, 4 high pins
    FT2232H, // H chip, 8 high pins
    FT4232H, // H chip, no high pins
    FT232H,  // H chip, 8 high pins, drive-only-zero
};

// One record of the driver's device list, as the board will show it.
struct RecordModel {
    uint32_t flags = 0; // bit 1 high-speed; bit 0 (open) is added while open
    uint32_t type = 0;
    uint32_t id = 0;
    uint32_t location = 0;
    std::string serial;
    std::string description;
    EngineKind engine = EngineKind::None;
    bool highSpeed = false;
    bool busy = false; // open in another process: cannot be opened
};

enum class EngineMode { Ok, Dead, DeadAfter, Trickle };

// One SIMBOARD_FAIL rule: calls first..last (inclusive) of one entry point.
struct FailRule {
    std::string entry;
    uint64_t first = 1;
    uint64_t last = UINT64_MAX;
    uint32_t status = 0;
};

// What sits on the SPI slave port.
enum class ControllerKind { Mcp2515, Absent, MisoLow, NoBus, Script };

struct Settings {
    std::vector<RecordModel> records;
    int spiRecord = -1;      // list position wired to the SPI slave port, -1 nowhere
    std::string devicesText; // normalised, for the trace's BOARD line

    EngineMode engine = EngineMode::Ok;
    uint64_t deadAfter = 0; // bytes that work before the engines die (DeadAfter)
    std::string engineText;

    std::vector<FailRule> fail;
    std::string failText;

    std::string tracePath; // empty: no trace

    ControllerKind controller = ControllerKind::Mcp2515;
    uint32_t oscHz = Mcp2515::DEFAULT_OSC_HZ; // the controller's oscillator

    std::vector<NoiseEntry> noise; // empty: no noise node
    std::string capturePath;       // empty: no pcap capture of the bus
    std::string canlogPath;        // empty: no frame log of the bus

    ChipConfig chip;

    // Every SIMBOARD_* value in effect (overrides, then the environment),
    // for the parts of the board that read their own settings.
    std::map<std::string, std::string> raw;
    std::string Raw(const std::string &name) const;
};

// The one-line message for a setting that cannot be read:
//   simboard: cannot read NAME="VALUE": reason
std::string SettingMessage(const std::string &name, const std::string &value, const std::string &reason);

// Checks one value against its setting's syntax; file settings are checked
// for a file that can be created (and SIMBOARD_FLASH for an existing file of
// the flash's size). Unknown SIMBOARD_ names pass unchecked; a name without
// that prefix is refused.
bool CheckSetting(const std::string &name, const std::string &value, std::string *reason);

// Reads every setting: an override (from SimBoard_Set) wins over the
// environment; an empty value takes the default. On a value that cannot be
// read returns false with the setting's name, value and the reason.
bool LoadSettings(const std::map<std::string, std::string> &overrides, Settings *out, std::string *badName,
                  std::string *badValue, std::string *reason);

// The names of the 16 entry points, in the driver table's order.
inline constexpr const char *ENTRY_NAMES[16] = {
    "FT_GetLibraryVersion",
    "FT_CreateDeviceInfoList",
    "FT_GetDeviceInfoList",
    "FT_Open",
    "FT_Close",
    "FT_ResetDevice",
    "FT_Purge",
    "FT_SetUSBParameters",
    "FT_SetChars",
    "FT_SetTimeouts",
    "FT_SetLatencyTimer",
    "FT_SetBitMode",
    "FT_GetQueueStatus",
    "FT_Read",
    "FT_Write",
    "FT_GetDeviceInfo",
};

} // namespace simboard
