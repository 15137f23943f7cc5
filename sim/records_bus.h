// The bus's records: a pcap capture (link type 227, SocketCAN frames) and a
// candump-style frame log. Both record every frame in bus order, stamped with
// board time at the end of the frame; an attempt nobody acknowledged is the
// frame followed by an error frame of the acknowledge-error class. Each
// record is flushed as it is written.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/can_bus.h"

namespace simboard
{

constexpr uint32_t PCAP_LINKTYPE_CAN_SOCKETCAN = 227;
// SocketCAN identifier word: flags above the 29 identifier bits.
constexpr uint32_t SOCKETCAN_EFF_FLAG = 0x80000000;
constexpr uint32_t SOCKETCAN_RTR_FLAG = 0x40000000;
constexpr uint32_t SOCKETCAN_ERR_FLAG = 0x20000000;
constexpr uint32_t SOCKETCAN_ERR_ACK = 0x00000020; // error class: no acknowledge

// One frame on the bus as the records hold it.
struct BusRecord {
    uint64_t timeUs = 0;
    bool errorFrame = false; // the acknowledge-error frame after an attempt
    CanFrame frame;          // unused for an error frame
};

// The 16-byte SocketCAN frame of a record.
std::array<uint8_t, 16> SocketCanBytes(const BusRecord &record);
// One line of the frame log, without the line feed.
std::string FrameLogLine(const BusRecord &record);

// The records of one frame that went on the bus (the frame, then the error
// frame when nobody acknowledged it).
std::vector<BusRecord> BusRecordsOf(const CanFrame &frame, Ticks end, bool acknowledged);

class PcapWriter
{
public:
    PcapWriter() = default;
    ~PcapWriter() { Close(); }
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    // Creates (truncates) the file and writes the global header; false with
    // *error set when the file cannot be created.
    bool Open(const std::string &path, std::string *error);
    void Write(const BusRecord &record);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

private:
    FILE *file_ = nullptr;
};

class FrameLogWriter
{
public:
    FrameLogWriter() = default;
    ~FrameLogWriter() { Close(); }
    FrameLogWriter(const FrameLogWriter &) = delete;
    FrameLogWriter &operator=(const FrameLogWriter &) = delete;

    bool Open(const std::string &path, std::string *error);
    void Write(const BusRecord &record);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

private:
    FILE *file_ = nullptr;
};

// Both records of the bus, fed by the bus's frame observer.
class BusRecorder
{
public:
    enum class File { Capture, Log };

    // Empty paths record nothing. False with *error saying why a file cannot
    // be created, and *failed (when given) saying which.
    bool Open(const std::string &capturePath, const std::string &logPath, std::string *error, File *failed = nullptr);
    void OnFrame(const CanFrame &frame, Ticks end, bool acknowledged);
    void Close();
    // Registers OnFrame with the bus.
    void Observe(CanBus &bus);

private:
    PcapWriter pcap_;
    FrameLogWriter log_;
};

// Readers (for tests and tools): the whole capture or log. False with *error
// at the first byte or line that breaks the format.
bool ReadPcap(const std::string &path, std::vector<BusRecord> *records, std::string *error);
bool ParseFrameLogLine(const std::string &line, BusRecord *record, std::string *error);
bool ReadFrameLog(const std::string &path, std::vector<BusRecord> *records, std::string *error);

} // namespace simboard
