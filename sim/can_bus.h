// The simulated CAN bus: nodes at their bit rates, arbitration, acknowledge,
// frame timing with exact bit stuffing, and delivery in board time.
//
// The bus is one medium: every frame occupies it for its own bit time,
// whatever the rates of the other nodes. A frame is decided (who won, who
// acknowledged) and delivered at its end time. The board drives the bus with
// RunUntil(now) before each engine command and at the end of each driver
// call, and with Settle(now) where a host action puts a frame on the bus and
// board time jumps to the end of what that frame causes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/spi_slave.h"

namespace simboard
{

constexpr uint32_t CAN_STD_ID_MAX = 0x7FF;
constexpr uint32_t CAN_EXT_ID_MAX = 0x1FFFFFFF;
constexpr uint8_t CAN_DLC_MAX = 15;

// A frame as it travels on the bus, in the usual identifier numbering
// (11 bits, or 29 bits with the base identifier in bits 28-18).
struct CanFrame {
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    uint8_t dlc = 0; // 0..15 as in the DLC field
    uint8_t data[8] = {};

    // Data bytes on the bus: none for a remote frame, at most 8.
    size_t DataLength() const { return remote ? 0 : (dlc > 8 ? 8 : dlc); }
};

bool operator==(const CanFrame &a, const CanFrame &b);
inline bool operator!=(const CanFrame &a, const CanFrame &b) { return !(a == b); }

// ---- Frame layout and timing ----------------------------------------------

// CAN CRC-15 (polynomial 0x4599, initial value 0) over a bit sequence.
uint16_t CanCrc15(const std::vector<bool> &bits);

// SOF through the end of the data field, unstuffed.
std::vector<bool> CanFrameHeadBits(const CanFrame &frame);

struct CanBitCount {
    int unstuffed = 0;      // SOF to the end of the CRC, before stuffing
    int stuff = 0;          // stuff bits inserted from SOF to the end of the CRC
    int total = 0;          // bus bits of an acknowledged frame, intermission included
    int unacknowledged = 0; // an attempt ended by an acknowledge error
};
CanBitCount CanFrameBits(const CanFrame &frame);

// Bus time of `bits` at `bitRate`, in whole microseconds rounded up, as ticks.
Ticks CanBitsToTicks(int bits, double bitRate);

// Two nodes are at the same rate when their rates differ by at most 0.5 % of
// the higher one: inside the oscillator tolerance CAN allows for an 8-TQ bit
// with SJW 1 (0.62 %).
bool CanSameRate(double a, double b);

// Arbitration field as an unsigned key: the lower key wins the bus.
uint32_t CanArbitrationKey(const CanFrame &frame);

// ---- Nodes -----------------------------------------------------------------

// A frame that a node wants to send.
struct TxRequest {
    CanFrame frame;
    double bitRate = 0; // the rate the frame is sent at
    Ticks ready = 0;    // board time from which the frame wants the bus
    // A host action or a reply is waiting on this frame: Settle advances
    // board time until it is sent. Periodic traffic is not urgent.
    bool urgent = false;
    // A frame already refused once for want of an acknowledge: it goes again
    // only while an acknowledging node at its rate is on the bus (the
    // controller's background retries are not played out one by one).
    bool retry = false;
};

class CanNode
{
public:
    virtual ~CanNode() = default;
    // The rate the node listens and acknowledges at; 0 while off the bus.
    virtual double BitRate() const = 0;
    // A listen-only node receives but never acknowledges.
    virtual bool ListenOnly() const { return false; }
    // The frame the node would put on the bus next, if any.
    virtual bool NextFrame(TxRequest *request)
    {
        (void)request;
        return false;
    }
    // The frame last returned by NextFrame went on the bus and ended at `end`.
    virtual void FrameDone(bool acknowledged, Ticks end)
    {
        (void)acknowledged;
        (void)end;
    }
    // The frame last returned by NextFrame competed and lost arbitration.
    virtual void ArbitrationLost() {}
    // An acknowledged frame of another node at this node's rate.
    virtual void Receive(const CanFrame &frame, Ticks end) = 0;
    // Any frame of another node, at any rate, ended at `end` (a sleeping
    // controller wakes on bus activity).
    virtual void BusActivity(Ticks end) { (void)end; }
};

// ---- Test nodes ------------------------------------------------------------

class CanBus;

// A node that tests attach to send frames and collect what the bus delivers.
class TestNode : public CanNode
{
public:
    static constexpr size_t QUEUE_LIMIT = 1024;

    struct Received {
        CanFrame frame;
        Ticks end = 0;
    };

    TestNode(double bitRate, bool listenOnly) : rate_(bitRate), listenOnly_(listenOnly) {}

