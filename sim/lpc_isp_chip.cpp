#include "sim/lpc_isp_chip.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace simboard {

namespace {

// ---- Bootloader memory rules -----------------------------------------------

// The RAM that a RAM write may reach. Below it the bootloader keeps its
// command handler (0x1000017C-0x1000025B) and the on-chip CAN driver's data
// (0x10000050-0x100000B8); above it flash programming uses the top 32 bytes
// and the stack the 256 bytes below them. A write there would corrupt the
// running bootloader: the board refuses it so that the fault shows.
constexpr uint32_t RAM_WRITE_FIRST = 0x10000300;
constexpr uint32_t RAM_WRITE_LAST = 0x10001EDF;

// In ISP mode the system memory remap register keeps the boot ROM at 0: the
// first 512 bytes of flash read as boot ROM. Its content is unknown here; the
// word at offset k reads BOOT_ROM_WORD_BASE + k.
constexpr uint32_t REMAP_SIZE = 0x200;
constexpr uint32_t BOOT_ROM_WORD_BASE = 0x1FFF0000;

// Code read protection word and its patterns.
constexpr uint32_t CRP_WORD_ADDRESS = 0x000002FC;
constexpr uint32_t CRP1_PATTERN = 0x12345678;
constexpr uint32_t CRP2_PATTERN = 0x87654321;
constexpr uint32_t CRP3_PATTERN = 0x43218765;
constexpr uint32_t NO_ISP_PATTERN = 0x4E697370;

// Valid user code: the first eight vector table words sum to 0.
constexpr uint32_t VECTOR_WORDS = 8;

// ldr r2,[pc,#4]; ldr r3,[pc,#8]; str r2,[r3,#12]; nop; .word 0x05FA0004,
// 0xE000ED00: VECTKEY with SYSRESETREQ stored to AIRCR, a system reset.
const uint8_t kResetRoutine[16] = {0x01, 0x4A, 0x02, 0x4B, 0xDA, 0x60, 0xC0, 0x46,
                                   0x04, 0x00, 0xFA, 0x05, 0x00, 0xED, 0x00, 0xE0};

// Copy RAM to flash: the byte counts the manual allows, the destination
// boundary and the source alignment.
const uint32_t kCopyCounts[] = {256, 512, 1024, 4096};
constexpr uint32_t COPY_DST_ALIGN = 256;
constexpr uint32_t WORD = 4;

// ---- Board time --------------------------------------------------------------

// Command decoding before a reply goes out (board choice).
constexpr Ticks REPLY_DELAY = 50 * TICKS_PER_US;
// Datasheet typical values: one erase command, whatever its sector count,
// and programming per 256 bytes.
constexpr Ticks ERASE_TIME = 100000 * TICKS_PER_US;
constexpr Ticks PROGRAM_TIME_PER_256 = 1000 * TICKS_PER_US;

// ---- SDO protocol ------------------------------------------------------------

// Client command specifiers (bits 7-5 of byte 0).
constexpr uint8_t CCS_DOWNLOAD_SEGMENT = 0;
constexpr uint8_t CCS_INITIATE_DOWNLOAD = 1;
constexpr uint8_t CCS_INITIATE_UPLOAD = 2;
constexpr uint8_t CCS_UPLOAD_SEGMENT = 3;
constexpr uint8_t CCS_ABORT = 4;

constexpr uint8_t SDO_DOWNLOAD_CONFIRM = 0x60;
constexpr uint8_t SDO_SEGMENT_CONFIRM = 0x20;
constexpr uint8_t SDO_UPLOAD_EXPEDITED = 0x43;  // | (4 - n) << 2
constexpr uint8_t SDO_UPLOAD_SEGMENTED = 0x41;  // size indicated
constexpr uint8_t SDO_ABORT = 0x80;
constexpr uint8_t SDO_TOGGLE = 0x10;
constexpr uint8_t SDO_SEGMENT_BYTES = 7;

constexpr uint32_t ABORT_TOGGLE = 0x05030000;
constexpr uint32_t ABORT_COMMAND = 0x05040001;
constexpr uint32_t ABORT_READ_WRITE_ONLY = 0x06010001;
constexpr uint32_t ABORT_WRITE_READ_ONLY = 0x06010002;
constexpr uint32_t ABORT_NO_OBJECT = 0x06020000;
constexpr uint32_t ABORT_NO_SUB = 0x06090011;
constexpr uint32_t ABORT_VALUE_RANGE = 0x06090030;
constexpr uint32_t ABORT_LENGTH_HIGH = 0x06070012;
constexpr uint32_t ABORT_LENGTH_LOW = 0x06070013;
// A command the bootloader refuses: this plus its ISP return code.
constexpr uint32_t ABORT_ISP_BASE = 0x0F000000;

// ---- Object dictionary -------------------------------------------------------

enum class Access { Ro, Wo, Rw };

struct OdEntry {
    uint16_t index;
    uint8_t sub;
    uint8_t size;  // bytes; 0 for the program data domain
    Access access;
};

constexpr uint16_t OD_DEVICE_TYPE = 0x1000;
constexpr uint16_t OD_ERROR_REGISTER = 0x1001;
constexpr uint16_t OD_IDENTITY = 0x1018;
constexpr uint16_t OD_PROGRAM_DATA = 0x1F50;
constexpr uint16_t OD_PROGRAM_CONTROL = 0x1F51;
constexpr uint16_t OD_UNLOCK = 0x5000;
constexpr uint16_t OD_REINVOKE = 0x5001;
constexpr uint16_t OD_READ_ADDRESS = 0x5010;
constexpr uint16_t OD_READ_LENGTH = 0x5011;
constexpr uint16_t OD_RAM_ADDRESS = 0x5015;
constexpr uint16_t OD_PREPARE = 0x5020;
constexpr uint16_t OD_ERASE = 0x5030;
constexpr uint16_t OD_BLANK_CHECK = 0x5040;
constexpr uint16_t OD_COPY = 0x5050;
constexpr uint16_t OD_COMPARE = 0x5060;
constexpr uint16_t OD_EXEC_ADDRESS = 0x5070;
constexpr uint16_t OD_SERIAL = 0x5100;

constexpr uint8_t IDENTITY_PART_ID = 2;
constexpr uint32_t IDENTITY_ENTRIES = 3;
constexpr uint32_t VENDOR_ID = 0x00000000;
constexpr uint32_t BOOT_CODE_VERSION = 0x00000001;
constexpr uint32_t DEVICE_TYPE = 0x00000000;
constexpr uint32_t EXEC_ENTRIES = 1;
constexpr uint16_t UNLOCK_CODE = 0x5A5A;  // 23130
constexpr uint32_t EXECUTE_START = 1;

const OdEntry kDictionary[] = {
    {OD_DEVICE_TYPE, 0, 4, Access::Ro},
    {OD_ERROR_REGISTER, 0, 1, Access::Ro},
    {OD_IDENTITY, 0, 1, Access::Ro},
    {OD_IDENTITY, 1, 4, Access::Ro},
    {OD_IDENTITY, 2, 4, Access::Ro},
    {OD_IDENTITY, 3, 4, Access::Ro},
    {OD_PROGRAM_DATA, 1, 0, Access::Rw},
    {OD_PROGRAM_CONTROL, 1, 1, Access::Rw},
    {OD_UNLOCK, 0, 2, Access::Wo},
    {OD_REINVOKE, 0, 1, Access::Wo},
    {OD_READ_ADDRESS, 0, 4, Access::Rw},
    {OD_READ_LENGTH, 0, 4, Access::Rw},
    {OD_RAM_ADDRESS, 0, 4, Access::Rw},
    {OD_PREPARE, 0, 2, Access::Wo},
    {OD_ERASE, 0, 2, Access::Wo},
    {OD_BLANK_CHECK, 1, 2, Access::Wo},
    {OD_BLANK_CHECK, 2, 4, Access::Ro},
    {OD_COPY, 1, 4, Access::Rw},
    {OD_COPY, 2, 4, Access::Rw},
    {OD_COPY, 3, 2, Access::Wo},
    {OD_COMPARE, 1, 4, Access::Rw},
    {OD_COMPARE, 2, 4, Access::Rw},
    {OD_COMPARE, 3, 2, Access::Wo},
    {OD_COMPARE, 4, 4, Access::Ro},
    {OD_EXEC_ADDRESS, 0, 1, Access::Ro},
    {OD_EXEC_ADDRESS, 1, 4, Access::Rw},
    {OD_SERIAL, 1, 4, Access::Ro},
    {OD_SERIAL, 2, 4, Access::Ro},
    {OD_SERIAL, 3, 4, Access::Ro},
    {OD_SERIAL, 4, 4, Access::Ro},
};

// The parameter entries and their names in the chip log.
struct ParamName {
    uint16_t index;
    uint8_t sub;
    const char *name;
};
const ParamName kParamNames[] = {
    {OD_READ_ADDRESS, 0, "READ_ADDRESS"}, {OD_READ_LENGTH, 0, "READ_LENGTH"}, {OD_RAM_ADDRESS, 0, "RAM_ADDRESS"},
    {OD_COPY, 1, "COPY_DST"},             {OD_COPY, 2, "COPY_SRC"},           {OD_COMPARE, 1, "CMP_ADDR1"},
    {OD_COMPARE, 2, "CMP_ADDR2"},         {OD_EXEC_ADDRESS, 1, "EXEC_ADDRESS"},
};

const char *ParamName(uint16_t index, uint8_t sub) {
    for (const auto &p : kParamNames)
        if (p.index == index && p.sub == sub) return p.name;
    return nullptr;
}

uint16_t Index(const uint8_t *req) { return static_cast<uint16_t>(req[1] | req[2] << 8); }
uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Mux(uint16_t index, uint8_t sub) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%04X/%02X", index, sub);
    return text;
}

