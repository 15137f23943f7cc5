// The operating-system seams of the tool. Nothing outside platform/ calls the
// operating system directly: sleeping, loading the driver library, writing the
// console, opening the image file and ending the process all go through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// ---- Time ------------------------------------------------------------------
// Blocks for ms milliseconds. canisp links the real sleep (sleep_real.cpp);
// test executables and canisp-vclock link the virtual clock (sleep_virtual.cpp).
void PLAT_SleepMs(uint32_t ms);
// A monotonic millisecond count from an arbitrary start, for bounding waits
// that do not sleep. On the virtual clock it is the time slept.
uint64_t PLAT_NowMs();

// ---- Dynamic libraries -----------------------------------------------------
// A loaded library, or nullptr when it could not be loaded.
void *PLAT_LoadLibrary(const char *fileName);
// The address of an exported symbol, or nullptr.
void *PLAT_FindSymbol(void *library, const char *name);
// 0 when the library was released.
int PLAT_FreeLibrary(void *library);

// ---- Console ---------------------------------------------------------------
// Output is single-byte text whose frame characters are code page 437 bytes.
// Text bytes are written unchanged; frame characters go through
// PLAT_ConsoleWriteFrame so that a UTF-8 terminal can be given their Unicode
// equivalents without touching the bytes of user text (file names).

// Puts standard output into binary mode on Windows (otherwise every "\r\n"
// becomes "\r\r\n") and decides once whether frame characters go out as UTF-8.
void PLAT_ConsoleInit();
// Writes bytes and flushes, so that progress dots and bars show as they come.
void PLAT_ConsoleWrite(const char *bytes, size_t count);
// Writes one code page 437 frame character count times.
void PLAT_ConsoleWriteFrame(uint8_t cp437, size_t count);

// The console character-set rule: UTF-8 only for a terminal whose locale
// codeset is UTF-8; files and pipes always get the raw code page 437 bytes.
bool PLAT_ChooseUtf8(bool isTerminal, const char *codeset);
// UTF-8 spelling of a code page 437 frame byte, or nullptr for any other byte.
const char *PLAT_Cp437FrameToUtf8(uint8_t cp437);

// Test hook: while sink is set, console bytes are appended to it (raw code
// page 437) instead of going to standard output. nullptr restores stdout.
void PLAT_ConsoleCapture(std::string *sink);

// ---- Files -----------------------------------------------------------------
enum PlatOpenResult { PLAT_OPEN_OK = 0, PLAT_OPEN_FAILED = -1, PLAT_OPEN_NOT_REGULAR = -2 };
// Opens a regular file for reading in binary mode while letting other programs
// read and write it. Folders, devices and pipes are refused (*file = nullptr):
// reading them could block forever or never reach an end.
PlatOpenResult PLAT_OpenSharedBinary(const char *path, FILE **file);
// The size of an open file in bytes; false when it cannot be told.
bool PLAT_FileSize(FILE *file, uint64_t *size);
// Writes the bytes to path + ".part" beside it and renames that over path
// once complete, so that path never holds a partial file; on any failure the
// temporary is removed and path is left as it was. False on failure.
bool PLAT_WriteFileWhole(const char *path, const uint8_t *bytes, size_t count);
// Whether PLAT_WriteFileWhole could create its temporary beside path: tried
// by creating it and removing it again.
bool PLAT_CanWriteBeside(const char *path);

// ---- Interruption ----------------------------------------------------------
// The exit status of a run that a request to stop ended.
constexpr int PLAT_INTERRUPTED_EXIT_STATUS = 130;
// Installs the handlers of the requests to stop: SIGINT, SIGTERM and SIGHUP on
// Linux; Ctrl-C, Ctrl-Break and closing the console on Windows. A handler only
// sets the flag that PLAT_Interrupted reads, and the run stops at its next
// safe point; a second request ends the process at once with status 130.
void PLAT_InstallInterruptHandlers();
bool PLAT_Interrupted();
// Sets or clears the flag as a handler would (tests, and a run's start).
void PLAT_SetInterrupted(bool interrupted);

// ---- Process ---------------------------------------------------------------
// Flushes standard output and ends the process with the status.
[[noreturn]] void PLAT_ExitProcess(int status);
