/* The 16 entry points of the USB driver library as the board implements them:
 * 32-bit statuses and counts, pointer-sized handles, and the driver's device
 * record. Tests of the board may call them directly (linking the board).
 *
 * A library variant built with -DSIMBOARD_OMIT_<entry point> still contains
 * that function but does not export it, as a driver library without that
 * entry point would look to a program that loads it. */
#ifndef SIMBOARD_DRIVER_API_H
#define SIMBOARD_DRIVER_API_H

#include <stdint.h>

#include "sim/simboard.h"

typedef uint32_t SB_STATUS;
typedef void *SB_HANDLE;

/* The driver's device-list entry, in the driver's field order. */
typedef struct {
    uint32_t Flags; /* bit 0: open; bit 1: high-speed chip */
    uint32_t Type;
    uint32_t ID; /* VID << 16 | PID */
    uint32_t LocId;
    char SerialNumber[16];
    char Description[64];
    SB_HANDLE ftHandle;
} SB_DEVICE_RECORD;

#ifdef __cplusplus
static_assert(sizeof(void *) != 8 || sizeof(SB_DEVICE_RECORD) == 104, "device record is 104 bytes on 64-bit builds");
static_assert(sizeof(void *) != 4 || sizeof(SB_DEVICE_RECORD) == 100, "device record is 100 bytes on 32-bit builds");
#endif

#ifdef __cplusplus
#define SB_HIDDEN_ENTRY extern "C"
#else
#define SB_HIDDEN_ENTRY extern
#endif

#if defined(SIMBOARD_OMIT_FT_GetLibraryVersion)
#define SB_ENTRY_FT_GetLibraryVersion SB_HIDDEN_ENTRY
#else
#define SB_ENTRY_FT_GetLibraryVersion SIMBOARD_API
#endif
#if defined(SIMBOARD_OMIT_FT_Purge)
#define SB_ENTRY_FT_Purge SB_HIDDEN_ENTRY
#else
#define SB_ENTRY_FT_Purge SIMBOARD_API
#endif

SB_ENTRY_FT_GetLibraryVersion SB_STATUS FT_GetLibraryVersion(uint32_t *version);
SIMBOARD_API SB_STATUS FT_CreateDeviceInfoList(uint32_t *count);
SIMBOARD_API SB_STATUS FT_GetDeviceInfoList(SB_DEVICE_RECORD *list, uint32_t *count);
SIMBOARD_API SB_STATUS FT_Open(uint32_t position, SB_HANDLE *handle);
SIMBOARD_API SB_STATUS FT_Close(SB_HANDLE handle);
SIMBOARD_API SB_STATUS FT_ResetDevice(SB_HANDLE handle);
SB_ENTRY_FT_Purge SB_STATUS FT_Purge(SB_HANDLE handle, uint32_t mask);
SIMBOARD_API SB_STATUS FT_SetUSBParameters(SB_HANDLE handle, uint32_t inSize, uint32_t outSize);
SIMBOARD_API SB_STATUS FT_SetChars(SB_HANDLE handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                                   uint8_t errorEnable);
SIMBOARD_API SB_STATUS FT_SetTimeouts(SB_HANDLE handle, uint32_t readMs, uint32_t writeMs);
SIMBOARD_API SB_STATUS FT_SetLatencyTimer(SB_HANDLE handle, uint8_t ms);
SIMBOARD_API SB_STATUS FT_SetBitMode(SB_HANDLE handle, uint8_t mask, uint8_t mode);
SIMBOARD_API SB_STATUS FT_GetQueueStatus(SB_HANDLE handle, uint32_t *count);
SIMBOARD_API SB_STATUS FT_Read(SB_HANDLE handle, void *buffer, uint32_t count, uint32_t *read);
SIMBOARD_API SB_STATUS FT_Write(SB_HANDLE handle, const void *buffer, uint32_t count, uint32_t *written);
SIMBOARD_API SB_STATUS FT_GetDeviceInfo(SB_HANDLE handle, uint32_t *type, uint32_t *id, char *serial, char *description,
                                        void *reserved);

#endif
