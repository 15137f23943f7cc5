/* The simulated board's control interface: what tests (in the same process as
 * the board) use to configure it, watch it and reset it between cases. The
 * board itself is a shared library with the USB driver library's file name;
 * these functions are exported beside the driver's 16 entry points. */
#ifndef SIMBOARD_H
#define SIMBOARD_H

#include <stdint.h>

/* SIMBOARD_API marks the library's exports; everything else in the board is
 * built with hidden visibility. Code that only calls the board leaves
 * SIMBOARD_BUILDING undefined and gets plain declarations. */
#if defined(SIMBOARD_BUILDING)
#if defined(_WIN32)
#define SIMBOARD_VISIBLE __declspec(dllexport)
#else
#define SIMBOARD_VISIBLE __attribute__((visibility("default")))
#endif
#else
#define SIMBOARD_VISIBLE
#endif

#ifdef __cplusplus
#define SIMBOARD_API extern "C" SIMBOARD_VISIBLE
#else
#define SIMBOARD_API extern SIMBOARD_VISIBLE
#endif

/* ---- Board ------------------------------------------------------------- */

/* Power-on state of every component; the settings are read again (overrides
 * from SimBoard_Set first, then the environment). Trace files are closed and
 * created anew. Ends the process with status 2 on a setting that cannot be
 * read, as at the board's creation. */
SIMBOARD_API void SimBoard_Reset(void);

/* Checks value against the setting's syntax and stores it as an override that
 * the next SimBoard_Reset reads in place of the environment ("" or NULL: the
 * setting's default). Returns 0; or -1 with the one-line message on standard
 * error and nothing changed. Never ends the process. File settings are
 * checked for a file that can be created (SIMBOARD_FLASH: an existing file
 * must hold 32768 bytes). Names that begin with SIMBOARD_ but are no setting
 * of the board are stored unchecked. */
SIMBOARD_API int SimBoard_Set(const char *name, const char *value);

/* Board time in whole microseconds since creation or the last reset. */
SIMBOARD_API uint64_t SimBoard_Time(void);

/* Driver calls since load or reset, failed ones included. */
SIMBOARD_API uint64_t SimBoard_UsbCallCount(void);

/* Whole bytes clocked to the SPI slave port while it was selected. */
SIMBOARD_API uint64_t SimBoard_SpiByteCount(void);

/* ---- SPI test double (SIMBOARD_CONTROLLER=script) ----------------------- */

/* Queues bytes for the double to present on SO, one queued byte per byte
 * clocked while selected, most significant bit first; SO is undriven (MISO
 * reads 1) while the queue is empty. 0; or -1 when the port does not carry
 * the double (or miso is NULL with count above 0). */
SIMBOARD_API int SimBoard_SpiScript(const uint8_t *miso, uint32_t count);

/* Frame k (from 1, in chip-select order since load or reset) as the double
 * received it: up to max SI bytes go to mosi, *bits gets the number of bits
 * sampled. A last partial byte holds its bits from bit 7 down, in sampling
 * order, the rest 0. The frame still open, if any, is the last frame. 0; or
 * -1 when there is no such frame or the port does not carry the double. */
SIMBOARD_API int SimBoard_SpiFrame(uint32_t k, uint8_t *mosi, uint32_t max, uint32_t *bits);

/* ---- The CAN bus and the controller ------------------------------------- */

/* A frame on the bus, in the usual identifier numbering: 11 bits, or 29 bits
 * with the base identifier in bits 28-18. */
typedef struct SimBoardFrame {
    uint32_t id;      /* 11-bit or 29-bit identifier */
    uint8_t extended; /* 1: 29-bit identifier */
    uint8_t remote;   /* 1: remote frame */
    uint8_t dlc;      /* 0..15, as on the bus */
    uint8_t data[8];  /* min(dlc, 8) bytes used */
    uint64_t time_us; /* received frames: board time at the end of the frame */
} SimBoardFrame;

/* Attaches a test node at bitrate bit/s; a listen-only node receives and
 * never acknowledges. Returns its handle (from 1, never reused until the next
 * reset), or -1 for a bit rate of 0. */
SIMBOARD_API int SimBoard_NodeAttach(uint32_t bitrate, int listenOnly);
/* Takes the node off the bus; an unknown handle is ignored. */
SIMBOARD_API void SimBoard_NodeDetach(int node);
/* Puts the frame on the bus at the current board time (after frames already
 * scheduled), advances board time to its end and runs everything it causes,
 * the chip's reply included. 0: acknowledged; 1: no node acknowledged it (one
 * attempt, then the frame is dropped); -1: unknown handle, frame NULL, DLC
 * above 15, identifier out of range, or a listen-only node. */
SIMBOARD_API int SimBoard_NodeSend(int node, const SimBoardFrame *frame);
/* Takes the oldest frame the node received (its own excepted; it keeps the
 * latest 1024): 1; 0 when none is queued; -1 for an unknown handle or frame
 * NULL. */
SIMBOARD_API int SimBoard_NodeReceive(int node, SimBoardFrame *frame);
/* Frames that went on the bus since load or reset, acknowledged or not. */
SIMBOARD_API uint64_t SimBoard_CanFrameCount(void);
/* Bus time of those frames in microseconds: the sum of each frame's duration
 * as the bus times it (every bit from SOF to the end of the CRC, stuff bits
 * included, then 13 bits to the end of the intermission; an unacknowledged
 * attempt 19 bits with its error frame instead), at its sender's bit rate,
 * each rounded up to a whole microsecond. */
SIMBOARD_API uint64_t SimBoard_BusTime(void);
/* A controller register read or written directly, without the mode and
 * read-only rules and without side effects. With no controller on the port
 * Peek returns 0xFF and Poke does nothing. */
SIMBOARD_API uint8_t SimBoard_McpPeek(uint8_t address);
SIMBOARD_API void SimBoard_McpPoke(uint8_t address, uint8_t value);

/* ---- The chip (LPC11C24 in its C_CAN ISP bootloader) ------------------- */

/* Flash (0x00000000-0x00007FFF) and RAM (0x10000000-0x10001FFF), reached
 * directly (flash as it is, not as the bootloader's boot ROM remap shows it).
 * 0; or -1 when a byte of the range lies outside both, or buffer is NULL with
 * count above 0. A write that changes flash is persisted like a copy. */
SIMBOARD_API int SimBoard_ChipRead(uint32_t address, uint8_t *buffer, uint32_t count);
SIMBOARD_API int SimBoard_ChipWrite(uint32_t address, const uint8_t *buffer, uint32_t count);
/* 0 absent, 1 ISP locked, 2 ISP unlocked, 3 user code. */
SIMBOARD_API int SimBoard_ChipState(void);
/* Power-on of the chip alone: flash kept, RAM cleared, the entry decision
 * taken again. */
SIMBOARD_API void SimBoard_ChipPowerCycle(void);
/* SDO requests the chip received since the board started or was reset. */
SIMBOARD_API uint32_t SimBoard_ChipRequests(void);
/* The chip's flash time since load or reset, in microseconds: 100000 for each
 * erase command carried out (whatever its sector count), 1000 per 256 bytes
 * of each copy to flash carried out; refused commands add nothing. */
SIMBOARD_API uint64_t SimBoard_FlashTime(void);

#endif
