// The board's CAN controller: an MCP2515 on the engine's SPI slave port, with
// its TXCAN/RXCAN side as one node of the CAN bus.
//
// SPI side: one instruction per chip-select frame, decoded bit by bit as the
// engine clocks it (SI sampled at rising SCK edges, SO changed after falling
// edges). CAN side: the node's rate comes from CNF1-3 and the oscillator when
// the controller leaves configuration mode; frames are received through the
// acceptance filters into RXB0/RXB1, and transmit buffers go on the bus in
// normal mode and need an acknowledge.
//
// The register block below is the datasheet's; mcp2515.cpp holds the SPI
// side, the registers and the modes, mcp2515_can.cpp the CAN side.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim/can_bus.h"
#include "sim/spi_slave.h"

namespace simboard
{

// What sits on the slave port besides "nothing at all" (which is no slave).
enum class McpVariant {
    Normal,  // an MCP2515
    MisoLow, // MISO stuck low: instructions run, every bit read is 0
    NoBus,   // TXCAN/RXCAN unconnected: nothing received, nothing acknowledged
};

// ---- The register block -----------------------------------------------------
// MCP2515 datasheet (DS20001801): the SPI instruction set (section 12), then
// the registers by address as the register map lays them out (section 11,
// Table 11-1), each with its value on RESET (Table 11-2) and its bit fields
// under it. A register without a reset value here resets to 0x00; the
// filters and the buffers' identifier, DLC and data registers keep their
// values through RESET (the board starts them at 0x00 at power-on).
namespace mcp
{

// SPI instruction set (section 12, Table 12-1).
constexpr uint8_t INS_WRITE = 0x02;
constexpr uint8_t INS_READ = 0x03;
constexpr uint8_t INS_BIT_MODIFY = 0x05;
constexpr uint8_t INS_LOAD_TX = 0x40;      // 0100 0abc: buffer ab, c: from D0, not SIDH
constexpr uint8_t INS_LOAD_TX_LAST = 0x45; // TXB2 from D0
constexpr uint8_t INS_LOAD_TX_D0 = 0x01;
constexpr int INS_LOAD_TX_BUFFER_SHIFT = 1;
constexpr uint8_t INS_RTS = 0x80; // 1000 0nnn: one bit per transmit buffer
constexpr uint8_t INS_RTS_MASK = 0xF8;
constexpr uint8_t INS_RTS_BUFFERS = 0x07;
constexpr uint8_t INS_READ_RX = 0x90; // 1001 0nm0: buffer n, m: from D0, not SIDH
constexpr uint8_t INS_READ_RX_MASK = 0xF9;
constexpr uint8_t INS_READ_RX_D0 = 0x02;
constexpr int INS_READ_RX_BUFFER_SHIFT = 2;
constexpr uint8_t INS_READ_STATUS = 0xA0;
constexpr uint8_t INS_RX_STATUS = 0xB0;
constexpr uint8_t INS_RESET = 0xC0;

// READ STATUS output (section 12.8): bit 2n + 2 TXBn's TXREQ, 2n + 3 its TXnIF.
constexpr uint8_t READ_STATUS_RXIF = 0x03; // CANINTF's RX0IF and RX1IF, in place
constexpr uint8_t READ_STATUS_TX0REQ = 0x04;
constexpr uint8_t READ_STATUS_TX0IF = 0x08;

// RX STATUS output (section 12.9).
constexpr uint8_t RX_STATUS_RXB0 = 0x40; // a message in RXB0
constexpr uint8_t RX_STATUS_RXB1 = 0x80; // a message in RXB1
constexpr uint8_t RX_STATUS_EXTENDED = 0x10;
constexpr uint8_t RX_STATUS_REMOTE = 0x08;
constexpr uint8_t RX_STATUS_ROLLOVER = 6; // RXF0/RXF1 into RXB1: filter codes 6 and 7

// Operating modes: CANCTRL's REQOP and CANSTAT's OPMOD (section 10).
constexpr uint8_t MODE_NORMAL = 0;
constexpr uint8_t MODE_SLEEP = 1;
constexpr uint8_t MODE_LOOPBACK = 2;
constexpr uint8_t MODE_LISTEN = 3;
constexpr uint8_t MODE_CONFIG = 4;

// Registers 0x00 to 0x7F; CANSTAT and CANCTRL answer at 0xXE and 0xXF of
// every row of the map.
constexpr uint8_t ADDRESS_MASK = 0x7F;
constexpr uint8_t ROW_OFFSET = 0x0F;
constexpr int REGISTER_COUNT = 128;

// RXF0-RXF5 (Registers 4-10 to 4-13): SIDH, SIDL, EID8, EID0 each; RXF0-2
// from 0x00, RXF3-5 from 0x10. Kept through RESET.
constexpr uint8_t RXF0SIDH = 0x00;
constexpr uint8_t RXF3SIDH = 0x10;
constexpr uint8_t RXFSIDL_BITS = 0xEB; // SID2-0, EXIDE, EID17-16

// BFPCTRL (Register 4-3): RXnBF pin control.
constexpr uint8_t BFPCTRL = 0x0C;
constexpr uint8_t BFPCTRL_BITS = 0x3F;

// TXRTSCTRL (Register 3-2): TXnRTS pin control; reset: the pins, unconnected
// and pulled up, read 1.
constexpr uint8_t TXRTSCTRL = 0x0D;
constexpr uint8_t TXRTSCTRL_BNRTS = 0x38;  // B2RTS-B0RTS: the pins' levels, read-only
constexpr uint8_t TXRTSCTRL_BNRTSM = 0x07; // B2RTSM-B0RTSM: pin modes
constexpr uint8_t TXRTSCTRL_RESET = TXRTSCTRL_BNRTS;

// CANSTAT (Register 10-2): read-only.
constexpr uint8_t CANSTAT = 0x0E;
constexpr int CANSTAT_OPMOD_SHIFT = 5;
constexpr int CANSTAT_ICOD_SHIFT = 1;

// CANCTRL (Register 10-1); reset: configuration mode, CLKOUT enabled at /8.
constexpr uint8_t CANCTRL = 0x0F;
constexpr int CANCTRL_REQOP_SHIFT = 5;
constexpr uint8_t CANCTRL_ABAT = 0x10; // abort all pending transmissions
constexpr uint8_t CANCTRL_OSM = 0x08;  // one-shot mode
constexpr uint8_t CANCTRL_RESET = 0x87;

// TEC, REC (Registers 6-1, 6-2): the error counters, read-only.
constexpr uint8_t TEC = 0x1C;
constexpr uint8_t REC = 0x1D;

// RXM0, RXM1 (Registers 4-14 to 4-17): SIDH, SIDL, EID8, EID0 each.
constexpr uint8_t RXM0SIDH = 0x20;
constexpr uint8_t RXM1SIDH = 0x24;
constexpr uint8_t RXMSIDL_BITS = 0xE3; // SID2-0, EID17-16

// CNF3 (Register 5-3).
constexpr uint8_t CNF3 = 0x28;
constexpr uint8_t CNF3_BITS = 0xC7; // SOF, WAKFIL, PHSEG2
constexpr uint8_t CNF3_PHSEG2 = 0x07;

// CNF2 (Register 5-2).
constexpr uint8_t CNF2 = 0x29;
constexpr uint8_t CNF2_BTLMODE = 0x80; // PS2 from CNF3, else the greater of PS1 and IPT
constexpr int CNF2_PHSEG1_SHIFT = 3;
constexpr uint8_t CNF2_PHSEG1 = 0x07; // after the shift
constexpr uint8_t CNF2_PRSEG = 0x07;

// CNF1 (Register 5-1).
constexpr uint8_t CNF1 = 0x2A;
constexpr int CNF1_SJW_SHIFT = 6;
constexpr uint8_t CNF1_BRP = 0x3F;

// CANINTE (Register 7-1).
constexpr uint8_t CANINTE = 0x2B;
constexpr uint8_t CANINTE_WAKIE = 0x40;
constexpr uint8_t CANINTE_ERRIE = 0x20;

// CANINTF (Register 7-2).
constexpr uint8_t CANINTF = 0x2C;
constexpr uint8_t CANINTF_MERRF = 0x80;
constexpr uint8_t CANINTF_WAKIF = 0x40;
constexpr uint8_t CANINTF_ERRIF = 0x20;
constexpr uint8_t CANINTF_TX0IF = 0x04; // TX1IF, TX2IF: the next bits up
constexpr uint8_t CANINTF_RX1IF = 0x02;
constexpr uint8_t CANINTF_RX0IF = 0x01;

// EFLG (Register 6-3).
constexpr uint8_t EFLG = 0x2D;
constexpr uint8_t EFLG_RX1OVR = 0x80;
constexpr uint8_t EFLG_RX0OVR = 0x40;
constexpr uint8_t EFLG_TXEP = 0x10;
constexpr uint8_t EFLG_RXEP = 0x08;
constexpr uint8_t EFLG_TXWAR = 0x04;
constexpr uint8_t EFLG_RXWAR = 0x02;
constexpr uint8_t EFLG_EWARN = 0x01;
constexpr uint8_t EFLG_OVERFLOWS = EFLG_RX0OVR | EFLG_RX1OVR; // the only bits a write changes (to 0)

// TXBnCTRL (Register 3-1), then the buffer's SIDH, SIDL, EID8, EID0, DLC and
// D0-D7 (Registers 3-3 to 3-8).
constexpr uint8_t TXB0CTRL = 0x30;
constexpr uint8_t TXB1CTRL = 0x40;
constexpr uint8_t TXB2CTRL = 0x50;
constexpr uint8_t TXBCTRL_ABTF = 0x40;
constexpr uint8_t TXBCTRL_MLOA = 0x20;
constexpr uint8_t TXBCTRL_TXERR = 0x10;
constexpr uint8_t TXBCTRL_TXREQ = 0x08;
constexpr uint8_t TXBCTRL_TXP = 0x03;
constexpr uint8_t TXBCTRL_STATUS = TXBCTRL_ABTF | TXBCTRL_MLOA | TXBCTRL_TXERR;
constexpr uint8_t TXBSIDL_BITS = 0xEB; // SID2-0, EXIDE, EID17-16
constexpr uint8_t TXBDLC_BITS = 0x4F;  // RTR, DLC3-0

// RXB0CTRL (Register 4-1), RXB1CTRL (Register 4-2), then the buffer's SIDH,
// SIDL, EID8, EID0, DLC and D0-D7 (Registers 4-4 to 4-9), read-only.
constexpr uint8_t RXB0CTRL = 0x60;
constexpr uint8_t RXB1CTRL = 0x70;
constexpr uint8_t RXBCTRL_RXM = 0x60; // 00 filters; 01 standard only; 10 extended only; 11 any
constexpr int RXBCTRL_RXM_SHIFT = 5;
constexpr int RXM_STANDARD_ONLY = 1;
constexpr int RXM_EXTENDED_ONLY = 2;
constexpr int RXM_ANY = 3;
constexpr uint8_t RXBCTRL_RXRTR = 0x08;  // a remote frame was received
constexpr uint8_t RXB0CTRL_BUKT = 0x04;  // rollover into RXB1
constexpr uint8_t RXB0CTRL_BUKT1 = 0x02; // BUKT's read-only copy
constexpr uint8_t RXB0CTRL_FILHIT0 = 0x01;
constexpr uint8_t RXB0CTRL_WRITABLE = RXBCTRL_RXM | RXB0CTRL_BUKT;
constexpr uint8_t RXB1CTRL_FILHIT = 0x07;
constexpr uint8_t RXB1CTRL_WRITABLE = RXBCTRL_RXM;

// A buffer's, filter's or mask's identifier registers from its SIDH, and a
// buffer's DLC and data.
constexpr int HDR_SIDL = 1;
constexpr int HDR_EID8 = 2;
constexpr int HDR_EID0 = 3;
constexpr int HDR_DLC = 4;
constexpr int HDR_DATA = 5;
constexpr int BUFFER_DATA_BYTES = 8;
constexpr int SIDL_SID_SHIFT = 5;  // SID2-0
constexpr uint8_t SIDL_SRR = 0x10; // RXBnSIDL: a standard remote frame
constexpr uint8_t SIDL_IDE = 0x08; // RXBnSIDL IDE; TXBnSIDL, RXFnSIDL EXIDE
constexpr uint8_t SIDL_EID = 0x03; // EID17-16
constexpr uint8_t DLC_RTR = 0x40;
constexpr uint8_t DLC_DLC = 0x0F;

constexpr uint8_t TXB_CTRL[3] = {TXB0CTRL, TXB1CTRL, TXB2CTRL};
constexpr uint8_t TXB_SIDH[3] = {TXB0CTRL + 1, TXB1CTRL + 1, TXB2CTRL + 1};
constexpr uint8_t RXB_CTRL[2] = {RXB0CTRL, RXB1CTRL};
constexpr uint8_t RXB_SIDH[2] = {RXB0CTRL + 1, RXB1CTRL + 1};
constexpr uint8_t FILTER_SIDH[6] = {RXF0SIDH, RXF0SIDH + 4, RXF0SIDH + 8, RXF3SIDH, RXF3SIDH + 4, RXF3SIDH + 8};
constexpr uint8_t MASK_SIDH[2] = {RXM0SIDH, RXM1SIDH};
// RXB0 takes RXF0 and RXF1, RXB1 RXF2 to RXF5 (section 4.5).
constexpr int RXB0_LAST_FILTER = 1;
constexpr int RXB1_FIRST_FILTER = 2;
constexpr int RXB1_LAST_FILTER = 5;

} // namespace mcp

class Mcp2515 : public SpiSlave, public CanNode
{
public:
    static constexpr uint32_t DEFAULT_OSC_HZ = 16000000;

