// The board's CAN controller: an MCP2515 on the engine's SPI slave port, with
// its TXCAN/RXCAN side as one node of the CAN bus.
//
// SPI side: one instruction per chip-select frame, decoded bit by bit as the
// engine clocks it (SI sampled at rising SCK edges, SO changed after falling
// edges). CAN side: the node's rate comes from CNF1-3 and the oscillator when
// the controller leaves configuration mode; frames are received through the
// acceptance filters into RXB0/RXB1, and transmit buffers go on the bus in
// normal mode and need an acknowledge.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim/can_bus.h"
#include "sim/spi_slave.h"

namespace simboard {

// What sits on the slave port besides "nothing at all" (which is no slave).
enum class McpVariant {
    Normal,   // an MCP2515
    MisoLow,  // MISO stuck low: instructions run, every bit read is 0
    NoBus,    // TXCAN/RXCAN unconnected: nothing received, nothing acknowledged
};

// Register addresses.
namespace mcp {
constexpr uint8_t BFPCTRL = 0x0C;
constexpr uint8_t TXRTSCTRL = 0x0D;
constexpr uint8_t CANSTAT = 0x0E;
constexpr uint8_t CANCTRL = 0x0F;
constexpr uint8_t TEC = 0x1C;
constexpr uint8_t REC = 0x1D;
constexpr uint8_t RXM0SIDH = 0x20;
constexpr uint8_t RXM1SIDH = 0x24;
constexpr uint8_t CNF3 = 0x28;
constexpr uint8_t CNF2 = 0x29;
constexpr uint8_t CNF1 = 0x2A;
constexpr uint8_t CANINTE = 0x2B;
constexpr uint8_t CANINTF = 0x2C;
constexpr uint8_t EFLG = 0x2D;
constexpr uint8_t TXB0CTRL = 0x30;
constexpr uint8_t TXB1CTRL = 0x40;
constexpr uint8_t TXB2CTRL = 0x50;
constexpr uint8_t RXB0CTRL = 0x60;
constexpr uint8_t RXB1CTRL = 0x70;

// Operating modes (REQOP / OPMOD values).
constexpr uint8_t MODE_NORMAL = 0;
constexpr uint8_t MODE_SLEEP = 1;
constexpr uint8_t MODE_LOOPBACK = 2;
constexpr uint8_t MODE_LISTEN = 3;
constexpr uint8_t MODE_CONFIG = 4;

// Instructions.
constexpr uint8_t INS_RESET = 0xC0;
constexpr uint8_t INS_READ = 0x03;
constexpr uint8_t INS_WRITE = 0x02;
constexpr uint8_t INS_READ_STATUS = 0xA0;
constexpr uint8_t INS_RX_STATUS = 0xB0;
constexpr uint8_t INS_BIT_MODIFY = 0x05;
} // namespace mcp

class Mcp2515 : public SpiSlave, public CanNode {
public:
    static constexpr uint32_t DEFAULT_OSC_HZ = 16000000;

    // Board notes (bytes clocked too fast, writes the hardware ignores, bit
    // timing outside the datasheet's rules), stamped with board time.
    using NoteSink = std::function<void(Ticks now, const std::string& text)>;

    explicit Mcp2515(uint32_t oscHz = DEFAULT_OSC_HZ, McpVariant variant = McpVariant::Normal);
    ~Mcp2515() override;
    Mcp2515(const Mcp2515&) = delete;
    Mcp2515& operator=(const Mcp2515&) = delete;

    // Wires TXCAN/RXCAN to the bus (nothing for the no-bus variant). The bus
    // must outlive the controller, or the controller be disconnected first.
    void ConnectBus(CanBus* bus);
    void DisconnectBus();
    void SetNoteSink(NoteSink sink) { note_ = std::move(sink); }

    // SpiSlave
    void Select(Ticks now) override;
    void SampleRising(bool si, Ticks now) override;
    void AfterFalling(Ticks now) override;
    SoLevel So() const override;
    Ticks Deselect(Ticks now) override;

