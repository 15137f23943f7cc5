#include "sim/board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/driver_front.h"
#include "sim/mpsse_engine.h"
#include "sim/script_slave.h"
#include "sim/simboard.h"

namespace simboard
{

namespace
{

// A setting that cannot be read ends the process at once. _Exit, not exit:
// the board may be half built inside its own creation, and no destructor of
// it may run.
[[noreturn]] void Refuse(const std::string &name, const std::string &value, const std::string &reason)
{
    std::fprintf(stderr, "%s\n", SettingMessage(name, value, reason).c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

McpVariant VariantOf(ControllerKind kind)
{
    switch (kind) {
    case ControllerKind::MisoLow:
        return McpVariant::MisoLow;
    case ControllerKind::NoBus:
        return McpVariant::NoBus;
    default:
        return McpVariant::Normal;
    }
}

CanFrame ToCanFrame(const SimBoardFrame &in)
{
    CanFrame frame;
    frame.id = in.id;
    frame.extended = in.extended != 0;
    frame.remote = in.remote != 0;
    frame.dlc = in.dlc;
    std::copy(std::begin(in.data), std::end(in.data), std::begin(frame.data));
    return frame;
}

void ToSimBoardFrame(const TestNode::Received &in, SimBoardFrame *out)
{
    *out = SimBoardFrame{};
    out->id = in.frame.id;
    out->extended = in.frame.extended ? 1 : 0;
    out->remote = in.frame.remote ? 1 : 0;
    out->dlc = in.frame.dlc;
    std::copy(std::begin(in.frame.data), std::end(in.frame.data), std::begin(out->data));
    out->time_us = in.end / TICKS_PER_US;
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
    BusRecorder::File failed = BusRecorder::File::Capture;
    if (!recorder.Open(settings.capturePath, settings.canlogPath, &reason, &failed)) {
        if (failed == BusRecorder::File::Capture)
            Refuse("SIMBOARD_CAPTURE", settings.capturePath, reason);
        Refuse("SIMBOARD_CANLOG", settings.canlogPath, reason);
    }
    now = 0;
    usbCalls = 0;
    mpsseBytes = 0;
    deadNoted = false;
    Trace("BOARD", "start devices=\"" + settings.devicesText + "\" engine=\"" + settings.engineText + "\" fail=\"" +
                       settings.failText + "\"");

    bus = std::make_unique<CanBus>();
    recorder.Observe(*bus);
    // Nodes join the bus in the order that breaks ties between equal
    // arbitration fields: the controller, the chip, the noise node; test
    // nodes come later, through the control interface.
    slave = nullptr;
    switch (settings.controller) {
    case ControllerKind::Script:
        script = std::make_unique<ScriptSlave>();
        slave = script.get();
        break;
    case ControllerKind::Absent:
        break;
    default:
        mcp = std::make_unique<Mcp2515>(settings.oscHz, VariantOf(settings.controller));
        mcp->SetNoteSink([this](Ticks t, const std::string &text) {
            if (port)
                port->Note(t, text);
            else
                trace.Line(t / TICKS_PER_US, "NOTE", "- " + text);
        });
        mcp->ConnectBus(bus.get());
        slave = mcp.get();
        break;
    }
    chip = std::make_unique<LpcIspChip>(settings.chip);
    if (!chip->Start(now, &name, &reason))
        Refuse(name, settings.Raw(name), reason);
    bus->Attach(chip.get());
    bus->AttachNoise(settings.noise);

    if (settings.spiRecord >= 0)
        port = std::make_unique<SpiPort>(slave, settings.spiRecord, trace);
    front = std::make_unique<DriverFront>(*this);
}

void Board::Stop()
{
    if (port)
        port->Abandon(now);
    front.reset();
    port.reset();
    slave = nullptr;
    script.reset();
    if (chip) {
        chip->Shutdown(now);
        bus->Detach(chip.get());
        chip.reset();
    }
    mcp.reset();
    bus.reset();
    recorder.Close();
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

// ---- The CAN bus and its test nodes ------------------------------------------

int SimBoard_NodeAttach(uint32_t bitrate, int listenOnly)
{
    return TheBoard().bus->AttachTestNode(static_cast<double>(bitrate), listenOnly != 0);
}

void SimBoard_NodeDetach(int node) { TheBoard().bus->DetachTestNode(node); }

int SimBoard_NodeSend(int node, const SimBoardFrame *frame)
{
    simboard::Board &board = TheBoard();
    simboard::TestNode *sender = board.bus->FindTestNode(node);
    if (!sender || !frame)
        return -1;
    return sender->Send(*board.bus, simboard::ToCanFrame(*frame), &board.now);
}

int SimBoard_NodeReceive(int node, SimBoardFrame *frame)
{
    simboard::TestNode *receiver = TheBoard().bus->FindTestNode(node);
    if (!receiver || !frame)
        return -1;
    simboard::TestNode::Received received;
    if (!receiver->Take(&received))
        return 0;
    simboard::ToSimBoardFrame(received, frame);
    return 1;
}

uint64_t SimBoard_CanFrameCount(void) { return TheBoard().bus->FrameCount(); }

uint64_t SimBoard_BusTime(void) { return TheBoard().bus->BusTime() / simboard::TICKS_PER_US; }

uint8_t SimBoard_McpPeek(uint8_t address)
{
    simboard::Board &board = TheBoard();
    return board.mcp ? board.mcp->Peek(address) : 0xFF;
}

void SimBoard_McpPoke(uint8_t address, uint8_t value)
{
    simboard::Board &board = TheBoard();
    if (board.mcp)
        board.mcp->Poke(address, value);
}

// ---- The chip ------------------------------------------------------------------

int SimBoard_ChipRead(uint32_t address, uint8_t *buffer, uint32_t count)
{
    if (!buffer && count > 0)
        return -1;
    return TheBoard().chip->Read(address, buffer, count);
}

int SimBoard_ChipWrite(uint32_t address, const uint8_t *buffer, uint32_t count)
{
    if (!buffer && count > 0)
        return -1;
    return TheBoard().chip->Write(address, buffer, count);
}

int SimBoard_ChipState(void) { return static_cast<int>(TheBoard().chip->State()); }

void SimBoard_ChipPowerCycle(void)
{
    simboard::Board &board = TheBoard();
    board.chip->PowerCycle(board.now);
}

uint32_t SimBoard_ChipRequests(void) { return TheBoard().chip->Requests(); }

uint64_t SimBoard_FlashTime(void) { return TheBoard().chip->FlashTime() / simboard::TICKS_PER_US; }
