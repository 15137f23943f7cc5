#include "sim/driver_front.h"

#include <algorithm>
#include <cstring>

#include "sim/board.h"
#include "sim/records.h"

namespace simboard {

namespace {

// Entry points by their place in the driver table (kEntryNames).
enum Entry {
    kGetLibraryVersion,
    kCreateDeviceInfoList,
    kGetDeviceInfoList,
    kOpen,
    kClose,
    kResetDevice,
    kPurge,
    kSetUSBParameters,
    kSetChars,
    kSetTimeouts,
    kSetLatencyTimer,
    kSetBitMode,
    kGetQueueStatus,
    kRead,
    kWrite,
    kGetDeviceInfo,
};

// Driver statuses the board returns of its own accord.
const SB_STATUS kOk = 0;
const SB_STATUS kInvalidHandle = 1;
const SB_STATUS kDeviceNotFound = 2;
const SB_STATUS kDeviceNotOpened = 3;
const SB_STATUS kInvalidParameter = 6;

const uint32_t kLibraryVersion = 0x00010426;

// Handles: 0x5B00000000 + 16 n for the n-th open (0x5B000000 + 16 n on a 32-bit
// build); never 0, and on a 64-bit build the upper half is not zero.
const uint64_t kHandleBase = sizeof(void *) == 8 ? 0x5B00000000ull : 0x5B000000ull;
const uint64_t kHandleStep = 16;

// Board time of the driver's work, in board ticks (1/60 µs).
const Ticks kUs = TICKS_PER_US;
const Ticks kCreateListTime = 1000 * kUs;
const Ticks kOpenTime = 10000 * kUs;
const Ticks kCloseTime = 1000 * kUs;
// u: one microframe on a high-speed chip, one frame on a full-speed one.
const Ticks kHighSpeedUnit = 125 * kUs;
const Ticks kFullSpeedUnit = 1000 * kUs;
// Bytes per USB packet: written (512 or 64), and answer bytes a packet carries
// to the host (the packet less its 2 status bytes).
const uint32_t kHighSpeedOutPacket = 512;
const uint32_t kFullSpeedOutPacket = 64;
const uint32_t kHighSpeedInPacket = 510;
const uint32_t kFullSpeedInPacket = 62;
// A UART character at the default 9600 baud: 10 bit times.
const Ticks kUartCharTime = 10 * 1000000 * kUs / 9600;
// A read that could never complete with time-out 0 ends after this.
const Ticks kNoLimitReadEnd = 60ull * 1000000 * kUs;
// The receive queue's capacity.
const size_t kMaxReceive = 65536;

// Driver defaults that every FT_Open restores.
const uint8_t kDefaultLatencyMs = 16;
const uint32_t kDefaultInSize = 4096;
// Valid settings.
const uint8_t kMinLatencyMs = 2;
const uint32_t kUsbSizeStep = 64;
const uint32_t kMaxUsbSize = 65536;

// Bit modes.
const uint8_t kModeReset = 0x00;
const uint8_t kModeMpsse = 0x02;
bool KnownBitMode(uint8_t mode)
{
    return mode == 0x00 || mode == 0x01 || mode == 0x02 || mode == 0x04 || mode == 0x08 || mode == 0x10 ||
           mode == 0x20 || mode == 0x40;
}

const uint32_t kPurgeReceive = 0x1;
const uint32_t kPurgeTransmit = 0x2;

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
    uint8_t bitMode = kModeReset;
    std::unique_ptr<MpsseEngine> engine;

    uint32_t readTimeoutMs = 0, writeTimeoutMs = 0;
    uint8_t latencyMs = kDefaultLatencyMs;
    uint32_t inSize = kDefaultInSize;
    uint8_t eventChar = 0, eventEnable = 0, errorChar = 0, errorEnable = 0;

    // Delivered bytes, in arrival order; with a trickling engine only the
    // first `visible` of them have reached the host's queue.
    std::deque<uint8_t> received;
    size_t visible = 0;
    // Answer bytes waiting in the chip, and when the latency timer sends them.
    std::vector<uint8_t> waiting;
    Ticks deadline = 0;

    Ticks Unit() const { return model.highSpeed ? kHighSpeedUnit : kFullSpeedUnit; }
    uint32_t OutPacket() const { return model.highSpeed ? kHighSpeedOutPacket : kFullSpeedOutPacket; }
    uint32_t InPacket() const { return model.highSpeed ? kHighSpeedInPacket : kFullSpeedInPacket; }
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
        latencyMs = kDefaultLatencyMs;
        inSize = kDefaultInSize;
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
            if (received.size() + waiting.size() >= kMaxReceive) {
                ++lost;
                continue;
            }
            // The latency timer's worst case: the oldest waiting byte leaves
            // one latency period after it was produced.
            if (waiting.empty())
                deadline = at + static_cast<Ticks>(latencyMs) * 1000 * kUs;
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
        devices_.push_back(std::move(device));
    }
}