// ---- Flash file ------------------------------------------------------------

// Writes `bytes` to `path` so that a crash leaves either the old file or the
// new one: a temporary file in the same folder, flushed to the disk, then
// renamed over the target.
bool WriteFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error) {
    std::string temp = path + ".tmp";
    FILE *f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        *error = std::string("cannot create ") + temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0;
#if defined(_WIN32)
    ok = ok && _commit(_fileno(f)) == 0;
#else
    ok = ok && fsync(fileno(f)) == 0;
#endif
    int savedErrno = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        *error = std::string("cannot write ") + temp + ": " + std::strerror(savedErrno);
        std::remove(temp.c_str());
        return false;
    }
#if defined(_WIN32)
    // rename does not replace an existing file on Windows.
    if (!MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *error = "cannot replace " + path + " (error " + std::to_string(GetLastError()) + ")";
        std::remove(temp.c_str());
        return false;
    }
#else
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot replace " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
#endif
    return true;
}

} // namespace

// ---- The chip ----------------------------------------------------------------

LpcIspChip::LpcIspChip(const ChipConfig &config)
    : config_(config), flash_(LPC_FLASH_SIZE, 0xFF), ram_(LPC_RAM_SIZE, 0x00),
      answering_(config.answerFrom <= 1), abortHits_(config.aborts.size(), 0) {}

LpcIspChip::~LpcIspChip() { Shutdown(busyUntil_); }

bool LpcIspChip::Start(Ticks now, std::string *badName, std::string *reason) {
    bool ok = true;
    std::string why;
    if (!config_.logPath.empty() && !log_.Open(config_.logPath, &why)) {
        if (badName) *badName = "SIMBOARD_CHIPLOG";
        if (reason) *reason = why;
        ok = false;
    }
    if (ok && !config_.flashPath.empty()) {
        FILE *f = std::fopen(config_.flashPath.c_str(), "rb");
        if (f) {
            std::vector<uint8_t> image(LPC_FLASH_SIZE + 1);
            size_t got = std::fread(image.data(), 1, image.size(), f);
            bool readError = std::ferror(f) != 0;
            std::fclose(f);
            if (readError || got != LPC_FLASH_SIZE) {
                if (badName) *badName = "SIMBOARD_FLASH";
                if (reason) {
                    *reason = readError ? "cannot read the file"
                                        : (got > LPC_FLASH_SIZE ? std::string("the file is larger than 32768 bytes")
                                                                : "the file has " + std::to_string(got) +
                                                                      " bytes, not 32768");
                }
                ok = false;
            } else {
                std::copy(image.begin(), image.begin() + LPC_FLASH_SIZE, flash_.begin());
            }
        } else if (errno != ENOENT) {
            if (badName) *badName = "SIMBOARD_FLASH";
            if (reason) *reason = std::string("cannot open the file: ") + std::strerror(errno);
            ok = false;
        } else {
            // No image yet: the first erase or copy creates it, through the
            // temporary file beside it. A folder that cannot take that file
            // would lose every image, so it is refused now.
            std::string temp = config_.flashPath + ".tmp";
            FILE *probe = std::fopen(temp.c_str(), "wb");
            if (!probe) {
                if (badName) *badName = "SIMBOARD_FLASH";
                if (reason) *reason = std::string("cannot create the file: ") + std::strerror(errno);
                ok = false;
            } else {
                std::fclose(probe);
                std::remove(temp.c_str());
            }
        }
    }
    if (!ok) {
        log_.Close();
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        config_.flashPath.clear();
    }
    Boot(now);
    return ok;
}

