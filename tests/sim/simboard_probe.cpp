// A small program that loads the board by linking it and makes one driver
// call, for the tests of what a board does at its creation in a process of
// its own (settings that end the process, settings from the environment).
#include <cstdio>

#include "sim/driver_api.h"

int main()
{
    uint32_t count = 0;
    SB_STATUS status = FT_CreateDeviceInfoList(&count);
    std::printf("status=%u count=%u\n", status, count);
    return 0;
}
