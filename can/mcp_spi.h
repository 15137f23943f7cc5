// The controller's instructions, each carried as one chip-select frame on
// the SPI channel in g_spiHandle. An instruction stops at its first SPI
// transfer that fails: nothing more of it is sent but the release of chip
// select, which is always attempted. Every operation returns 0 when all its
// transfers succeeded, the release included; otherwise the sum of the failed
// transfer's status and the release's (for two instructions, of both).
#pragma once

#include <cstdint>

#include "TopLayer/SPI/src/ftdi_spi.h"
#include "can/can.h"

extern SpiHandle g_spiHandle;

// Glue: pieces of one instruction (chip select stays asserted between them),
// and the zero-bit read that releases chip select, followed by a 1 ms pause.
int MCP_SpiWrite(uint8_t count, const uint8_t *bytes);
int MCP_SpiRead(uint8_t count, uint8_t *buffer);
int MCP_EndInstruction();

int MCP_Reset();
int MCP_WriteRegisters(uint8_t address, uint8_t count, const uint8_t *data);
int MCP_ReadRegisters(uint8_t address, uint8_t count, uint8_t *buffer);
int MCP_BitModify(uint8_t address, uint8_t mask, uint8_t data);
int MCP_ReadStatus(uint8_t *status);
int MCP_ReadRxStatus(uint8_t *status);
// A transmit buffer's header (SIDH, SIDL, EID8, EID0, DLC) for a frame in
// the driver's identifier layout.
void MCP_EncodeHeader(uint32_t id, uint8_t extended, uint8_t remote, uint8_t length, uint8_t header[5]);
int MCP_LoadTxBuffer(uint8_t buffer, uint32_t id, uint8_t extended, uint8_t remote, uint8_t length,
                     const uint8_t *data);
int MCP_RequestToSend(uint8_t buffer);
int MCP_ReadRxBuffer(uint8_t buffer, uint8_t header[5], uint8_t data[8]);

// CANCTRL's REQOP bits (7-5).
int MCP_ReadMode(uint8_t *mode);
int MCP_ClearInterruptFlags(uint8_t mask);
// A driver status as a summable int: large codes stay positive.
int MCP_StatusOf(uint32_t status);