void LpcIspChip::Shutdown(Ticks now) {
    if (transfer_.kind != Transfer::Kind::None) Log(now / TICKS_PER_US, EndTransfer("ABANDONED"));
    log_.Close();
}

// ---- Reset and entry ---------------------------------------------------------

void LpcIspChip::Boot(Ticks now) {
    uint64_t us = now / TICKS_PER_US;
    if (transfer_.kind != Transfer::Kind::None) Log(us, EndTransfer("ABANDONED"));
    replies_.clear();
    leaving_ = false;
    busyUntil_ = now;
    if (config_.pin == ChipEntryPin::Absent) {
        mode_ = Mode::Absent;
        return;
    }
    Log(us, "STATE RESET");
    // PIO0_3 is wired low (C_CAN rather than UART ISP); PIO0_1 by setting.
    Crp crp = ReadCrp();
    bool userCode;
    if (config_.pin == ChipEntryPin::Isp)
        userCode = (crp == Crp::Crp3 || crp == Crp::NoIsp) && ValidUserCode();
    else
        userCode = ValidUserCode();
    if (userCode) {
        mode_ = Mode::UserCode;
        Log(us, "STATE USER_CODE " + Hex32(LPC_FLASH_BASE));
    } else {
        StartBootloader();
        Log(us, "STATE ISP");
    }
}

void LpcIspChip::StartBootloader() {
    mode_ = Mode::Isp;
    crp_ = ReadCrp();
    unlocked_ = false;
    prepared_ = 0;
    readAddress_ = readLength_ = ramAddress_ = 0;
    copyDst_ = copySrc_ = cmpAddr1_ = cmpAddr2_ = execAddress_ = 0;
    blankOffset_ = compareOffset_ = 0;
    transfer_ = Transfer{};
}

bool LpcIspChip::ValidUserCode() const {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < VECTOR_WORDS; ++i) sum += Le32(&flash_[i * WORD]);
    return sum == 0;
}

LpcIspChip::Crp LpcIspChip::ReadCrp() const {
    switch (Le32(&flash_[CRP_WORD_ADDRESS])) {
    case CRP1_PATTERN: return Crp::Crp1;
    case CRP2_PATTERN: return Crp::Crp2;
    case CRP3_PATTERN: return Crp::Crp3;
    case NO_ISP_PATTERN: return Crp::NoIsp;
    default: return Crp::None;
    }
}

void LpcIspChip::PowerCycle(Ticks now) {
    std::fill(ram_.begin(), ram_.end(), 0x00);
    Boot(now);
}

// ---- On the bus ----------------------------------------------------------------

double LpcIspChip::BitRate() const {
    // The C_CAN node runs only while the bootloader does; user code's own CAN
    // set-up is unknown, so it is off the bus then.
    return mode_ == Mode::Isp ? static_cast<double>(config_.bitRate) : 0.0;
}

bool LpcIspChip::NextFrame(TxRequest *request) {
    if (replies_.empty() || mode_ != Mode::Isp) return false;
    const Reply &r = replies_.front();
    request->frame = r.frame;
    request->bitRate = config_.bitRate;
    request->ready = r.ready;
    request->urgent = true;
    // The C_CAN controller retransmits a frame nobody acknowledged.
    request->retry = r.retry;
    return true;
}

void LpcIspChip::FrameDone(bool acknowledged, Ticks end) {
    if (replies_.empty()) return;
    if (!acknowledged) {
        replies_.front().retry = true;
        return;
    }
    Reply done = replies_.front();
    replies_.pop_front();
    if (done.after == AfterReply::Reset) {
        Boot(end);
    } else if (done.after == AfterReply::RunUserCode) {
        replies_.clear();
        leaving_ = false;
        mode_ = Mode::UserCode;
        Log(end / TICKS_PER_US, "STATE USER_CODE " + Hex32(done.jumpAddress));
    }
}

void LpcIspChip::Receive(const CanFrame &frame, Ticks end) {
    if (mode_ != Mode::Isp) return;
    // Only standard data frames to the SDO request identifier are requests;
    // everything else is acknowledged and dropped, as is a short 0x67D frame.
    if (frame.extended || frame.remote || frame.id != LPC_SDO_REQUEST_ID || frame.DataLength() < 8) return;
    Handle(frame, end);
}

void LpcIspChip::Handle(const CanFrame &frame, Ticks end) {
    ++requests_;
    const uint8_t *req = frame.data;
    const uint64_t endUs = end / TICKS_PER_US;
    const uint8_t ccs = req[0] >> 5;

    if (leaving_) {  // an accepted execution: the bootloader is on its way out
        Log(endUs, Describe(req) + " -> IGNORED");
        return;
    }
    if (!answering_) {
        bool partId = ccs == CCS_INITIATE_UPLOAD && Index(req) == OD_IDENTITY && req[3] == IDENTITY_PART_ID;
        if (partId && ++partIdRequests_ >= config_.answerFrom) {
            answering_ = true;
        } else {
            Log(endUs, Describe(req) + " -> IGNORED");
            return;
        }
    }
    if (silent_) {
        // A segment of the open transfer ends it with the one line of the
        // transfer; any other request also gets its own line.
        bool segment = ccs == CCS_DOWNLOAD_SEGMENT || ccs == CCS_UPLOAD_SEGMENT;
        bool open = transfer_.kind != Transfer::Kind::None;
        std::string text = Describe(req);
        if (open) Log(endUs, EndTransfer("NO_REPLY"));
        if (!segment || !open) Log(endUs, text + " -> NO_REPLY");
        return;
    }

    Outcome out;
    bool forced = false;
    if (ccs == CCS_INITIATE_DOWNLOAD || ccs == CCS_INITIATE_UPLOAD) {
        uint32_t code = 0;
        for (size_t i = 0; i < config_.aborts.size(); ++i) {
            const ChipAbortRule &r = config_.aborts[i];
            if (r.index != Index(req) || r.sub != req[3]) continue;
            ++abortHits_[i];
            if (!forced && (r.nth == 0 || abortHits_[i] == r.nth)) {
                forced = true;
                code = r.code;
            }
        }
        if (forced) {
            // A new initiate ends an open transfer in any case.
            if (transfer_.kind != Transfer::Kind::None) Log(endUs, EndTransfer("ABANDONED"));
            out.line = Describe(req) + " -> ABORT " + Hex32(code) + " (forced)";
            SetAbort(Index(req), req[3], code, &out);
        }
    }
    if (!forced) Process(req, endUs, &out);

    const Ticks start = std::max(end, busyUntil_);
    const Ticks replyAt = start + REPLY_DELAY + out.flashTime;
    busyUntil_ = replyAt;
    flashTicks_ += out.flashTime;
    const uint64_t lineUs = out.reply ? replyAt / TICKS_PER_US : endUs;
    for (const std::string &l : out.flashLines) Log(replyAt / TICKS_PER_US, l);
    if (!out.line.empty()) Log(lineUs, out.line);
    for (const std::string &l : out.afterLines) Log(lineUs, l);

    if (out.reply) {
        Reply r;
        r.frame.id = LPC_SDO_REPLY_ID;
        r.frame.dlc = 8;
        std::memcpy(r.frame.data, out.data, 8);
        r.ready = replyAt;
        r.after = out.after;
        r.jumpAddress = out.jumpAddress;
        replies_.push_back(r);
        if (out.after != AfterReply::Nothing) leaving_ = true;
        ++answered_;
        if (config_.silentAfter != 0 && answered_ >= config_.silentAfter) {
            silent_ = true;
            Log(lineUs, "STATE SILENT");
        }
    }
}

