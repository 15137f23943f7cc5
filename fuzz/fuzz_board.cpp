// The simulated board under arbitrary command streams: an MPSSE device of the
// board opened and put in MPSSE mode as the tool does, then the input written
// to it in pieces, with the answers read back between them. The controller
// and the chip sit on the port and the bus, so instructions that reach them
// run too. The board must neither crash nor hang, must take every byte
// written, and its clock only moves forward.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/driver_api.h"
#include "sim/simboard.h"

namespace
{

// The first input byte picks the chip on the list and the piece sizes.
const char *const DEVICES[] = {"FT2232H", "FT2232D", "FT232H", "FT4232H"};
constexpr uint32_t READ_TIMEOUT_MS = 50;
constexpr uint32_t MAX_READ = 4096;

[[noreturn]] void Fail(const char *condition, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, condition);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : Fail(#condition, __LINE__))

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t choice = data[0];
    CHECK(SimBoard_Set("SIMBOARD_DEVICES", DEVICES[choice & 3]) == 0);
    SimBoard_Reset();

    uint32_t count = 0;
    CHECK(FT_CreateDeviceInfoList(&count) == 0 && count >= 1);
    SB_HANDLE handle = nullptr;
    CHECK(FT_Open(0, &handle) == 0);
    CHECK(FT_SetTimeouts(handle, READ_TIMEOUT_MS, READ_TIMEOUT_MS) == 0);
    CHECK(FT_SetLatencyTimer(handle, (choice & 4) ? 2 : 255) == 0);
    CHECK(FT_SetBitMode(handle, 0, 0) == 0);
    CHECK(FT_SetBitMode(handle, 0, 2) == 0);

    // Pieces of 1 to 16 bytes, as the tool's writes are small; after each
    // piece, what the engine answered is read back as far as it is there.
    std::vector<uint8_t> answer(MAX_READ);
    uint64_t before = SimBoard_Time();
    size_t at = 1;
    size_t piece = 1 + ((choice >> 3) & 15);
    while (at < size) {
        uint32_t n = static_cast<uint32_t>(size - at < piece ? size - at : piece);
        uint32_t written = 0;
        CHECK(FT_Write(handle, data + at, n, &written) == 0 && written == n);
        at += n;
        uint32_t queued = 0;
        CHECK(FT_GetQueueStatus(handle, &queued) == 0);
        if (queued > 0) {
            uint32_t want = queued < MAX_READ ? queued : MAX_READ, got = 0;
            CHECK(FT_Read(handle, answer.data(), want, &got) == 0 && got <= want);
        }
        uint64_t now = SimBoard_Time();
        CHECK(now >= before);
        before = now;
    }
    // A read of more than is there ends at the time-out.
    uint32_t got = 0;
    CHECK(FT_Read(handle, answer.data(), MAX_READ, &got) == 0 && got <= MAX_READ);
    CHECK(FT_Purge(handle, 3) == 0);
    CHECK(FT_Close(handle) == 0);
    return 0;
}
