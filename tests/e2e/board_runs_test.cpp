// The real canisp binary against the simulated board, as a user runs it (the
// board on the child's library path only; canisp-vclock where pauses are long).
// What reached the chip is read back from the board's logs and flash.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/image_file.h"
#include "sim/records.h"
#include "sim/records_chip.h"
#include "support/child_process.h"
#include "support/expected_output.h"
#include "support/temp_files.h"

namespace
{

using Env = std::vector<std::pair<std::string, std::string>>;

class BoardRunTest : public ::testing::Test
{
protected:
    ChildSpec ChildFor(const std::vector<std::string> &args, Env env = {}, bool virtualClock = true,
                       const std::string &boardDir = SIMBOARD_DIR)
    {
        ChildSpec child;
        child.program = virtualClock ? CANISP_VCLOCK_BINARY : CANISP_BINARY;
        child.args = args;
        env.push_back({"LD_LIBRARY_PATH", boardDir});
        child.env = env;
        child.workDir = dir;
        return child;
    }
    ChildResult Run(const std::vector<std::string> &args, Env env = {}, bool virtualClock = true,
                    const std::string &boardDir = SIMBOARD_DIR)
    {
        return RunChild(ChildFor(args, env, virtualClock, boardDir));
    }

    std::string Path(const std::string &name) const { return temp.Path(name); }

    // The chip's requests whose command begins with the text.
    std::vector<std::string> Requests(const std::string &prefix)
    {
        std::vector<simboard::ChipLogLine> lines;
        std::vector<std::string> found;
        std::string error;
        EXPECT_TRUE(simboard::ReadChipLog(Path("chip.log"), &lines, &error)) << error;
        for (const auto &line : lines)
            if (line.request && line.command.compare(0, prefix.size(), prefix) == 0)
                found.push_back(line.command);
        return found;
    }

    std::vector<simboard::TraceLine> Trace()
    {
        std::vector<simboard::TraceLine> lines;
        std::string error;
        EXPECT_TRUE(simboard::ReadTraceFile(Path("usb.trace"), &lines, &error)) << error;
        return lines;
    }

    // The last two instructions: abort pending transmissions, then
    // configuration mode.
    void ExpectOffTheBusAtTheEnd()
    {
        std::vector<std::vector<uint8_t>> frames;
        for (const auto &line : Trace())
            if (line.tag == "SPI" && line.name == "frame")
                frames.push_back(line.mosi);
        ASSERT_GE(frames.size(), 2u);
        EXPECT_EQ(frames[frames.size() - 2], (std::vector<uint8_t>{0x05, 0x0F, 0x10, 0x10}));
        EXPECT_EQ(frames.back(), (std::vector<uint8_t>{0x05, 0x0F, 0xF0, 0x80}));
    }

    std::string WriteImage(const std::string &name, size_t length)
    {
        WriteFile(Path(name), Pattern(length, 7, 3));
        return Path(name);
    }

