#include "sim/board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/driver_front.h"
#include "sim/mpsse_engine.h"
#include "sim/script_slave.h"
#include "sim/simboard.h"

namespace simboard {

namespace {

// A setting that cannot be read ends the process at once. _Exit, not exit:
// the board may be half built inside its own creation, and no destructor of
// it may run.
[[noreturn]] void Refuse(const std::string &name, const std::string &value, const std::string &reason)
{
    std::fprintf(stderr, "%s\n", SettingMessage(name, value, reason).c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

// What sits on the SPI port. Until the CAN controller joins the port, the
// controller's kinds leave it empty, like `absent`.
std::unique_ptr<SpiSlave> MakeSlave(ControllerKind kind, ScriptSlave **script)
{
    *script = nullptr;
    if (kind == ControllerKind::Script) {
        auto slave = std::make_unique<ScriptSlave>();
        *script = slave.get();
        return slave;
    }
    return nullptr;
}

} // namespace

Board::Board() { Start(); }

Board::~Board() { Stop(); }

void Board::Start()
{
    std::string name, value, reason;
    if (!LoadSettings(overrides, &settings, &name, &value, &reason))
        Refuse(name, value, reason);
    if (!settings.tracePath.empty() && !trace.Open(settings.tracePath, &reason))
        Refuse("SIMBOARD_TRACE", settings.tracePath, reason);
    now = 0;
    usbCalls = 0;
    mpsseBytes = 0;
    deadNoted = false;
    Trace("BOARD", "start devices=\"" + settings.devicesText + "\" engine=\"" + settings.engineText + "\" fail=\"" +
                       settings.failText + "\"");
    slave = MakeSlave(settings.controller, &script);
    if (settings.spiRecord >= 0)
        port = std::make_unique<SpiPort>(slave.get(), settings.spiRecord, trace);
    front = std::make_unique<DriverFront>(*this);
}

void Board::Stop()
{
    if (port)
        port->Abandon(now);
    front.reset();
    port.reset();
    script = nullptr;
    slave.reset();
    trace.Close();
}

void Board::Reset()
{
    Stop();
    Start();
}

Board &TheBoard()
{
    static Board board;
    return board;
}

} // namespace simboard

using simboard::TheBoard;

void SimBoard_Reset(void) { TheBoard().Reset(); }

int SimBoard_Set(const char *name, const char *value)
{
    simboard::Board &board = TheBoard();
    std::string text = value ? value : "";
    std::string reason;
    if (!name || !simboard::CheckSetting(name, text, &reason)) {
        std::fprintf(stderr, "%s\n",
                     simboard::SettingMessage(name ? name : "(null)", text, name ? reason : "no name").c_str());
        std::fflush(stderr);
        return -1;
    }
    board.overrides[name] = text;
    return 0;
}

uint64_t SimBoard_Time(void) { return TheBoard().now / simboard::TICKS_PER_US; }

uint64_t SimBoard_UsbCallCount(void) { return TheBoard().usbCalls; }

uint64_t SimBoard_SpiByteCount(void)
{
    simboard::Board &board = TheBoard();
    return board.port ? board.port->ByteCount() : 0;
}

int SimBoard_SpiScript(const uint8_t *miso, uint32_t count)
{
    simboard::Board &board = TheBoard();
    if (!board.script || (!miso && count > 0))
        return -1;
    board.script->Queue(miso, count);
    return 0;
}

int SimBoard_SpiFrame(uint32_t k, uint8_t *mosi, uint32_t max, uint32_t *bits)
{
    simboard::Board &board = TheBoard();
    const simboard::ScriptSlave::Frame *frame = board.script ? board.script->FrameAt(k) : nullptr;
    if (!frame || (!mosi && max > 0))
        return -1;
    size_t n = std::min<size_t>(max, frame->mosi.size());
    if (n)
        std::memcpy(mosi, frame->mosi.data(), n);
    if (bits)
        *bits = frame->bits;
    return 0;
}