DriverFront::~DriverFront() = default;

DriverFront::Device *DriverFront::Find(SB_HANDLE handle)
{
    uint64_t value = reinterpret_cast<uintptr_t>(handle);
    for (auto &device : devices_)
        if (device->open && device->handle == value)
            return device.get();
    return nullptr;
}

void DriverFront::BuildList()
{
    list_.clear();
    for (auto &device : devices_) {
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
        list_.push_back(record);
    }
    listBuilt_ = true;
}

// ---- Calls -------------------------------------------------------------------
// Checks run in this order: an injected failure, the handle, the arguments,
// then the action. A failed call costs no board time.

#define SB_BEGIN(entryIndex, argsText)                                                                            \
    Call call{entryIndex, ++calls_[entryIndex], argsText};                                                        \
    ++board_.usbCalls;                                                                                            \
    for (const FailRule &rule : board_.settings.fail)                                                             \
        if (rule.entry == kEntryNames[entryIndex] && call.number >= rule.first && call.number <= rule.last) {     \
            call.injected = true;                                                                                 \
            call.injectedStatus = rule.status;                                                                    \
            break;                                                                                                \
        }

void DriverFront::Finish(Call &call, SB_STATUS status, const std::string &outputs, const std::string &bytes)
{
    // Frames that ended during the call are in their receivers when it returns.
    board_.RunBus(board_.now);
    std::string line = Format("%s#%llu", kEntryNames[call.entry], static_cast<unsigned long long>(call.number));
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
}

// A count output of a failed call is 0 when it can be written.
static std::string ZeroCount(uint32_t *out, const char *name)
{
    if (!out)
        return std::string();
    *out = 0;
    return Format("%s=0", name);
}

SB_STATUS DriverFront::GetLibraryVersion(uint32_t *version)
{
    SB_BEGIN(kGetLibraryVersion, "");
    if (call.injected) {
        Finish(call, call.injectedStatus);
        return call.injectedStatus;
    }
    if (!version) {
        Finish(call, kInvalidParameter);
        return kInvalidParameter;
    }
    *version = kLibraryVersion;
    Finish(call, kOk, Format("version=0x%08X", kLibraryVersion));
    return kOk;
}

SB_STATUS DriverFront::CreateDeviceInfoList(uint32_t *count)
{
    SB_BEGIN(kCreateDeviceInfoList, "");
    if (call.injected || !count) {
        SB_STATUS status = call.injected ? call.injectedStatus : kInvalidParameter;
        Finish(call, status, ZeroCount(count, "count"));
        return status;
    }
    board_.now += kCreateListTime;
    BuildList();
    *count = static_cast<uint32_t>(list_.size());
    Finish(call, kOk, Format("count=%u", *count));
    return kOk;
}

SB_STATUS DriverFront::GetDeviceInfoList(SB_DEVICE_RECORD *list, uint32_t *count)
{
    SB_BEGIN(kGetDeviceInfoList, "");
    if (call.injected) {
        Finish(call, call.injectedStatus, ZeroCount(count, "count"));
        return call.injectedStatus;
    }
    if (!listBuilt_)
        BuildList();
    if (!count || (!list && !list_.empty())) {
        Finish(call, kInvalidParameter, ZeroCount(count, "count"));
        return kInvalidParameter;
    }
    // The count on entry is no limit, as with the driver: the array must hold
    // every record.
    for (size_t i = 0; i < list_.size(); ++i)
        list[i] = list_[i];
    *count = static_cast<uint32_t>(list_.size());
    Finish(call, kOk, Format("count=%u", *count));
    for (size_t i = 0; i < list_.size(); ++i) {
        const SB_DEVICE_RECORD &r = list_[i];
        board_.Trace("REC", Format("%zu flags=0x%08X type=%u id=0x%08X loc=0x%08X serial=\"%s\" description=\"%s\" "
                                   "handle=0x%llX",
                                   i, r.Flags, r.Type, r.ID, r.LocId, r.SerialNumber, r.Description,
                                   static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(r.ftHandle))));
    }
    return kOk;
}

