// The Windows build's files as a user receives them: 64-bit, needing no
// library beyond what every Windows has, and the board's DLLs exporting what
// the Linux board exports (each variant one entry point less).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <string>

#include "support/child_process.h"
#include "windows/windows_build.h"

namespace
{

const char *const kEntryPoints[] = {
    "FT_GetLibraryVersion",
    "FT_CreateDeviceInfoList",
    "FT_GetDeviceInfoList",
    "FT_Open",
    "FT_Close",
    "FT_ResetDevice",
    "FT_Purge",
    "FT_SetUSBParameters",
    "FT_SetChars",
    "FT_SetTimeouts",
    "FT_SetLatencyTimer",
    "FT_SetBitMode",
    "FT_GetQueueStatus",
    "FT_Read",
    "FT_Write",
    "FT_GetDeviceInfo",
};

// A static MinGW build calls the kernel and the C runtime that ship with
// every Windows; libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll
// here would make the program fail to start on a machine without MinGW.
const std::set<std::string> kSystemLibraries = {"kernel32.dll", "msvcrt.dll"};

std::string OutputOf(const std::string &program, const std::vector<std::string> &args)
{
    ChildSpec child;
    child.program = program;
    child.args = args;
    child.timeoutSeconds = 60;
    ChildResult result = RunChild(child);
    EXPECT_EQ(0, result.exitStatus) << program << "\n" << result.Describe();
    return result.out;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The names after "[Ordinal/Name Pointer] Table" in objdump's private headers.
std::set<std::string> DllExports(const std::string &dll)
{
    std::istringstream lines(OutputOf(PE_OBJDUMP, {"-p", dll}));
    std::set<std::string> names;
    std::string line;
    bool inTable = false;
    while (std::getline(lines, line)) {
        if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
            inTable = true;
            continue;
        }
        if (!inTable)
            continue;
        size_t close = line.find("] ");
        if (line.find('[') == std::string::npos || close == std::string::npos)
            break;
        names.insert(line.substr(close + 2));
    }
    return names;
}

std::set<std::string> ImportedLibraries(const std::string &file)
{
    std::istringstream lines(OutputOf(PE_OBJDUMP, {"-p", file}));
    std::set<std::string> names;
    std::string line;
    const std::string tag = "DLL Name: ";
    while (std::getline(lines, line)) {
        size_t at = line.find(tag);
        if (at != std::string::npos)
            names.insert(Lower(line.substr(at + tag.size())));
    }
    return names;
}

std::set<std::string> LinuxBoardExports()
{
    std::istringstream lines(OutputOf("nm", {"-D", "--defined-only", SIMBOARD_LIBRARY}));
    std::set<std::string> names;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string address, kind, name;
        if (words >> address >> kind >> name && (name.rfind("FT_", 0) == 0 || name.rfind("SimBoard_", 0) == 0))
            names.insert(name);
    }
    return names;
}

TEST(WindowsFiles, TheBoardDllsExportWhatTheLinuxBoardExports)
{
    REQUIRE_WINDOWS_BUILD();
    const std::set<std::string> linuxExports = LinuxBoardExports();
    for (const char *name : kEntryPoints)
        ASSERT_EQ(1u, linuxExports.count(name)) << name << " missing from " << SIMBOARD_LIBRARY;
    for (const char *omitted : {"", "FT_Purge", "FT_GetLibraryVersion"}) {
        std::set<std::string> expected = linuxExports;
        expected.erase(omitted);
        EXPECT_EQ(expected, DllExports(windows_build::Board(omitted))) << windows_build::Board(omitted);
    }
}

TEST(WindowsFiles, ProgramsAndBoardsAre64BitAndNeedOnlySystemLibraries)
{
    REQUIRE_WINDOWS_BUILD();
    for (const std::string &file :
         {windows_build::File("canisp.exe"), windows_build::File("canisp-vclock.exe"), windows_build::Board(),
          windows_build::Board("FT_Purge"), windows_build::Board("FT_GetLibraryVersion")}) {
        EXPECT_NE(OutputOf(PE_OBJDUMP, {"-f", file}).find("file format pei-x86-64"), std::string::npos) << file;
        std::set<std::string> imports = ImportedLibraries(file);
        EXPECT_FALSE(imports.empty()) << file;
        for (const std::string &library : imports)
            EXPECT_EQ(1u, kSystemLibraries.count(library)) << file << " needs " << library;
    }
}

} // namespace
