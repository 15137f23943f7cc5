// SDO traffic with the bootloader (CANopen node 0x7D) through the CAN
// controller driver: requests and download segments out, replies polled in.
#pragma once

#include <cstdint>

#include "isp/sdo_frame.h"

constexpr uint32_t SDO_REQUEST_COB_ID = 0x67D; // 0x600 + node 0x7D
constexpr uint32_t SDO_REPLY_COB_ID = 0x5FD;   // 0x580 + node 0x7D
constexpr uint32_t SDO_REPLY_POLLS = 100;
constexpr uint32_t SDO_POLL_PAUSE_MS = 10;
constexpr uint8_t SDO_SEGMENT_MAX_DATA = 7;

// Toggle bit (bit 0) of the next download segment.
extern uint8_t g_sdoToggle;

// What the send operations return, sending nothing, once the run was asked to stop.
constexpr int SDO_INTERRUPTED = -2;

// 0 when the frame was handed to the controller, else CAN_Transmit's result
// or SDO_INTERRUPTED.
int SDO_SendRequest(uint32_t cobId, const SdoFrame *frame);
// One download segment of count bytes (more than 7 taken as 7); last ends the
// transfer. Once the run was asked to stop, nothing is sent and the toggle
// bit stays.
int SDO_SendSegment(uint32_t cobId, uint8_t ccs, uint8_t last, uint8_t count, const uint8_t *source);
// 0 with the reply's 8 data bytes in frame; -1 after SDO_REPLY_POLLS polls
// without one, or at the first poll or buffer read that fails (frame
// unchanged). Only a standard data frame with cobId is a reply; other frames
// are read out of the controller and dropped.
int SDO_WaitReply(uint32_t cobId, SdoFrame *frame);

// Test support.
void SDO_ResetForTest();