    // Board notes (bytes clocked too fast, writes the hardware ignores, bit
    // timing outside the datasheet's rules), stamped with board time.
    using NoteSink = std::function<void(Ticks now, const std::string &text)>;

    explicit Mcp2515(uint32_t oscHz = DEFAULT_OSC_HZ, McpVariant variant = McpVariant::Normal);
    ~Mcp2515() override;
    Mcp2515(const Mcp2515 &) = delete;
    Mcp2515 &operator=(const Mcp2515 &) = delete;

    // Wires TXCAN/RXCAN to the bus (nothing for the no-bus variant). The bus
    // must outlive the controller, or the controller be disconnected first.
    void ConnectBus(CanBus *bus);
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
    bool NextFrame(TxRequest *request) override;
    void FrameDone(bool acknowledged, Ticks end) override;
    void ArbitrationLost() override;
    void Receive(const CanFrame &frame, Ticks end) override;
    void BusActivity(Ticks end) override;

    // Direct register access for tests: no mode or read-only rules and no
    // side effects. Peek reads what READ would; Poke stores the byte as it
    // is (into CANCTRL for 0x?F; a CANSTAT poke sets the operating mode).
    uint8_t Peek(uint8_t address) const;
    void Poke(uint8_t address, uint8_t value);

    uint8_t Mode() const { return state_.mode; }
    uint32_t OscHz() const { return osc_; }
    // The rate the CNF registers give now, and the one latched when the
    // controller last left configuration mode.
    double ConfiguredBitRate() const;
    double LatchedBitRate() const { return state_.rate; }
    // READ STATUS and RX STATUS as the instructions return them.
    uint8_t ReadStatus() const;
    uint8_t RxStatus() const;

private:
    enum class Op { None, Ignore, Reset, Read, Write, ReadRx, LoadTx, Rts, ReadStatus, RxStatus, BitModify };

