#include "sim/records_bus.h"

#include "sim/records.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace simboard
{

namespace
{

constexpr uint32_t PCAP_MAGIC_US = 0xA1B2C3D4; // written little-endian: D4 C3 B2 A1
constexpr uint16_t PCAP_VERSION_MAJOR = 2;
constexpr uint16_t PCAP_VERSION_MINOR = 4;
constexpr uint32_t PCAP_SNAPLEN = 65535;
constexpr size_t PCAP_HEADER_SIZE = 24;
constexpr size_t PCAP_RECORD_HEADER_SIZE = 16;
constexpr size_t SOCKETCAN_FRAME_SIZE = 16;
constexpr uint8_t ERROR_FRAME_LENGTH = 8;
constexpr const char *LOG_INTERFACE = "simcan0";
constexpr uint64_t US_PER_S = 1000000;

void PutLe16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint16_t GetLe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool OpenFile(FILE **file, const std::string &path, std::string *error)
{
    *file = std::fopen(path.c_str(), "wb");
    if (*file)
        return true;
    if (error)
        *error = "cannot create \"" + path + "\": " + std::strerror(errno);
    return false;
}

} // namespace

std::array<uint8_t, 16> SocketCanBytes(const BusRecord &r)
{
    std::array<uint8_t, 16> b{};
    uint32_t word;
    if (r.errorFrame) {
        word = SOCKETCAN_ERR_FLAG | SOCKETCAN_ERR_ACK;
        b[4] = ERROR_FRAME_LENGTH;
    } else {
        const CanFrame &f = r.frame;
        word = f.id | (f.extended ? SOCKETCAN_EFF_FLAG : 0) | (f.remote ? SOCKETCAN_RTR_FLAG : 0);
        b[4] = static_cast<uint8_t>(f.dlc > 8 ? 8 : f.dlc);
        b[7] = f.dlc > 8 ? f.dlc : 0; // the raw DLC of a classic frame with more than 8 in its DLC field
        for (size_t i = 0; i < f.DataLength(); ++i)
            b[8 + i] = f.data[i];
    }
    // The identifier word goes in network byte order.
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(word >> (24 - 8 * i));
    return b;
}

std::string FrameLogLine(const BusRecord &r)
{
    char head[48];
    std::snprintf(head, sizeof head, "(%010" PRIu64 ".%06" PRIu64 ") %s ", r.timeUs / US_PER_S, r.timeUs % US_PER_S,
                  LOG_INTERFACE);
    std::string line = head;
    char buf[24];
    if (r.errorFrame) {
        std::snprintf(buf, sizeof buf, "%08X#", SOCKETCAN_ERR_FLAG | SOCKETCAN_ERR_ACK);
        return line + buf + std::string(2 * ERROR_FRAME_LENGTH, '0');
    }
    const CanFrame &f = r.frame;
    std::snprintf(buf, sizeof buf, f.extended ? "%08X#" : "%03X#", f.id);
    line += buf;
    if (f.remote) {
        line += 'R';
        uint8_t len = f.dlc > 8 ? 8 : f.dlc;
        if (len)
            line += static_cast<char>('0' + len);
    } else {
        for (size_t i = 0; i < f.DataLength(); ++i) {
            std::snprintf(buf, sizeof buf, "%02X", f.data[i]);
            line += buf;
        }
    }
    if (f.dlc > 8) {
        std::snprintf(buf, sizeof buf, "_%X", f.dlc);
        line += buf;
    }
    return line;
}

std::vector<BusRecord> BusRecordsOf(const CanFrame &frame, Ticks end, bool acknowledged)
{
    BusRecord r;
    r.timeUs = end / TICKS_PER_US;
    r.frame = frame;
    std::vector<BusRecord> out{r};
    if (!acknowledged) {
        BusRecord e;
        e.timeUs = r.timeUs;
        e.errorFrame = true;
        out.push_back(e);
    }
    return out;
}

// ---- Capture ---------------------------------------------------------------

bool PcapWriter::Open(const std::string &path, std::string *error)
{
    Close();
    if (!OpenFile(&file_, path, error))
        return false;
    uint8_t h[PCAP_HEADER_SIZE] = {};
    PutLe32(h, PCAP_MAGIC_US);
    PutLe16(h + 4, PCAP_VERSION_MAJOR);
    PutLe16(h + 6, PCAP_VERSION_MINOR);
    // time zone and accuracy stay 0
    PutLe32(h + 16, PCAP_SNAPLEN);
    PutLe32(h + 20, PCAP_LINKTYPE_CAN_SOCKETCAN);
    std::fwrite(h, 1, sizeof h, file_);
    std::fflush(file_);
    return true;
}

void PcapWriter::Write(const BusRecord &r)
{
    if (!file_)
        return;
    uint8_t rec[PCAP_RECORD_HEADER_SIZE + SOCKETCAN_FRAME_SIZE];
    PutLe32(rec, static_cast<uint32_t>(r.timeUs / US_PER_S));
    PutLe32(rec + 4, static_cast<uint32_t>(r.timeUs % US_PER_S));
    PutLe32(rec + 8, SOCKETCAN_FRAME_SIZE);
    PutLe32(rec + 12, SOCKETCAN_FRAME_SIZE);
    std::array<uint8_t, 16> f = SocketCanBytes(r);
    std::memcpy(rec + PCAP_RECORD_HEADER_SIZE, f.data(), f.size());
    std::fwrite(rec, 1, sizeof rec, file_);
    std::fflush(file_);
}

void PcapWriter::Close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

// ---- Frame log -------------------------------------------------------------

bool FrameLogWriter::Open(const std::string &path, std::string *error)
{
    Close();
    return OpenFile(&file_, path, error);
}

void FrameLogWriter::Write(const BusRecord &r)
{
    if (!file_)
        return;
    std::string line = FrameLogLine(r) + "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

void FrameLogWriter::Close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

// ---- Both ------------------------------------------------------------------

bool BusRecorder::Open(const std::string &capturePath, const std::string &logPath, std::string *error, File *failed)
{
    Close();
    if (!capturePath.empty() && !pcap_.Open(capturePath, error)) {
        if (failed)
            *failed = File::Capture;
        return false;
    }
    if (!logPath.empty() && !log_.Open(logPath, error)) {
        if (failed)
            *failed = File::Log;
        pcap_.Close();
        return false;
    }
    return true;
}

void BusRecorder::OnFrame(const CanFrame &frame, Ticks end, bool acknowledged)
{
    for (const BusRecord &r : BusRecordsOf(frame, end, acknowledged)) {
        pcap_.Write(r);
        log_.Write(r);
    }
}

void BusRecorder::Close()
{
    pcap_.Close();
    log_.Close();
}

void BusRecorder::Observe(CanBus &bus)
{
    bus.AddObserver([this](const CanFrame &f, Ticks end, bool ack) { OnFrame(f, end, ack); });
}

// ---- Readers ---------------------------------------------------------------

bool ReadPcap(const std::string &path, std::vector<BusRecord> *records, std::string *error)
{
    records->clear();
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open \"" + path + "\"";
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);

    if (bytes.size() < PCAP_HEADER_SIZE || GetLe32(bytes.data()) != PCAP_MAGIC_US ||
        GetLe16(&bytes[4]) != PCAP_VERSION_MAJOR || GetLe16(&bytes[6]) != PCAP_VERSION_MINOR ||
        GetLe32(&bytes[20]) != PCAP_LINKTYPE_CAN_SOCKETCAN) {
        *error = "not a little-endian microsecond pcap of SocketCAN frames";
        return false;
    }
    for (size_t at = PCAP_HEADER_SIZE; at < bytes.size();) {
        if (bytes.size() - at < PCAP_RECORD_HEADER_SIZE + SOCKETCAN_FRAME_SIZE) {
            *error = "truncated record at byte " + std::to_string(at);
            return false;
        }
        const uint8_t *p = &bytes[at];
        if (GetLe32(p + 8) != SOCKETCAN_FRAME_SIZE || GetLe32(p + 12) != SOCKETCAN_FRAME_SIZE) {
            *error = "record at byte " + std::to_string(at) + " is not a 16-byte CAN frame";
            return false;
        }
        BusRecord r;
        r.timeUs = static_cast<uint64_t>(GetLe32(p)) * US_PER_S + GetLe32(p + 4);
        const uint8_t *c = p + PCAP_RECORD_HEADER_SIZE;
        uint32_t word = static_cast<uint32_t>(c[0]) << 24 | static_cast<uint32_t>(c[1]) << 16 |
                        static_cast<uint32_t>(c[2]) << 8 | c[3];
        if (word & SOCKETCAN_ERR_FLAG) {
            r.errorFrame = true;
        } else {
            r.frame.extended = (word & SOCKETCAN_EFF_FLAG) != 0;
            r.frame.remote = (word & SOCKETCAN_RTR_FLAG) != 0;
            r.frame.id = word & (r.frame.extended ? CAN_EXT_ID_MAX : CAN_STD_ID_MAX);
            r.frame.dlc = (c[4] == 8 && c[7] > 8) ? c[7] : c[4];
            std::memcpy(r.frame.data, c + 8, 8);
        }
        records->push_back(r);
        at += PCAP_RECORD_HEADER_SIZE + SOCKETCAN_FRAME_SIZE;
    }
    return true;
}

namespace
{

// "(SSSSSSSSSS.UUUUUU) simcan0 ": the time stamp in microseconds; the rest of
// the line goes to *body.
bool ParseLogStamp(const std::string &line, uint64_t *timeUs, std::string *body, std::string *error)
{
    const std::string iface = std::string(" ") + LOG_INTERFACE + " ";
    if (line.size() < 20 + iface.size() || line[0] != '(' || line[11] != '.' || line[18] != ')' ||
        line.compare(19, iface.size(), iface) != 0) {
        *error = "bad time stamp or interface";
        return false;
    }
    uint64_t s = 0, us = 0;
    for (int i = 1; i <= 17; ++i) {
        if (i == 11)
            continue;
        if (line[i] < '0' || line[i] > '9') {
            *error = "bad time stamp";
            return false;
        }
        (i < 11 ? s : us) = (i < 11 ? s : us) * 10 + static_cast<uint64_t>(line[i] - '0');
    }
    *timeUs = s * US_PER_S + us;
    *body = line.substr(19 + iface.size());
    return true;
}

// The data after '#': "R" and an optional length for a remote frame, else 0
// to 8 upper-case hexadecimal pairs; a "_D" suffix is a raw DLC of 9 to F.
bool ParseLogData(std::string data, CanFrame *f, std::string *error)
{
    int rawDlc = -1;
    size_t under = data.find('_');
    if (under != std::string::npos) {
        if (under + 2 != data.size() || HexDigitValue(data[under + 1]) < 9 || (data[under + 1] >= 'a')) {
            *error = "bad raw DLC";
            return false;
        }
        rawDlc = HexDigitValue(data[under + 1]);
        data.resize(under);
    }
    if (!data.empty() && data[0] == 'R') {
        f->remote = true;
        if (data.size() > 2 || (data.size() == 2 && (data[1] < '0' || data[1] > '8'))) {
            *error = "bad remote frame length";
            return false;
        }
        f->dlc = static_cast<uint8_t>(data.size() == 2 ? data[1] - '0' : 0);
    } else {
        if (data.size() % 2 || data.size() > 16) {
            *error = "data must be 0 to 8 hexadecimal pairs";
            return false;
        }
        for (size_t i = 0; i < data.size(); i += 2) {
            int hi = HexDigitValue(data[i]), lo = HexDigitValue(data[i + 1]);
            if (hi < 0 || lo < 0 || data[i] >= 'a' || data[i + 1] >= 'a') {
                *error = "data is not upper-case hexadecimal";
                return false;
            }
            f->data[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
        }
        f->dlc = static_cast<uint8_t>(data.size() / 2);
    }
    if (rawDlc >= 0) {
        if (f->dlc != 8) {
            *error = "raw DLC needs a length of 8";
            return false;
        }
        f->dlc = static_cast<uint8_t>(rawDlc);
    }
    return true;
}

} // namespace

bool ParseFrameLogLine(const std::string &line, BusRecord *record, std::string *error)
{
    // (SSSSSSSSSS.UUUUUU) simcan0 ID#DATA
    BusRecord r;
    std::string body;
    if (!ParseLogStamp(line, &r.timeUs, &body, error))
        return false;
    size_t hash = body.find('#');
    if (hash != 3 && hash != 8) {
        *error = "identifier must be 3 or 8 hexadecimal digits";
        return false;
    }
    uint32_t id = 0;
    for (size_t i = 0; i < hash; ++i) {
        int h = HexDigitValue(body[i]);
        if (h < 0 || (body[i] >= 'a' && body[i] <= 'f')) {
            *error = "identifier is not upper-case hexadecimal";
            return false;
        }
        id = id << 4 | static_cast<uint32_t>(h);
    }
    std::string data = body.substr(hash + 1);
    if (hash == 8 && (id & SOCKETCAN_ERR_FLAG)) {
        if (id != (SOCKETCAN_ERR_FLAG | SOCKETCAN_ERR_ACK) || data != std::string(2 * ERROR_FRAME_LENGTH, '0')) {
            *error = "unexpected error frame";
            return false;
        }
        r.errorFrame = true;
        *record = r;
        return true;
    }
    CanFrame &f = r.frame;
    f.extended = hash == 8;
    f.id = id;
    if (f.extended ? id > CAN_EXT_ID_MAX : id > CAN_STD_ID_MAX) {
        *error = "identifier out of range";
        return false;
    }
    if (!ParseLogData(data, &f, error))
        return false;
    *record = r;
    return true;
}

bool ReadFrameLog(const std::string &path, std::vector<BusRecord> *records, std::string *error)
{
    records->clear();
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open \"" + path + "\"";
        return false;
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    size_t start = 0;
    for (int lineNo = 1; start < text.size(); ++lineNo) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            *error = "line " + std::to_string(lineNo) + " has no line feed";
            return false;
        }
        BusRecord r;
        std::string why;
        if (!ParseFrameLogLine(text.substr(start, nl - start), &r, &why)) {
            *error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        }
        records->push_back(r);
        start = nl + 1;
    }
    return true;
}

} // namespace simboard
