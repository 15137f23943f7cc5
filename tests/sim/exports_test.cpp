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

const std::set<std::string> kEntryPoints =
    Words("FT_GetLibraryVersion FT_CreateDeviceInfoList FT_GetDeviceInfoList FT_Open FT_Close FT_ResetDevice FT_Purge "
          "FT_SetUSBParameters FT_SetChars FT_SetTimeouts FT_SetLatencyTimer FT_SetBitMode FT_GetQueueStatus FT_Read "
          "FT_Write FT_GetDeviceInfo");
const std::set<std::string> kControl =
    Words("SimBoard_Reset SimBoard_Set SimBoard_Time SimBoard_UsbCallCount SimBoard_SpiByteCount SimBoard_SpiScript "
          "SimBoard_SpiFrame SimBoard_NodeAttach SimBoard_NodeDetach SimBoard_NodeSend SimBoard_NodeReceive "
          "SimBoard_CanFrameCount SimBoard_McpPeek SimBoard_McpPoke SimBoard_ChipRead SimBoard_ChipWrite "
          "SimBoard_ChipState SimBoard_ChipPowerCycle SimBoard_ChipRequests SimBoard_BusTime SimBoard_FlashTime");
// Symbols that the linker itself defines in every shared object.
const std::set<std::string> kLinkerSymbols = Words("_init _fini _edata _end __bss_start");

std::set<std::string> Exports(const std::string &library)
{
    ChildSpec child;
    child.program = "nm";
    child.args = {"-D", "--defined-only", library};
    child.timeoutSeconds = 60;
    ChildResult result = RunChild(child);
    EXPECT_EQ(0, result.exitStatus) << result.Describe();
    std::set<std::string> names;
    std::istringstream lines(result.out);
    for (std::string address, kind, name; lines >> address >> kind >> name;)
        if (!kLinkerSymbols.count(name))
            names.insert(name);
    return names;
}

struct Library {
    const char *path;
    const char *omitted;
};

class BoardExports : public ::testing::TestWithParam<Library>
{
};

TEST_P(BoardExports, ExportExactlyTheEntryPointsAndTheControlInterface)
{
    std::set<std::string> expected = kControl;
    for (const std::string &name : kEntryPoints)
        if (name != GetParam().omitted)
            expected.insert(name);
    EXPECT_EQ(expected, Exports(GetParam().path));
}

INSTANTIATE_TEST_SUITE_P(Libraries, BoardExports,
                         ::testing::Values(Library{SIMBOARD_LIBRARY, ""},
                                           Library{SIMBOARD_NO_PURGE_LIBRARY, "FT_Purge"},
                                           Library{SIMBOARD_NO_VERSION_LIBRARY, "FT_GetLibraryVersion"}));

} // namespace
