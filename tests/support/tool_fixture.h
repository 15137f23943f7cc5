// The common fixture of in-process tests of the tool: every global back to its
// start, the virtual clock at zero, and the console captured as raw bytes.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/test_reset.h"
#include "platform/platform.h"
#include "platform/vclock.h"

class ToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        APP_ResetGlobalsForTest();
        PLAT_VirtualClockReset();
        console.clear();
        PLAT_ConsoleCapture(&console);
    }
    void TearDown() override { PLAT_ConsoleCapture(nullptr); }

    std::string console;
};
