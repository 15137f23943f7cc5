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
 * error and nothing changed. Never ends the process. Names that begin with
 * SIMBOARD_ but belong to no part of the board yet are stored unchecked. */
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

/* The CAN controller, the bus and the chip add their functions here. */

#endif
