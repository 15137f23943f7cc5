// The virtual clock that test executables and canisp-vclock link in place of
// the real sleep: PLAT_SleepMs only advances a counter.
#pragma once

#include <cstdint>

// Milliseconds slept since start or the last reset.
uint64_t PLAT_VirtualClockMs();
// Number of PLAT_SleepMs calls since start or the last reset.
uint64_t PLAT_VirtualSleepCount();
void PLAT_VirtualClockReset();
