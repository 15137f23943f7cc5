#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char **argv)
{
    PLAT_InstallInterruptHandlers();
    PLAT_ConsoleInit();
    return APP_Run(argc, argv);
}