SB_STATUS DriverFront::Open(uint32_t position, SB_HANDLE *handle)
{
    SB_BEGIN(kOpen, Format("index=%u", position));
    if (call.injected) {
        Finish(call, call.injectedStatus);
        return call.injectedStatus;
    }
    if (!handle) {
        Finish(call, kInvalidParameter);
        return kInvalidParameter;
    }
    board_.now += kOpenTime;
    if (position >= devices_.size()) {
        Finish(call, kDeviceNotFound);
        return kDeviceNotFound;
    }
    Device &device = *devices_[position];
    if (device.open || device.model.busy) {
        Finish(call, kDeviceNotOpened);
        return kDeviceNotOpened;
    }
    ++opens_;
    device.open = true;
    device.handle = kHandleBase + kHandleStep * opens_;
    device.DriverDefaults();
    *handle = reinterpret_cast<SB_HANDLE>(static_cast<uintptr_t>(device.handle));
    Finish(call, kOk, Format("handle=0x%llX", static_cast<unsigned long long>(device.handle)));
    return kOk;
}

// The common start of every call that takes a handle: the injected failure,
// then the handle. Leaves `device` null when the call has already finished.
#define SB_DEVICE(zeroOutputs)                                                                                    \
    if (call.injected) {                                                                                          \
        Finish(call, call.injectedStatus, zeroOutputs);                                                           \
        return call.injectedStatus;                                                                               \
    }                                                                                                             \
    Device *device = Find(handle);                                                                                \
    if (!device) {                                                                                                \
        Finish(call, kInvalidHandle, zeroOutputs);                                                                \
        return kInvalidHandle;                                                                                    \
    }

