// The CAN controller driver: opening and closing the CAN interface, and
// frames through the controller's transmit and receive buffers.
//
// Statuses (int): 0 success; a positive status is a driver status from the
// SPI master, or the sum of several (CAN_AddStatus, which saturates and never
// lets a -1 cancel a positive one); -1 a failure of this layer's own: a mode
// that never read back, a transmit buffer still busy, a reply that did not
// come. CAN_Open alone has its two named results besides (CAN_OPEN_*).
// Callers test for non-zero.
#pragma once

#include <cstdint>

// One CAN frame. id uses the driver's layout: bits 10-0 the 11-bit base
// identifier, bits 28-11 the 18-bit extension of an extended frame.
struct CanMessage {
    uint32_t id = 0;
    uint8_t remote = 0;
    uint8_t extended = 0;
    uint8_t length = 0;
    uint8_t data[8] = {};

    CanMessage() = default;
    // Copies length bytes of source (at most 8) and zero-fills the rest.
    CanMessage(uint32_t id, uint8_t remote, uint8_t extended, uint8_t length, const uint8_t *source);
};

// Statuses are added while all are 0 or positive; once one is negative the
// result is -1, so that a positive failure and a -1 can never cancel out.
int CAN_AddStatus(int sum, int status);

// The controller's oscillator, on which the bit timing rests.
constexpr uint32_t MCP_OSCILLATOR_HZ = 16000000;
// Rates that the 8-quantum bit timing can give with a 6-bit prescaler.
constexpr int32_t CAN_MIN_BIT_RATE = 15385;
constexpr int32_t CAN_MAX_BIT_RATE = 1000000;

// Results of CAN_Open besides 0 and a sum of controller step statuses.
constexpr int CAN_OPEN_NO_CHANNEL = 1;
constexpr int CAN_OPEN_BAD_BIT_RATE = -1;

// Loads the driver, opens and sets up the SPI channel (0, the first MPSSE
// channel, unless CAN_SelectChannel chose another), resets the controller,
// programs its bit timing, opens both receive buffers to every frame and puts
// it in normal operation. 0 on success.
int CAN_Open(int32_t bitRate);

// The wire CAN_Open brings up and the frame operations use: the default
// (fixed pauses, one USB round trip per controller instruction), or the fast
// path (highest SPI clock, instructions grouped into few USB transfers,
// acceptance filters that take only standard frames with replyId). Chosen
// before CAN_Open.
void CAN_SetFastPath(bool fast, uint32_t replyId = 0);
bool CAN_FastPath();

// An MPSSE channel as the driver's device list reports it.
struct CanChannelInfo {
    uint32_t index; // the channel's number: MPSSE channels only, in list order
    uint32_t type;  // device type in the driver's numbering
    uint32_t locId;
    char serialNumber[16];
    char description[64];
};
constexpr uint32_t CAN_MAX_CHANNELS = 64;
// Binds the driver (a library that cannot be bound ends the process, as in
// CAN_Open) and reads its list of MPSSE channels, at most capacity of them,
// without opening any. 0 on success, else the driver's status. The driver
// stays bound for CAN_Open; CAN_ReleaseDriver unbinds it.
int CAN_ListChannels(CanChannelInfo *channels, uint32_t capacity, uint32_t *count);
void CAN_ReleaseDriver();
// True while a channel is open (from CAN_Open to CAN_Close).
bool CAN_IsOpen();
// The channel that CAN_Open opens from now on.
void CAN_SelectChannel(uint32_t index);
// Takes the controller off the bus, closes the channel and releases the driver.
int CAN_Close();
// Aborts pending transmissions and puts the controller in configuration
// mode, so that nothing it still holds goes out after the run. For the paths
// that end the run without closing the interface; CAN_Close does it too.
int CAN_TakeOffBus();

int CAN_OpenInterface();
int CAN_OpenSpiChannel(uint32_t index);

int MCP_SetBitTiming(int32_t bitRate);
int MCP_SetFilter(uint8_t filter, uint32_t id, uint8_t extended);
int MCP_SetMask(uint8_t mask, uint32_t id, uint8_t extended);
int MCP_ConfigureFilter(uint8_t filter, uint8_t exide);
int MCP_SetMode(uint8_t mode);
// CNF1 for a rate: 16 MHz / (8 x rate), halved, minus 1, as 8 bits.
uint8_t MCP_BitTimingCnf1(int32_t bitRate);

int CAN_Transmit(uint8_t txBuffer, CanMessage message);
int CAN_GetTxPending(uint8_t *pending);
// which: -1 no frame, 0 buffer 0, 1 buffer 1, 2 both. The other outputs may be null.
int CAN_GetRxStatus(int8_t *which, uint8_t *filter, uint8_t *extended, uint8_t *remote);
int CAN_ReadMessage(uint8_t rxBuffer, CanMessage *message);
// A receive buffer's header (SIDH, SIDL, EID8, EID0, DLC) as a frame's
// identifier, format and length.
void CAN_DecodeHeader(const uint8_t header[5], CanMessage *message);
// The bits a frame occupies on the bus: stuffing included, up to the end of
// the intermission that follows it.
uint32_t CAN_FrameBits(const CanMessage &message);

// ---- The fast path ----------------------------------------------------------
// One request and its reply: the request is loaded and sent, the engine waits
// for as long as the request and expectedReply take on the bus, and the
// receive buffers are looked at, all in one USB round trip; then looked at
// again at once until a standard data frame with replyId is there, for at
// most 1 s of host time and as many looks as fit 1 s of the shortest USB
// round trip. 0 with the reply; -1 when none came or a USB transfer failed.
int CAN_Exchange(const CanMessage &request, const CanMessage &expectedReply, uint32_t replyId, CanMessage *reply);

// Test support: forgets the channel handle and the selected channel.
void CAN_ResetForTest();
