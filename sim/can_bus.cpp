#include "sim/can_bus.h"
#include "sim/records.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace simboard
{

namespace
{

constexpr uint16_t CRC15_POLY = 0x4599;
constexpr int STUFF_RUN = 5;
// CRC delimiter, ACK slot, ACK delimiter, EOF 7, intermission 3.
constexpr int TAIL_BITS = 13;
// CRC delimiter and ACK slot, then error flag 6, error delimiter 8 and
// intermission 3: the bus time of an attempt nobody acknowledged.
constexpr int ACK_ERROR_TAIL_BITS = 2 + 6 + 8 + 3;
// Same-rate tolerance, relative to the higher rate.
constexpr double SAME_RATE_TOLERANCE = 0.005;

constexpr Ticks NEVER = std::numeric_limits<Ticks>::max();
constexpr Ticks SETTLE_HORIZON = 1000000 * TICKS_PER_US;

void PushBits(std::vector<bool> *bits, uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        bits->push_back(((value >> i) & 1) != 0);
}

} // namespace

bool operator==(const CanFrame &a, const CanFrame &b)
{
    if (a.id != b.id || a.extended != b.extended || a.remote != b.remote || a.dlc != b.dlc)
        return false;
    return std::memcmp(a.data, b.data, a.DataLength()) == 0;
}

uint16_t CanCrc15(const std::vector<bool> &bits)
{
    uint16_t crc = 0;
    for (bool bit : bits) {
        bool next = bit != (((crc >> 14) & 1) != 0);
        crc = static_cast<uint16_t>((crc << 1) & 0x7FFF);
        if (next)
            crc ^= CRC15_POLY;
    }
    return crc;
}

std::vector<bool> CanFrameHeadBits(const CanFrame &f)
{
    std::vector<bool> bits;
    bits.reserve(38 + 64 + 1);
    bits.push_back(false); // SOF, dominant
    if (f.extended) {
        PushBits(&bits, (f.id >> 18) & 0x7FF, 11);
        bits.push_back(true); // SRR
        bits.push_back(true); // IDE
        PushBits(&bits, f.id & 0x3FFFF, 18);
        bits.push_back(f.remote);
        bits.push_back(false); // r1
        bits.push_back(false); // r0
    } else {
        PushBits(&bits, f.id & 0x7FF, 11);
        bits.push_back(f.remote);
        bits.push_back(false); // IDE
        bits.push_back(false); // r0
    }
    PushBits(&bits, f.dlc & 0xF, 4);
    for (size_t i = 0; i < f.DataLength(); ++i)
        PushBits(&bits, f.data[i], 8);
    return bits;
}

CanBitCount CanFrameBits(const CanFrame &frame)
{
    std::vector<bool> bits = CanFrameHeadBits(frame);
    PushBits(&bits, CanCrc15(bits), 15);

    // Stuffing runs from SOF to the end of the CRC; a stuff bit is part of
    // the next run, and a run of five that ends the CRC still gets one.
    int stuff = 0;
    int run = 0;
    bool level = false;
    for (size_t i = 0; i < bits.size(); ++i) {
        if (i > 0 && bits[i] == level) {
            ++run;
        } else {
            level = bits[i];
            run = 1;
        }
        if (run == STUFF_RUN) {
            ++stuff;
            level = !level;
            run = 1;
        }
    }
    CanBitCount n;
    n.unstuffed = static_cast<int>(bits.size());
    n.stuff = stuff;
    n.total = n.unstuffed + stuff + TAIL_BITS;
    n.unacknowledged = n.unstuffed + stuff + ACK_ERROR_TAIL_BITS;
    return n;
}

Ticks CanBitsToTicks(int bits, double bitRate)
{
    if (bitRate <= 0 || bits <= 0)
        return 0;
    // The slack keeps rates that are exact in decimal (100 kbit/s) from
    // rounding up a whole microsecond through binary floating point.
    double us = std::ceil(static_cast<double>(bits) * 1e6 / bitRate - 1e-6);
    return static_cast<Ticks>(us) * TICKS_PER_US;
}

bool CanSameRate(double a, double b)
{
    if (a <= 0 || b <= 0)
        return false;
    return std::fabs(a - b) <= SAME_RATE_TOLERANCE * std::max(a, b);
}

uint32_t CanArbitrationKey(const CanFrame &f)
{
    // Left-aligned arbitration bits: base 11, RTR or SRR, IDE, then for an
    // extended frame the extension 18 and RTR. Dominant 0 wins.
    if (f.extended) {
        return ((f.id >> 18) & 0x7FF) << 21 | 1u << 20 | 1u << 19 | (f.id & 0x3FFFF) << 1 | (f.remote ? 1u : 0u);
    }
    return (f.id & 0x7FF) << 21 | (f.remote ? 1u : 0u) << 20;
}

// ---- Test nodes ------------------------------------------------------------

bool TestNode::NextFrame(TxRequest *request)
{
    if (!hasOutgoing_)
        return false;
    *request = outgoing_;
    return true;
}

void TestNode::FrameDone(bool acknowledged, Ticks)
{
    hasOutgoing_ = false;
    lastAcknowledged_ = acknowledged;
}

void TestNode::Receive(const CanFrame &frame, Ticks end)
{
    if (queue_.size() >= QUEUE_LIMIT)
        queue_.pop_front();
    queue_.push_back({frame, end});
}

int TestNode::Send(CanBus &bus, const CanFrame &frame, Ticks *now)
{
    if (listenOnly_ || frame.dlc > CAN_DLC_MAX)
        return -1;
    if (frame.extended ? frame.id > CAN_EXT_ID_MAX : frame.id > CAN_STD_ID_MAX)
        return -1;
    outgoing_ = TxRequest{};
    outgoing_.frame = frame;
    outgoing_.bitRate = rate_;
    outgoing_.ready = *now;
    outgoing_.urgent = true;
    hasOutgoing_ = true;
    lastAcknowledged_ = false;
    *now = bus.Settle(*now);
    if (hasOutgoing_) { // not attached to this bus: nothing went out
        hasOutgoing_ = false;
        return 1;
    }
    return lastAcknowledged_ ? 0 : 1;
}

bool TestNode::Take(Received *out)
{
    if (queue_.empty())
        return false;
    *out = queue_.front();
    queue_.pop_front();
    return true;
}

// ---- The noise node --------------------------------------------------------

namespace
{

constexpr uint64_t NOISE_PERIOD_MIN_US = 100;
// Keeps period arithmetic in ticks far from overflow (about 11.5 days).
constexpr uint64_t NOISE_PERIOD_MAX_US = 1000000000000ull;
constexpr uint32_t NOISE_RATE_MIN = 10000;
constexpr uint32_t NOISE_RATE_MAX = 1000000;
constexpr uint32_t NOISE_RATE_DEFAULT = 100000;

std::string ParseNoiseEntry(const std::string &e, NoiseEntry *out)
{
    size_t hash = e.find('#');
    if (hash == std::string::npos)
        return "missing '#' between identifier and data";
    size_t at = e.find('@', hash);
    if (at == std::string::npos)
        return "missing '@' before the period";
    std::string id = e.substr(0, hash);
    std::string data = e.substr(hash + 1, at - hash - 1);
    std::string rest = e.substr(at + 1);
    std::string period = rest;
    std::string rate;
    size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        period = rest.substr(0, slash);
        rate = rest.substr(slash + 1);
        if (rate.empty())
            return "missing bit rate after '/'";
    }

    NoiseEntry n;
    if (id.empty() || (id.size() > 3 && id.size() != 8))
        return "identifier must be 1 to 3 hexadecimal digits (standard) or 8 (extended)";
    uint32_t v = 0;
    for (char c : id) {
        int h = HexDigitValue(c);
        if (h < 0)
            return "identifier is not hexadecimal";
        v = v << 4 | static_cast<uint32_t>(h);
    }
    n.frame.extended = id.size() == 8;
    if (n.frame.extended ? v > CAN_EXT_ID_MAX : v > CAN_STD_ID_MAX)
        return n.frame.extended ? "extended identifier above 1FFFFFFF" : "standard identifier above 7FF";
    n.frame.id = v;

    if (!data.empty() && (data[0] == 'R' || data[0] == 'r')) {
        n.frame.remote = true;
        if (data.size() > 2)
            return "remote frame takes at most one DLC digit after R";
        if (data.size() == 2) {
            if (data[1] < '0' || data[1] > '8')
                return "remote frame DLC must be a digit 0 to 8";
            n.frame.dlc = static_cast<uint8_t>(data[1] - '0');
        }
    } else {
        if (data.size() % 2 != 0)
            return "data must be pairs of hexadecimal digits";
        if (data.size() > 16)
            return "data holds more than 8 bytes";
        for (size_t i = 0; i < data.size(); i += 2) {
            int hi = HexDigitValue(data[i]);
            int lo = HexDigitValue(data[i + 1]);
            if (hi < 0 || lo < 0)
                return "data is not hexadecimal";
            n.frame.data[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
        }
        n.frame.dlc = static_cast<uint8_t>(data.size() / 2);
    }

    uint64_t p = 0;
    if (!ParseDecimal(period, &p))
        return "period must be a decimal number of microseconds";
    if (p < NOISE_PERIOD_MIN_US)
        return "period must be at least 100 microseconds";
    if (p > NOISE_PERIOD_MAX_US)
        return "period too large";
    n.periodUs = p;

    n.bitRate = NOISE_RATE_DEFAULT;
    if (!rate.empty()) {
        uint64_t r = 0;
        if (!ParseDecimal(rate, &r))
            return "bit rate must be a decimal number of bit/s";
        if (r < NOISE_RATE_MIN || r > NOISE_RATE_MAX)
            return "bit rate must be 10000 to 1000000";
        n.bitRate = static_cast<uint32_t>(r);
    }
    *out = n;
    return "";
}

} // namespace

std::string ParseNoise(const std::string &text, std::vector<NoiseEntry> *entries)
{
    std::vector<NoiseEntry> parsed;
    if (!text.empty()) {
        size_t start = 0;
        for (int index = 1;; ++index) {
            size_t comma = text.find(',', start);
            std::string entry = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            NoiseEntry n;
            std::string error = entry.empty() ? "empty entry" : ParseNoiseEntry(entry, &n);
            if (!error.empty())
                return "entry " + std::to_string(index) + " \"" + entry + "\": " + error;
            parsed.push_back(n);
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    *entries = std::move(parsed);
    return "";
}

NoiseNode::NoiseNode(std::vector<NoiseEntry> entries)
{
    for (auto &e : entries)
        slots_.push_back({e, e.periodUs * TICKS_PER_US});
}

double NoiseNode::BitRate() const { return slots_.empty() ? 0 : slots_.front().entry.bitRate; }

bool NoiseNode::NextFrame(TxRequest *request)
{
    if (slots_.empty())
        return false;
    // One frame at a time, in due order; frames due together go in their
    // arbitration order.
    size_t best = 0;
    for (size_t i = 1; i < slots_.size(); ++i) {
        const Slot &s = slots_[i];
        const Slot &b = slots_[best];
        if (s.due < b.due || (s.due == b.due && CanArbitrationKey(s.entry.frame) < CanArbitrationKey(b.entry.frame)))
            best = i;
    }
    offered_ = best;
    request->frame = slots_[best].entry.frame;
    request->bitRate = slots_[best].entry.bitRate;
    request->ready = slots_[best].due;
    request->urgent = false;
    request->retry = false;
    return true;
}

void NoiseNode::FrameDone(bool, Ticks end)
{
    // One attempt per period, acknowledged or not: the schedule does not
    // drift. Periods that passed while the frame waited for the bus are
    // skipped, as a periodic sender whose previous frame is still queued
    // does not pile up frames.
    Slot &s = slots_[offered_];
    Ticks period = s.entry.periodUs * TICKS_PER_US;
    s.due += period;
    if (s.due < end)
        s.due += (end - s.due + period - 1) / period * period;
}

// ---- The bus ---------------------------------------------------------------

void CanBus::Attach(CanNode *node)
{
    if (!node)
        return;
    for (const Slot &s : slots_)
        if (s.node == node)
            return;
    slots_.push_back({node, NEVER});
}

void CanBus::Detach(CanNode *node)
{
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(), [&](const Slot &s) { return s.node == node; }),
                 slots_.end());
}

int CanBus::AttachTestNode(double bitRate, bool listenOnly)
{
    if (!(bitRate > 0))
        return -1;
    int handle = nextHandle_++;
    testNodes_.emplace_back(handle, std::make_unique<TestNode>(bitRate, listenOnly));
    Attach(testNodes_.back().second.get());
    return handle;
}

TestNode *CanBus::FindTestNode(int handle)
{
    for (auto &t : testNodes_)
        if (t.first == handle)
            return t.second.get();
    return nullptr;
}

bool CanBus::DetachTestNode(int handle)
{
    for (auto it = testNodes_.begin(); it != testNodes_.end(); ++it) {
        if (it->first == handle) {
            Detach(it->second.get());
            testNodes_.erase(it);
            return true;
        }
    }
    return false;
}

void CanBus::AttachNoise(std::vector<NoiseEntry> entries)
{
    if (noise_)
        Detach(noise_.get());
    noise_.reset();
    if (entries.empty())
        return;
    noise_ = std::make_unique<NoiseNode>(std::move(entries));
    Attach(noise_.get());
}

bool CanBus::HasAcknowledger(const CanNode *sender, double rate) const
{
    for (const Slot &s : slots_) {
        if (s.node == sender || s.node->ListenOnly())
            continue;
        if (CanSameRate(s.node->BitRate(), rate))
            return true;
    }
    return false;
}

void CanBus::Gather(Ticks now, std::vector<Candidate> *out)
{
    out->clear();
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot &s = slots_[i];
        TxRequest r;
        if (!s.node->NextFrame(&r)) {
            s.eligibleSince = NEVER;
            continue;
        }
        if (r.retry) {
            if (!HasAcknowledger(s.node, r.bitRate)) {
                s.eligibleSince = NEVER;
                continue;
            }
            // The controller retries in the background; the retry that
            // succeeds goes at the first bus activity that finds an
            // acknowledging node at its rate.
            if (s.eligibleSince == NEVER)
                s.eligibleSince = std::max(now, r.ready);
            r.ready = std::max(r.ready, s.eligibleSince);
            r.urgent = true;
        } else {
            s.eligibleSince = NEVER;
        }
        out->push_back({i, r});
    }
}

