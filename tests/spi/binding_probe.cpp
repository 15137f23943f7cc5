// A small program that binds the driver library the way the tool does and
// reports what it found, for the tests of a missing library or entry point.
#include "Infra/src/ftdi_infra.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "app/console.h"
#include "platform/platform.h"

int main()
{
    PLAT_ConsoleInit();
    Init_libMPSSE();
    uint32_t channels = 0;
    D2xxStatus status = SPI_GetNumChannels(&channels);
    APP_Print("bound: status %u, %u channels\n", static_cast<unsigned>(status), static_cast<unsigned>(channels));
    Cleanup_libMPSSE();
    return 0;
}
