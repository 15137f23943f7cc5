// canisp.exe run through Wine as a Windows user runs it: in a folder of its
// own with the simulated ftd2xx.dll beside it. Its console bytes and exit
// statuses must be the Linux binary's for the same run; the board's settings
// reach the Windows program through the environment under the same names.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "sim/records.h"
#include "support/child_process.h"
#include "support/expected_output.h"
#include "support/temp_files.h"
#include "windows/windows_build.h"

namespace
{

namespace fs = std::filesystem;
using Env = std::vector<std::pair<std::string, std::string>>;

const std::string CONNECTING = "Connecting to PartID 0x1430102B @ 100000baud";
const std::string SIX_DOTS = "......";
constexpr size_t FLASH_SIZE = 32768;
constexpr size_t SECTOR_SIZE = 4096;
// What the board answers for a missing library: install no DLL at all.
const char NO_LIBRARY[] = "-";

// The prefix Wine uses: WINEPREFIX, or its default in the home folder.
std::string WinePrefix()
{
    if (const char *prefix = std::getenv("WINEPREFIX"))
        return prefix;
    const char *home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.wine";
}

// Standard error is a text stream on Windows: its "\n" arrives as "\r\n".
std::string UnixLines(std::string text)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

class WindowsRuns : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_WINDOWS_BUILD();
        const std::string prefix = WinePrefix();
        ASSERT_TRUE(fs::is_directory(prefix + "/dosdevices"))
            << "the Wine prefix " << prefix << " is not set up: run `WINEPREFIX=" << prefix
            << " wineboot -i` once, and `wineserver -p` before the tests so that no run waits for the "
               "server to end";
        for (const std::string &dir : {AppDir(), RunDir(), LinuxDir()})
            fs::create_directories(dir);
    }

    // The program's folder, the folder it runs in (empty unless a test puts
    // files there), and the Linux binary's folder for the same run.
    std::string AppDir() const { return root + "/app"; }
    std::string RunDir() const { return root + "/run"; }
    std::string LinuxDir() const { return root + "/linux"; }

    // canisp.exe, canisp-vclock.exe and, beside them as ftd2xx.dll, the board
    // without `omitted` ("" for the full board, NO_LIBRARY for none).
    void Install(const std::string &omitted = "")
    {
        for (const char *program : {"canisp.exe", "canisp-vclock.exe"})
            fs::copy_file(windows_build::File(program), AppDir() + "/" + program, fs::copy_options::overwrite_existing);
        fs::remove(AppDir() + "/ftd2xx.dll");
        if (omitted != NO_LIBRARY)
            fs::copy_file(windows_build::Board(omitted), AppDir() + "/ftd2xx.dll");
    }

    // `child` may ask for a signal: it goes to the wine process, which is the
    // one that runs the Windows program.
    ChildResult RunWindows(const std::vector<std::string> &args, Env env = {}, bool virtualClock = false,
                           ChildSpec child = {})
    {
        child.prefix = {"wine"};
        child.program = AppDir() + (virtualClock ? "/canisp-vclock.exe" : "/canisp.exe");
        child.args = args;
        env.push_back({"WINEDEBUG", "-all"});
        child.env = env;
        child.workDir = RunDir();
        child.timeoutSeconds = 60;
        ChildResult result = RunChild(child);
        EXPECT_TRUE(result.started && !result.timedOut) << "wine canisp.exe\n" << result.Describe();
        return result;
    }

    // The Linux binary over the Linux board without `omitted`; its pauses
    // cost nothing (virtual clock) and print nothing.
    ChildResult RunLinux(const std::vector<std::string> &args, Env env = {}, const std::string &omitted = "")
    {
        ChildSpec child;
        child.program = CANISP_VCLOCK_BINARY;
        child.args = args;
        std::string board = omitted == NO_LIBRARY ? LinuxDir()
                            : omitted.empty()     ? std::string(SIMBOARD_DIR)
                                                  : std::string(SIMBOARD_DIR) + "/no-" + omitted;
        env.push_back({"LD_LIBRARY_PATH", board});
        child.env = env;
        child.workDir = LinuxDir();
        child.timeoutSeconds = 60;
        ChildResult result = RunChild(child);
        EXPECT_TRUE(result.started && !result.timedOut) << "canisp\n" << result.Describe();
        return result;
    }

    void ExpectSameAsLinux(const ChildResult &windows, const ChildResult &linux_, const std::string &what)
    {
        EXPECT_EQ(windows.exitStatus, linux_.exitStatus)
            << what << "\nWindows: " << windows.Describe() << "\nLinux: " << linux_.Describe();
        EXPECT_EQ(windows.out, linux_.out) << what;
        EXPECT_EQ(UnixLines(windows.err), linux_.err) << what;
    }

    TempDir temp{"wine"};
    const std::string &root = temp.path;
};

