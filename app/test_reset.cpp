#include "app/test_reset.h"

#include <cstring>

#include "app/console.h"

void APP_ResetGlobalsForTest()
{
    g_verbosity = 1;
    std::memset(g_message, 0, sizeof(g_message));
}