SB_STATUS DriverFront::Close(SB_HANDLE handle)
{
    SB_BEGIN(kClose, HandleText(handle));
    SB_DEVICE("");
    board_.now += kCloseTime;
    device->ClearReceive();
    if (device->engine)
        device->engine->DiscardInput();
    device->open = false;
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::ResetDevice(SB_HANDLE handle)
{
    SB_BEGIN(kResetDevice, HandleText(handle));
    SB_DEVICE("");
    board_.now += device->Unit();
    device->ClearReceive();
    if (device->engine)
        device->engine->DiscardInput();
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::Purge(SB_HANDLE handle, uint32_t mask)
{
    SB_BEGIN(kPurge, HandleText(handle) + Format(" mask=0x%X", mask));
    SB_DEVICE("");
    board_.now += device->Unit();
    if (mask & kPurgeReceive)
        device->ClearReceive();
    if ((mask & kPurgeTransmit) && device->engine)
        device->engine->DiscardInput();
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::SetUSBParameters(SB_HANDLE handle, uint32_t inSize, uint32_t outSize)
{
    SB_BEGIN(kSetUSBParameters, HandleText(handle) + Format(" in=%u out=%u", inSize, outSize));
    SB_DEVICE("");
    if (inSize < kUsbSizeStep || inSize > kMaxUsbSize || inSize % kUsbSizeStep != 0) {
        Finish(call, kInvalidParameter);
        return kInvalidParameter;
    }
    // Data held in the driver is lost when the transfer size changes.
    device->inSize = inSize;
    device->received.clear();
    device->visible = 0;
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::SetChars(SB_HANDLE handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                                uint8_t errorEnable)
{
    SB_BEGIN(kSetChars, HandleText(handle) + Format(" event=0x%02X eventEnable=%u error=0x%02X errorEnable=%u",
                                                    eventChar, eventEnable, errorChar, errorEnable));
    SB_DEVICE("");
    board_.now += device->Unit();
    device->eventChar = eventChar;
    device->eventEnable = eventEnable;
    device->errorChar = errorChar;
    device->errorEnable = errorEnable;
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::SetTimeouts(SB_HANDLE handle, uint32_t readMs, uint32_t writeMs)
{
    SB_BEGIN(kSetTimeouts, HandleText(handle) + Format(" read=%u write=%u", readMs, writeMs));
    SB_DEVICE("");
    device->readTimeoutMs = readMs;
    device->writeTimeoutMs = writeMs;
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::SetLatencyTimer(SB_HANDLE handle, uint8_t ms)
{
    SB_BEGIN(kSetLatencyTimer, HandleText(handle) + Format(" ms=%u", ms));
    SB_DEVICE("");
    if (ms < kMinLatencyMs) {
        Finish(call, kInvalidParameter);
        return kInvalidParameter;
    }
    board_.now += device->Unit();
    device->latencyMs = ms;
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::SetBitMode(SB_HANDLE handle, uint8_t mask, uint8_t mode)
{
    SB_BEGIN(kSetBitMode, HandleText(handle) + Format(" mask=0x%02X mode=0x%02X", mask, mode));
    SB_DEVICE("");
    if (!KnownBitMode(mode)) {
        Finish(call, kInvalidParameter);
        return kInvalidParameter;
    }
    board_.now += device->Unit();
    device->bitMode = mode;
    // Every mode starts the engine from its reset state with all pins inputs:
    // in mode 0 pin 3 is the serial port's CTS# input, so chip select rises.
    if (device->engine)
        device->engine->Reset(board_.now);
    Finish(call, kOk);
    return kOk;
}

SB_STATUS DriverFront::GetQueueStatus(SB_HANDLE handle, uint32_t *count)
{
    SB_BEGIN(kGetQueueStatus, HandleText(handle));
    SB_DEVICE(ZeroCount(count, "queue"));
    if (!count) {
        Finish(call, kInvalidParameter);
        return kInvalidParameter;
    }
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
    Finish(call, kOk, Format("queue=%u", *count));
    return kOk;
}

SB_STATUS DriverFront::Read(SB_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    SB_BEGIN(kRead, HandleText(handle) + Format(" count=%u", count));
    SB_DEVICE(ZeroCount(read, "read"));
    if (!read || (!buffer && count > 0)) {
        Finish(call, kInvalidParameter, ZeroCount(read, "read"));
        return kInvalidParameter;
    }
    std::vector<uint8_t> taken;
    if (count > 0) {
        Ticks start = board_.now;
        Ticks limit = start + (device->readTimeoutMs ? static_cast<Ticks>(device->readTimeoutMs) * 1000 * kUs
                                                     : kNoLimitReadEnd);
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
    Finish(call, kOk, Format("read=%u", *read), HexBytes(taken));
    return kOk;
}

SB_STATUS DriverFront::Write(SB_HANDLE handle, const void *buffer, uint32_t count, uint32_t *written)
{
    SB_BEGIN(kWrite, HandleText(handle) + Format(" count=%u", count));
    SB_DEVICE(ZeroCount(written, "written"));
    if (!written || (!buffer && count > 0)) {
        Finish(call, kInvalidParameter, ZeroCount(written, "written"));
        return kInvalidParameter;
    }
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    if (count > 0) {
        board_.now += device->Unit() * Packets(count, device->OutPacket());
        if (device->bitMode == kModeMpsse && device->engine) {
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
        } else if (device->bitMode == kModeReset) {
            // Serial port mode: the bytes leave on TXD, where nothing receives them.
            board_.now += kUartCharTime * count;
            board_.Trace("NOTE", Format("%d UART mode: %u bytes dropped", device->position, count));
        } else if (device->bitMode == kModeMpsse) {
            board_.Trace("NOTE", Format("%d no MPSSE engine: %u bytes dropped", device->position, count));
        } else {
            board_.Trace("NOTE", Format("%d bit mode 0x%02X not modelled: %u bytes dropped", device->position,
                                        device->bitMode, count));
        }
    }
    *written = count;
    Finish(call, kOk, Format("written=%u", count), HexBytes(bytes, count));
    return kOk;
}

SB_STATUS DriverFront::GetDeviceInfo(SB_HANDLE handle, uint32_t *type, uint32_t *id, char *serial,
                                     char *description)
{
    SB_BEGIN(kGetDeviceInfo, HandleText(handle));
    SB_DEVICE("");
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
    Finish(call, kOk,
           Format("type=%u id=0x%08X serial=\"%s\" description=\"%s\"", model.type, model.id, model.serial.c_str(),
                  model.description.c_str()));
    return kOk;
}

} // namespace simboard

// ---- The exported entry points -------------------------------------------------

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
SB_STATUS FT_SetChars(SB_HANDLE handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                      uint8_t errorEnable)
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
SB_STATUS FT_GetQueueStatus(SB_HANDLE handle, uint32_t *count) { return TheBoard().front->GetQueueStatus(handle, count); }
SB_STATUS FT_Read(SB_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    return TheBoard().front->Read(handle, buffer, count, read);
}
SB_STATUS FT_Write(SB_HANDLE handle, const void *buffer, uint32_t count, uint32_t *written)
{
    return TheBoard().front->Write(handle, buffer, count, written);
}
SB_STATUS FT_GetDeviceInfo(SB_HANDLE handle, uint32_t *type, uint32_t *id, char *serial, char *description,
                           void *)
{
    return TheBoard().front->GetDeviceInfo(handle, type, id, serial, description);
}
