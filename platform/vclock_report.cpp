// canisp-vclock only: what the tool paused in a run, for tests that bound a
// run's time on the virtual clock. When CANISP_VCLOCK_REPORT names a file, the
// process writes "MILLISECONDS PAUSES" there as it ends (a return from main or
// an exit with a status alike).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform/vclock.h"

namespace
{

struct PauseReport {
    ~PauseReport()
    {
        const char *path = std::getenv("CANISP_VCLOCK_REPORT");
        if (path == nullptr || *path == '\0')
            return;
        if (FILE *file = std::fopen(path, "w")) {
            std::fprintf(file, "%" PRIu64 " %" PRIu64 "\n", PLAT_VirtualClockMs(), PLAT_VirtualSleepCount());
            std::fclose(file);
        }
    }
} g_pauseReport;

} // namespace
