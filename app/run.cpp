#include "app/run.h"

#include "app/actions.h"
#include "app/console.h"
#include "app/firmware.h"
#include "app/options.h"
#include "app/results.h"
#include "can/can.h"

const char BANNER_TEXT[] = "CAN Bootloader for LPC11Cxx Microcontrollers";

namespace {

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
        return APP_ProgramFirmware(settings.fileName, settings.flashOffset);
    case 'r':
        return APP_ResetChip();
    default:
        *known = false;
        return RC_OK;
    }
}

void printFinalMessage(int result)
{
    if (const char *message = APP_ResultMessage(result))
        APP_PrintStatus(message);
}

} // namespace

int APP_Run(int argc, const char *const *argv)
{
    RunSettings settings;
    APP_SetDefaultSettings(&settings);

    APP_PrintBanner(BANNER_TEXT);

    ParseResult parsed = APP_ParseOptions(argc, argv, &settings);
    if (parsed != PARSE_OK) {
        // Parser failures end the run before any device access.
        APP_PrintStatus(APP_ParseMessage(parsed));
        return 0;
    }

    APP_Format(g_message, "Connecting to PartID 0x%08X @ %ibaud", settings.expectedPartId, settings.bitRate);
    APP_PrintStatus(g_message);

    int result = APP_Connect(settings.bitRate, settings.expectedPartId);
    if (result == RC_OK)
        result = APP_Unlock(settings.unlockCode);
    if (result != RC_OK) {
        // The interface stays open, but the controller must not keep
        // retransmitting an unanswered request after the tool has gone.
        CAN_TakeOffBus();
        printFinalMessage(result);
        return 0;
    }

    bool known = false;
    result = runAction(settings, &known);
    if (!known) {
        CAN_TakeOffBus();
        APP_PrintStatus("Unknown Action. Doing Nothing.");
        return 0;
    }

    // One final message: the action's failure names the run; a clean action
    // followed by a failed close is reported as the close.
    int closed = APP_Disconnect();
    if (result == RC_OK)
        result = closed;
    printFinalMessage(result);
    return 0;
}
