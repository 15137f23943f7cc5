// The chip as one node on the board's CAN bus: power-on and the boot ROM's
// entry decision, the C_CAN node that takes requests on 0x67D and offers the
// replies on 0x5FD one at a time, the answer scenarios of the settings
// (SIMBOARD_CHIP_ANSWER_FROM, _SILENT_AFTER, _ABORT), and the control
// interface. What a request does is the SDO server's (lpc_isp_sdo.cpp).
#include "sim/lpc_isp_state.h"

#include <algorithm>
#include <cstring>

namespace simboard
{

using lpc::ChipState;

namespace
{

// Command decoding before a reply goes out (board choice).
constexpr Ticks REPLY_DELAY = 50 * TICKS_PER_US;

void AbandonTransfer(ChipState &s, uint64_t us)
{
    if (s.transfer.kind != lpc::Transfer::Kind::None)
        s.log.Line(us, lpc::EndTransfer(s, "ABANDONED"));
}

// Power-on or reset: "STATE RESET" and the boot ROM's entry decision (UM10398
// "Boot process flowchart"). PIO0_3 is wired low (C_CAN rather than UART
// ISP); PIO0_1, the entry pin, by setting. With the pin low the bootloader
// runs unless CRP3 or NO_ISP guard valid user code (UM10398 "ISP entry
// protection"); with it high valid user code runs.
void Boot(ChipState &s, Ticks now)
{
    uint64_t us = now / TICKS_PER_US;
    AbandonTransfer(s, us);
    s.replies.clear();
    s.leaving = false;
    s.busyUntil = now;
    if (s.config.pin == ChipEntryPin::Absent) {
        s.mode = lpc::Mode::Absent;
        return;
    }
    s.log.Line(us, "STATE RESET");
    lpc::Crp crp = lpc::ReadCrp(s);
    bool userCode;
    if (s.config.pin == ChipEntryPin::Isp)
        userCode = (crp == lpc::Crp::Crp3 || crp == lpc::Crp::NoIsp) && lpc::ValidUserCode(s);
    else
        userCode = lpc::ValidUserCode(s);
    if (userCode) {
        s.mode = lpc::Mode::UserCode;
        s.log.Line(us, "STATE USER_CODE " + Hex32(LPC_FLASH_BASE));
    } else {
        lpc::StartBootloader(s);
        s.log.Line(us, "STATE ISP");
    }
}

// SIMBOARD_CHIP_ANSWER_FROM: the bootloader ignores every request until the
// n-th part-ID request. True when it ignores this one.
bool NotYetAnswering(ChipState &s, const uint8_t *req, uint64_t endUs)
{
    if (s.answering)
        return false;
    bool partId = lpc::CommandSpecifier(req) == lpc::CCS_INITIATE_UPLOAD &&
                  lpc::RequestIndex(req) == lpc::OD_IDENTITY && req[3] == lpc::IDENTITY_PART_ID;
    if (partId && ++s.partIdRequests >= s.config.answerFrom) {
        s.answering = true;
        return false;
    }
    s.log.Line(endUs, lpc::DescribeRequest(s, req) + " -> IGNORED");
    return true;
}

// SIMBOARD_CHIP_SILENT_AFTER: a bootloader fallen silent answers nothing. A
// segment of the open transfer ends it with the one line of the transfer;
// any other request also gets its own line.
void DropSilently(ChipState &s, const uint8_t *req, uint64_t endUs)
{
    const uint8_t ccs = lpc::CommandSpecifier(req);
    bool segment = ccs == lpc::CCS_DOWNLOAD_SEGMENT || ccs == lpc::CCS_UPLOAD_SEGMENT;
    bool open = s.transfer.kind != lpc::Transfer::Kind::None;
    std::string text = lpc::DescribeRequest(s, req);
    if (open)
        s.log.Line(endUs, lpc::EndTransfer(s, "NO_REPLY"));
    if (!segment || !open)
        s.log.Line(endUs, text + " -> NO_REPLY");
}

// SIMBOARD_CHIP_ABORT: every rule for an initiate's entry counts it; the
// first rule due answers it with its abort code instead of carrying it out.
bool ForceAbort(ChipState &s, const uint8_t *req, uint64_t endUs, lpc::Outcome *out)
{
    const uint8_t ccs = lpc::CommandSpecifier(req);
    if (ccs != lpc::CCS_INITIATE_DOWNLOAD && ccs != lpc::CCS_INITIATE_UPLOAD)
        return false;
    bool forced = false;
    uint32_t code = 0;
    for (size_t i = 0; i < s.config.aborts.size(); ++i) {
        const ChipAbortRule &r = s.config.aborts[i];
        if (r.index != lpc::RequestIndex(req) || r.sub != req[3])
            continue;
        ++s.abortHits[i];
        if (!forced && (r.nth == 0 || s.abortHits[i] == r.nth)) {
            forced = true;
            code = r.code;
        }
    }
    if (!forced)
        return false;
    // A new initiate ends an open transfer in any case.
    AbandonTransfer(s, endUs);
    out->line = lpc::DescribeRequest(s, req) + " -> ABORT " + Hex32(code) + " (forced)";
    lpc::SetAbort(lpc::RequestIndex(req), req[3], code, out);
    return true;
}

// The outcome of a request received at `end`: the bootloader takes it when
// it is done with the one before, spends the flash time, then replies; the
// log lines fall at those times.
void Conclude(ChipState &s, Ticks end, const lpc::Outcome &out)
{
    const uint64_t endUs = end / TICKS_PER_US;
    const Ticks start = std::max(end, s.busyUntil);
    const Ticks replyAt = start + REPLY_DELAY + out.flashTime;
    s.busyUntil = replyAt;
    s.flashTicks += out.flashTime;
    const uint64_t lineUs = out.reply ? replyAt / TICKS_PER_US : endUs;
    for (const std::string &l : out.flashLines)
        s.log.Line(replyAt / TICKS_PER_US, l);
    if (!out.line.empty())
        s.log.Line(lineUs, out.line);
    for (const std::string &l : out.afterLines)
        s.log.Line(lineUs, l);
    if (!out.reply)
        return;

    lpc::Reply r;
    r.frame.id = LPC_SDO_REPLY_ID;
    r.frame.dlc = 8;
    std::memcpy(r.frame.data, out.data, 8);
    r.ready = replyAt;
    r.after = out.after;
    r.jumpAddress = out.jumpAddress;
    s.replies.push_back(r);
    if (out.after != lpc::AfterReply::Nothing)
        s.leaving = true;
    ++s.answered;
    if (s.config.silentAfter != 0 && s.answered >= s.config.silentAfter) {
        s.silent = true;
        s.log.Line(lineUs, "STATE SILENT");
    }
}

// One SDO request received at `end`.
void Handle(ChipState &s, const CanFrame &frame, Ticks end)
{
    ++s.requests;
    const uint8_t *req = frame.data;
    const uint64_t endUs = end / TICKS_PER_US;
    if (s.leaving) { // an accepted execution: the bootloader is on its way out
        s.log.Line(endUs, lpc::DescribeRequest(s, req) + " -> IGNORED");
        return;
    }
    if (NotYetAnswering(s, req, endUs))
        return;
    if (s.silent)
        return DropSilently(s, req, endUs);
    lpc::Outcome out;
    if (!ForceAbort(s, req, endUs, &out))
        lpc::ServeRequest(s, req, endUs, &out);
    Conclude(s, end, out);
}

} // namespace

namespace lpc
{

ChipState::ChipState(const ChipConfig &config)
    : config(config), flash(LPC_FLASH_SIZE, 0xFF), ram(LPC_RAM_SIZE, 0x00), answering(config.answerFrom <= 1),
      abortHits(config.aborts.size(), 0)
{
}

} // namespace lpc

LpcIspChip::LpcIspChip(const ChipConfig &config) : state_(std::make_unique<ChipState>(config)) {}

LpcIspChip::~LpcIspChip() { Shutdown(state_->busyUntil); }

bool LpcIspChip::Start(Ticks now, std::string *badName, std::string *reason)
{
    ChipState &s = *state_;
    const char *bad = nullptr;
    std::string why;
    if (!s.config.logPath.empty() && !s.log.Open(s.config.logPath, &why))
        bad = "SIMBOARD_CHIPLOG";
    else if (!s.config.flashPath.empty() && !lpc::LoadFlashFile(s, &why))
        bad = "SIMBOARD_FLASH";
    if (bad) {
        if (badName)
            *badName = bad;
        if (reason)
            *reason = why;
        s.log.Close();
        std::fill(s.flash.begin(), s.flash.end(), 0xFF);
        s.config.flashPath.clear();
    }
    Boot(s, now);
    return bad == nullptr;
}

void LpcIspChip::Shutdown(Ticks now)
{
    AbandonTransfer(*state_, now / TICKS_PER_US);
    state_->log.Close();
}

void LpcIspChip::PowerCycle(Ticks now)
{
    std::fill(state_->ram.begin(), state_->ram.end(), 0x00);
    Boot(*state_, now);
}

// ---- On the bus -------------------------------------------------------------

double LpcIspChip::BitRate() const
{
    // The C_CAN node runs only while the bootloader does; user code's own CAN
    // set-up is unknown, so it is off the bus then.
    return state_->mode == lpc::Mode::Isp ? static_cast<double>(state_->config.bitRate) : 0.0;
}

bool LpcIspChip::NextFrame(TxRequest *request)
{
    const ChipState &s = *state_;
    if (s.replies.empty() || s.mode != lpc::Mode::Isp)
        return false;
    const lpc::Reply &r = s.replies.front();
    request->frame = r.frame;
    request->bitRate = s.config.bitRate;
    request->ready = r.ready;
    request->urgent = true;
    // The C_CAN controller retransmits a frame nobody acknowledged.
    request->retry = r.retry;
    return true;
}

void LpcIspChip::FrameDone(bool acknowledged, Ticks end)
{
    ChipState &s = *state_;
    if (s.replies.empty())
        return;
    if (!acknowledged) {
        s.replies.front().retry = true;
        return;
    }
    lpc::Reply done = s.replies.front();
    s.replies.pop_front();
    if (done.after == lpc::AfterReply::Reset) {
        Boot(s, end);
    } else if (done.after == lpc::AfterReply::RunUserCode) {
        s.replies.clear();
        s.leaving = false;
        s.mode = lpc::Mode::UserCode;
        s.log.Line(end / TICKS_PER_US, "STATE USER_CODE " + Hex32(done.jumpAddress));
    }
}

void LpcIspChip::Receive(const CanFrame &frame, Ticks end)
{
    if (state_->mode != lpc::Mode::Isp)
        return;
    // Only standard data frames to the SDO request identifier are requests;
    // everything else is acknowledged and dropped, as is a short 0x67D frame.
    if (frame.extended || frame.remote || frame.id != LPC_SDO_REQUEST_ID || frame.DataLength() < 8)
        return;
    Handle(*state_, frame, end);
}

// ---- Control interface ------------------------------------------------------

int LpcIspChip::Read(uint32_t address, uint8_t *buffer, uint32_t count) const
{
    return lpc::ReadMemory(*state_, address, buffer, count);
}

int LpcIspChip::Write(uint32_t address, const uint8_t *buffer, uint32_t count)
{
    return lpc::WriteMemory(*state_, address, buffer, count);
}

ChipStateCode LpcIspChip::State() const
{
    switch (state_->mode) {
    case lpc::Mode::Absent:
        return ChipStateCode::Absent;
    case lpc::Mode::UserCode:
        return ChipStateCode::UserCode;
    case lpc::Mode::Isp:
        break;
    }
    return state_->unlocked ? ChipStateCode::IspUnlocked : ChipStateCode::IspLocked;
}

uint32_t LpcIspChip::Requests() const { return state_->requests; }

Ticks LpcIspChip::FlashTime() const { return state_->flashTicks; }

const ChipConfig &LpcIspChip::Config() const { return state_->config; }

} // namespace simboard