TEST_F(WindowsRuns, NoArgumentPrintsTheBannerAndFilenameRequired)
{
    Install();
    ChildResult result = RunWindows({});
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_EQ(result.out, expected::ToolBanner() + expected::Status("Filename required!"));
    EXPECT_EQ(result.err, "");
}

TEST_F(WindowsRuns, EraseAtLevel0PrintsExactlyItsDocumentedLines)
{
    Install();
    ChildResult result = RunWindows({"-v", "0", "-a", "e"});
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_EQ(result.out, expected::ToolBanner() + expected::Status(CONNECTING) +
                              expected::Status("Connecting to CAN Transceiver") + SIX_DOTS +
                              expected::Status("Erasing sectors") + expected::Status("Action successfull!"));
    EXPECT_EQ(result.err, "");
}

// Arguments cross a Windows command line (quoted by Wine, split again by the
// C runtime), and settings cross the Windows environment. Runs with long
// pauses use canisp-vclock.exe.
TEST_F(WindowsRuns, RunsPrintWhatTheLinuxBinaryPrints)
{
    const struct {
        const char *what;
        std::vector<std::string> args;
        Env env;
        std::string shows; // in standard output or error, and the status, so that both cannot fail alike
        int status = 0;
        bool virtualClock = false;
    } cases[] = {
        {"unknown option", {"-x", "1"}, {}, expected::Status("Unknown Argument!")},
        {"value in an option position", {"a", "p"}, {}, expected::Status("Malformed Argument!")},
        {"option without its value", {"-v", "0", "-a"}, {}, expected::Status("Malformed Argument!")},
        {"file name of 1500 characters",
         {"-a", "p", "-f", std::string(1500, 'x')},
         {},
         expected::Status("Malformed Argument!")},
        {"bit rate the controller cannot time",
         {"-v", "0", "-a", "e", "-b", "2000000"},
         {},
         expected::Status("CAN Interface could not be opened!")},
        {"erase with every reply", {"-v", "2", "-a", "e"}, {}, "Reply to 'Erase Sector' : 0x5030|0x00"},
        {"reset", {"-a", "r"}, {}, "System Reset Sequence executed!"},
        {"no USB device",
         {"-a", "e"},
         {{"SIMBOARD_DEVICES", "none"}},
         expected::Status("CAN Interface could not be opened!")},
        {"another part",
         {"-v", "2", "-a", "e"},
         {{"SIMBOARD_CHIP_PARTID", "0x1440102B"}},
         "Part ID read : 1440102B \t Expected : 1430102B"},
        {"setting the board cannot read", {"-a", "e"}, {{"SIMBOARD_ENGINE", "sideways"}}, "SIMBOARD_ENGINE", 2},
        {"missing image",
         {"-a", "p", "-f", "missing.bin"},
         {},
         expected::Status("Firmware binary file could not be loaded!")},
        {"help", {"--help"}, {}, "\r\nOptions come in pairs, in any order"},
        {"version", {"--version"}, {}, "canisp "},
        {"channel list",
         {"--list"},
         {{"SIMBOARD_DEVICES", "FT2232H,FT232H/spi"}},
         "1\tSB000001B\tDual RS232-HS B\tFT2232H\r\n2\tSB000002\tSingle RS232-HS\tFT232H\r\n"},
        {"hexadecimal verbosity",
         {"-a", "e", "-v", "0x2", "--exit-code"},
         {},
         expected::Status("Malformed Argument!"),
         2},
        {"exit code of a success", {"-v", "0", "-a", "e", "--exit-code"}, {}, expected::Status("Action successfull!")},
        {"exit code of a missing image", {"-a", "p", "-f", "missing.bin", "--exit-code"}, {}, "not be loaded!", 2},
        {"exit code of a refused unlock",
         {"-a", "e", "-u", "1234", "--exit-code"},
         {},
         expected::Status("Unlock failed!"),
         1},
        {"exit code of no chip",
         {"-a", "e", "--exit-code"},
         {{"SIMBOARD_CHIP", "absent"}},
         expected::Status("Reading of Part ID failed after timeout!"),
         3,
         true},
        {"fast erase with every reply", {"--fast", "-v", "2", "-a", "e"}, {}, "Reply to 'Erase Sector' : 0x5030|0x00"},
    };
    Install();
    for (const auto &c : cases) {
        ChildResult windows = RunWindows(c.args, c.env, c.virtualClock);
        ChildResult linux_ = RunLinux(c.args, c.env);
        ExpectSameAsLinux(windows, linux_, c.what);
        EXPECT_NE((windows.out + windows.err).find(c.shows), std::string::npos) << c.what << "\n" << windows.out;
        EXPECT_EQ(windows.exitStatus, c.status) << c.what;
    }
}

