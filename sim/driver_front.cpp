#include "sim/driver_front.h"

#include <algorithm>
#include <cstring>

#include "sim/board.h"
#include "sim/records.h"

namespace simboard
{

namespace
{

// Entry points by their place in the driver table (ENTRY_NAMES).
enum Entry : int {
    ENTRY_GET_LIBRARY_VERSION,
    ENTRY_CREATE_DEVICE_INFO_LIST,
    ENTRY_GET_DEVICE_INFO_LIST,
    ENTRY_OPEN,
    ENTRY_CLOSE,
    ENTRY_RESET_DEVICE,
    ENTRY_PURGE,
    ENTRY_SET_USB_PARAMETERS,
    ENTRY_SET_CHARS,
    ENTRY_SET_TIMEOUTS,
    ENTRY_SET_LATENCY_TIMER,
    ENTRY_SET_BIT_MODE,
    ENTRY_GET_QUEUE_STATUS,
    ENTRY_READ,
    ENTRY_WRITE,
    ENTRY_GET_DEVICE_INFO,
};

// Driver statuses the board returns of its own accord.
constexpr SB_STATUS DRIVER_OK = 0;
constexpr SB_STATUS DRIVER_INVALID_HANDLE = 1;
constexpr SB_STATUS DRIVER_DEVICE_NOT_FOUND = 2;
constexpr SB_STATUS DRIVER_DEVICE_NOT_OPENED = 3;
constexpr SB_STATUS DRIVER_INVALID_PARAMETER = 6;

constexpr uint32_t LIBRARY_VERSION = 0x00010426;

// Handles: 0x5B00000000 + 16 n for the n-th open (0x5B000000 + 16 n on a 32-bit
// build); never 0, and on a 64-bit build the upper half is not zero.
constexpr uint64_t HANDLE_BASE = sizeof(void *) == 8 ? 0x5B00000000ull : 0x5B000000ull;
constexpr uint64_t HANDLE_STEP = 16;

// Board time of the driver's work, in board ticks (1/60 µs).
constexpr Ticks CREATE_LIST_TIME = 1000 * TICKS_PER_US;
constexpr Ticks OPEN_TIME = 10000 * TICKS_PER_US;
constexpr Ticks CLOSE_TIME = 1000 * TICKS_PER_US;
// u: one microframe on a high-speed chip, one frame on a full-speed one.
constexpr Ticks HIGH_SPEED_UNIT = 125 * TICKS_PER_US;
constexpr Ticks FULL_SPEED_UNIT = 1000 * TICKS_PER_US;
// Bytes per USB packet: written (512 or 64), and answer bytes a packet carries
// to the host (the packet less its 2 status bytes).
constexpr uint32_t HIGH_SPEED_OUT_PACKET = 512;
constexpr uint32_t FULL_SPEED_OUT_PACKET = 64;
constexpr uint32_t HIGH_SPEED_IN_PACKET = 510;
constexpr uint32_t FULL_SPEED_IN_PACKET = 62;
// A UART character at the default 9600 baud: 10 bit times.
constexpr Ticks UART_CHAR_TIME = 10 * 1000000 * TICKS_PER_US / 9600;
// A read that could never complete with time-out 0 ends after this.
constexpr Ticks NO_LIMIT_READ_END = 60ull * 1000000 * TICKS_PER_US;
// The receive queue's capacity.
constexpr size_t MAX_RECEIVE = 65536;

// Driver defaults that every FT_Open restores.
constexpr uint8_t DEFAULT_LATENCY_MS = 16;
constexpr uint32_t DEFAULT_IN_SIZE = 4096;
// Valid settings.
constexpr uint8_t MIN_LATENCY_MS = 2;
constexpr uint32_t USB_SIZE_STEP = 64;
constexpr uint32_t MAX_USB_SIZE = 65536;

// Bit modes of FT_SetBitMode: the chips' interface modes.
constexpr uint8_t MODE_RESET = 0x00; // the serial port (UART)
constexpr uint8_t MODE_ASYNC_BITBANG = 0x01;
constexpr uint8_t MODE_MPSSE = 0x02;
constexpr uint8_t MODE_SYNC_BITBANG = 0x04;
constexpr uint8_t MODE_MCU_HOST_BUS = 0x08;
constexpr uint8_t MODE_FAST_SERIAL = 0x10; // fast opto-isolated serial
constexpr uint8_t MODE_CBUS_BITBANG = 0x20;
constexpr uint8_t MODE_SYNC_FIFO = 0x40; // single-channel synchronous 245 FIFO
bool KnownBitMode(uint8_t mode)
{
    return mode == MODE_RESET || mode == MODE_ASYNC_BITBANG || mode == MODE_MPSSE || mode == MODE_SYNC_BITBANG ||
           mode == MODE_MCU_HOST_BUS || mode == MODE_FAST_SERIAL || mode == MODE_CBUS_BITBANG || mode == MODE_SYNC_FIFO;
}

constexpr uint32_t PURGE_RX = 0x1;
constexpr uint32_t PURGE_TX = 0x2;

Ticks Packets(uint32_t bytes, uint32_t packet) { return (bytes + packet - 1) / packet; }

std::string HandleText(SB_HANDLE handle)
{
    return Format("handle=0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
}

// Copies a text into a fixed field: NUL-terminated, the rest zero.
void CopyText(char *field, size_t size, const std::string &text)
{
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

// A count output of a failed call is 0 when it can be written.
std::string ZeroCount(uint32_t *out, const char *name)
{
    if (!out)
        return std::string();
    *out = 0;
    return Format("%s=0", name);
}

} // namespace

struct DriverFront::Call {
    int entry;
    uint64_t number;
    std::string args;
    bool injected = false;
    SB_STATUS injectedStatus = 0;
};

// One record: the chip side (bit mode, engine, pins) survives closing; the
// driver side is set back to the driver's defaults by every open.
struct DriverFront::Device : AnswerSink {
    Device(Board &b, const RecordModel &s, int pos) : board(b), model(s), position(pos) {}

    Board &board;
    RecordModel model;
    int position;
    bool open = false;
    uint64_t handle = 0;
    uint8_t bitMode = MODE_RESET;
    std::unique_ptr<MpsseEngine> engine;

    uint32_t readTimeoutMs = 0, writeTimeoutMs = 0;
    uint8_t latencyMs = DEFAULT_LATENCY_MS;
    uint32_t inSize = DEFAULT_IN_SIZE;
    uint8_t eventChar = 0, eventEnable = 0, errorChar = 0, errorEnable = 0;

    // Delivered bytes, in arrival order; with a trickling engine only the
    // first `visible` of them have reached the host's queue.
    std::deque<uint8_t> received;
    size_t visible = 0;
    // Answer bytes waiting in the chip, and when the latency timer sends them.
    std::vector<uint8_t> waiting;
    Ticks deadline = 0;

    Ticks Unit() const { return model.highSpeed ? HIGH_SPEED_UNIT : FULL_SPEED_UNIT; }
    uint32_t OutPacket() const { return model.highSpeed ? HIGH_SPEED_OUT_PACKET : FULL_SPEED_OUT_PACKET; }
    uint32_t InPacket() const { return model.highSpeed ? HIGH_SPEED_IN_PACKET : FULL_SPEED_IN_PACKET; }
    bool Trickle() const { return board.settings.engine == EngineMode::Trickle; }
    size_t Available() const { return Trickle() ? visible : received.size(); }

    void Deliver()
    {
        received.insert(received.end(), waiting.begin(), waiting.end());
        waiting.clear();
    }
    // Delivers what the latency timer has sent by board time t.
    void Settle(Ticks t)
    {
        if (!waiting.empty() && deadline <= t)
            Deliver();
    }
    void ClearReceive()
    {
        received.clear();
        waiting.clear();
        visible = 0;
    }
    void DriverDefaults()
    {
        readTimeoutMs = writeTimeoutMs = 0;
        latencyMs = DEFAULT_LATENCY_MS;
        inSize = DEFAULT_IN_SIZE;
        eventChar = eventEnable = errorChar = errorEnable = 0;
        ClearReceive();
    }
    uint8_t Take()
    {
        uint8_t byte = received.front();
        received.pop_front();
        if (visible)
            --visible;
        return byte;
    }

    void Answer(const uint8_t *bytes, size_t count, Ticks at) override
    {
        Settle(at);
        size_t lost = 0;
        for (size_t i = 0; i < count; ++i) {
            if (received.size() + waiting.size() >= MAX_RECEIVE) {
                ++lost;
                continue;
            }
            // The latency timer's worst case: the oldest waiting byte leaves
            // one latency period after it was produced.
            if (waiting.empty())
                deadline = at + static_cast<Ticks>(latencyMs) * 1000 * TICKS_PER_US;
            waiting.push_back(bytes[i]);
            if (waiting.size() >= InPacket())
                Deliver();
        }
        if (lost)
            board.trace.Line(at / TICKS_PER_US, "NOTE",
                             Format("%d receive queue full: %zu answer bytes lost", position, lost));
    }
    void SendImmediate(Ticks at) override
    {
        Settle(at);
        Deliver();
    }
};

DriverFront::DriverFront(Board &board) : board_(board)
{
    const Settings &settings = board.settings;
    for (size_t i = 0; i < settings.records.size(); ++i) {
        int position = static_cast<int>(i);
        auto device = std::make_unique<Device>(board, settings.records[i], position);
        if (device->model.engine != EngineKind::None) {
            SpiPort *port = position == settings.spiRecord ? board.port.get() : nullptr;
            device->engine = std::make_unique<MpsseEngine>(device->model.engine, position, board.trace, port);
            device->engine->SetCommandHook([&board](Ticks now) { board.RunBus(now); });
        }
        state_.devices.push_back(std::move(device));
    }
}

DriverFront::~DriverFront() = default;

DriverFront::Device *DriverFront::Find(SB_HANDLE handle)
{
    uint64_t value = reinterpret_cast<uintptr_t>(handle);
    for (auto &device : state_.devices)
        if (device->open && device->handle == value)
            return device.get();
    return nullptr;
}

void DriverFront::BuildList()
{
    state_.list.clear();
    for (auto &device : state_.devices) {
        SB_DEVICE_RECORD record;
        std::memset(&record, 0, sizeof record);
        const RecordModel &model = device->model;
        record.Flags = model.flags | (device->open ? 1u : 0u);
        record.Type = model.type;
        record.ID = model.id;
        record.LocId = model.location;
        CopyText(record.SerialNumber, sizeof record.SerialNumber, model.serial);
        CopyText(record.Description, sizeof record.Description, model.description);
        record.ftHandle = device->open ? reinterpret_cast<SB_HANDLE>(static_cast<uintptr_t>(device->handle)) : nullptr;
        state_.list.push_back(record);
    }
    state_.listBuilt = true;
}

// ---- Calls ------------------------------------------------------------------
// Checks run in this order: an injected failure, the handle, the arguments,
// then the action. A failed call costs no board time.

DriverFront::Call DriverFront::Begin(int entry, const std::string &args)
{
    Call call{entry, ++state_.calls[entry], args};
    ++board_.usbCalls;
    for (const FailRule &rule : board_.settings.fail)
        if (rule.entry == ENTRY_NAMES[entry] && call.number >= rule.first && call.number <= rule.last) {
            call.injected = true;
            call.injectedStatus = rule.status;
            break;
        }
    return call;
}

SB_STATUS DriverFront::Finish(Call &call, SB_STATUS status, const std::string &outputs, const std::string &bytes)
{
    // Frames that ended during the call are in their receivers when it returns.
    board_.RunBus(board_.now);
    std::string line = Format("%s#%llu", ENTRY_NAMES[call.entry], static_cast<unsigned long long>(call.number));
    if (!call.args.empty())
        line += " " + call.args;
    line += Format(" = %u %s", status, StatusName(status));
    if (call.injected)
        line += " injected";
    if (!outputs.empty())
        line += " " + outputs;
    if (!bytes.empty())
        line += " | " + bytes;
    board_.Trace("USB", line);
    return status;
}

// The common start of every call that takes a handle: the injected failure,
// then the handle. DRIVER_OK with *device set, or the status the call has
// ended with (never DRIVER_OK: an injected status is 1 or more), with the
// count output, when there is one, set to 0.
SB_STATUS DriverFront::Admit(Call &call, SB_HANDLE handle, Device **device, uint32_t *count, const char *countName)
{
    if (call.injected)
        return Finish(call, call.injectedStatus, ZeroCount(count, countName));
    *device = Find(handle);
    if (!*device)
        return Finish(call, DRIVER_INVALID_HANDLE, ZeroCount(count, countName));
    return DRIVER_OK;
}

SB_STATUS DriverFront::GetLibraryVersion(uint32_t *version)
{
    Call call = Begin(ENTRY_GET_LIBRARY_VERSION, "");
    if (call.injected)
        return Finish(call, call.injectedStatus);
    if (!version)
        return Finish(call, DRIVER_INVALID_PARAMETER);
    *version = LIBRARY_VERSION;
    return Finish(call, DRIVER_OK, Format("version=0x%08X", LIBRARY_VERSION));
}

SB_STATUS DriverFront::CreateDeviceInfoList(uint32_t *count)
{
    Call call = Begin(ENTRY_CREATE_DEVICE_INFO_LIST, "");
    if (call.injected || !count) {
        SB_STATUS status = call.injected ? call.injectedStatus : DRIVER_INVALID_PARAMETER;
        return Finish(call, status, ZeroCount(count, "count"));
    }
    board_.now += CREATE_LIST_TIME;
    BuildList();
    *count = static_cast<uint32_t>(state_.list.size());
    return Finish(call, DRIVER_OK, Format("count=%u", *count));
}

SB_STATUS DriverFront::GetDeviceInfoList(SB_DEVICE_RECORD *list, uint32_t *count)
{
    Call call = Begin(ENTRY_GET_DEVICE_INFO_LIST, "");
    if (call.injected)
        return Finish(call, call.injectedStatus, ZeroCount(count, "count"));
    if (!state_.listBuilt)
        BuildList();
    if (!count || (!list && !state_.list.empty()))
        return Finish(call, DRIVER_INVALID_PARAMETER, ZeroCount(count, "count"));
    // The count on entry is no limit, as with the driver: the array must hold
    // every record.
    for (size_t i = 0; i < state_.list.size(); ++i)
        list[i] = state_.list[i];
    *count = static_cast<uint32_t>(state_.list.size());
    Finish(call, DRIVER_OK, Format("count=%u", *count));
    for (size_t i = 0; i < state_.list.size(); ++i) {
        const SB_DEVICE_RECORD &r = state_.list[i];
        board_.Trace("REC", Format("%zu flags=0x%08X type=%u id=0x%08X loc=0x%08X serial=\"%s\" description=\"%s\" "
                                   "handle=0x%llX",
                                   i, r.Flags, r.Type, r.ID, r.LocId, r.SerialNumber, r.Description,
                                   static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(r.ftHandle))));
    }
    return DRIVER_OK;
}

SB_STATUS DriverFront::Open(uint32_t position, SB_HANDLE *handle)
{
    Call call = Begin(ENTRY_OPEN, Format("index=%u", position));
    if (call.injected)
        return Finish(call, call.injectedStatus);
    if (!handle)
        return Finish(call, DRIVER_INVALID_PARAMETER);
    board_.now += OPEN_TIME;
    if (position >= state_.devices.size())
        return Finish(call, DRIVER_DEVICE_NOT_FOUND);
    Device &device = *state_.devices[position];
    if (device.open || device.model.busy)
        return Finish(call, DRIVER_DEVICE_NOT_OPENED);
    ++state_.opens;
    device.open = true;
    device.handle = HANDLE_BASE + HANDLE_STEP * state_.opens;
    device.DriverDefaults();
    *handle = reinterpret_cast<SB_HANDLE>(static_cast<uintptr_t>(device.handle));
    return Finish(call, DRIVER_OK, Format("handle=0x%llX", static_cast<unsigned long long>(device.handle)));
}

SB_STATUS DriverFront::Close(SB_HANDLE handle)
{
    Call call = Begin(ENTRY_CLOSE, HandleText(handle));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    board_.now += CLOSE_TIME;
    device->ClearReceive();
    if (device->engine)
        device->engine->DiscardInput();
    device->open = false;
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::ResetDevice(SB_HANDLE handle)
{
    Call call = Begin(ENTRY_RESET_DEVICE, HandleText(handle));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    board_.now += device->Unit();
    device->ClearReceive();
    if (device->engine)
        device->engine->DiscardInput();
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::Purge(SB_HANDLE handle, uint32_t mask)
{
    Call call = Begin(ENTRY_PURGE, HandleText(handle) + Format(" mask=0x%X", mask));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    board_.now += device->Unit();
    if (mask & PURGE_RX)
        device->ClearReceive();
    if ((mask & PURGE_TX) && device->engine)
        device->engine->DiscardInput();
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::SetUSBParameters(SB_HANDLE handle, uint32_t inSize, uint32_t outSize)
{
    Call call = Begin(ENTRY_SET_USB_PARAMETERS, HandleText(handle) + Format(" in=%u out=%u", inSize, outSize));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    if (inSize < USB_SIZE_STEP || inSize > MAX_USB_SIZE || inSize % USB_SIZE_STEP != 0)
        return Finish(call, DRIVER_INVALID_PARAMETER);
    // Data held in the driver is lost when the transfer size changes.
    device->inSize = inSize;
    device->received.clear();
    device->visible = 0;
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::SetChars(SB_HANDLE handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                                uint8_t errorEnable)
{
    Call call = Begin(ENTRY_SET_CHARS, HandleText(handle) + Format(" event=0x%02X eventEnable=%u error=0x%02X "
                                                                   "errorEnable=%u",
                                                                   eventChar, eventEnable, errorChar, errorEnable));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    board_.now += device->Unit();
    device->eventChar = eventChar;
    device->eventEnable = eventEnable;
    device->errorChar = errorChar;
    device->errorEnable = errorEnable;
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::SetTimeouts(SB_HANDLE handle, uint32_t readMs, uint32_t writeMs)
{
    Call call = Begin(ENTRY_SET_TIMEOUTS, HandleText(handle) + Format(" read=%u write=%u", readMs, writeMs));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    device->readTimeoutMs = readMs;
    device->writeTimeoutMs = writeMs;
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::SetLatencyTimer(SB_HANDLE handle, uint8_t ms)
{
    Call call = Begin(ENTRY_SET_LATENCY_TIMER, HandleText(handle) + Format(" ms=%u", ms));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    if (ms < MIN_LATENCY_MS)
        return Finish(call, DRIVER_INVALID_PARAMETER);
    board_.now += device->Unit();
    device->latencyMs = ms;
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::SetBitMode(SB_HANDLE handle, uint8_t mask, uint8_t mode)
{
    Call call = Begin(ENTRY_SET_BIT_MODE, HandleText(handle) + Format(" mask=0x%02X mode=0x%02X", mask, mode));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    if (!KnownBitMode(mode))
        return Finish(call, DRIVER_INVALID_PARAMETER);
    board_.now += device->Unit();
    device->bitMode = mode;
    // Every mode starts the engine from its reset state with all pins inputs:
    // in mode 0 pin 3 is the serial port's CTS# input, so chip select rises.
    if (device->engine)
        device->engine->Reset(board_.now);
    return Finish(call, DRIVER_OK);
}

SB_STATUS DriverFront::GetQueueStatus(SB_HANDLE handle, uint32_t *count)
{
    Call call = Begin(ENTRY_GET_QUEUE_STATUS, HandleText(handle));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device, count, "queue");
    if (admitted != DRIVER_OK)
        return admitted;
    if (!count)
        return Finish(call, DRIVER_INVALID_PARAMETER);
    board_.now += device->Unit();
    device->Settle(board_.now);
    // The board has no thread and a host loop cannot pass time: a poll that
    // finds nothing while answers wait in the chip moves board time to their
    // delivery instead of letting the host spin.
    if (device->received.empty() && !device->waiting.empty()) {
        board_.now = std::max(board_.now, device->deadline);
        device->Settle(board_.now);
    }
    if (device->Trickle() && device->visible < device->received.size())
        ++device->visible;
    *count = static_cast<uint32_t>(device->Available());
    return Finish(call, DRIVER_OK, Format("queue=%u", *count));
}

SB_STATUS DriverFront::Read(SB_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    Call call = Begin(ENTRY_READ, HandleText(handle) + Format(" count=%u", count));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device, read, "read");
    if (admitted != DRIVER_OK)
        return admitted;
    if (!read || (!buffer && count > 0))
        return Finish(call, DRIVER_INVALID_PARAMETER, ZeroCount(read, "read"));
    std::vector<uint8_t> taken;
    if (count > 0) {
        Ticks start = board_.now;
        Ticks limit = start + (device->readTimeoutMs ? static_cast<Ticks>(device->readTimeoutMs) * 1000 * TICKS_PER_US
                                                     : NO_LIMIT_READ_END);
        Ticks t = start;
        bool trickle = device->Trickle();
        while (taken.size() < count) {
            device->Settle(t);
            if (device->Available() > 0) {
                taken.push_back(device->Take());
                continue;
            }
            // Wait, in board time, for the next byte: a trickling device passes
            // delivered bytes one per u; otherwise the chip's next delivery.
            Ticks next;
            if (!device->received.empty())
                next = t + device->Unit();
            else if (!device->waiting.empty())
                next = trickle ? std::max(device->deadline, t + device->Unit()) : device->deadline;
            else
                break;
            if (next > limit)
                break;
            t = next;
            device->Settle(t);
            if (trickle && device->visible < device->received.size())
                ++device->visible;
        }
        if (taken.size() == count) {
            board_.now = t + device->Unit() * Packets(count, device->InPacket());
        } else {
            board_.now = limit;
            if (device->readTimeoutMs == 0)
                board_.Trace("NOTE", Format("%d read time-out 0: read would block forever", device->position));
        }
        if (!taken.empty())
            std::memcpy(buffer, taken.data(), taken.size());
    }
    *read = static_cast<uint32_t>(taken.size());
    return Finish(call, DRIVER_OK, Format("read=%u", *read), HexBytes(taken));
}

SB_STATUS DriverFront::Write(SB_HANDLE handle, const void *buffer, uint32_t count, uint32_t *written)
{
    Call call = Begin(ENTRY_WRITE, HandleText(handle) + Format(" count=%u", count));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device, written, "written");
    if (admitted != DRIVER_OK)
        return admitted;
    if (!written || (!buffer && count > 0))
        return Finish(call, DRIVER_INVALID_PARAMETER, ZeroCount(written, "written"));
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    if (count > 0) {
        board_.now += device->Unit() * Packets(count, device->OutPacket());
        if (device->bitMode == MODE_MPSSE && device->engine) {
            // A dead engine takes every byte and does nothing with it.
            uint64_t alive = count;
            const Settings &settings = board_.settings;
            if (settings.engine == EngineMode::Dead)
                alive = 0;
            else if (settings.engine == EngineMode::DeadAfter)
                alive = settings.deadAfter > board_.mpsseBytes
                            ? std::min<uint64_t>(count, settings.deadAfter - board_.mpsseBytes)
                            : 0;
            board_.mpsseBytes += count;
            device->engine->Feed(bytes, static_cast<size_t>(alive), board_.now, *device);
            if (alive < count && !board_.deadNoted) {
                board_.deadNoted = true;
                board_.Trace("NOTE", Format("%d engine dead: written bytes are ignored", device->position));
            }
        } else if (device->bitMode == MODE_RESET) {
            // Serial port mode: the bytes leave on TXD, where nothing receives them.
            board_.now += UART_CHAR_TIME * count;
            board_.Trace("NOTE", Format("%d UART mode: %u bytes dropped", device->position, count));
        } else if (device->bitMode == MODE_MPSSE) {
            board_.Trace("NOTE", Format("%d no MPSSE engine: %u bytes dropped", device->position, count));
        } else {
            board_.Trace("NOTE", Format("%d bit mode 0x%02X not modelled: %u bytes dropped", device->position,
                                        device->bitMode, count));
        }
    }
    *written = count;
    return Finish(call, DRIVER_OK, Format("written=%u", count), HexBytes(bytes, count));
}

SB_STATUS DriverFront::GetDeviceInfo(SB_HANDLE handle, uint32_t *type, uint32_t *id, char *serial, char *description)
{
    Call call = Begin(ENTRY_GET_DEVICE_INFO, HandleText(handle));
    Device *device = nullptr;
    SB_STATUS admitted = Admit(call, handle, &device);
    if (admitted != DRIVER_OK)
        return admitted;
    const RecordModel &model = device->model;
    // Null outputs are skipped; the texts fill at most 16 and 64 bytes with
    // their NUL.
    if (type)
        *type = model.type;
    if (id)
        *id = model.id;
    if (serial)
        CopyText(serial, 16, model.serial);
    if (description)
        CopyText(description, 64, model.description);
    return Finish(call, DRIVER_OK,
                  Format("type=%u id=0x%08X serial=\"%s\" description=\"%s\"", model.type, model.id,
                         model.serial.c_str(), model.description.c_str()));
}

} // namespace simboard

// ---- The exported entry points ----------------------------------------------

using simboard::TheBoard;

SB_STATUS FT_GetLibraryVersion(uint32_t *version) { return TheBoard().front->GetLibraryVersion(version); }
SB_STATUS FT_CreateDeviceInfoList(uint32_t *count) { return TheBoard().front->CreateDeviceInfoList(count); }
SB_STATUS FT_GetDeviceInfoList(SB_DEVICE_RECORD *list, uint32_t *count)
{
    return TheBoard().front->GetDeviceInfoList(list, count);
}
SB_STATUS FT_Open(uint32_t position, SB_HANDLE *handle) { return TheBoard().front->Open(position, handle); }
SB_STATUS FT_Close(SB_HANDLE handle) { return TheBoard().front->Close(handle); }
SB_STATUS FT_ResetDevice(SB_HANDLE handle) { return TheBoard().front->ResetDevice(handle); }
SB_STATUS FT_Purge(SB_HANDLE handle, uint32_t mask) { return TheBoard().front->Purge(handle, mask); }
SB_STATUS FT_SetUSBParameters(SB_HANDLE handle, uint32_t inSize, uint32_t outSize)
{
    return TheBoard().front->SetUSBParameters(handle, inSize, outSize);
}
SB_STATUS FT_SetChars(SB_HANDLE handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar, uint8_t errorEnable)
{
    return TheBoard().front->SetChars(handle, eventChar, eventEnable, errorChar, errorEnable);
}
SB_STATUS FT_SetTimeouts(SB_HANDLE handle, uint32_t readMs, uint32_t writeMs)
{
    return TheBoard().front->SetTimeouts(handle, readMs, writeMs);
}
SB_STATUS FT_SetLatencyTimer(SB_HANDLE handle, uint8_t ms) { return TheBoard().front->SetLatencyTimer(handle, ms); }
SB_STATUS FT_SetBitMode(SB_HANDLE handle, uint8_t mask, uint8_t mode)
{
    return TheBoard().front->SetBitMode(handle, mask, mode);
}
SB_STATUS FT_GetQueueStatus(SB_HANDLE handle, uint32_t *count)
{
    return TheBoard().front->GetQueueStatus(handle, count);
}
SB_STATUS FT_Read(SB_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    return TheBoard().front->Read(handle, buffer, count, read);
}
SB_STATUS FT_Write(SB_HANDLE handle, const void *buffer, uint32_t count, uint32_t *written)
{
    return TheBoard().front->Write(handle, buffer, count, written);
}
SB_STATUS FT_GetDeviceInfo(SB_HANDLE handle, uint32_t *type, uint32_t *id, char *serial, char *description, void *)
{
    return TheBoard().front->GetDeviceInfo(handle, type, id, serial, description);
}