    // CanNode
    double BitRate() const override;
    bool ListenOnly() const override;
    bool NextFrame(TxRequest* request) override;
    void FrameDone(bool acknowledged, Ticks end) override;
    void ArbitrationLost() override;
    void Receive(const CanFrame& frame, Ticks end) override;
    void BusActivity(Ticks end) override;

    // Direct register access for tests: no mode or read-only rules and no
    // side effects. Peek reads what READ would; Poke stores the byte as it
    // is (into CANCTRL for 0x?F; a CANSTAT poke sets the operating mode).
    uint8_t Peek(uint8_t address) const;
    void Poke(uint8_t address, uint8_t value);

    uint8_t Mode() const { return mode_; }
    uint32_t OscHz() const { return osc_; }
    // The rate the CNF registers give now, and the one latched when the
    // controller last left configuration mode.
    double ConfiguredBitRate() const;
    double LatchedBitRate() const { return rate_; }
    // READ STATUS and RX STATUS as the instructions return them.
    uint8_t ReadStatus() const;
    uint8_t RxStatus() const;

private:
    enum class Op { None, Ignore, Reset, Read, Write, ReadRx, LoadTx, Rts, ReadStatus, RxStatus, BitModify };

    struct TxState {
        bool attempted = false;  // the first attempt failed for want of an acknowledge
        Ticks ready = 0;
    };

    void PowerOn();
    void ResetRegisters();
    void Note(Ticks now, const std::string& text) const;

    // SPI decoding
    void ByteIn(uint8_t byte, size_t index, Ticks now);
    bool OutputFor(size_t index, uint8_t* byte) const;

    // Registers
    uint8_t Read(uint8_t address) const;
    void Write(uint8_t address, uint8_t value, Ticks now);
    void BitModify(uint8_t address, uint8_t mask, uint8_t data, Ticks now);
    void WriteCanctrl(uint8_t value, Ticks now);
    void WriteTxCtrl(int buffer, uint8_t value, Ticks now);
    bool ModeWritable() const { return mode_ == mcp::MODE_CONFIG; }

    // Modes
    void RequestMode(uint8_t reqop, Ticks now);
    void EnterMode(uint8_t mode, Ticks now);
    void ApplyDeferredMode(Ticks now);
    bool AnyTxPending() const;
    void CheckBitTiming(Ticks now);

    // Transmission
    void SetTxRequest(int buffer, Ticks now);
    void AbortTx(int buffer);
    int NextTxBuffer() const;
    CanFrame TxFrame(int buffer) const;
    void TxFailed(int buffer);
    void TxDone(int buffer, Ticks end);
    void ServiceLoopback(Ticks now);
    void SetTec(int value);
    void UpdateErrorFlags();

    // Reception
    void Accept(const CanFrame& frame);
    int MatchBuffer(int buffer, const CanFrame& frame) const;
    void Store(int buffer, const CanFrame& frame, uint8_t filterHit);

    uint32_t osc_;
    McpVariant variant_;
    CanBus* bus_ = nullptr;
    NoteSink note_;

    uint8_t regs_[128] = {};
    uint8_t mode_ = mcp::MODE_CONFIG;
    bool modeDeferred_ = false;
    double rate_ = 0;
    TxState tx_[3];
    int offered_ = -1;
    Ticks startupEnd_ = 0;  // frames that begin before this are ignored

    // The chip-select frame in progress.
    bool selected_ = false;
    bool dead_ = false;      // frame ignored from here on (start-up, too fast, unknown)
    size_t bits_ = 0;        // rising edges sampled in this frame
    uint8_t shift_ = 0;
    bool haveRise_ = false;
    Ticks lastRise_ = 0;
    Op op_ = Op::None;
    uint8_t address_ = 0;
    uint8_t mask_ = 0;
    size_t outIndex_ = SIZE_MAX;
    bool outDriven_ = false;
    uint8_t outByte_ = 0;
    SoLevel so_ = SoLevel::Undriven;
};

} // namespace simboard