// The board loads the flash file, and replaces it after each erase and copy:
// sectors the run leaves alone keep what the file held.
TEST_F(WindowsRuns, ProgrammingWritesTheImageIntoThePersistedFlash)
{
    Bytes before(FLASH_SIZE);
    for (size_t i = 0; i < FLASH_SIZE; ++i)
        before[i] = static_cast<uint8_t>(i * 13 + 5);
    const Bytes image = ReadFile(SAMPLE_IMAGE);
    ASSERT_FALSE(image.empty());
    for (const std::string &dir : {RunDir(), LinuxDir()}) {
        WriteFile(dir + "/flash.bin", before);
        WriteFile(dir + "/sample image.bin", image);
    }
    Install();
    const std::vector<std::string> args = {"-a", "p", "-f", "sample image.bin"};
    const Env env = {{"SIMBOARD_FLASH", "flash.bin"}};
    ChildResult windows = RunWindows(args, env);
    ChildResult linux_ = RunLinux(args, env);
    ExpectSameAsLinux(windows, linux_, "programming");
    EXPECT_EQ(windows.out.substr(windows.out.size() - 69), expected::Status("Action successfull!"));

    const Bytes flash = ReadFile(RunDir() + "/flash.bin");
    ASSERT_EQ(flash.size(), FLASH_SIZE);
    const Bytes written = expected::Programmed(image);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + written.size()), written);
    // The rest of sector 0 is the RAM window's tail: zeros on a chip just
    // started.
    EXPECT_EQ(Bytes(flash.begin() + written.size(), flash.begin() + SECTOR_SIZE),
              Bytes(SECTOR_SIZE - written.size(), 0));
    EXPECT_EQ(Bytes(flash.begin() + SECTOR_SIZE, flash.end()), Bytes(before.begin() + SECTOR_SIZE, before.end()));
    EXPECT_EQ(flash, ReadFile(LinuxDir() + "/flash.bin"));
    EXPECT_FALSE(fs::exists(RunDir() + "/flash.bin.tmp"));

    // The fast path: the same console bytes and the same flash.
    for (const std::string &dir : {RunDir(), LinuxDir()})
        WriteFile(dir + "/flash.bin", before);
    std::vector<std::string> fastArgs = args;
    fastArgs.push_back("--fast");
    ChildResult fastWindows = RunWindows(fastArgs, env);
    ExpectSameAsLinux(fastWindows, RunLinux(fastArgs, env), "fast programming");
    EXPECT_EQ(fastWindows.out.substr(fastWindows.out.size() - 69), expected::Status("Action successfull!"));
    EXPECT_EQ(ReadFile(RunDir() + "/flash.bin"), ReadFile(LinuxDir() + "/flash.bin"));
}