    double BitRate() const override { return rate_; }
    bool ListenOnly() const override { return listenOnly_; }
    bool NextFrame(TxRequest *request) override;
    void FrameDone(bool acknowledged, Ticks end) override;
    void Receive(const CanFrame &frame, Ticks end) override;

    // Puts a frame on the bus at board time *now and runs the bus until it
    // and everything it causes are done; *now becomes that board time.
    // 0: acknowledged; 1: nobody acknowledged (one attempt, then dropped;
    // also a frame that never won the bus);
    // -1: a listen-only node, or a DLC above 15 (nothing sent).
    int Send(CanBus &bus, const CanFrame &frame, Ticks *now);

    // Oldest delivered frame; false when none is queued.
    bool Take(Received *out);
    size_t Queued() const { return queue_.size(); }

private:
    double rate_;
    bool listenOnly_;
    bool hasOutgoing_ = false;
    TxRequest outgoing_;
    bool lastAcknowledged_ = false;
    std::deque<Received> queue_;
};

// ---- The noise node --------------------------------------------------------

struct NoiseEntry {
    CanFrame frame;
    uint64_t periodUs = 0;
    uint32_t bitRate = 100000;
};

// Parses the noise grammar: comma-separated ID#DATA@PERIOD[/RATE]. Returns
// an empty string and fills *entries, or the reason the text is refused.
std::string ParseNoise(const std::string &text, std::vector<NoiseEntry> *entries);

// Sends its entries periodically (the first frame of an entry is due at its
// period), one frame at a time in due order; acknowledges the frames of others at the rate of its first entry
// and discards them.
class NoiseNode : public CanNode
{
public:
    explicit NoiseNode(std::vector<NoiseEntry> entries);

    double BitRate() const override;
    bool NextFrame(TxRequest *request) override;
    void FrameDone(bool acknowledged, Ticks end) override;
    void Receive(const CanFrame &, Ticks) override {}

private:
    struct Slot {
        NoiseEntry entry;
        Ticks due;
    };
    std::vector<Slot> slots_;
    size_t offered_ = 0;
};

// ---- The bus ---------------------------------------------------------------

class CanBus
{
public:
    // Every frame that goes on the bus, at its end time; an unacknowledged
    // attempt comes with acknowledged = false.
    using FrameObserver = std::function<void(const CanFrame &frame, Ticks end, bool acknowledged)>;

    CanBus() = default;
    CanBus(const CanBus &) = delete;
    CanBus &operator=(const CanBus &) = delete;

    // Attach order breaks ties between equal arbitration fields.
    void Attach(CanNode *node);
    void Detach(CanNode *node);

    // Test nodes owned by the bus, with handles from 1 (never reused).
    int AttachTestNode(double bitRate, bool listenOnly);
    TestNode *FindTestNode(int handle);
    bool DetachTestNode(int handle);

    // The noise node owned by the bus (nothing when entries is empty).
    void AttachNoise(std::vector<NoiseEntry> entries);

    void AddObserver(FrameObserver observer) { observers_.push_back(std::move(observer)); }

    // Delivers, in end-time order, every frame that ends at or before now.
    void RunUntil(Ticks now);
    // RunUntil(now), then goes on while some node has an urgent frame;
    // returns the board time at which that activity ends (at least now).
    // On a bus saturated by frames that win arbitration it stops after one
    // second of board time, the urgent frame still waiting.
    Ticks Settle(Ticks now);

    // Frames that went on the bus, acknowledged or not (background retries
    // are not played, so not counted).
    uint64_t FrameCount() const { return frameCount_; }
    // The bus time of those frames: each one's duration as committed (an
    // acknowledged frame's total bits, an unacknowledged attempt's bits up to
    // its error frame's intermission, stuff bits included, at its sender's
    // rate, rounded up to whole microseconds). Observation only.
    Ticks BusTime() const { return busTicks_; }
    Ticks FreeAt() const { return busFree_; }

private:
    struct Slot {
        CanNode *node;
        Ticks eligibleSince; // for a retry: since when an acknowledger is on the bus
    };
    struct Candidate {
        size_t slot;
        TxRequest request;
    };

    bool HasAcknowledger(const CanNode *sender, double rate) const;
    void Gather(Ticks now, std::vector<Candidate> *out);
    // Commits the next frame if it ends by `limit` (or, when urgentOnly, if
    // any urgent frame is waiting, whatever its end).
    bool CommitNext(Ticks now, Ticks limit, bool urgentOnly);

    std::vector<Slot> slots_;
    std::vector<std::pair<int, std::unique_ptr<TestNode>>> testNodes_;
    int nextHandle_ = 1;
    std::unique_ptr<NoiseNode> noise_;
    std::vector<FrameObserver> observers_;
    Ticks busFree_ = 0;
    uint64_t frameCount_ = 0;
    Ticks busTicks_ = 0;
};

} // namespace simboard
