#include "board_fixture.h"

#include <cstdio>
#include <fstream>
#include <unistd.h>

const char *const kBoardSettings[] = {
    "SIMBOARD_DEVICES",          "SIMBOARD_ENGINE",           "SIMBOARD_FAIL",          "SIMBOARD_TRACE",
    "SIMBOARD_OSC_HZ",           "SIMBOARD_NOISE",            "SIMBOARD_CAPTURE",       "SIMBOARD_CANLOG",
    "SIMBOARD_CHIP",             "SIMBOARD_CHIP_BITRATE",     "SIMBOARD_CHIP_PARTID",   "SIMBOARD_CHIP_ANSWER_FROM",
    "SIMBOARD_CHIP_SILENT_AFTER", "SIMBOARD_CHIP_REINVOKE",   "SIMBOARD_CHIP_ABORT",    "SIMBOARD_CHIP_COMPARE_DIFF",
    "SIMBOARD_CHIP_REMAP",       "SIMBOARD_FLASH",            "SIMBOARD_CHIPLOG",       nullptr};

void BoardTest::SetUp()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/')
            c = '_';
    tracePath = ::testing::TempDir() + "simboard-" + std::to_string(getpid()) + "-" + name + ".trace";
    for (const char *const *setting = kBoardSettings; *setting; ++setting)
        ASSERT_EQ(0, SimBoard_Set(*setting, ""));
    ASSERT_EQ(0, SimBoard_Set("SIMBOARD_CONTROLLER", "script"));
    ASSERT_EQ(0, SimBoard_Set("SIMBOARD_TRACE", tracePath.c_str()));
    SimBoard_Reset();
}

void BoardTest::TearDown()
{
    SimBoard_Set("SIMBOARD_TRACE", "");
    SimBoard_Reset();
    std::remove(tracePath.c_str());
}

void BoardTest::Apply(const std::vector<std::pair<std::string, std::string>> &settings)
{
    for (const auto &setting : settings)
        ASSERT_EQ(0, SimBoard_Set(setting.first.c_str(), setting.second.c_str())) << setting.first;
    SimBoard_Reset();
}

std::vector<simboard::TraceLine> BoardTest::Trace()
{
    std::vector<simboard::TraceLine> lines;
    std::string error;
    EXPECT_TRUE(simboard::ReadTraceFile(tracePath, &lines, &error)) << error;
    return lines;
}

std::vector<simboard::TraceLine> BoardTest::Trace(const std::string &tag)
{
    std::vector<simboard::TraceLine> lines;
    for (auto &line : Trace())
        if (line.tag == tag)
            lines.push_back(line);
    return lines;
}

std::vector<std::string> BoardTest::RawLines(const std::string &tag)
{
    std::vector<std::string> lines;
    std::ifstream in(tracePath);
    std::string text;
    while (std::getline(in, text))
        if (tag.empty() || text.compare(11, tag.size() + 1, tag + " ") == 0)
            lines.push_back(text);
    return lines;
}

SB_HANDLE BoardTest::OpenMpsse(uint32_t position, uint8_t latencyMs, uint32_t readTimeoutMs)
{
    SB_HANDLE handle = nullptr;
    EXPECT_EQ(0u, FT_Open(position, &handle));
    EXPECT_EQ(0u, FT_SetTimeouts(handle, readTimeoutMs, readTimeoutMs));
    EXPECT_EQ(0u, FT_SetLatencyTimer(handle, latencyMs));
    EXPECT_EQ(0u, FT_SetBitMode(handle, 0, 0));
    EXPECT_EQ(0u, FT_SetBitMode(handle, 0, 2));
    return handle;
}

void BoardTest::Write(SB_HANDLE handle, const std::vector<uint8_t> &bytes)
{
    uint32_t written = 0;
    EXPECT_EQ(0u, FT_Write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    EXPECT_EQ(bytes.size(), written);
}

std::vector<uint8_t> BoardTest::ReadAll(SB_HANDLE handle)
{
    uint32_t queued = 0;
    EXPECT_EQ(0u, FT_GetQueueStatus(handle, &queued));
    std::vector<uint8_t> bytes(queued);
    uint32_t read = 0;
    if (queued) {
        EXPECT_EQ(0u, FT_Read(handle, bytes.data(), queued, &read));
    }
    bytes.resize(read);
    return bytes;
}

std::vector<uint8_t> BoardTest::Exchange(SB_HANDLE handle, std::vector<uint8_t> commands)
{
    commands.push_back(0x87);
    Write(handle, commands);
    return ReadAll(handle);
}