// ---- SDO server ----------------------------------------------------------------

namespace {

const OdEntry *FindEntry(uint16_t index, uint8_t sub, bool reinvokePresent, uint32_t *abortCode) {
    bool indexFound = false;
    for (const OdEntry &e : kDictionary) {
        if (e.index != index) continue;
        if (index == OD_REINVOKE && !reinvokePresent) continue;
        indexFound = true;
        if (e.sub == sub) return &e;
    }
    *abortCode = indexFound ? ABORT_NO_SUB : ABORT_NO_OBJECT;
    return nullptr;
}

} // namespace

void LpcIspChip::SetConfirm(uint8_t command, uint16_t index, uint8_t sub, Outcome *out) const {
    out->reply = true;
    std::memset(out->data, 0, 8);
    out->data[0] = command;
    out->data[1] = static_cast<uint8_t>(index);
    out->data[2] = static_cast<uint8_t>(index >> 8);
    out->data[3] = sub;
}

void LpcIspChip::SetAbort(uint16_t index, uint8_t sub, uint32_t code, Outcome *out) const {
    SetConfirm(SDO_ABORT, index, sub, out);
    PutLe32(&out->data[4], code);
}

void LpcIspChip::SetIspError(uint16_t index, uint8_t sub, int code, Outcome *out) const {
    SetAbort(index, sub, ABORT_ISP_BASE + static_cast<uint32_t>(code), out);
}

void LpcIspChip::Process(const uint8_t *req, uint64_t endUs, Outcome *out) {
    const uint8_t ccs = req[0] >> 5;
    switch (ccs) {
    case CCS_INITIATE_DOWNLOAD:
    case CCS_INITIATE_UPLOAD:
        if (transfer_.kind != Transfer::Kind::None) Log(endUs, EndTransfer("ABANDONED"));
        if (ccs == CCS_INITIATE_DOWNLOAD) InitiateDownload(req, out);
        else InitiateUpload(req, out);
        return;
    case CCS_DOWNLOAD_SEGMENT:
        DownloadSegment(req, out);
        return;
    case CCS_UPLOAD_SEGMENT:
        UploadSegment(req, out);
        return;
    case CCS_ABORT:
        // A client abort ends an open transfer and is never answered.
        if (transfer_.kind != Transfer::Kind::None) out->line = EndTransfer("ABANDONED");
        else out->line = Describe(req) + " -> NO_REPLY";
        return;
    default:  // block transfers and reserved specifiers
        if (transfer_.kind != Transfer::Kind::None) {
            SetAbort(transfer_.index, transfer_.sub, ABORT_COMMAND, out);
            out->line = EndTransfer("ABORT " + Hex32(ABORT_COMMAND));
        } else {
            SetAbort(Index(req), req[3], ABORT_COMMAND, out);
            out->line = Describe(req) + " -> ABORT " + Hex32(ABORT_COMMAND);
        }
        return;
    }
}

void LpcIspChip::InitiateDownload(const uint8_t *req, Outcome *out) {
    const uint16_t index = Index(req);
    const uint8_t sub = req[3];
    const bool expedited = (req[0] & 0x02) != 0;
    const bool sized = (req[0] & 0x01) != 0;
    uint32_t code = 0;
    const OdEntry *e = FindEntry(index, sub, config_.reinvoke != ReinvokeMode::Absent, &code);
    if (!e || e->access == Access::Ro) {
        if (e) code = ABORT_WRITE_READ_ONLY;
        SetAbort(index, sub, code, out);
        out->line = "SDO " + Mux(index, sub) + " download -> ABORT " + Hex32(code);
        return;
    }

    if (e->size == 0) {  // program data: a RAM write from the RAM write address
        const bool segmented = !expedited;
        const uint32_t count = expedited ? (sized ? 4u - ((req[0] >> 2) & 3u) : 4u) : (sized ? Le32(&req[4]) : 0u);
        std::string text = "WRITE_RAM " + Hex32(ramAddress_) + " " + std::to_string(count);
        int isp = crp_ == Crp::Crp2 ? ISP_CODE_READ_PROTECTION_ENABLED : ISP_CMD_SUCCESS;
        if (isp == ISP_CMD_SUCCESS && (expedited || sized)) isp = CheckRamWrite(ramAddress_, count);
        if (isp != ISP_CMD_SUCCESS) {
            SetIspError(index, sub, isp, out);
            out->line = text + " -> " + IspCodeName(isp);
            return;
        }
        SetConfirm(SDO_DOWNLOAD_CONFIRM, index, sub, out);
        if (segmented) {
            transfer_ = Transfer{};
            transfer_.kind = Transfer::Kind::Download;
            transfer_.index = index;
            transfer_.sub = sub;
            transfer_.sizeIndicated = sized;
            transfer_.size = count;
            transfer_.address = ramAddress_;
            return;
        }
        std::memcpy(&ram_[ramAddress_ - LPC_RAM_BASE], &req[4], count);
        out->line = text + " -> CMD_SUCCESS";
        return;
    }

    if (!expedited) {
        // A fixed-size entry written in segments: collected, then applied.
        if (sized && Le32(&req[4]) != e->size) {
            code = Le32(&req[4]) > e->size ? ABORT_LENGTH_HIGH : ABORT_LENGTH_LOW;
            SetAbort(index, sub, code, out);
            out->line = "SDO " + Mux(index, sub) + " download -> ABORT " + Hex32(code);
            return;
        }
        SetConfirm(SDO_DOWNLOAD_CONFIRM, index, sub, out);
        transfer_ = Transfer{};
        transfer_.kind = Transfer::Kind::Download;
        transfer_.index = index;
        transfer_.sub = sub;
        transfer_.sizeIndicated = sized;
        transfer_.size = e->size;
        return;
    }
    if (sized) {
        uint32_t length = 4u - ((req[0] >> 2) & 3u);
        if (length != e->size) {
            code = length > e->size ? ABORT_LENGTH_HIGH : ABORT_LENGTH_LOW;
            SetAbort(index, sub, code, out);
            out->line = "SDO " + Mux(index, sub) + " download -> ABORT " + Hex32(code);
            return;
        }
    }
    // Without an indicated size the entry takes the low bytes.
    uint32_t value = Le32(&req[4]);
    if (e->size < 4) value &= (1u << (8 * e->size)) - 1;
    WriteEntry(index, sub, value, out);
}

