// The bootloader's SDO server (UM10398 "C_CAN communication protocol", "C_CAN
// ISP SDO communication"): the CiA 301 SDO protocols it implements, which are
// expedited and segmented download and upload with their toggle bit, and the
// abort transfer; block transfers are not among them (UM10398 "Differences to
// fully compliant CANopen"). Fixed-size entries go to the ISP commands; the
// program data domain 0x1F50/01 is a write to RAM (download) or a memory read
// (upload). Also here: the names the chip log gives requests and transfers.
#include "sim/lpc_isp_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace simboard
{
namespace lpc
{

namespace
{

// ---- Byte 0 of an SDO frame (CiA 301 "SDO protocols") -----------------------

// Initiate download: e (expedited) and s (size indicated); an expedited
// frame with s gives the count of unused data bytes in bits 3-2.
constexpr uint8_t SDO_EXPEDITED = 0x02;
constexpr uint8_t SDO_SIZE_INDICATED = 0x01;
// Segments: t (toggle), the count of unused bytes in bits 3-1, c (last).
constexpr uint8_t SDO_TOGGLE = 0x10;
constexpr uint8_t SDO_LAST_SEGMENT = 0x01;
constexpr uint8_t SDO_SEGMENT_BYTES = 7;

// Server commands.
constexpr uint8_t SDO_SEGMENT_CONFIRM = 0x20;
constexpr uint8_t SDO_UPLOAD_EXPEDITED = 0x43; // | (4 - n) << 2
constexpr uint8_t SDO_UPLOAD_SEGMENTED = 0x41; // size indicated
constexpr uint8_t SDO_ABORT = 0x80;

// ---- Abort codes (CiA 301 "SDO abort transfer", its table of abort codes) ---

constexpr uint32_t ABORT_TOGGLE = 0x05030000;
constexpr uint32_t ABORT_COMMAND = 0x05040001;
constexpr uint32_t ABORT_READ_WRITE_ONLY = 0x06010001;
constexpr uint32_t ABORT_WRITE_READ_ONLY = 0x06010002;
constexpr uint32_t ABORT_LENGTH_HIGH = 0x06070012;
constexpr uint32_t ABORT_LENGTH_LOW = 0x06070013;

bool TransferOpen(const ChipState &s) { return s.transfer.kind != Transfer::Kind::None; }

// The data bytes of an expedited initiate download.
uint32_t ExpeditedLength(const uint8_t *req)
{
    if ((req[0] & SDO_SIZE_INDICATED) == 0)
        return 4;
    return 4u - ((req[0] >> 2) & 3u);
}

// The byte count an initiate download announces: an expedited one's data, a
// segmented one's indicated size, 0 when it gives none.
uint32_t DownloadCount(const uint8_t *req)
{
    if (req[0] & SDO_EXPEDITED)
        return ExpeditedLength(req);
    return (req[0] & SDO_SIZE_INDICATED) ? Le32(&req[4]) : 0u;
}

// The data bytes of a download segment.
uint32_t SegmentLength(const uint8_t *req) { return SDO_SEGMENT_BYTES - ((req[0] >> 1) & 7u); }

// An expedited value as a fixed-size entry takes it: without an indicated
// size, the low bytes.
uint32_t EntryValue(const uint8_t *req, const OdEntry &e)
{
    uint32_t value = Le32(&req[4]);
    if (e.size < 4)
        value &= (1u << (8 * e.size)) - 1;
    return value;
}

std::string WriteRamText(const ChipState &s, uint32_t count)
{
    return "WRITE_RAM " + Hex32(s.ramAddress) + " " + std::to_string(count);
}

void SetSegmentConfirm(bool toggle, Outcome *out)
{
    out->reply = true;
    std::memset(out->data, 0, 8);
    out->data[0] = static_cast<uint8_t>(SDO_SEGMENT_CONFIRM | (toggle ? SDO_TOGGLE : 0));
}

void OpenTransfer(ChipState &s, Transfer::Kind kind, uint16_t index, uint8_t sub, bool sized, uint32_t size,
                  uint32_t address)
{
    s.transfer = Transfer{};
    s.transfer.kind = kind;
    s.transfer.index = index;
    s.transfer.sub = sub;
    s.transfer.sizeIndicated = sized;
    s.transfer.size = size;
    s.transfer.address = address;
}

// The open transfer ends with abort `code`; `result` names it in the log.
void FailTransfer(ChipState &s, uint32_t code, const std::string &result, Outcome *out)
{
    SetAbort(s.transfer.index, s.transfer.sub, code, out);
    out->line = EndTransfer(s, result);
}

void FailTransfer(ChipState &s, uint32_t code, Outcome *out) { FailTransfer(s, code, "ABORT " + Hex32(code), out); }

// A request the server has no protocol for: the open transfer, if any, ends
// with the abort; otherwise it is answered under index:sub.
void RefuseCommand(ChipState &s, const uint8_t *req, uint16_t index, uint8_t sub, Outcome *out)
{
    if (TransferOpen(s))
        return FailTransfer(s, ABORT_COMMAND, out);
    SetAbort(index, sub, ABORT_COMMAND, out);
    out->line = DescribeRequest(s, req) + " -> ABORT " + Hex32(ABORT_COMMAND);
}

// A segment that belongs to no transfer of its direction: the open transfer,
// if any, ends with the abort; otherwise it is answered under 0x1F50/01.
void RefuseSegment(ChipState &s, const uint8_t *req, Outcome *out)
{
    RefuseCommand(s, req, OD_PROGRAM_DATA, PROGRAM_DATA_SUB, out);
}

void RefuseDownload(uint16_t index, uint8_t sub, uint32_t code, Outcome *out)
{
    SetAbort(index, sub, code, out);
    out->line = "SDO " + Mux(index, sub) + " download -> ABORT " + Hex32(code);
}

// ---- Download (CiA 301 "SDO download initiate", "SDO download segment") -----

// 0x1F50/01 written: a write to RAM from the RAM address, expedited at once,
// segmented as its segments come (UM10398 "Write to RAM").
void DownloadProgramData(ChipState &s, const uint8_t *req, Outcome *out)
{
    const uint16_t index = RequestIndex(req);
    const uint8_t sub = req[3];
    const bool expedited = (req[0] & SDO_EXPEDITED) != 0;
    const bool sized = (req[0] & SDO_SIZE_INDICATED) != 0;
    const uint32_t count = DownloadCount(req);
    std::string text = WriteRamText(s, count);
    int isp = CheckWriteToRam(s, expedited || sized, count);
    if (isp != ISP_CMD_SUCCESS) {
        SetIspError(index, sub, isp, out);
        out->line = text + " -> " + IspCodeName(isp);
        return;
    }
    SetConfirm(SDO_DOWNLOAD_CONFIRM, index, sub, out);
    if (!expedited) {
        OpenTransfer(s, Transfer::Kind::Download, index, sub, sized, count, s.ramAddress);
        return;
    }
    std::memcpy(&s.ram[s.ramAddress - LPC_RAM_BASE], &req[4], count);
    out->line = text + " -> CMD_SUCCESS";
}

// A fixed-size entry written: expedited at once, in segments collected and
// then applied. An indicated size must be the entry's.
void DownloadEntry(ChipState &s, const uint8_t *req, const OdEntry &e, Outcome *out)
{
    const bool sized = (req[0] & SDO_SIZE_INDICATED) != 0;
    if ((req[0] & SDO_EXPEDITED) == 0) {
        if (sized && Le32(&req[4]) != e.size)
            return RefuseDownload(e.index, e.sub, Le32(&req[4]) > e.size ? ABORT_LENGTH_HIGH : ABORT_LENGTH_LOW, out);
        SetConfirm(SDO_DOWNLOAD_CONFIRM, e.index, e.sub, out);
        OpenTransfer(s, Transfer::Kind::Download, e.index, e.sub, sized, e.size, 0);
        return;
    }
    const uint32_t length = ExpeditedLength(req);
    if (sized && length != e.size)
        return RefuseDownload(e.index, e.sub, length > e.size ? ABORT_LENGTH_HIGH : ABORT_LENGTH_LOW, out);
    WriteEntry(s, e.index, e.sub, EntryValue(req, e), out);
}

void InitiateDownload(ChipState &s, const uint8_t *req, Outcome *out)
{
    const uint16_t index = RequestIndex(req);
    const uint8_t sub = req[3];
    uint32_t code = 0;
    const OdEntry *e = FindEntry(s, index, sub, &code);
    if (!e || e->access == Access::Ro)
        return RefuseDownload(index, sub, e ? ABORT_WRITE_READ_ONLY : code, out);
    if (e->size == 0)
        DownloadProgramData(s, req, out);
    else
        DownloadEntry(s, req, *e, out);
}

// A segment of a write to RAM. Without an indicated size each segment's
// range is checked as it comes.
void RamSegment(ChipState &s, const uint8_t *req, Outcome *out)
{
    Transfer &t = s.transfer;
    const bool toggle = (req[0] & SDO_TOGGLE) != 0;
    const uint32_t n = SegmentLength(req);
    const bool last = (req[0] & SDO_LAST_SEGMENT) != 0;
    if (t.sizeIndicated && uint64_t(t.done) + n > t.size)
        return FailTransfer(s, ABORT_LENGTH_HIGH, out);
    if (t.sizeIndicated && last && t.done + n < t.size)
        return FailTransfer(s, ABORT_LENGTH_LOW, out);
    const uint64_t at = uint64_t(t.address) + t.done;
    if (!t.sizeIndicated) {
        int isp = at > 0xFFFFFFFFu ? ISP_ADDR_NOT_MAPPED : CheckRamWrite(static_cast<uint32_t>(at), n);
        if (isp != ISP_CMD_SUCCESS)
            return FailTransfer(s, ABORT_ISP_BASE + static_cast<uint32_t>(isp), IspCodeName(isp), out);
    }
    if (n > 0)
        std::memcpy(&s.ram[at - LPC_RAM_BASE], &req[1], n);
    t.done += n;
    t.toggle = !t.toggle;
    SetSegmentConfirm(toggle, out);
    if (last)
        out->line = EndTransfer(s, "CMD_SUCCESS");
}

// A segment of a fixed-size entry: the last one applies the value.
void EntrySegment(ChipState &s, const uint8_t *req, Outcome *out)
{
    Transfer &t = s.transfer;
    const bool toggle = (req[0] & SDO_TOGGLE) != 0;
    const uint32_t n = SegmentLength(req);
    const bool last = (req[0] & SDO_LAST_SEGMENT) != 0;
    const uint16_t index = t.index;
    const uint8_t sub = t.sub;
    if (t.data.size() + n > t.size)
        return FailTransfer(s, ABORT_LENGTH_HIGH, out);
    t.data.insert(t.data.end(), &req[1], &req[1] + n);
    t.done += n;
    t.toggle = !t.toggle;
    if (!last)
        return SetSegmentConfirm(toggle, out);
    if (t.data.size() < t.size)
        return FailTransfer(s, ABORT_LENGTH_LOW, out);
    uint32_t value = 0;
    for (size_t i = 0; i < t.data.size(); ++i)
        value |= static_cast<uint32_t>(t.data[i]) << (8 * i);
    s.transfer = Transfer{};
    WriteEntry(s, index, sub, value, out);
    // The entry's confirmation goes out as the last segment's.
    if (out->reply && out->data[0] == SDO_DOWNLOAD_CONFIRM)
        SetSegmentConfirm(toggle, out);
}

void DownloadSegment(ChipState &s, const uint8_t *req, Outcome *out)
{
    if (s.transfer.kind != Transfer::Kind::Download)
        return RefuseSegment(s, req, out);
    const bool toggle = (req[0] & SDO_TOGGLE) != 0;
    if (toggle != s.transfer.toggle)
        return FailTransfer(s, ABORT_TOGGLE, out);
    if (s.transfer.index == OD_PROGRAM_DATA)
        RamSegment(s, req, out);
    else
        EntrySegment(s, req, out);
}

// ---- Upload (CiA 301 "SDO upload initiate", "SDO upload segment") -----------

// 0x1F50/01 read: a memory read of the read length from the read address,
// always segmented (UM10398 "Read memory"). Its bytes are taken now, as the
// bootloader's reads see them.
void UploadProgramData(ChipState &s, const uint8_t *req, Outcome *out)
{
    const uint16_t index = RequestIndex(req);
    const uint8_t sub = req[3];
    std::string text = DescribeRequest(s, req);
    int isp = CheckReadMemory(s);
    if (isp != ISP_CMD_SUCCESS) {
        SetIspError(index, sub, isp, out);
        out->line = text + " -> " + IspCodeName(isp);
        return;
    }
    OpenTransfer(s, Transfer::Kind::Upload, index, sub, true, s.readLength, s.readAddress);
    s.transfer.data.resize(s.readLength);
    for (uint32_t i = 0; i < s.readLength; ++i)
        s.transfer.data[i] = ViewByte(s, s.readAddress + i);
    SetConfirm(SDO_UPLOAD_SEGMENTED, index, sub, out);
    PutLe32(&out->data[4], s.readLength);
}

void InitiateUpload(ChipState &s, const uint8_t *req, Outcome *out)
{
    const uint16_t index = RequestIndex(req);
    const uint8_t sub = req[3];
    uint32_t code = 0;
    const OdEntry *e = FindEntry(s, index, sub, &code);
    if (!e || e->access == Access::Wo) {
        if (e)
            code = ABORT_READ_WRITE_ONLY;
        SetAbort(index, sub, code, out);
        out->line = DescribeRequest(s, req) + " -> ABORT " + Hex32(code);
        return;
    }
    if (e->size == 0)
        return UploadProgramData(s, req, out);
    // A fixed-size entry: always expedited, with its size indicated.
    const uint32_t value = ReadEntry(s, index, sub);
    SetConfirm(static_cast<uint8_t>(SDO_UPLOAD_EXPEDITED | (4 - e->size) << 2), index, sub, out);
    PutLe32(&out->data[4], value);
    out->line = DescribeRequest(s, req) + " -> CMD_SUCCESS " + Hex32(value);
}

void UploadSegment(ChipState &s, const uint8_t *req, Outcome *out)
{
    Transfer &t = s.transfer;
    if (t.kind != Transfer::Kind::Upload)
        return RefuseSegment(s, req, out);
    const bool toggle = (req[0] & SDO_TOGGLE) != 0;
    if (toggle != t.toggle)
        return FailTransfer(s, ABORT_TOGGLE, out);
    const uint32_t n = std::min<uint32_t>(SDO_SEGMENT_BYTES, t.size - t.done);
    const bool last = t.done + n == t.size;
    out->reply = true;
    std::memset(out->data, 0, 8);
    out->data[0] =
        static_cast<uint8_t>((toggle ? SDO_TOGGLE : 0) | (SDO_SEGMENT_BYTES - n) << 1 | (last ? SDO_LAST_SEGMENT : 0));
    if (n > 0)
        std::memcpy(&out->data[1], &t.data[t.done], n);
    t.done += n;
    t.toggle = !t.toggle;
    if (last)
        out->line = EndTransfer(s, "CMD_SUCCESS");
}

std::string TransferName(const ChipState &s)
{
    const Transfer &t = s.transfer;
    if (t.index != OD_PROGRAM_DATA)
        return "SDO " + Mux(t.index, t.sub) + " download";
    if (t.kind == Transfer::Kind::Upload)
        return "READ_MEMORY " + Hex32(t.address) + " " + std::to_string(t.size);
    return "WRITE_RAM " + Hex32(t.address) + " " + std::to_string(t.sizeIndicated ? t.size : t.done);
}

std::string DescribeDownload(const ChipState &s, const uint8_t *req)
{
    const uint16_t index = RequestIndex(req);
    const uint8_t sub = req[3];
    if (index == OD_PROGRAM_DATA && sub == PROGRAM_DATA_SUB)
        return WriteRamText(s, DownloadCount(req));
    uint32_t code = 0;
    const OdEntry *e = FindEntry(s, index, sub, &code);
    if ((req[0] & SDO_EXPEDITED) == 0 || !e || e->size == 0 || e->access == Access::Ro)
        return "SDO " + Mux(index, sub) + " download";
    return CommandText(s, index, sub, EntryValue(req, *e));
}

std::string DescribeUpload(const ChipState &s, const uint8_t *req)
{
    const uint16_t index = RequestIndex(req);
    const uint8_t sub = req[3];
    if (index == OD_IDENTITY && sub == IDENTITY_PART_ID)
        return "READ_PART_ID";
    if (index == OD_COMPARE && sub == COMPARE_OFFSET_SUB)
        return "READ_OFFSET";
    if (index == OD_PROGRAM_DATA && sub == PROGRAM_DATA_SUB)
        return "READ_MEMORY " + Hex32(s.readAddress) + " " + std::to_string(s.readLength);
    return "SDO " + Mux(index, sub) + " upload";
}

} // namespace

void ServeRequest(ChipState &s, const uint8_t *req, uint64_t endUs, Outcome *out)
{
    const uint8_t ccs = CommandSpecifier(req);
    switch (ccs) {
    case CCS_INITIATE_DOWNLOAD:
    case CCS_INITIATE_UPLOAD:
        if (TransferOpen(s))
            s.log.Line(endUs, EndTransfer(s, "ABANDONED"));
        if (ccs == CCS_INITIATE_DOWNLOAD)
            InitiateDownload(s, req, out);
        else
            InitiateUpload(s, req, out);
        return;
    case CCS_DOWNLOAD_SEGMENT:
        DownloadSegment(s, req, out);
        return;
    case CCS_UPLOAD_SEGMENT:
        UploadSegment(s, req, out);
        return;
    case CCS_ABORT:
        // A client abort ends an open transfer and is never answered.
        if (TransferOpen(s))
            out->line = EndTransfer(s, "ABANDONED");
        else
            out->line = DescribeRequest(s, req) + " -> NO_REPLY";
        return;
    default: // block transfers and reserved specifiers
        RefuseCommand(s, req, RequestIndex(req), req[3], out);
        return;
    }
}

std::string DescribeRequest(const ChipState &s, const uint8_t *req)
{
    switch (CommandSpecifier(req)) {
    case CCS_DOWNLOAD_SEGMENT:
    case CCS_UPLOAD_SEGMENT:
        if (TransferOpen(s))
            return "SDO " + Mux(s.transfer.index, s.transfer.sub) + " segment";
        return "SDO " + Mux(OD_PROGRAM_DATA, PROGRAM_DATA_SUB) + " segment";
    case CCS_INITIATE_DOWNLOAD:
        return DescribeDownload(s, req);
    case CCS_INITIATE_UPLOAD:
        return DescribeUpload(s, req);
    case CCS_ABORT:
        return "SDO " + Mux(RequestIndex(req), req[3]) + " abort " + Hex32(Le32(&req[4]));
    default: {
        char text[16];
        std::snprintf(text, sizeof text, " command 0x%02X", req[0]);
        return "SDO " + Mux(RequestIndex(req), req[3]) + text;
    }
    }
}

std::string EndTransfer(ChipState &s, const std::string &result)
{
    std::string line = TransferName(s) + " -> " + result;
    bool complete = result == "CMD_SUCCESS";
    if (!complete)
        line += " after " + std::to_string(s.transfer.done) + " bytes";
    s.transfer = Transfer{};
    return line;
}

void SetConfirm(uint8_t command, uint16_t index, uint8_t sub, Outcome *out)
{
    out->reply = true;
    std::memset(out->data, 0, 8);
    out->data[0] = command;
    out->data[1] = static_cast<uint8_t>(index);
    out->data[2] = static_cast<uint8_t>(index >> 8);
    out->data[3] = sub;
}

void SetAbort(uint16_t index, uint8_t sub, uint32_t code, Outcome *out)
{
    SetConfirm(SDO_ABORT, index, sub, out);
    PutLe32(&out->data[4], code);
}

void SetIspError(uint16_t index, uint8_t sub, int code, Outcome *out)
{
    SetAbort(index, sub, ABORT_ISP_BASE + static_cast<uint32_t>(code), out);
}

std::string Mux(uint16_t index, uint8_t sub)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%04X/%02X", index, sub);
    return text;
}

} // namespace lpc
} // namespace simboard
