// The common fixture of in-process tests over the whole simulated board:
// the tool's globals, the virtual clock and the board all back to their start,
// with board settings applied through the board's control interface.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/simboard.h"
#include "support/tool_fixture.h"

class ToolOnBoardTest : public ToolTest
{
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        // The tool binds "libftd2xx.so" by name: it must find the board this
        // test is linked with, not another copy.
        void *loaded = dlopen("libftd2xx.so", RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(loaded, nullptr);
        ASSERT_EQ(dlsym(loaded, "SimBoard_Time"), reinterpret_cast<void *>(&SimBoard_Time));
        dlclose(loaded);
        SimBoard_Reset();
    }

    void TearDown() override
    {
        Restart({});
        ToolTest::TearDown();
    }

    // Applies settings (name, value) and restarts the board with them.
    void Configure(const std::vector<std::pair<std::string, std::string>> &settings)
    {
        for (const auto &setting : settings) {
            ASSERT_EQ(SimBoard_Set(setting.first.c_str(), setting.second.c_str()), 0) << setting.first;
            changed.insert(setting.first);
        }
        SimBoard_Reset();
    }

    // Starts a case afresh within one test: the tool's globals, the console,
    // the virtual clock and every setting back to their defaults, then these.
    void Restart(const std::vector<std::pair<std::string, std::string>> &settings)
    {
        APP_ResetGlobalsForTest();
        for (const std::string &name : changed)
            SimBoard_Set(name.c_str(), "");
        changed.clear();
        console.clear();
        PLAT_VirtualClockReset();
        Configure(settings);
    }

    std::set<std::string> changed;
};