// Windows looks for the library in the program's folder and in the current
// one: the run starts in an empty folder, so only the program's folder counts.
// With --exit-code the status is 3, the interface's.
TEST_F(WindowsRuns, AMissingLibraryOrEntryPointEndsWithItsReportAndStatus1Or3)
{
    const struct {
        const char *omitted;
        int line;
    } cases[] = {{NO_LIBRARY, 246}, {"FT_Purge", 269}, {"FT_GetLibraryVersion", 250}};
    for (const auto &c : cases) {
        Install(c.omitted);
        ASSERT_TRUE(fs::is_empty(RunDir()));
        for (bool exitCode : {false, true}) {
            std::vector<std::string> args = {"-v", "0", "-a", "e"};
            if (exitCode)
                args.push_back("--exit-code");
            ChildResult windows = RunWindows(args);
            ASSERT_EQ(windows.exitStatus, exitCode ? 3 : 1) << c.omitted << "\n" << windows.Describe();
            EXPECT_EQ(windows.out, expected::ToolBanner() + expected::Status(CONNECTING) +
                                       expected::Status("Connecting to CAN Transceiver") +
                                       "../../Infra/src/ftdi_infra:" + std::to_string(c.line) +
                                       ":Init_libMPSSE(): NULL expression encountered\n")
                << c.omitted;
            ExpectSameAsLinux(windows, RunLinux(args, {}, c.omitted), c.omitted);
        }
    }
}

// Wine turns a SIGINT to its process into a Ctrl-C event of the Windows
// program's console: the first takes the controller off the bus, closes the
// channel and ends the run with 130; a second ends the process at once.
TEST_F(WindowsRuns, ACtrlCLeavesTheBusAndEndsWith130)
{
    const std::string FIRST_SEARCH_DOT = "Searching LPC" + std::string(51, ' ') + ".";
    const struct {
        std::vector<std::string> args;
        Env env;
        std::string when;
        int count;
        std::string finalLine;
    } cases[] = {
        {{"-a", "p", "-f", "big.bin"}, {}, "\xDB\xDB", 1, "Action interrupted!"},
        {{"-a", "e", "--exit-code"}, {{"SIMBOARD_CHIP", "absent"}}, "Searching LPC", 1, "Action interrupted!"},
        // Both events while the first part-ID request waits for its reply.
        {{"-a", "e"}, {{"SIMBOARD_CHIP", "absent"}}, FIRST_SEARCH_DOT, 2, FIRST_SEARCH_DOT},
    };
    WriteFile(RunDir() + "/big.bin", Bytes(FLASH_SIZE, 0x5A));
    Install();
    for (const auto &c : cases) {
        fs::remove(RunDir() + "/usb.trace");
        ChildSpec child;
        child.signalWhen = c.when;
        child.signalNumber = SIGINT;
        child.signalCount = c.count;
        Env env = c.env;
        env.push_back({"SIMBOARD_TRACE", "usb.trace"});
        ChildResult result = RunWindows(c.args, env, false, child);
        ASSERT_EQ(result.exitStatus, 130) << result.Describe();
        EXPECT_EQ(expected::LastStatus(result.out), c.finalLine) << result.out;
        if (c.count > 1)
            continue;
        std::vector<simboard::TraceLine> trace, frames;
        std::string error;
        ASSERT_TRUE(simboard::ReadTraceFile(RunDir() + "/usb.trace", &trace, &error)) << error;
        for (const auto &line : trace)
            if (line.tag == "SPI" && line.name == "frame")
                frames.push_back(line);
        // Abort pending transmissions, then configuration mode, then the close.
        ASSERT_GE(frames.size(), 2u);
        EXPECT_EQ(frames[frames.size() - 2].mosi, (Bytes{0x05, 0x0F, 0x10, 0x10}));
        EXPECT_EQ(frames.back().mosi, (Bytes{0x05, 0x0F, 0xF0, 0x80}));
        EXPECT_EQ(trace.back().entry, "FT_Close");
    }
}

} // namespace
