// The board: its creation at the first call into the library, its reset, its
// clock, and the components it holds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/can_bus.h"
#include "sim/lpc_isp_chip.h"
#include "sim/mcp2515.h"
#include "sim/records.h"
#include "sim/records_bus.h"
#include "sim/settings.h"
#include "sim/spi_slave.h"

namespace simboard
{

class DriverFront;
class ScriptSlave;
class SpiPort;

class Board
{
public:
    Board();
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Power-on state of everything, settings read again. Ends the process
    // with status 2 on a setting that cannot be read.
    void Reset();

    // Trace line at the current board time.
    void Trace(const char *tag, const std::string &rest) { trace.Line(now / TICKS_PER_US, tag, rest); }

    // The bus delivers every frame that has ended by board time t: before each
    // engine command and at the end of each driver call.
    void RunBus(Ticks t)
    {
        if (bus)
            bus->RunUntil(t);
    }

    std::map<std::string, std::string> overrides; // from SimBoard_Set; kept over resets
    Settings settings;
    TraceWriter trace;
    Ticks now = 0;
    uint64_t usbCalls = 0;
    uint64_t mpsseBytes = 0; // bytes written to engines in mode 2 since creation or reset
    bool deadNoted = false;

    // The bus side, in the order of their lifetimes: the recorder outlives
    // the bus that feeds it, the bus every node attached to it.
    BusRecorder recorder;
    std::unique_ptr<CanBus> bus;
    std::unique_ptr<Mcp2515> mcp;     // the controller, when one is on the SPI port
    std::unique_ptr<LpcIspChip> chip; // exists with SIMBOARD_CHIP=absent too, off the bus

    std::unique_ptr<ScriptSlave> script; // the test double, when it is on the SPI port
    SpiSlave *slave = nullptr;           // what sits on the SPI port, or null
    std::unique_ptr<SpiPort> port;       // null when no record is wired to it
    std::unique_ptr<DriverFront> front;

private:
    void Start();
    void Stop();
};

// The one board of the process, created at the first call.
Board &TheBoard();

} // namespace simboard
