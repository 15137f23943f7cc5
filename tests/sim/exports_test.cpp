// Each board library exports the driver's entry points and the control
// interface and nothing else; each variant lacks exactly its one entry point.
#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "support/child_process.h"

namespace
{

std::set<std::string> Words(const std::string &text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(BoardExports, ExactlyTheEntryPointsAndTheControlInterface)
{
    const std::set<std::string> entryPoints = Words(
        "FT_GetLibraryVersion FT_CreateDeviceInfoList FT_GetDeviceInfoList FT_Open FT_Close FT_ResetDevice FT_Purge "
        "FT_SetUSBParameters FT_SetChars FT_SetTimeouts FT_SetLatencyTimer FT_SetBitMode FT_GetQueueStatus FT_Read "
        "FT_Write FT_GetDeviceInfo");
    const std::set<std::string> control = Words(
        "SimBoard_Reset SimBoard_Set SimBoard_Time SimBoard_UsbCallCount SimBoard_SpiByteCount SimBoard_SpiScript "
        "SimBoard_SpiFrame SimBoard_NodeAttach SimBoard_NodeDetach SimBoard_NodeSend SimBoard_NodeReceive "
        "SimBoard_CanFrameCount SimBoard_McpPeek SimBoard_McpPoke SimBoard_ChipRead SimBoard_ChipWrite "
        "SimBoard_ChipState SimBoard_ChipPowerCycle SimBoard_ChipRequests SimBoard_BusTime SimBoard_FlashTime");
    // Symbols that the linker itself defines in every shared object.
    const std::set<std::string> linkerSymbols = Words("_init _fini _edata _end __bss_start");
    const struct {
        const char *path, *omitted;
    } libraries[] = {{SIMBOARD_LIBRARY, ""},
                     {SIMBOARD_NO_PURGE_LIBRARY, "FT_Purge"},
                     {SIMBOARD_NO_VERSION_LIBRARY, "FT_GetLibraryVersion"}};
    for (const auto &library : libraries) {
        ChildSpec child;
        child.program = "nm";
        child.args = {"-D", "--defined-only", library.path};
        child.timeoutSeconds = 60;
        ChildResult result = RunChild(child);
        ASSERT_EQ(0, result.exitStatus) << result.Describe();
        std::set<std::string> exported, expected = control;
        std::istringstream lines(result.out);
        for (std::string address, kind, name; lines >> address >> kind >> name;)
            if (!linkerSymbols.count(name))
                exported.insert(name);
        for (const std::string &name : entryPoints)
            if (name != library.omitted)
                expected.insert(name);
        EXPECT_EQ(expected, exported) << library.path;
    }
}

} // namespace