    TempDir temp{"run"};
    const std::string &dir = temp.path;
};

// What each action and scenario ends with, and the exit status --exit-code
// gives it; without the option the status is 0 and the output the same. A run
// that reached the bus and ends without an action (another part, the unlock
// refused, no action or an unknown one) takes the controller off the bus.
TEST_F(BoardRunTest, OutcomesOfTheActionsAndTheirExitCodes)
{
    const std::string notRun = "User Program could not be executed!";
    const std::string notLoaded = "Firmware binary file could not be loaded!";
    const Env closeAndEraseFail = {{"SIMBOARD_FAIL", "FT_Close:1:4"}, {"SIMBOARD_CHIP_ABORT", "0x5030:0:0x0F000009"}};
    const struct {
        std::vector<std::string> args;
        Env env;
        int status;
        std::string finalLine, alsoPrinted = "";
        bool offBus = false;
    } cases[] = {
        {{"-v", "2", "-a", "e", "-u", "1234"}, {}, 1, "Unlock failed!", "Unlocking with code 0x1234", true},
        {{"-v", "2", "-a", "e", "-u", "15A5A"}, {}, 0, "Action successfull!", "Unlocking with code 0x15A5A"},
        {{"-a", "g", "-s", "101"}, {}, 1, notRun, "Starting User Code from Address 0x00000101"},
        // An ISP error code and a foreign abort must not cancel out to success.
        {{"-a", "g", "-s", "0"}, {{"SIMBOARD_CHIP_ABORT", "0x5070:1:0x0F000001,0x1F51:1:0x06020000"}}, 1, notRun},
        // One final message: a failed close never hides the action's own
        // failure (after a clean action it is the close's message).
        {{"-a", "e"}, closeAndEraseFail, 1, "Sector(s) could not be erased!"},
        {{"-a", "p", "-f", "missing.bin"}, {}, 2, notLoaded},
        {{"-a", "p", "-f", "."}, {}, 2, notLoaded},
        {{"-a", "x"}, {}, 2, "Unknown Action. Doing Nothing.", "", true},
        {{"-v", "1"}, {}, 2, "Unknown Action. Doing Nothing.", "", true},
        {{"-b", "abc"}, {}, 2, "Malformed Argument!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        Env env = c.env;
        env.push_back({"SIMBOARD_TRACE", "usb.trace"});
        ChildResult plain = Run(args, env);
        ASSERT_EQ(plain.exitStatus, 0) << plain.Describe();
        if (c.offBus)
            ExpectOffTheBusAtTheEnd();
        EXPECT_EQ(expected::LastStatus(plain.out), c.finalLine) << plain.out;
        EXPECT_NE(plain.out.find(c.alsoPrinted), std::string::npos) << plain.out;
        EXPECT_EQ(plain.out.find("NULL expression"), std::string::npos);
        args.push_back("--exit-code");
        ChildResult coded = Run(args, c.env);
        EXPECT_EQ(coded.exitStatus, c.status) << coded.Describe();
        EXPECT_EQ(coded.out, plain.out);
    }
}

// An erase at level 0 prints exactly its documented lines; a driver library
// without an entry point ends the process with its report (status 1, 3 with
// --exit-code).
TEST_F(BoardRunTest, EraseAtLevel0PrintsExactlyItsLinesOrTheMissingEntryPointsReport)
{
    const std::string start = expected::ToolBanner() +
                              expected::Status("Connecting to PartID 0x1430102B @ 100000baud") +
                              expected::Status("Connecting to CAN Transceiver");
    ChildResult result = Run({"-v", "0", "-a", "e"}, {}, false);
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_EQ(result.out,
              start + "......" + expected::Status("Erasing sectors") + expected::Status("Action successfull!"));
    EXPECT_EQ(result.err, "");

    const std::string noPurge = std::string(SIMBOARD_DIR) + "/no-FT_Purge";
    result = Run({"-v", "0", "-a", "e"}, {}, false, noPurge);
    ASSERT_EQ(result.exitStatus, 1) << result.Describe();
    EXPECT_EQ(result.out, start + "../../Infra/src/ftdi_infra:269:Init_libMPSSE(): NULL expression encountered\n");
    EXPECT_EQ(Run({"-a", "e", "--exit-code"}, {}, false, noPurge).exitStatus, 3);
}

TEST_F(BoardRunTest, A4097ByteImageFillsTwoSectors)
{
    const std::string name = WriteImage("image.bin", 4097);
    const Env records = {{"SIMBOARD_FLASH", "flash.bin"}, {"SIMBOARD_CHIPLOG", "chip.log"}};
    ChildResult result = Run({"-a", "p", "-f", name}, records);
    ASSERT_EQ(result.exitStatus, 0) << result.Describe();
    EXPECT_EQ(expected::LastStatus(result.out), "Action successfull!");
    EXPECT_NE(result.out.find("File '" + name + "' (4100 bytes) loaded!"), std::string::npos);
    EXPECT_NE(result.out.find("Code will be written in Sectors 0 to 1."), std::string::npos);

    const Bytes programmed = expected::Programmed(ReadFile(name));
    const Bytes flash = ReadFile(Path("flash.bin"));
    ASSERT_EQ(flash.size(), 32768u);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4096), Bytes(programmed.begin(), programmed.begin() + 4096));
    // Sector 1: the last four image bytes, then what the RAM window still
    // held from sector 0's write.
    EXPECT_EQ(Bytes(flash.begin() + 4096, flash.begin() + 4100), Bytes(programmed.begin() + 4096, programmed.end()));
    EXPECT_EQ(Bytes(flash.begin() + 4100, flash.begin() + 8192),
              Bytes(programmed.begin() + 4, programmed.begin() + 4096));

    const auto writes = Requests("WRITE_RAM");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1], "WRITE_RAM 0x10000300 4");
    EXPECT_EQ(Requests("COMPARE"),
              (std::vector<std::string>{"COMPARE 0x00000200 0x10000500 3584", "COMPARE 0x00001000 0x10000300 4096"}));
}

