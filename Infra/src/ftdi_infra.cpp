#include "Infra/src/ftdi_infra.h"

#include <cstring>

#include "console/console.h"
#include "platform/platform.h"

void *hdll_d2xx = nullptr;
D2xxFunctionTable varFunctionPtrLst = {};

namespace
{

#ifdef _WIN32
const char D2XX_LIBRARY_NAME[] = "ftd2xx.dll";
#else
const char D2XX_LIBRARY_NAME[] = "libftd2xx.so";
#endif

// The fatal report names this source path and a line per missing piece.
const char INFRA_SOURCE_PATH[] = "../../Infra/src/ftdi_infra";
constexpr int LINE_LIBRARY = 246;

int g_missingLibraryExitStatus = 1;

constexpr uint32_t PURGE_RX_AND_TX = 3;
constexpr uint8_t BIT_MODE_RESET = 0x00;
constexpr uint8_t BIT_MODE_MPSSE = 0x02;

[[noreturn]] void reportMissing(int line)
{
    APP_Print("%s:%d:%s(): NULL expression encountered\n", INFRA_SOURCE_PATH, line, "Init_libMPSSE");
    if (hdll_d2xx != nullptr) {
        PLAT_FreeLibrary(hdll_d2xx);
        hdll_d2xx = nullptr;
    }
    varFunctionPtrLst = D2xxFunctionTable{};
    PLAT_ExitProcess(g_missingLibraryExitStatus);
}

template <typename EntryPoint> void bindEntryPoint(EntryPoint &slot, const char *name, int line)
{
    void *address = PLAT_FindSymbol(hdll_d2xx, name);
    if (address == nullptr)
        reportMissing(line);
    slot = reinterpret_cast<EntryPoint>(address);
}

} // namespace

void Init_libMPSSE()
{
    // A second bind without an unbind in between drops the earlier library
    // reference only after taking the new one, so the library stays loaded
    // (and keeps its device state) across the rebind.
    void *previous = hdll_d2xx;
    hdll_d2xx = PLAT_LoadLibrary(D2XX_LIBRARY_NAME);
    if (previous != nullptr)
        PLAT_FreeLibrary(previous);
    if (hdll_d2xx == nullptr)
        reportMissing(LINE_LIBRARY);

    // Resolved in this order; the first one missing ends the process with its
    // line, and the names after it are not looked up.
    D2xxFunctionTable &t = varFunctionPtrLst;
    bindEntryPoint(t.getLibraryVersion, "FT_GetLibraryVersion", 250);
    bindEntryPoint(t.createDeviceInfoList, "FT_CreateDeviceInfoList", 253);
    bindEntryPoint(t.getDeviceInfoList, "FT_GetDeviceInfoList", 257);
    bindEntryPoint(t.open, "FT_Open", 260);
    bindEntryPoint(t.close, "FT_Close", 263);
    bindEntryPoint(t.resetDevice, "FT_ResetDevice", 266);
    bindEntryPoint(t.purge, "FT_Purge", 269);
    bindEntryPoint(t.setUSBParameters, "FT_SetUSBParameters", 272);
    bindEntryPoint(t.setChars, "FT_SetChars", 275);
    bindEntryPoint(t.setTimeouts, "FT_SetTimeouts", 278);
    bindEntryPoint(t.setLatencyTimer, "FT_SetLatencyTimer", 281);
    bindEntryPoint(t.setBitMode, "FT_SetBitMode", 284);
    bindEntryPoint(t.getQueueStatus, "FT_GetQueueStatus", 287);
    bindEntryPoint(t.read, "FT_Read", 290);
    bindEntryPoint(t.write, "FT_Write", 293);
    bindEntryPoint(t.getDeviceInfo, "FT_GetDeviceInfo", 296);
}

void Infra_SetMissingLibraryExitStatus(int status) { g_missingLibraryExitStatus = status; }

void Cleanup_libMPSSE()
{
    if (hdll_d2xx == nullptr)
        return;
    PLAT_FreeLibrary(hdll_d2xx);
    hdll_d2xx = nullptr;
    varFunctionPtrLst = D2xxFunctionTable{};
}

D2xxStatus Infra_TestFunction(uint32_t value, uint32_t *result)
{
    if (result == nullptr)
        return D2XX_INVALID_PARAMETER;
    *result = value + 100;
    return D2XX_OK;
}

