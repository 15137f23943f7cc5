// Bytes from the CAN controller: the receive decoding fed with arbitrary
// controller answers. The board's SPI test double sits on the port in place
// of the controller and presents the input, one byte per byte clocked, so the
// tool's whole path runs: the SPI master's MPSSE commands, the board's engine,
// the instruction framing and the decoding of the status and buffer bytes.
// The first input byte picks the path: the status and buffer reads directly,
// or a whole reply wait.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/test_reset.h"
#include "can/can.h"
#include "isp/sdo_transport.h"
#include "platform/platform.h"
#include "platform/vclock.h"
#include "sim/simboard.h"

namespace
{

constexpr uint32_t MAX_STANDARD_ID = 0x7FF;
constexpr uint32_t MAX_EXTENDED_ID = 0x1FFFFFFF;
// A reply wait: 100 polls of a status read, a 10 ms pause and at most two
// buffer reads with their flag clearing. An instruction pauses 3 ms (1 ms
// after it, 2 ms before chip select rises) and 1 ms per look at the USB
// queue while its answer is on its way: 15 ms is ample for each.
constexpr uint64_t MAX_INSTRUCTION_MS = 15;
constexpr uint64_t MAX_WAIT_MS = SDO_REPLY_POLLS * (SDO_POLL_PAUSE_MS + 5 * MAX_INSTRUCTION_MS);

[[noreturn]] void Fail(const char *condition, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, condition);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : Fail(#condition, __LINE__))

void CheckMessage(const CanMessage &message)
{
    CHECK(message.length <= 8);
    CHECK(message.extended <= 1 && message.remote <= 1);
    CHECK(message.id <= (message.extended ? MAX_EXTENDED_ID : MAX_STANDARD_ID));
}

std::string g_console;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (SimBoard_Set("SIMBOARD_CONTROLLER", "script") != 0)
        std::abort();
    PLAT_ConsoleCapture(&g_console);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    APP_ResetGlobalsForTest();
    SimBoard_Reset();
    g_console.clear();
    CHECK(CAN_OpenInterface() == 0);
    CHECK(SimBoard_SpiScript(data + 1, static_cast<uint32_t>(size - 1)) == 0);

    if (data[0] & 0x80) {
        PLAT_VirtualClockReset();
        SdoFrame frame;
        std::memset(&frame, 0x5A, sizeof(frame));
        int result = SDO_WaitReply(SDO_REPLY_COB_ID, &frame);
        CHECK(result == 0 || result == -1);
        CHECK(PLAT_VirtualClockMs() <= MAX_WAIT_MS);
        if (result == -1)
            for (size_t i = 0; i < sizeof(frame); ++i)
                CHECK(reinterpret_cast<const uint8_t *>(&frame)[i] == 0x5A);
    } else {
        int8_t which = 0;
        uint8_t filter = 0xEE, extended = 0xEE, remote = 0xEE;
        CAN_GetRxStatus(&which, &filter, &extended, &remote);
        CHECK(which >= -1 && which <= 2);
        CHECK(filter <= 7 && extended <= 1 && remote <= 1);
        for (uint8_t buffer : {static_cast<uint8_t>(data[0] & 1), static_cast<uint8_t>(~data[0] & 1)}) {
            CanMessage message;
            CAN_ReadMessage(buffer, &message);
            CheckMessage(message);
        }
    }
    CAN_Close();
    return 0;
}