// A segment that belongs to no transfer of its direction: the open transfer,
// if any, ends with the abort; otherwise it is answered under 0x1F50/01.
void LpcIspChip::RefuseSegment(const uint8_t *req, Outcome *out) {
    if (transfer_.kind != Transfer::Kind::None) {
        SetAbort(transfer_.index, transfer_.sub, ABORT_COMMAND, out);
        out->line = EndTransfer("ABORT " + Hex32(ABORT_COMMAND));
    } else {
        SetAbort(OD_PROGRAM_DATA, 1, ABORT_COMMAND, out);
        out->line = Describe(req) + " -> ABORT " + Hex32(ABORT_COMMAND);
    }
}

void LpcIspChip::DownloadSegment(const uint8_t *req, Outcome *out) {
    if (transfer_.kind != Transfer::Kind::Download) {
        RefuseSegment(req, out);
        return;
    }
    const bool toggle = (req[0] & SDO_TOGGLE) != 0;
    const uint32_t n = SDO_SEGMENT_BYTES - ((req[0] >> 1) & 7u);
    const bool last = (req[0] & 0x01) != 0;
    const uint16_t index = transfer_.index;
    const uint8_t sub = transfer_.sub;
    auto fail = [&](uint32_t code, const std::string &result) {
        SetAbort(index, sub, code, out);
        out->line = EndTransfer(result);
    };
    if (toggle != transfer_.toggle) return fail(ABORT_TOGGLE, "ABORT " + Hex32(ABORT_TOGGLE));

    if (index == OD_PROGRAM_DATA) {
        if (transfer_.sizeIndicated && uint64_t(transfer_.done) + n > transfer_.size)
            return fail(ABORT_LENGTH_HIGH, "ABORT " + Hex32(ABORT_LENGTH_HIGH));
        if (transfer_.sizeIndicated && last && transfer_.done + n < transfer_.size)
            return fail(ABORT_LENGTH_LOW, "ABORT " + Hex32(ABORT_LENGTH_LOW));
        const uint64_t at = uint64_t(transfer_.address) + transfer_.done;
        if (!transfer_.sizeIndicated) {
            int isp = at > 0xFFFFFFFFu ? ISP_ADDR_NOT_MAPPED : CheckRamWrite(static_cast<uint32_t>(at), n);
            if (isp != ISP_CMD_SUCCESS) return fail(ABORT_ISP_BASE + static_cast<uint32_t>(isp), IspCodeName(isp));
        }
        if (n > 0) std::memcpy(&ram_[at - LPC_RAM_BASE], &req[1], n);
        transfer_.done += n;
        transfer_.toggle = !transfer_.toggle;
        out->reply = true;
        std::memset(out->data, 0, 8);
        out->data[0] = static_cast<uint8_t>(SDO_SEGMENT_CONFIRM | (toggle ? SDO_TOGGLE : 0));
        if (last) out->line = EndTransfer("CMD_SUCCESS");
        return;
    }

    // A fixed-size entry.
    if (transfer_.data.size() + n > transfer_.size)
        return fail(ABORT_LENGTH_HIGH, "ABORT " + Hex32(ABORT_LENGTH_HIGH));
    transfer_.data.insert(transfer_.data.end(), &req[1], &req[1] + n);
    transfer_.done += n;
    transfer_.toggle = !transfer_.toggle;
    if (!last) {
        out->reply = true;
        std::memset(out->data, 0, 8);
        out->data[0] = static_cast<uint8_t>(SDO_SEGMENT_CONFIRM | (toggle ? SDO_TOGGLE : 0));
        return;
    }
    if (transfer_.data.size() < transfer_.size) return fail(ABORT_LENGTH_LOW, "ABORT " + Hex32(ABORT_LENGTH_LOW));
    uint32_t value = 0;
    for (size_t i = 0; i < transfer_.data.size(); ++i) value |= static_cast<uint32_t>(transfer_.data[i]) << (8 * i);
    transfer_ = Transfer{};
    WriteEntry(index, sub, value, out);
    if (out->reply && out->data[0] == SDO_DOWNLOAD_CONFIRM) {
        std::memset(out->data, 0, 8);
        out->data[0] = static_cast<uint8_t>(SDO_SEGMENT_CONFIRM | (toggle ? SDO_TOGGLE : 0));
    }
}

void LpcIspChip::InitiateUpload(const uint8_t *req, Outcome *out) {
    const uint16_t index = Index(req);
    const uint8_t sub = req[3];
    uint32_t code = 0;
    const OdEntry *e = FindEntry(index, sub, config_.reinvoke != ReinvokeMode::Absent, &code);
    if (!e || e->access == Access::Wo) {
        if (e) code = ABORT_READ_WRITE_ONLY;
        SetAbort(index, sub, code, out);
        out->line = Describe(req) + " -> ABORT " + Hex32(code);
        return;
    }
    if (e->size == 0) {  // program data: a memory read, always segmented
        std::string text = Describe(req);
        int isp = ISP_CMD_SUCCESS;
        if (crp_ == Crp::Crp1 || crp_ == Crp::Crp2) isp = ISP_CODE_READ_PROTECTION_ENABLED;
        else if (!InFlash(readAddress_, readLength_) && !InRam(readAddress_, readLength_)) isp = ISP_ADDR_NOT_MAPPED;
        if (isp != ISP_CMD_SUCCESS) {
            SetIspError(index, sub, isp, out);
            out->line = text + " -> " + IspCodeName(isp);
            return;
        }
        transfer_ = Transfer{};
        transfer_.kind = Transfer::Kind::Upload;
        transfer_.index = index;
        transfer_.sub = sub;
        transfer_.sizeIndicated = true;
        transfer_.size = readLength_;
        transfer_.address = readAddress_;
        transfer_.data.resize(readLength_);
        for (uint32_t i = 0; i < readLength_; ++i) transfer_.data[i] = ViewByte(readAddress_ + i);
        SetConfirm(SDO_UPLOAD_SEGMENTED, index, sub, out);
        PutLe32(&out->data[4], readLength_);
        return;
    }

    uint32_t value = 0;
    switch (index) {
    case OD_DEVICE_TYPE: value = DEVICE_TYPE; break;
    case OD_ERROR_REGISTER: value = 0; break;
    case OD_IDENTITY:
        value = sub == 0 ? IDENTITY_ENTRIES : sub == 1 ? VENDOR_ID : sub == 2 ? config_.partId : BOOT_CODE_VERSION;
        break;
    case OD_PROGRAM_CONTROL: value = 0; break;
    case OD_READ_ADDRESS: value = readAddress_; break;
    case OD_READ_LENGTH: value = readLength_; break;
    case OD_RAM_ADDRESS: value = ramAddress_; break;
    case OD_BLANK_CHECK: value = blankOffset_; break;
    case OD_COPY: value = sub == 1 ? copyDst_ : copySrc_; break;
    case OD_COMPARE: value = sub == 1 ? cmpAddr1_ : sub == 2 ? cmpAddr2_ : compareOffset_; break;
    case OD_EXEC_ADDRESS: value = sub == 0 ? EXEC_ENTRIES : execAddress_; break;
    case OD_SERIAL: value = sub; break;  // serial number words 1-4
    default: break;
    }
    SetConfirm(static_cast<uint8_t>(SDO_UPLOAD_EXPEDITED | (4 - e->size) << 2), index, sub, out);
    PutLe32(&out->data[4], value);
    out->line = Describe(req) + " -> CMD_SUCCESS " + Hex32(value);
}

