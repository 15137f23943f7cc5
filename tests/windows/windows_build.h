// Where the Windows build's files are, for the suites that look at them or
// run them through Wine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace windows_build
{

// The MinGW tree given at configure time; empty when none was.
inline std::string Dir() { return WINDOWS_BUILD_DIR; }

inline std::string File(const std::string &relative) { return Dir() + "/" + relative; }

// The board's library, full or without one entry point ("" for the full one).
inline std::string Board(const std::string &omitted = "")
{
    return omitted.empty() ? File("sim/ftd2xx.dll") : File("sim/no-" + omitted + "/ftd2xx.dll");
}

} // namespace windows_build

// Skips the running test when no Windows build was given, and fails it when
// one was given but lacks its files.
#define REQUIRE_WINDOWS_BUILD()                                                                                        \
    do {                                                                                                               \
        if (windows_build::Dir().empty())                                                                              \
            GTEST_SKIP() << "no Windows build: configure with -DCANISP_WINDOWS_BUILD_DIR=<MinGW build tree> "          \
                            "(cmake/mingw-w64-x86_64.cmake) to run canisp.exe under Wine";                             \
        for (const std::string &file :                                                                                 \
             {windows_build::File("canisp.exe"), windows_build::Board(), windows_build::Board("FT_Purge"),             \
              windows_build::Board("FT_GetLibraryVersion"), windows_build::File("canisp-vclock.exe")})                 \
            ASSERT_TRUE(std::filesystem::is_regular_file(file)) << file << " is missing: build the Windows tree";      \
    } while (false)
