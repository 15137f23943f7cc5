// The SPI CAN controller's instruction set and register map (MCP2515 data
// sheet), with the bit fields the driver uses grouped under their register.
#pragma once

#include <cstdint>

// ---- SPI instructions ------------------------------------------------------
constexpr uint8_t MCP_INSTR_RESET = 0xC0;
constexpr uint8_t MCP_INSTR_READ = 0x03;
constexpr uint8_t MCP_INSTR_WRITE = 0x02;
constexpr uint8_t MCP_INSTR_BIT_MODIFY = 0x05;
constexpr uint8_t MCP_INSTR_READ_STATUS = 0xA0;
constexpr uint8_t MCP_INSTR_RX_STATUS = 0xB0;
// LOAD TX BUFFER n at TXBnSIDH: 0x40 | (n << 1); the odd forms start at TXBnD0.
constexpr uint8_t MCP_INSTR_LOAD_TX_BUFFER = 0x40;
// RTS for buffer n: 0x80 | (1 << n).
constexpr uint8_t MCP_INSTR_RTS = 0x80;
// READ RX BUFFER n at RXBnSIDH: 0x90 | (n << 2); +2 starts at RXBnD0.
constexpr uint8_t MCP_INSTR_READ_RX_BUFFER = 0x90;

// ---- Registers -------------------------------------------------------------
// Acceptance filters RXF0-RXF5 (SIDH, SIDL, EID8, EID0 each). BFPCTRL,
// TXRTSCTRL, CANSTAT and CANCTRL sit between RXF2 and RXF3.
constexpr uint8_t MCP_RXF0SIDH = 0x00;
constexpr uint8_t MCP_RXF3SIDH = 0x10;
constexpr uint8_t MCP_FILTER_STRIDE = 4;
constexpr uint8_t MCP_FILTER_COUNT = 6;

constexpr uint8_t MCP_BFPCTRL = 0x0C;
constexpr uint8_t MCP_TXRTSCTRL = 0x0D;
constexpr uint8_t MCP_CANSTAT = 0x0E;
constexpr uint8_t MCP_CANSTAT_OPMOD_MASK = 0xE0; // operating mode the controller is in, bits 7-5

constexpr uint8_t MCP_CANCTRL = 0x0F;
constexpr uint8_t MCP_CANCTRL_REQOP_MASK = 0xE0; // requested operating mode, bits 7-5
constexpr uint8_t MCP_CANCTRL_ABAT = 0x10;       // abort all pending transmissions

// Operating modes as REQOP/OPMOD values in bits 7-5.
constexpr uint8_t MCP_MODE_NORMAL = 0x00;
constexpr uint8_t MCP_MODE_SLEEP = 0x20;
constexpr uint8_t MCP_MODE_LOOPBACK = 0x40;
constexpr uint8_t MCP_MODE_LISTEN_ONLY = 0x60;
constexpr uint8_t MCP_MODE_CONFIGURATION = 0x80;

// Acceptance masks RXM0, RXM1 (SIDH, SIDL, EID8, EID0 each).
constexpr uint8_t MCP_RXM0SIDH = 0x20;
constexpr uint8_t MCP_RXM1SIDH = 0x24;
constexpr uint8_t MCP_MASK_COUNT = 2;

// Filter and mask SIDL bits.
constexpr uint8_t MCP_SIDL_SID_MASK = 0xE0; // base identifier bits 2-0
constexpr uint8_t MCP_SIDL_SRR = 0x10;      // received standard frame was remote
constexpr uint8_t MCP_SIDL_EXIDE = 0x08;    // extended identifier
constexpr uint8_t MCP_SIDL_EID_MASK = 0x03; // extension bits 17-16

// Bit timing, written as one sequential WRITE from CNF3.
constexpr uint8_t MCP_CNF3 = 0x28;
constexpr uint8_t MCP_CNF2 = 0x29;
constexpr uint8_t MCP_CNF1 = 0x2A;

constexpr uint8_t MCP_CANINTE = 0x2B;
constexpr uint8_t MCP_CANINTF = 0x2C;
constexpr uint8_t MCP_INT_RX0 = 0x01; // RX0IE / RX0IF
constexpr uint8_t MCP_INT_RX1 = 0x02; // RX1IE / RX1IF

constexpr uint8_t MCP_TXB0CTRL = 0x30;
constexpr uint8_t MCP_TXBCTRL_TXREQ = 0x08; // transmission pending; clearing it aborts the frame

constexpr uint8_t MCP_RXB0CTRL = 0x60;
constexpr uint8_t MCP_RXB1CTRL = 0x70;
constexpr uint8_t MCP_RXBCTRL_RXM_MASK = 0x60;     // receive buffer operating mode, bits 6-5
constexpr uint8_t MCP_RXBCTRL_RXM_ANY = 0x60;      // filters and masks off: every frame
constexpr uint8_t MCP_RXBCTRL_RXM_FILTERED = 0x00; // every frame through the masks and filters
constexpr uint8_t MCP_RXB0CTRL_BUKT = 0x04;        // RXB0 full: a frame it accepts rolls over into RXB1
constexpr uint8_t MCP_RXB0SIDH = 0x61;
constexpr uint8_t MCP_RXB1SIDH = 0x71;
constexpr uint8_t MCP_RXB1CTRL_FILHIT_MASK = 0x07;

// Buffer header: SIDH, SIDL, EID8, EID0, DLC.
constexpr uint8_t MCP_HEADER_SIZE = 5;
constexpr uint8_t MCP_DLC_RTR = 0x40; // remote frame (extended frames on receive)
constexpr uint8_t MCP_DLC_LENGTH_MASK = 0x0F;
constexpr uint8_t MCP_DATA_SIZE = 8;
constexpr uint8_t MCP_BUFFER_SIZE = MCP_HEADER_SIZE + MCP_DATA_SIZE;

// READ STATUS bits: RX0IF, RX1IF, and TXREQ of transmit buffers 0, 1, 2.
constexpr uint8_t MCP_STATUS_RX0IF = 0x01;
constexpr uint8_t MCP_STATUS_RX1IF = 0x02;
constexpr uint8_t MCP_STATUS_TX0REQ = 0x04;
constexpr uint8_t MCP_STATUS_TX1REQ = 0x10;
constexpr uint8_t MCP_STATUS_TX2REQ = 0x40;

// RX STATUS fields.
constexpr uint8_t MCP_RXSTATUS_BUFFER_SHIFT = 6; // 00 none, 01 RXB0, 10 RXB1, 11 both
constexpr uint8_t MCP_RXSTATUS_EXTENDED = 0x10;
constexpr uint8_t MCP_RXSTATUS_REMOTE = 0x08;
constexpr uint8_t MCP_RXSTATUS_FILTER_MASK = 0x07;