void LpcIspChip::UploadSegment(const uint8_t *req, Outcome *out) {
    if (transfer_.kind != Transfer::Kind::Upload) {
        RefuseSegment(req, out);
        return;
    }
    const bool toggle = (req[0] & SDO_TOGGLE) != 0;
    if (toggle != transfer_.toggle) {
        SetAbort(transfer_.index, transfer_.sub, ABORT_TOGGLE, out);
        out->line = EndTransfer("ABORT " + Hex32(ABORT_TOGGLE));
        return;
    }
    const uint32_t n = std::min<uint32_t>(SDO_SEGMENT_BYTES, transfer_.size - transfer_.done);
    const bool last = transfer_.done + n == transfer_.size;
    out->reply = true;
    std::memset(out->data, 0, 8);
    out->data[0] = static_cast<uint8_t>((toggle ? SDO_TOGGLE : 0) | (SDO_SEGMENT_BYTES - n) << 1 | (last ? 1 : 0));
    if (n > 0) std::memcpy(&out->data[1], &transfer_.data[transfer_.done], n);
    transfer_.done += n;
    transfer_.toggle = !transfer_.toggle;
    if (last) out->line = EndTransfer("CMD_SUCCESS");
}

std::string LpcIspChip::TransferName() const {
    if (transfer_.index != OD_PROGRAM_DATA) return "SDO " + Mux(transfer_.index, transfer_.sub) + " download";
    if (transfer_.kind == Transfer::Kind::Upload)
        return "READ_MEMORY " + Hex32(transfer_.address) + " " + std::to_string(transfer_.size);
    return "WRITE_RAM " + Hex32(transfer_.address) + " " +
           std::to_string(transfer_.sizeIndicated ? transfer_.size : transfer_.done);
}

std::string LpcIspChip::EndTransfer(const std::string &result) {
    std::string line = TransferName() + " -> " + result;
    bool complete = result == "CMD_SUCCESS";
    if (!complete) line += " after " + std::to_string(transfer_.done) + " bytes";
    transfer_ = Transfer{};
    return line;
}

std::string LpcIspChip::Describe(const uint8_t *req) const {
    const uint8_t ccs = req[0] >> 5;
    const uint16_t index = Index(req);
    const uint8_t sub = req[3];
    switch (ccs) {
    case CCS_DOWNLOAD_SEGMENT:
    case CCS_UPLOAD_SEGMENT:
        if (transfer_.kind != Transfer::Kind::None) return "SDO " + Mux(transfer_.index, transfer_.sub) + " segment";
        return "SDO " + Mux(OD_PROGRAM_DATA, 1) + " segment";
    case CCS_INITIATE_DOWNLOAD: {
        const bool expedited = (req[0] & 0x02) != 0;
        const bool sized = (req[0] & 0x01) != 0;
        if (index == OD_PROGRAM_DATA && sub == 1) {
            uint32_t count = expedited ? (sized ? 4u - ((req[0] >> 2) & 3u) : 4u) : (sized ? Le32(&req[4]) : 0u);
            return "WRITE_RAM " + Hex32(ramAddress_) + " " + std::to_string(count);
        }
        uint32_t code = 0;
        const OdEntry *e = FindEntry(index, sub, config_.reinvoke != ReinvokeMode::Absent, &code);
        if (!expedited || !e || e->size == 0 || e->access == Access::Ro) return "SDO " + Mux(index, sub) + " download";
        uint32_t value = Le32(&req[4]);
        if (e->size < 4) value &= (1u << (8 * e->size)) - 1;
        return CommandText(index, sub, value);
    }
    case CCS_INITIATE_UPLOAD:
        if (index == OD_IDENTITY && sub == IDENTITY_PART_ID) return "READ_PART_ID";
        if (index == OD_COMPARE && sub == 4) return "READ_OFFSET";
        if (index == OD_PROGRAM_DATA && sub == 1)
            return "READ_MEMORY " + Hex32(readAddress_) + " " + std::to_string(readLength_);
        return "SDO " + Mux(index, sub) + " upload";
    case CCS_ABORT:
        return "SDO " + Mux(index, sub) + " abort " + Hex32(Le32(&req[4]));
    default: {
        char text[16];
        std::snprintf(text, sizeof text, " command 0x%02X", req[0]);
        return "SDO " + Mux(index, sub) + text;
    }
    }
}

std::string LpcIspChip::CommandText(uint16_t index, uint8_t sub, uint32_t value) const {
    char text[64];
    switch (index) {
    case OD_PROGRAM_CONTROL: return "EXECUTE " + Hex32(execAddress_);
    case OD_UNLOCK: std::snprintf(text, sizeof text, "UNLOCK 0x%04X", value); return text;
    case OD_REINVOKE: return "REINVOKE";
    case OD_PREPARE:
    case OD_ERASE:
        std::snprintf(text, sizeof text, "%s %u %u", index == OD_PREPARE ? "PREPARE" : "ERASE", value & 0xFF,
                      (value >> 8) & 0xFF);
        return text;
    case OD_BLANK_CHECK:
        if (sub == 1) {
            std::snprintf(text, sizeof text, "BLANK_CHECK %u %u", value & 0xFF, (value >> 8) & 0xFF);
            return text;
        }
        break;
    case OD_COPY:
        if (sub == 3) return "COPY " + Hex32(copyDst_) + " " + Hex32(copySrc_) + " " + std::to_string(value);
        break;
    case OD_COMPARE:
        if (sub == 3) return "COMPARE " + Hex32(cmpAddr1_) + " " + Hex32(cmpAddr2_) + " " + std::to_string(value);
        break;
    default: break;
    }
    if (const char *name = ParamName(index, sub)) return std::string("SET ") + name + " " + Hex32(value);
    return "SDO " + Mux(index, sub) + " download";
}

