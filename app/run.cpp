#include "app/run.h"

#include "app/console.h"
#include "app/options.h"

const char BANNER_TEXT[] = "CAN Bootloader for LPC11Cxx Microcontrollers";

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

    // The connection to the chip and the actions are not built yet: the run
    // stops here and prints no final message, since nothing was done.
    return 0;
}
