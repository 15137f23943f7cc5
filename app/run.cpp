#include "app/run.h"

#include "app/actions.h"
#include "app/adapter.h"
#include "app/console.h"
#include "app/firmware.h"
#include "app/flash_read.h"
#include "app/options.h"
#include "app/results.h"
#include "Infra/src/ftdi_infra.h"
#include "can/can.h"
#include "isp/sdo_transport.h"
#include "platform/platform.h"

#ifndef CANISP_VERSION
#define CANISP_VERSION "unknown"
#endif

const char BANNER_TEXT[] = "CAN Bootloader for LPC11Cxx Microcontrollers";
char g_message[MESSAGE_SIZE] = "";
const char TOOL_VERSION[] = CANISP_VERSION;

namespace
{

const char USAGE_TEXT[] = "Usage: canisp -a ACTION [-f FILE] [-o OFFSET] [-b RATE] [-p PARTID] [-s ADDRESS]\r\n"
                          "              [-u CODE] [-v LEVEL] [--fast] [--exit-code] [--device SEL] ...\r\n"
                          "       canisp --list | --help | --version\r\n"
                          "\r\n"
                          "Programs and controls an LPC11C24 through its CAN bootloader (C_CAN ISP),\r\n"
                          "over an MCP2515 SPI CAN controller on an FTDI MPSSE channel.\r\n"
                          "\r\n"
                          "Options come in pairs, in any order; a later pair overrides an earlier one.\r\n"
                          "  -a ACTION   p program FILE, v verify the flash against FILE, d read the\r\n"
                          "              flash back into FILE, e erase the flash, g go (start the user\r\n"
                          "              program at -s), r reset the chip, b re-enter the bootloader\r\n"
                          "  -f FILE     image: raw binary from flash address 0, Intel HEX or ELF (told\r\n"
                          "              by its contents); for -a d, HEX when it ends in .hex\r\n"
                          "  -o OFFSET   flash offset, hexadecimal (default 0): the first sector a raw\r\n"
                          "              image is programmed or verified from; where -a d starts\r\n"
                          "  -b RATE     CAN bit rate in bit/s, 15385 to 1000000: decimal, 0x hexadecimal\r\n"
                          "              or 0 octal (default 100000)\r\n"
                          "  -p PARTID   expected part identification, hexadecimal (default 1430102B)\r\n"
                          "  -s ADDRESS  start address of -a g, hexadecimal (default 0)\r\n"
                          "  -u CODE     unlock code, hexadecimal (default 5A5A)\r\n"
                          "  -v LEVEL    verbosity, decimal: 0 quiet, 1 progress bars (default),\r\n"
                          "              2 and 3 every step and reply, 4 also the data sent\r\n"
                          "Hexadecimal values may start with 0x.\r\n"
                          "\r\n"
                          "Long options, anywhere among the pairs:\r\n"
                          "  --help          this text\r\n"
                          "  --version       the tool's version\r\n"
                          "  --fast          the fast wire and programming order (see the README)\r\n"
                          "  --exit-code     exit status names the outcome: 0 success, 1 failure after\r\n"
                          "                  the chip was reached, 2 command line or image refused,\r\n"
                          "                  3 interface or chip not reached, 130 interrupted\r\n"
                          "  --list          list the MPSSE channels (index, serial number,\r\n"
                          "                  description, type) without opening any\r\n"
                          "  --device SEL    use the MPSSE channel with index SEL, or with serial\r\n"
                          "                  number or description SEL, instead of the first\r\n"
                          "  --length N      bytes -a d reads, hexadecimal (default: to the flash's end)\r\n"
                          "  --allow-crp     program an image that sets code read protection CRP1 or\r\n"
                          "                  CRP2; --allow-crp=CRP3 or =NO_ISP for those levels\r\n"
                          "\r\n"
                          "Examples:\r\n"
                          "  canisp -a p -f firmware.hex --fast --exit-code\r\n"
                          "  canisp -a v -f firmware.elf -v 2 --device SB000002\r\n"
                          "  canisp -a d -f flash.hex\r\n"
                          "\r\n"
                          "Ctrl-C stops at the next safe point and takes the controller off the bus.\r\n"
                          "The README describes every message, the exit statuses and the hardware.\r\n";

// --length, or to the end of the flash.
uint32_t readLength(const RunSettings &settings)
{
    if (settings.lengthGiven)
        return settings.length;
    return settings.flashOffset < MAX_IMAGE_SIZE ? MAX_IMAGE_SIZE - settings.flashOffset : 0;
}

// What the command line asks of a file that can be judged before any device
// access: a HEX or ELF file that breaks its format or is given an offset, an
// image that would lock the chip, a read-back range the bootloader cannot
// give. RC_OK otherwise (a raw image that cannot be read fails later, in its
// action, as it always has).
int checkBeforeConnecting(const RunSettings &settings, char *why)
{
    why[0] = '\0';
    if (settings.action == 'd') {
        const char *problem = APP_ReadRangeProblem(settings.fileName, settings.flashOffset, readLength(settings));
        if (problem != nullptr) {
            APP_Format(why, "%s", problem);
            return RC_COMMAND_LINE_REFUSED;
        }
        // Found now rather than after a read of minutes.
        if (!PLAT_CanWriteBeside(settings.fileName)) {
            APP_Format(why, "'%s' cannot be written", settings.fileName);
            return RC_FILE_WRITE_FAILED;
        }
        return RC_OK;
    }
    if (settings.action != 'p' && settings.action != 'v')
        return RC_OK;
    Firmware firmware;
    const int loaded = APP_LoadFirmware(settings.fileName, 0, &firmware, why);
    if (loaded != RC_OK)
        return firmware.format == IMAGE_RAW ? RC_OK : loaded;
    if (firmware.format != IMAGE_RAW && settings.offsetGiven) {
        APP_Format(why, "-o places raw binaries only: a HEX or ELF file carries its addresses");
        return RC_FILE_LOAD_FAILED;
    }
    const CrpLevel crp = APP_CrpLevel(firmware);
    if (settings.action == 'p' && !APP_CrpAllowed(crp, settings.allowedCrp)) {
        // What the user must decide on, at every level.
        APP_Format(g_message, "Image sets code read protection %s (0x%08X at 0x2FC)", APP_CrpName(crp),
                   APP_CrpWord(crp));
        APP_PrintStatus(g_message);
        APP_Format(g_message, "%s: %s", APP_CrpName(crp), APP_CrpEffect(crp));
        APP_PrintStatus(g_message);
        if (crp == CRP_LEVEL_1 || crp == CRP_LEVEL_2)
            APP_Format(g_message, "To program it all the same: --allow-crp");
        else
            APP_Format(g_message, "To program it all the same: --allow-crp=%s", APP_CrpName(crp));
        APP_PrintStatus(g_message);
        return RC_CRP_REFUSED;
    }
    return RC_OK;
}

int runAction(const RunSettings &settings, bool *known)
{
    *known = true;
    switch (settings.action) {
    case 'b':
        return APP_ReinvokeIsp();
    case 'e':
        return APP_EraseAll();
    case 'g':
        return APP_Go(settings.startAddress);
    case 'p':
        return APP_ProgramFirmware(settings.fileName, settings.flashOffset, settings.fast, settings.allowedCrp);
    case 'v':
        return APP_VerifyFirmware(settings.fileName, settings.flashOffset, settings.fast);
    case 'd':
        return APP_ReadFlash(settings.fileName, settings.flashOffset, readLength(settings));
    case 'r':
        return APP_ResetChip();
    default:
        *known = false;
        return RC_OK;
    }
}

// The exit status: the outcome's with --exit-code, else 0; an interrupted
// run's 130 either way.
int exitStatus(const RunSettings &settings, int status)
{
    if (status == EXIT_INTERRUPTED)
        return EXIT_INTERRUPTED;
    return settings.exitCode ? status : EXIT_SUCCESS_STATUS;
}

int finish(const RunSettings &settings, int result)
{
    if (const char *message = APP_ResultMessage(result))
        APP_PrintStatus(message);
    return exitStatus(settings, APP_ExitStatusFor(result));
}

// A request to stop: the exchange in flight has ended; nothing more goes to
// the chip, the controller leaves the bus and the channel is closed.
int finishInterrupted(const RunSettings &settings)
{
    if (CAN_IsOpen())
        CAN_Close();
    else
        CAN_ReleaseDriver();
    g_connected = 0;
    return finish(settings, RC_INTERRUPTED);
}

int runRequest(const RunSettings &settings)
{
    switch (settings.request) {
    case REQUEST_HELP:
        APP_Print("%s", USAGE_TEXT);
        return EXIT_SUCCESS_STATUS;
    case REQUEST_VERSION:
        APP_Print("canisp %s\r\n", TOOL_VERSION);
        return EXIT_SUCCESS_STATUS;
    case REQUEST_LIST: {
        int result = APP_ListAdapters();
        if (result != RC_OK)
            return finish(settings, result);
        return exitStatus(settings, APP_ExitStatusFor(result));
    }
    case REQUEST_ACTION:
        break;
    }
    return EXIT_SUCCESS_STATUS;
}

} // namespace