// ---- Commands ------------------------------------------------------------------

void LpcIspChip::WriteEntry(uint16_t index, uint8_t sub, uint32_t value, Outcome *out) {
    const std::string text = CommandText(index, sub, value);
    int isp = ISP_CMD_SUCCESS;
    std::string extra;
    switch (index) {
    case OD_PROGRAM_CONTROL:
        if (value != EXECUTE_START) {
            SetAbort(index, sub, ABORT_VALUE_RANGE, out);
            out->line = text + " -> ABORT " + Hex32(ABORT_VALUE_RANGE);
            return;
        }
        isp = Execute(out);
        break;
    case OD_UNLOCK:
        if (value == UNLOCK_CODE) {
            if (!unlocked_) out->afterLines.push_back("STATE UNLOCKED");
            unlocked_ = true;
        } else {
            isp = ISP_INVALID_CODE;
        }
        break;
    case OD_REINVOKE: {
        // The bootloader restarts as after a reset into ISP; RAM is kept.
        bool wasUnlocked = unlocked_;
        StartBootloader();
        if (wasUnlocked) out->afterLines.push_back("STATE LOCKED");
        if (config_.reinvoke == ReinvokeMode::Silent) {
            out->line = text + " -> NO_REPLY";
            return;
        }
        break;
    }
    case OD_READ_ADDRESS: readAddress_ = value; break;
    case OD_READ_LENGTH: readLength_ = value; break;
    case OD_RAM_ADDRESS: ramAddress_ = value; break;
    case OD_PREPARE: isp = Prepare(value); break;
    case OD_ERASE: isp = Erase(value, out); break;
    case OD_BLANK_CHECK:
        isp = BlankCheck(value);
        if (isp == ISP_SECTOR_NOT_BLANK) extra = " " + Hex32(blankOffset_);
        break;
    case OD_COPY:
        if (sub == 1) copyDst_ = value;
        else if (sub == 2) copySrc_ = value;
        else isp = Copy(value, out);
        break;
    case OD_COMPARE:
        if (sub == 1) cmpAddr1_ = value;
        else if (sub == 2) cmpAddr2_ = value;
        else {
            isp = Compare(value);
            if (isp == ISP_COMPARE_ERROR) extra = " " + Hex32(compareOffset_);
        }
        break;
    case OD_EXEC_ADDRESS: execAddress_ = value; break;
    default: break;
    }
    if (isp == ISP_CMD_SUCCESS) {
        SetConfirm(SDO_DOWNLOAD_CONFIRM, index, sub, out);
    } else {
        SetIspError(index, sub, isp, out);
        out->afterLines.clear();
    }
    out->line = text + " -> " + IspCodeName(isp) + extra;
}

bool LpcIspChip::InFlash(uint64_t address, uint64_t count) const {
    return address >= LPC_FLASH_BASE && address + count <= uint64_t(LPC_FLASH_BASE) + LPC_FLASH_SIZE;
}

bool LpcIspChip::InRam(uint64_t address, uint64_t count) const {
    return address >= LPC_RAM_BASE && address + count <= uint64_t(LPC_RAM_BASE) + LPC_RAM_SIZE;
}

int LpcIspChip::CheckRamWrite(uint32_t address, uint64_t count) const {
    if (count == 0) return ISP_CMD_SUCCESS;
    if (!InRam(address, count)) return ISP_ADDR_NOT_MAPPED;
    if (address < RAM_WRITE_FIRST || uint64_t(address) + count - 1 > RAM_WRITE_LAST) return ISP_ADDR_ERROR;
    return ISP_CMD_SUCCESS;
}

uint8_t LpcIspChip::ViewByte(uint32_t address) const {
    if (config_.remap && address < LPC_FLASH_BASE + REMAP_SIZE) {
        uint32_t offset = address - LPC_FLASH_BASE;
        uint32_t word = BOOT_ROM_WORD_BASE + (offset & ~(WORD - 1));
        return static_cast<uint8_t>(word >> (8 * (offset & (WORD - 1))));
    }
    if (InFlash(address, 1)) return flash_[address - LPC_FLASH_BASE];
    return ram_[address - LPC_RAM_BASE];
}

namespace {

bool SectorRange(uint32_t value, uint32_t *first, uint32_t *last) {
    *first = value & 0xFF;
    *last = (value >> 8) & 0xFF;
    return *first <= *last && *last < LPC_SECTOR_COUNT;
}

uint8_t SectorMask(uint32_t first, uint32_t last) {
    uint8_t mask = 0;
    for (uint32_t s = first; s <= last; ++s) mask = static_cast<uint8_t>(mask | 1u << s);
    return mask;
}

} // namespace

int LpcIspChip::Prepare(uint32_t value) {
    uint32_t first, last;
    if (!SectorRange(value, &first, &last)) return ISP_INVALID_SECTOR;
    prepared_ = static_cast<uint8_t>(prepared_ | SectorMask(first, last));
    return ISP_CMD_SUCCESS;
}

int LpcIspChip::Erase(uint32_t value, Outcome *out) {
    uint32_t first, last;
    if (!unlocked_) return ISP_CMD_LOCKED;
    if (!SectorRange(value, &first, &last)) return ISP_INVALID_SECTOR;
    const bool all = first == 0 && last == LPC_SECTOR_COUNT - 1;
    if ((crp_ == Crp::Crp1 && first == 0 && !all) || (crp_ == Crp::Crp2 && !all))
        return ISP_CODE_READ_PROTECTION_ENABLED;
    const uint8_t mask = SectorMask(first, last);
    if ((prepared_ & mask) != mask) return ISP_SECTOR_NOT_PREPARED;
    std::fill(flash_.begin() + first * LPC_SECTOR_SIZE, flash_.begin() + (last + 1) * LPC_SECTOR_SIZE, 0xFF);
    prepared_ = static_cast<uint8_t>(prepared_ & ~mask);
    out->flashTime = ERASE_TIME;
    for (uint32_t s = first; s <= last; ++s) out->flashLines.push_back("FLASH ERASE " + std::to_string(s));
    SaveFlash();
    return ISP_CMD_SUCCESS;
}

