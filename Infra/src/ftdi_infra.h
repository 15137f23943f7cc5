// The binding of the USB bridge's D2XX driver library, loaded at run time and
// bound by entry-point name. This module is the only one that knows the
// library's file name; everything above reaches the driver through the thin
// forwarding operations declared here.
//
// Statuses: D2xxStatus, the driver's own numbering, passed on unchanged; 0 is
// success. Callers test for non-zero.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define D2XX_CALL __stdcall
#else
#define D2XX_CALL
#endif

// The driver's interface is 32-bit throughout: statuses, counts and sizes;
// only the handle is pointer-sized.
using D2xxStatus = uint32_t;
using D2xxHandle = void *;

// Statuses in the driver's numbering; the SPI master's own failures use the
// same numbers.
constexpr D2xxStatus D2XX_OK = 0;
constexpr D2xxStatus D2XX_INVALID_HANDLE = 1;
constexpr D2xxStatus D2XX_IO_ERROR = 4;
constexpr D2xxStatus D2XX_INSUFFICIENT_RESOURCES = 5;
constexpr D2xxStatus D2XX_INVALID_PARAMETER = 6;
constexpr D2xxStatus D2XX_OTHER_ERROR = 18;

// One entry of the driver's device list, in the driver's field order.
struct MPSSE_DeviceRecord {
    uint32_t flags;
    uint32_t type;  // device type in the driver's numbering
    uint32_t id;    // USB vendor ID << 16 | product ID
    uint32_t locId; // low four bits: interface number (1 = A, 2 = B, ...)
    char serialNumber[16];
    char description[64];
    D2xxHandle handle;
};
static_assert(sizeof(MPSSE_DeviceRecord) == (sizeof(void *) == 8 ? 104 : 100),
              "the driver walks its record arrays at 100 bytes (32-bit) or 104 bytes (64-bit)");

// The driver's entry points, as function-pointer types only.
using D2xxGetLibraryVersion = D2xxStatus(D2XX_CALL *)(uint32_t *version);
using D2xxCreateDeviceInfoList = D2xxStatus(D2XX_CALL *)(uint32_t *count);
using D2xxGetDeviceInfoList = D2xxStatus(D2XX_CALL *)(MPSSE_DeviceRecord *records, uint32_t *count);
using D2xxOpen = D2xxStatus(D2XX_CALL *)(uint32_t position, D2xxHandle *handle);
using D2xxClose = D2xxStatus(D2XX_CALL *)(D2xxHandle handle);
using D2xxResetDevice = D2xxStatus(D2XX_CALL *)(D2xxHandle handle);
using D2xxPurge = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint32_t mask);
using D2xxSetUSBParameters = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint32_t inSize, uint32_t outSize);
using D2xxSetChars = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint8_t eventChar, uint8_t eventEnable,
                                             uint8_t errorChar, uint8_t errorEnable);
using D2xxSetTimeouts = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint32_t readMs, uint32_t writeMs);
using D2xxSetLatencyTimer = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint8_t ms);
using D2xxSetBitMode = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint8_t mask, uint8_t mode);
using D2xxGetQueueStatus = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint32_t *waiting);
using D2xxRead = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, void *buffer, uint32_t count, uint32_t *read);
using D2xxWrite = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, const void *bytes, uint32_t count, uint32_t *written);
using D2xxGetDeviceInfo = D2xxStatus(D2XX_CALL *)(D2xxHandle handle, uint32_t *type, uint32_t *id, char *serialNumber,
                                                  char *description, void *reserved);

// The 16 entry points, filled by Init_libMPSSE in this order.
struct D2xxFunctionTable {
    D2xxGetLibraryVersion getLibraryVersion;
    D2xxCreateDeviceInfoList createDeviceInfoList;
    D2xxGetDeviceInfoList getDeviceInfoList;
    D2xxOpen open;
    D2xxClose close;
    D2xxResetDevice resetDevice;
    D2xxPurge purge;
    D2xxSetUSBParameters setUSBParameters;
    D2xxSetChars setChars;
    D2xxSetTimeouts setTimeouts;
    D2xxSetLatencyTimer setLatencyTimer;
    D2xxSetBitMode setBitMode;
    D2xxGetQueueStatus getQueueStatus;
    D2xxRead read;
    D2xxWrite write;
    D2xxGetDeviceInfo getDeviceInfo;
};

// Bound from Init_libMPSSE to Cleanup_libMPSSE; null and empty otherwise.
extern void *hdll_d2xx;
extern D2xxFunctionTable varFunctionPtrLst;

// Loads the driver library and resolves its entry points. Returns only when
// all of them were found; otherwise prints the NULL-expression report and
// ends the process with status 1.
void Init_libMPSSE();
// The exit status of that report: 1 unless the application chose another.
void Infra_SetMissingLibraryExitStatus(int status);
// Releases the library (if loaded) and forgets every entry point.
void Cleanup_libMPSSE();
// Stores value + 100 in *result; a check that the module is callable.
D2xxStatus Infra_TestFunction(uint32_t value, uint32_t *result);

// Module hooks for builds where the binding is a loadable module of its own:
// reason 1 (process attach) binds, 0 (process detach) unbinds, anything else
// does nothing; the answer is always 1. This tool never runs them: the CAN
// controller driver binds and unbinds itself.
constexpr uint32_t INFRA_PROCESS_DETACH = 0;
constexpr uint32_t INFRA_PROCESS_ATTACH = 1;
int Infra_ModuleEntry(uint32_t reason);
void Infra_OnLoad();
void Infra_OnUnload();

// Thin forwarding operations: the driver's status comes back unchanged.
// While the driver is not bound they call nothing and return
// D2XX_OTHER_ERROR, so a stray call after Cleanup_libMPSSE cannot jump into
// a released library.
D2xxStatus MPSSE_CreateDeviceInfoList(uint32_t *count);
D2xxStatus MPSSE_GetDeviceInfoList(MPSSE_DeviceRecord *records, uint32_t *count);
D2xxStatus MPSSE_Open(uint32_t position, D2xxHandle *handle);
D2xxStatus MPSSE_Close(D2xxHandle handle);
D2xxStatus MPSSE_Read(D2xxHandle handle, void *buffer, uint32_t count, uint32_t *bytesRead);
D2xxStatus MPSSE_Write(D2xxHandle handle, const void *bytes, uint32_t count, uint32_t *bytesWritten);
D2xxStatus MPSSE_GetQueueStatus(D2xxHandle handle, uint32_t *waiting);
D2xxStatus MPSSE_ResetDevice(D2xxHandle handle);
D2xxStatus MPSSE_Purge(D2xxHandle handle);
D2xxStatus MPSSE_SetUSBParameters(D2xxHandle handle, uint32_t inSize, uint32_t outSize);
D2xxStatus MPSSE_SetChars(D2xxHandle handle, uint32_t eventChar, uint32_t eventEnable, uint32_t errorChar,
                          uint32_t errorEnable);
D2xxStatus MPSSE_SetTimeouts(D2xxHandle handle, uint32_t readMs, uint32_t writeMs);
D2xxStatus MPSSE_SetLatencyTimer(D2xxHandle handle, uint32_t ms);
D2xxStatus MPSSE_ResetBitMode(D2xxHandle handle);
D2xxStatus MPSSE_EnterMpsseMode(D2xxHandle handle);
D2xxStatus MPSSE_GetDeviceType(D2xxHandle handle, uint32_t *type);

// Test support: unbinds and forgets the library, as at process start (the
// report's exit status back to 1).
void Infra_ResetForTest();