int Infra_ModuleEntry(uint32_t reason)
{
    if (reason == INFRA_PROCESS_ATTACH)
        Init_libMPSSE();
    else if (reason == INFRA_PROCESS_DETACH)
        Cleanup_libMPSSE();
    return 1;
}

void Infra_OnLoad() { Init_libMPSSE(); }

void Infra_OnUnload() { Cleanup_libMPSSE(); }

// Each forwarding operation checks its own slot: a table that was never
// filled, or was emptied by Cleanup_libMPSSE, gives D2XX_OTHER_ERROR.
#define FORWARD(slot, ...)                                                                                             \
    do {                                                                                                               \
        if (varFunctionPtrLst.slot == nullptr)                                                                         \
            return D2XX_OTHER_ERROR;                                                                                   \
        return varFunctionPtrLst.slot(__VA_ARGS__);                                                                    \
    } while (0)

D2xxStatus MPSSE_CreateDeviceInfoList(uint32_t *count) { FORWARD(createDeviceInfoList, count); }

D2xxStatus MPSSE_GetDeviceInfoList(MPSSE_DeviceRecord *records, uint32_t *count)
{
    FORWARD(getDeviceInfoList, records, count);
}

D2xxStatus MPSSE_Open(uint32_t position, D2xxHandle *handle) { FORWARD(open, position, handle); }

D2xxStatus MPSSE_Close(D2xxHandle handle) { FORWARD(close, handle); }

D2xxStatus MPSSE_Read(D2xxHandle handle, void *buffer, uint32_t count, uint32_t *bytesRead)
{
    FORWARD(read, handle, buffer, count, bytesRead);
}

D2xxStatus MPSSE_Write(D2xxHandle handle, const void *bytes, uint32_t count, uint32_t *bytesWritten)
{
    FORWARD(write, handle, bytes, count, bytesWritten);
}

D2xxStatus MPSSE_GetQueueStatus(D2xxHandle handle, uint32_t *waiting) { FORWARD(getQueueStatus, handle, waiting); }

D2xxStatus MPSSE_ResetDevice(D2xxHandle handle) { FORWARD(resetDevice, handle); }

D2xxStatus MPSSE_Purge(D2xxHandle handle) { FORWARD(purge, handle, PURGE_RX_AND_TX); }

D2xxStatus MPSSE_SetUSBParameters(D2xxHandle handle, uint32_t inSize, uint32_t outSize)
{
    FORWARD(setUSBParameters, handle, inSize, outSize);
}

D2xxStatus MPSSE_SetChars(D2xxHandle handle, uint32_t eventChar, uint32_t eventEnable, uint32_t errorChar,
                          uint32_t errorEnable)
{
    FORWARD(setChars, handle, static_cast<uint8_t>(eventChar), static_cast<uint8_t>(eventEnable),
            static_cast<uint8_t>(errorChar), static_cast<uint8_t>(errorEnable));
}

D2xxStatus MPSSE_SetTimeouts(D2xxHandle handle, uint32_t readMs, uint32_t writeMs)
{
    FORWARD(setTimeouts, handle, readMs, writeMs);
}

D2xxStatus MPSSE_SetLatencyTimer(D2xxHandle handle, uint32_t ms)
{
    FORWARD(setLatencyTimer, handle, static_cast<uint8_t>(ms));
}

D2xxStatus MPSSE_ResetBitMode(D2xxHandle handle) { FORWARD(setBitMode, handle, 0, BIT_MODE_RESET); }

D2xxStatus MPSSE_EnterMpsseMode(D2xxHandle handle) { FORWARD(setBitMode, handle, 0, BIT_MODE_MPSSE); }

D2xxStatus MPSSE_GetDeviceType(D2xxHandle handle, uint32_t *type)
{
    // The driver writes all of these; only the type is wanted.
    uint32_t id = 0;
    char serialNumber[16] = {};
    char description[64] = {};
    FORWARD(getDeviceInfo, handle, type, &id, serialNumber, description, nullptr);
}

#undef FORWARD

void Infra_ResetForTest()
{
    Cleanup_libMPSSE();
    varFunctionPtrLst = D2xxFunctionTable{};
    g_missingLibraryExitStatus = 1;
}
