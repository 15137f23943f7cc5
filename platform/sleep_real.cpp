#include "platform/platform.h"

#include <chrono>

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

uint64_t PLAT_NowMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}