int APP_Run(int argc, const char *const *argv)
{
    RunSettings settings;
    APP_SetDefaultSettings(&settings);

    ParseResult parsed = APP_ParseOptions(argc, argv, &settings);
    if (settings.exitCode)
        Infra_SetMissingLibraryExitStatus(EXIT_NO_INTERFACE);
    if (parsed == PARSE_OK && settings.request != REQUEST_ACTION)
        return runRequest(settings);

    APP_PrintBanner(BANNER_TEXT);
    if (parsed != PARSE_OK) {
        // Parser failures end the run before any device access.
        if (g_verbosity >= 2 && settings.refusal[0] != '\0')
            APP_PrintStatus(settings.refusal);
        APP_PrintStatus(APP_ParseMessage(parsed));
        return exitStatus(settings, EXIT_REFUSED);
    }
    if (PLAT_Interrupted())
        return finish(settings, RC_INTERRUPTED);
    char why[MESSAGE_SIZE];
    const int checked = checkBeforeConnecting(settings, why);
    if (checked != RC_OK) {
        if (why[0] != '\0' && g_verbosity >= 2)
            APP_PrintStatus(why);
        if (checked == RC_COMMAND_LINE_REFUSED) {
            APP_PrintStatus(APP_ParseMessage(PARSE_MALFORMED));
            return exitStatus(settings, EXIT_REFUSED);
        }
        return finish(settings, checked);
    }

    CAN_SetFastPath(settings.fast, SDO_REPLY_COB_ID);
    APP_Format(g_message, "Connecting to PartID 0x%08X @ %ibaud", settings.expectedPartId, settings.bitRate);
    APP_PrintStatus(g_message);

    int result = APP_Connect(settings.bitRate, settings.expectedPartId, settings.deviceSelector);
    if (result == RC_OK && !PLAT_Interrupted())
        result = APP_Unlock(settings.unlockCode);
    if (PLAT_Interrupted())
        return finishInterrupted(settings);
    if (result != RC_OK) {
        // The interface stays open, but the controller must not keep
        // retransmitting an unanswered request after the tool has gone.
        CAN_TakeOffBus();
        return finish(settings, result);
    }

    bool known = false;
    result = runAction(settings, &known);
    if (PLAT_Interrupted())
        return finishInterrupted(settings);
    if (!known) {
        CAN_TakeOffBus();
        APP_PrintStatus("Unknown Action. Doing Nothing.");
        return exitStatus(settings, EXIT_REFUSED);
    }

    // One final message: the action's failure names the run; a clean action
    // followed by a failed close is reported as the close.
    int closed = APP_Disconnect();
    if (result == RC_OK)
        result = closed;
    return finish(settings, result);
}