TEST_F(BoardRunTest, HelpVersionAndListNeedNoChannelAndTheDeviceOptionChoosesOne)
{
    const Env env = {{"SIMBOARD_TRACE", "usb.trace"}, {"SIMBOARD_DEVICES", "FT2232H,FT232H/spi"}};
    ChildResult help = Run({"-a", "e", "--help"}, env, false);
    ASSERT_EQ(help.exitStatus, 0) << help.Describe();
    EXPECT_EQ(help.out.rfind("Usage: canisp -a ACTION", 0), 0u) << help.out;
    for (const char *text : {"--exit-code", "--device SEL", "--list", "Examples:", "README"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    EXPECT_FALSE(std::ifstream(Path("usb.trace")).good()) << "the driver was loaded";

    ChildResult version = Run({"--version"}, env, false);
    ASSERT_EQ(version.exitStatus, 0) << version.Describe();
    EXPECT_TRUE(::testing::internal::RE::FullMatch(version.out, "canisp [0-9]+\\.[0-9]+\\.[0-9]+\r\n")) << version.out;

    ChildResult list = Run({"--list"}, env, false);
    ASSERT_EQ(list.exitStatus, 0) << list.Describe();
    EXPECT_EQ(list.out, "0\tSB000001A\tDual RS232-HS A\tFT2232H\r\n"
                        "1\tSB000001B\tDual RS232-HS B\tFT2232H\r\n"
                        "2\tSB000002\tSingle RS232-HS\tFT232H\r\n");
    for (const auto &line : Trace())
        EXPECT_NE(line.entry, "FT_Open") << line.text;

    // --device chooses among the listed channels; without it the first is the
    // FT2232H's A, whose port holds no controller.
    const std::string ok = "Action successfull!", notOpened = "CAN Interface could not be opened!";
    const struct {
        std::vector<std::string> args;
        std::string finalLine, alsoPrinted;
    } cases[] = {
        {{"-a", "e", "--device", "SB000002"}, ok, ""},
        {{"-a", "e", "--device=2", "-v", "2"}, ok, expected::Status("Adapter SB000002 'Single RS232-HS', channel 2")},
        {{"-a", "e", "-v", "2", "--device", "Single RS232-HS"}, ok, "channel 2"},
        {{"-a", "e", "-v", "2", "--device", "9"},
         notOpened,
         expected::Status("Device '9' not found: channels 0 SB000001A, 1 SB000001B, 2 SB000002")},
        {{"-a", "e"}, notOpened, ""},
    };
    for (const auto &c : cases) {
        ChildResult result = Run(c.args, env);
        ASSERT_EQ(result.exitStatus, 0) << result.Describe();
        EXPECT_EQ(expected::LastStatus(result.out), c.finalLine) << result.out;
        EXPECT_NE(result.out.find(c.alsoPrinted), std::string::npos) << result.out;
        if (c.finalLine == ok) {
            std::vector<std::string> opened;
            for (const auto &line : Trace())
                if (line.entry == "FT_Open")
                    opened.push_back(line.fields.at("index"));
            EXPECT_EQ(opened, std::vector<std::string>{"2"}) << ::testing::PrintToString(c.args);
        }
    }
}

// A request to stop: the exchange in flight ends, the controller leaves the
// bus, the channel closes, and the run says so; a second request ends the
// process at once.
TEST_F(BoardRunTest, AnInterruptedRunLeavesTheBusAndEndsWith130)
{
    const std::string image = WriteImage("big.bin", 32768);
    const std::string firstDot = "Searching LPC" + std::string(51, ' ') + ".", stopped = "Action interrupted!";
    const Env noChip = {{"SIMBOARD_CHIP", "absent"}};
    const struct {
        std::vector<std::string> args;
        Env env;
        std::string when;
        int signal, count, gapMs;
        std::string finalLine;
    } cases[] = {
        {{"-a", "p", "-f", image}, {}, "\xDB\xDB", SIGINT, 1, 50, stopped},
        {{"-a", "e", "--exit-code"}, noChip, "Searching LPC", SIGTERM, 1, 50, stopped},
        // Both requests while the first part-ID request waits for its reply.
        {{"-a", "e"}, noChip, firstDot, SIGHUP, 2, 50, firstDot},
        {{"--fast", "-a", "p", "-f", image}, {}, "Writing Data for Sector 2 to RAM.", SIGINT, 1, 0, stopped},
    };
    for (const auto &c : cases) {
        Env env = c.env;
        env.insert(env.end(), {{"SIMBOARD_TRACE", "usb.trace"}, {"SIMBOARD_FLASH", "flash.bin"}});
        ChildSpec child = ChildFor(c.args, env, false);
        child.signalWhen = c.when;
        child.signalNumber = c.signal;
        child.signalCount = c.count;
        child.signalGapMs = c.gapMs;
        ChildResult result = RunChild(child);
        ASSERT_EQ(result.exitStatus, 130) << result.Describe();
        EXPECT_EQ(expected::LastStatus(result.out), c.finalLine) << result.out;
        if (c.count == 1 && c.args[0] != "--fast") // the fast path takes it off the bus in one batch
            ExpectOffTheBusAtTheEnd();
        if (c.count == 1) {
            EXPECT_EQ(Trace().back().entry, "FT_Close");
        }
    }
    // The chip takes the same image afterwards.
    ChildResult again = Run({"-a", "p", "-f", image}, {{"SIMBOARD_FLASH", "flash.bin"}});
    EXPECT_EQ(expected::LastStatus(again.out), "Action successfull!") << again.Describe();
    EXPECT_EQ(ReadFile(Path("flash.bin")), expected::Programmed(ReadFile(image)));
}

// ---- Image files in and out ------------------------------------------------

const std::string FIRMWARE_DIR = std::string(SAMPLE_IMAGE).substr(0, std::string(SAMPLE_IMAGE).rfind('/') + 1);

// The sample as a raw binary, a HEX and an ELF file programs the same flash:
// the image with its checksum, then on the default path the rest of sector 0
// as the RAM window's tail (zeros on a fresh chip), on the fast path 0xFF
// from the file's end; sectors 1 to 7 neither erased nor written.
TEST_F(BoardRunTest, TheSampleAsRawHexAndElfProgramsTheFlashWithItsChecksum)
{
    const Bytes image = ReadFile(SAMPLE_IMAGE);
    for (const char *fast : {"", "--fast"}) {
        Bytes padded = image;
        if (fast[0] != '\0')
            padded.resize(4096, 0xFF);
        Bytes expected = expected::Programmed(padded);
        expected.resize(4096, 0);
        expected.resize(32768, 0xFF);
        for (const char *name : {"sample.bin", "sample.hex", "sample.elf"}) {
            std::remove(Path("flash.bin").c_str());
            std::vector<std::string> args = {"-a", "p", "-f", FIRMWARE_DIR + name};
            if (fast[0] != '\0')
                args.push_back(fast);
            ChildResult result = Run(args, {{"SIMBOARD_FLASH", "flash.bin"}});
            EXPECT_EQ(expected::LastStatus(result.out), "Action successfull!") << name << fast;
            EXPECT_EQ(ReadFile(Path("flash.bin")), expected) << name << fast;
        }
    }
}

// A file that breaks its format, a HEX or ELF file given -o, an image that
// would lock the chip, and a read-back to a file it cannot write or in a
// shape it cannot take are refused before any driver call.
TEST_F(BoardRunTest, RefusedBeforeAnyDeviceAccess)
{
    WriteText(Path("overlap.hex"), ":0100000011EE\n:0100000022DD\n:00000001FF\n");
    Bytes crp = expected::Programmed(ReadFile(SAMPLE_IMAGE));
    crp.resize(0x300, 0);
    crp[0x2FC] = 0x21, crp[0x2FD] = 0x43, crp[0x2FE] = 0x65, crp[0x2FF] = 0x87; // CRP2
    WriteFile(Path("crp2.bin"), crp);
    const std::string notLoaded = "Firmware binary file could not be loaded!", malformed = "Malformed Argument!";
    const struct {
        std::vector<std::string> args;
        std::string reason, finalLine;
    } cases[] = {
        {{"-a", "p", "-f", "overlap.hex"}, "line 2: other bytes than an earlier record at 0x0000", notLoaded},
        {{"-a", "p", "-f", FIRMWARE_DIR + "sample.elf", "-o", "1000"}, "-o places raw binaries only", notLoaded},
        {{"-a", "p", "-f", "crp2.bin", "-v", "0"},
         "Image sets code read protection CRP2 (0x87654321 at 0x2FC)",
         "Image would lock the chip: code read protection refused!"},
        {{"-a", "d", "-f", "all.bin"}, "a binary file starts at -o 200 or above", malformed},
        {{"-a", "d", "-f", "missing/out.bin", "-o", "200"},
         "'missing/out.bin' cannot be written",
         "Output file could not be written!"},
        {{"-a", "d", "-f", "odd.hex", "--length", "3"}, "multiples of 4", malformed},
        {{"-a", "p", "-f", "fw.bin", "-o", "O1000"},
         "-o expects a hexadecimal number of 32 bits, not 'O1000'",
         malformed},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-v", "2", "--exit-code"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildResult result = Run(args, {{"SIMBOARD_TRACE", "usb.trace"}}, false);
        EXPECT_EQ(result.exitStatus, 2) << result.Describe();
        EXPECT_EQ(expected::LastStatus(result.out), c.finalLine) << result.out;
        EXPECT_NE(result.out.find(c.reason), std::string::npos) << c.reason << "\n" << result.out;
        EXPECT_FALSE(std::ifstream(Path("usb.trace")).good()) << "the driver was loaded";
    }
    ChildResult allowed =
        Run({"-a", "p", "-f", "crp2.bin", "--allow-crp", "-v", "2"}, {{"SIMBOARD_FLASH", "flash.bin"}});
    EXPECT_EQ(expected::LastStatus(allowed.out), "Action successfull!") << allowed.out;
    EXPECT_NE(allowed.out.find("Image sets code read protection CRP2"), std::string::npos);
    const Bytes written = ReadFile(Path("flash.bin"));
    ASSERT_EQ(written.size(), 32768u);
    EXPECT_EQ(Bytes(written.begin() + 0x2FC, written.begin() + 0x300), Bytes(crp.begin() + 0x2FC, crp.end()));
}

// Verify compares what programming wrote, never the boot ROM window; a
// changed byte is named with both values.
TEST_F(BoardRunTest, VerifyFindsAChangedByteOutsideTheBootRomWindow)
{
    const std::string image = WriteImage("image.bin", 0x2000);
    const Env flash = {{"SIMBOARD_FLASH", "flash.bin"}};
    ASSERT_EQ(expected::LastStatus(Run({"-a", "p", "-f", image}, flash).out), "Action successfull!");
    Bytes changed = ReadFile(Path("flash.bin"));
    const uint8_t before = changed[0x1234];
    changed[0x1234] ^= 0xFF;
    changed[0x100] ^= 0xFF; // inside the window: never compared
    WriteFile(Path("flash.bin"), changed);
    char line[80];
    std::snprintf(line, sizeof line, "First difference at 0x1234: flash 0x%02X, image 0x%02X; 1 byte(s) differ",
                  before ^ 0xFF, before);
    for (bool fast : {false, true}) {
        std::vector<std::string> args = {"-a", "v", "-f", image, "--exit-code"};
        if (fast)
            args.push_back("--fast");
        ChildResult bad = Run(args, flash);
        EXPECT_EQ(bad.exitStatus, 1) << bad.Describe();
        EXPECT_EQ(expected::LastStatus(bad.out), "Data could not be verified correctly!");
        EXPECT_NE(bad.out.find("Flash 0x000-0x1FF not read"), std::string::npos);
        EXPECT_NE(bad.out.find(line), std::string::npos) << bad.out;
    }
}

// Read-back: a binary file from 0x200 on, a HEX file without records below
// 0x200.
TEST_F(BoardRunTest, ReadBackSavesTheFlashFrom0x200On)
{
    const Bytes pattern = Pattern(32768, 13, 5);
    WriteFile(Path("flash.bin"), pattern);
    const Env flash = {{"SIMBOARD_FLASH", "flash.bin"}};
    ChildResult binary = Run({"-a", "d", "-o", "200", "-f", "out.bin"}, flash);
    EXPECT_EQ(expected::LastStatus(binary.out), "Action successfull!") << binary.out;
    EXPECT_EQ(ReadFile(Path("out.bin")), Bytes(pattern.begin() + 0x200, pattern.end()));

    ChildResult hex = Run({"-a", "d", "-f", "out.hex", "--length", "1000", "--fast"}, flash);
    EXPECT_EQ(expected::LastStatus(hex.out), "Action successfull!") << hex.out;
    const Bytes text = ReadFile(Path("out.hex"));
    std::unique_ptr<FlashImage> image(new FlashImage);
    ASSERT_EQ(APP_DecodeImage(text.data(), text.size(), 0, image.get(), nullptr), IMAGE_OK);
    EXPECT_EQ(image->low, 0x200u);
    EXPECT_EQ(image->high, 0x1000u);
    EXPECT_EQ(Bytes(image->bytes + 0x200, image->bytes + 0x1000),
              Bytes(pattern.begin() + 0x200, pattern.begin() + 0x1000));
}

} // namespace