bool CanBus::CommitNext(Ticks now, Ticks limit, bool urgentOnly)
{
    std::vector<Candidate> c;
    Gather(now, &c);
    if (c.empty())
        return false;
    if (urgentOnly && std::none_of(c.begin(), c.end(), [](const Candidate &x) { return x.request.urgent; }))
        return false;

    Ticks firstReady = NEVER;
    for (const Candidate &x : c)
        firstReady = std::min(firstReady, x.request.ready);
    Ticks start = std::max(firstReady, busFree_);
    if (!urgentOnly && start > limit)
        return false;

    // Everything that wants the bus at `start` competes; equal fields go in
    // attach order (on hardware they would collide).
    const Candidate *win = nullptr;
    for (const Candidate &x : c) {
        if (x.request.ready > start)
            continue;
        if (!win || CanArbitrationKey(x.request.frame) < CanArbitrationKey(win->request.frame))
            win = &x;
    }
    CanNode *sender = slots_[win->slot].node;
    const TxRequest req = win->request;
    bool acknowledged = HasAcknowledger(sender, req.bitRate);
    CanBitCount bits = CanFrameBits(req.frame);
    Ticks end = start + CanBitsToTicks(acknowledged ? bits.total : bits.unacknowledged, req.bitRate);
    if (!urgentOnly && end > limit)
        return false;

    busFree_ = end;
    ++frameCount_;
    busTicks_ += end - start;
    for (const Candidate &x : c)
        if (&x != win && x.request.ready <= start)
            slots_[x.slot].node->ArbitrationLost();
    for (const FrameObserver &o : observers_)
        o(req.frame, end, acknowledged);

    // Receivers may detach nodes or change their state: work on a copy.
    std::vector<CanNode *> others;
    for (const Slot &s : slots_)
        if (s.node != sender)
            others.push_back(s.node);
    sender->FrameDone(acknowledged, end);
    for (CanNode *n : others) {
        if (acknowledged && CanSameRate(n->BitRate(), req.bitRate))
            n->Receive(req.frame, end);
        n->BusActivity(end);
    }
    return true;
}

void CanBus::RunUntil(Ticks now)
{
    while (CommitNext(now, now, false)) {
    }
}

Ticks CanBus::Settle(Ticks now)
{
    RunUntil(now);
    Ticks t = now;
    // A bus saturated by frames of higher priority starves the urgent frame
    // as on hardware; the board gives up after SETTLE_HORIZON and leaves it
    // waiting rather than run forever.
    while (t - now < SETTLE_HORIZON && CommitNext(t, NEVER, true))
        t = std::max(t, busFree_);
    RunUntil(t);
    return t;
}

} // namespace simboard
