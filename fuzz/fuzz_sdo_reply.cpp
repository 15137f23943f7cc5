// Replies from the bus: an arbitrary 8-byte frame through the reply printout
// at every verbosity. The status is the chip's verdict and must not depend on
// how much is printed; nothing is printed below level 2, and the printout of
// one frame is bounded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console.h"
#include "app/test_reset.h"
#include "isp/sdo_frame.h"
#include "platform/platform.h"

namespace
{

// Levels at which the printout changes, and the level the input names.
constexpr uint8_t LEVELS[] = {0, 1, 2, 3, 4, 255};
// The longest printout: the header with the longest label, then the upload
// line with four bytes or the abort line with the longest error text.
constexpr size_t MAX_PRINTOUT = 200;
const char *const LABELS[] = {"Read Part ID", "Unlock", "Write to RAM", "", nullptr};

[[noreturn]] void Fail(const char *condition, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, condition);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : Fail(#condition, __LINE__))

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < sizeof(SdoFrame) + 2)
        return 0;
    SdoFrame *frame = static_cast<SdoFrame *>(std::malloc(sizeof(SdoFrame)));
    std::memcpy(frame, data, sizeof(SdoFrame));
    const char *label = LABELS[data[8] % (sizeof(LABELS) / sizeof(LABELS[0]))];
    const uint8_t named = data[9];

    std::string console;
    PLAT_ConsoleCapture(&console);
    int first = 0;
    bool haveFirst = false;
    for (size_t i = 0; i <= sizeof(LEVELS); ++i) {
        APP_ResetGlobalsForTest();
        g_verbosity = i < sizeof(LEVELS) ? LEVELS[i] : named;
        console.clear();
        int status = SDO_PrintReply(label, frame);
        if (!haveFirst) {
            first = status;
            haveFirst = true;
        }
        CHECK(status == first);
        CHECK(g_verbosity >= 2 || console.empty());
        CHECK(console.size() <= MAX_PRINTOUT);
        // Only an abort fails a step: with the ISP error code it carries, or
        // -1 for a code of another class.
        const bool abort = (frame->command >> 5) == SDO_SCS_ABORT;
        const bool ispAbort = abort && frame->data[3] == SDO_ABORT_ISP_ERROR_CLASS;
        CHECK(status == (ispAbort ? frame->data[0] : abort ? -1 : 0));
    }
    PLAT_ConsoleCapture(nullptr);
    std::free(frame);
    return 0;
}
