// SDO frames of the LPC11Cxx C_CAN ISP: building requests and evaluating replies.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
// The eight data bytes of an SDO request or reply, as they stand in the CAN
// frame. The index is little-endian on the bus; the targets of this tool are
// little-endian, so the packed field reads it directly.
struct SdoFrame {
    uint8_t command;  // ccs/scs in bits 7-5, toggle bit 4, n bits 3-2, e bit 1, s bit 0
    uint16_t index;   // object index
    uint8_t subIndex; // object sub-index
    uint8_t data[4];  // expedited data, byte count or abort code, LSB first
};
#pragma pack(pop)
static_assert(sizeof(SdoFrame) == 8, "an SDO frame is the 8 data bytes of a CAN frame");
#if defined(__BYTE_ORDER__) && (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
#error "SdoFrame reads its index in host order: little-endian hosts only"
#endif

// Client command specifiers (CANopen CiA 301).
constexpr uint8_t SDO_CCS_DOWNLOAD_SEGMENT = 0;
constexpr uint8_t SDO_CCS_INITIATE_DOWNLOAD = 1;
constexpr uint8_t SDO_CCS_INITIATE_UPLOAD = 2;
constexpr uint8_t SDO_CCS_UPLOAD_SEGMENT = 3;

// Server command specifiers of the replies.
constexpr uint8_t SDO_SCS_UPLOAD_SEGMENT = 0;
constexpr uint8_t SDO_SCS_DOWNLOAD_SEGMENT = 1;
constexpr uint8_t SDO_SCS_INITIATE_UPLOAD = 2;
constexpr uint8_t SDO_SCS_INITIATE_DOWNLOAD = 3;
constexpr uint8_t SDO_SCS_ABORT = 4;

// An abort code with this most significant byte carries an ISP error code in
// its least significant byte.
constexpr uint8_t SDO_ABORT_ISP_ERROR_CLASS = 0x0F;

// ISP error codes of the bootloader, carried in abort replies.
enum IspErrorCode {
    ISP_NO_ERROR = 0,
    ISP_INVALID_COMMAND = 1,
    ISP_SRC_ADDR_ERROR = 2,
    ISP_SRC_ADDR_NOT_MAPPED = 4,
    ISP_DST_ADDR_NOT_MAPPED = 5,
    ISP_COUNT_ERROR = 6,
    ISP_INVALID_SECTOR = 7,
    ISP_SECTOR_NOT_BLANK = 8,
    ISP_SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
    ISP_COMPARE_ERROR = 10,
    ISP_PARAM_ERROR = 12,
    ISP_ADDR_ERROR = 13,
    ISP_ADDR_NOT_MAPPED = 14,
    ISP_CMD_LOCKED = 15,
    ISP_INVALID_CODE = 16,
    ISP_CODE_READ_PROTECTION_ENABLED = 19,
};

// The text printed for an ISP error code ("\r\n NAME"); any code without a
// name gives the UNKNOWN_ERROR_CODE text.
const char *SDO_IspErrorText(uint32_t code);

// Fills frame with a request; count (taken as 4 when larger) data values follow
// as ints, one per data byte, low eight bits used. Returns frame. count is
// unsigned, not 8-bit: the last named parameter before the values must be a
// type that default promotion leaves as it is, or va_start is undefined.
SdoFrame *SDO_BuildFrame(SdoFrame *frame, uint8_t ccs, uint8_t expedited, uint16_t index, uint8_t subIndex,
                         unsigned count, ...);

// Bytes 4-7 as a little-endian 32-bit value.
uint32_t SDO_GetValue(const SdoFrame *frame);

// Reply statuses, the convention of the ISP client (isp/): 0 the step was
// confirmed (any reply but an abort), a positive ISP error code from an ISP
// abort, SDO_FOREIGN_ABORT for any other abort. Callers test for non-zero.
constexpr int SDO_FOREIGN_ABORT = -1;

// What a reply says, decided before anything is printed.
int SDO_ClassifyReply(const SdoFrame *frame);
// Prints the reply at verbosity 2 and above; returns SDO_ClassifyReply's status.
int SDO_PrintReply(const char *label, const SdoFrame *frame);