    struct TxState {
        bool attempted = false; // the first attempt failed for want of an acknowledge
        Ticks ready = 0;
    };

    void PowerOn();
    void ResetRegisters();
    void Note(Ticks now, const std::string &text) const;

    // SPI decoding
    void ByteIn(uint8_t byte, size_t index, Ticks now);
    bool OutputFor(size_t index, uint8_t *byte) const;

    // Registers
    uint8_t Read(uint8_t address) const;
    void Write(uint8_t address, uint8_t value, Ticks now);
    void BitModify(uint8_t address, uint8_t mask, uint8_t data, Ticks now);
    void WriteCanctrl(uint8_t value, Ticks now);
    void WriteTxCtrl(int buffer, uint8_t value, Ticks now);
    bool ModeWritable() const { return state_.mode == mcp::MODE_CONFIG; }

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
    void Accept(const CanFrame &frame);
    int MatchBuffer(int buffer, const CanFrame &frame) const;
    void Store(int buffer, const CanFrame &frame, uint8_t filterHit);

    // The chip-select frame in progress: one instruction per frame (section 12).
    struct SpiFrame {
        bool selected = false;
        bool dead = false; // ignored from here on (start-up, too fast, unknown instruction)
        size_t bits = 0;   // rising edges sampled in this frame
        uint8_t shift = 0;
        bool haveRise = false;
        Ticks lastRise = 0;
        Op op = Op::None;
        uint8_t address = 0;
        uint8_t mask = 0;
        size_t outIndex = SIZE_MAX;
        bool outDriven = false;
        uint8_t outByte = 0;
        SoLevel so = SoLevel::Undriven;
    };

    // The controller's state.
    struct State {
        uint8_t regs[mcp::REGISTER_COUNT] = {};
        uint8_t mode = mcp::MODE_CONFIG; // OPMOD
        bool modeDeferred = false;       // a requested mode waits for pending transmissions
        double rate = 0;                 // latched when the controller leaves configuration mode
        TxState tx[3];
        int offered = -1;     // the transmit buffer offered to the bus
        Ticks startupEnd = 0; // frames that begin before this are ignored
        SpiFrame spi;
    };

    uint32_t osc_;
    McpVariant variant_;
    CanBus *bus_ = nullptr;
    NoteSink note_;
    State state_;
};

} // namespace simboard