int LpcIspChip::BlankCheck(uint32_t value) {
    uint32_t first, last;
    if (crp_ == Crp::Crp1 || crp_ == Crp::Crp2) return ISP_CODE_READ_PROTECTION_ENABLED;
    if (!SectorRange(value, &first, &last)) return ISP_INVALID_SECTOR;
    const uint32_t start = LPC_FLASH_BASE + first * LPC_SECTOR_SIZE;
    const uint32_t end = LPC_FLASH_BASE + (last + 1) * LPC_SECTOR_SIZE;
    for (uint32_t a = start; a < end; ++a) {
        if (ViewByte(a) != 0xFF) {
            blankOffset_ = (a - start) & ~(WORD - 1);
            return ISP_SECTOR_NOT_BLANK;
        }
    }
    return ISP_CMD_SUCCESS;
}

int LpcIspChip::Copy(uint32_t count, Outcome *out) {
    if (!unlocked_) return ISP_CMD_LOCKED;
    if (std::find(std::begin(kCopyCounts), std::end(kCopyCounts), count) == std::end(kCopyCounts))
        return ISP_COUNT_ERROR;
    if (copyDst_ % COPY_DST_ALIGN != 0) return ISP_DST_ADDR_ERROR;
    if (copySrc_ % WORD != 0) return ISP_SRC_ADDR_ERROR;
    if (!InRam(copySrc_, count)) return ISP_SRC_ADDR_NOT_MAPPED;
    if (!InFlash(copyDst_, count)) return ISP_DST_ADDR_NOT_MAPPED;
    const uint32_t first = (copyDst_ - LPC_FLASH_BASE) / LPC_SECTOR_SIZE;
    const uint32_t last = (copyDst_ - LPC_FLASH_BASE + count - 1) / LPC_SECTOR_SIZE;
    if (crp_ == Crp::Crp2 || (crp_ == Crp::Crp1 && first == 0)) return ISP_CODE_READ_PROTECTION_ENABLED;
    const uint8_t mask = SectorMask(first, last);
    if ((prepared_ & mask) != mask) return ISP_SECTOR_NOT_PREPARED;

    // Programming can only clear bits.
    bool changed = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t &cell = flash_[copyDst_ - LPC_FLASH_BASE + i];
        uint8_t next = static_cast<uint8_t>(cell & ram_[copySrc_ - LPC_RAM_BASE + i]);
        changed = changed || next != cell;
        cell = next;
    }
    prepared_ = static_cast<uint8_t>(prepared_ & ~mask);
    out->flashTime = PROGRAM_TIME_PER_256 * (count / 256);
    out->flashLines.push_back("FLASH PROGRAM " + Hex32(copyDst_) + " " + std::to_string(count));
    if (changed) SaveFlash();
    return ISP_CMD_SUCCESS;
}

int LpcIspChip::Compare(uint32_t count) {
    if (crp_ == Crp::Crp1 || crp_ == Crp::Crp2) return ISP_CODE_READ_PROTECTION_ENABLED;
    if (count % WORD != 0) return ISP_COUNT_ERROR;
    if (cmpAddr1_ % WORD != 0 || cmpAddr2_ % WORD != 0) return ISP_ADDR_ERROR;
    for (uint32_t a : {cmpAddr1_, cmpAddr2_})
        if (!InFlash(a, count) && !InRam(a, count)) return ISP_ADDR_NOT_MAPPED;
    if (config_.compareDiff && count > config_.compareDiffOffset) {
        compareOffset_ = config_.compareDiffOffset;
        return ISP_COMPARE_ERROR;
    }
    for (uint32_t i = 0; i < count; i += WORD) {
        for (uint32_t k = 0; k < WORD; ++k) {
            if (ViewByte(cmpAddr1_ + i + k) != ViewByte(cmpAddr2_ + i + k)) {
                compareOffset_ = i;
                return ISP_COMPARE_ERROR;
            }
        }
    }
    return ISP_CMD_SUCCESS;
}

int LpcIspChip::Execute(Outcome *out) {
    if (!unlocked_) return ISP_CMD_LOCKED;
    if (crp_ == Crp::Crp1 || crp_ == Crp::Crp2) return ISP_CODE_READ_PROTECTION_ENABLED;
    if (execAddress_ % WORD != 0) return ISP_ADDR_ERROR;
    if (!InFlash(execAddress_, 1) && !InRam(execAddress_, 1)) return ISP_ADDR_NOT_MAPPED;
    // The confirmation goes out first, then the jump (board choice).
    uint8_t code[sizeof kResetRoutine];
    bool reset = Read(execAddress_, code, sizeof code) == 0 && std::memcmp(code, kResetRoutine, sizeof code) == 0;
    out->after = reset ? AfterReply::Reset : AfterReply::RunUserCode;
    out->jumpAddress = execAddress_;
    return ISP_CMD_SUCCESS;
}

// ---- Control interface -----------------------------------------------------------

int LpcIspChip::Read(uint32_t address, uint8_t *buffer, uint32_t count) const {
    if (InFlash(address, count)) {
        if (count) std::memcpy(buffer, &flash_[address - LPC_FLASH_BASE], count);
        return 0;
    }
    if (InRam(address, count)) {
        if (count) std::memcpy(buffer, &ram_[address - LPC_RAM_BASE], count);
        return 0;
    }
    return -1;
}

int LpcIspChip::Write(uint32_t address, const uint8_t *buffer, uint32_t count) {
    if (InFlash(address, count)) {
        if (count == 0) return 0;
        uint8_t *at = &flash_[address - LPC_FLASH_BASE];
        bool changed = std::memcmp(at, buffer, count) != 0;
        std::memcpy(at, buffer, count);
        if (changed) SaveFlash();
        return 0;
    }
    if (InRam(address, count)) {
        if (count) std::memcpy(&ram_[address - LPC_RAM_BASE], buffer, count);
        return 0;
    }
    return -1;
}

ChipStateCode LpcIspChip::State() const {
    switch (mode_) {
    case Mode::Absent: return ChipStateCode::Absent;
    case Mode::UserCode: return ChipStateCode::UserCode;
    case Mode::Isp: break;
    }
    return unlocked_ ? ChipStateCode::IspUnlocked : ChipStateCode::IspLocked;
}

void LpcIspChip::Log(uint64_t timeUs, const std::string &event) { log_.Line(timeUs, event); }

void LpcIspChip::SaveFlash() {
    if (config_.flashPath.empty()) return;
    std::string why;
    if (!WriteFileAtomically(config_.flashPath, flash_, &why)) {
        // Nothing else can report it: a lost flash image must not pass unseen.
        std::fprintf(stderr, "simboard: cannot write SIMBOARD_FLASH=\"%s\": %s\n", config_.flashPath.c_str(),
                     why.c_str());
        std::fflush(stderr);
    }
}

} // namespace simboard
