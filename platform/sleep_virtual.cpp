#include "platform/platform.h"
#include "platform/vclock.h"

namespace
{
uint64_t g_virtualMs = 0;
uint64_t g_virtualSleeps = 0;
} // namespace

void PLAT_SleepMs(uint32_t ms)
{
    g_virtualMs += ms;
    ++g_virtualSleeps;
}

uint64_t PLAT_NowMs() { return g_virtualMs; }

uint64_t PLAT_VirtualClockMs() { return g_virtualMs; }
uint64_t PLAT_VirtualSleepCount() { return g_virtualSleeps; }

void PLAT_VirtualClockReset()
{
    g_virtualMs = 0;
    g_virtualSleeps = 0;
}
