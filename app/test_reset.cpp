#include "app/test_reset.h"

#include <cstring>

#include "Infra/src/ftdi_infra.h"
#include "TopLayer/SPI/src/ftdi_spi.h"
#include "app/actions.h"
#include "app/console.h"
#include "can/can.h"
#include "isp/sdo_transport.h"
#include "platform/platform.h"

void APP_ResetGlobalsForTest()
{
    g_verbosity = 1;
    std::memset(g_message, 0, sizeof(g_message));
    g_connected = 0;
    PLAT_SetInterrupted(false);
    SDO_ResetForTest();
    CAN_ResetForTest();
    // The SPI master: its open channels, then the driver binding.
    SPI_ResetForTest();
    Infra_ResetForTest();
}
