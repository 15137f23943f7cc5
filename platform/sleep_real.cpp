#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
void PLAT_SleepMs(uint32_t ms) { Sleep(ms); }
#else
#include <cerrno>
#include <ctime>
void PLAT_SleepMs(uint32_t ms)
{
    timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal handler may cut the sleep short; sleep the remainder.
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
#endif
