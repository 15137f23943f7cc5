#include "platform/platform.h"

#include <cstdlib>

void PLAT_ExitProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(status);
}
