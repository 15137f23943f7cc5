// The fault matrix: the real tool against every board setting that matters,
// one row per fault, each run on the default and the fast path. A row checks
// the final message and exit status, a bound on the run's time (board time
// from the USB trace plus the pauses canisp-vclock reports), the chip's log,
// and its flash, which starts each run patterned so that any erase or write
// shows. The bounds come from the tool's documented timings.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sim/records_bus.h"
#include "sim/records_chip.h"
#include "support/child_process.h"
#include "support/expected_output.h"
#include "support/temp_files.h"

namespace
{

using Env = std::vector<std::pair<std::string, std::string>>;

// ---- Time bounds, in seconds -------------------------------------------------

// The default path: 20 part-ID attempts 500 ms apart, reply waits of 100
// polls 10 ms apart, 501 mode read-backs, a USB read time-out of 5 s.
constexpr double PART_ID_ATTEMPTS = 20;
constexpr double PART_ID_PAUSE_S = 0.5;
constexpr double REPLY_POLLS = 100;
constexpr double POLL_PAUSE_S = 0.010;
constexpr double MODE_READBACKS = 501;
constexpr double USB_READ_TIMEOUT_S = 5.0;
constexpr double SETUP_S = 0.6; // MPSSE set-up: two answers wait out the 255 ms latency timer
// Synchronising with an engine that never answers: 4097 writes, 1 ms pause and two transfers each.
constexpr double DEAD_SYNC_S = 4097 * 0.002;
// One instruction: at most 14 bytes at 5000 Hz, the 1 ms and 2 ms pauses, the transfers, 1 ms looks.
constexpr double INSTRUCTION_S = 0.030;
constexpr double BRING_UP_S = SETUP_S + 0.021 + 80 * INSTRUCTION_S; // reset 11 ms, mode request 10 ms
constexpr double READBACKS_S = MODE_READBACKS * (INSTRUCTION_S + 0.001);
constexpr double REQUEST_S = 3 * INSTRUCTION_S; // status read, buffer load, request to send
// Waits in which no frame arrives, and in which both buffers hold frames at every poll.
constexpr double QUIET_WAIT_S = REPLY_POLLS * (POLL_PAUSE_S + INSTRUCTION_S);
constexpr double BUSY_WAIT_S = REPLY_POLLS * (POLL_PAUSE_S + 5 * INSTRUCTION_S);
constexpr double ANSWERED_S = REQUEST_S + POLL_PAUSE_S + 3 * INSTRUCTION_S; // answered at the first poll
constexpr double QUIET_SEARCH_S = PART_ID_ATTEMPTS * (PART_ID_PAUSE_S + REQUEST_S + QUIET_WAIT_S);
constexpr double BUSY_SEARCH_S = PART_ID_ATTEMPTS * (PART_ID_PAUSE_S + REQUEST_S + BUSY_WAIT_S);
// Found at the first attempt, unlocked, taken off the bus at the end.
constexpr double CONNECTED_S = BRING_UP_S + PART_ID_PAUSE_S + 2 * ANSWERED_S + 4 * INSTRUCTION_S;
constexpr double ERASE_S = 2 * ANSWERED_S + 0.100; // 100 ms per erase command
// A 4096-byte sector: address, initiate and 586 segments, prepare, copy (16 ms), compare.
constexpr double SECTOR_S = 588 * ANSWERED_S + 3 * ANSWERED_S + 0.016;

// --fast: no pauses; a batch is one USB round trip (two 125 us microframes)
// plus its bytes at 10 MHz; a request shares a batch with the first look for
// its reply, and looks repeat for 1 s.
constexpr double MICROFRAME_S = 125e-6;
constexpr double ROUND_TRIP_S = 2 * MICROFRAME_S;
constexpr double FAST_SPI_BYTE_S = 8 / 10e6;
constexpr double REPLY_LOOKS = 1.0 / ROUND_TRIP_S;
constexpr double MODE_LOOKS = 100;
// The longest 8-byte frame at 100 kbit/s (135 bits); a request, its reply and 100 us to answer.
constexpr double CAN_FRAME_S = 135 * 10e-6;
constexpr double FAST_BUS_S = 2 * CAN_FRAME_S + 100e-6;
constexpr double FAST_SETUP_S = 0.013 + 30 * MICROFRAME_S; // lists and open, 30 driver calls
constexpr double FAST_BRING_UP_S = FAST_SETUP_S + 2 * ROUND_TRIP_S + 200 * FAST_SPI_BYTE_S;
// A mode that never reads back, then a pending transmission at every look off the bus.
constexpr double FAST_NO_MODE_S = FAST_BRING_UP_S + 2 * MODE_LOOKS * (ROUND_TRIP_S + 8 * FAST_SPI_BYTE_S);
constexpr double FAST_OFF_BUS_S = 2 * ROUND_TRIP_S + 0.001;
// Answered at the first look: 23 bytes to send, two looks of 32, the bus. The
// run's first request and each unanswered one wait the bus time once more.
constexpr double FAST_ANSWERED_S = ROUND_TRIP_S + 87 * FAST_SPI_BYTE_S + FAST_BUS_S;
constexpr double FAST_QUIET_WAIT_S = REPLY_LOOKS * (ROUND_TRIP_S + 36 * FAST_SPI_BYTE_S);
constexpr double FAST_UNANSWERED_S = FAST_ANSWERED_S + FAST_BUS_S + FAST_QUIET_WAIT_S;
constexpr double FAST_NO_CHIP_S = FAST_BRING_UP_S + PART_ID_ATTEMPTS * FAST_UNANSWERED_S + FAST_OFF_BUS_S;
constexpr double FAST_CONNECTED_S = FAST_BRING_UP_S + FAST_BUS_S + 2 * FAST_ANSWERED_S + FAST_OFF_BUS_S;
constexpr double FAST_ERASE_S = 2 * FAST_ANSWERED_S + 0.100;
constexpr double FAST_REFUSED_ERASE_S = 2 * FAST_ANSWERED_S; // no flash time
constexpr double FAST_SECTOR_S = 595 * FAST_ANSWERED_S + 0.016;
// The second sector of a 4097-byte image: one 256-byte block in 37 segments, copied in 1 ms.
constexpr double FAST_TAIL_S = (2 + 37 + 7) * FAST_ANSWERED_S + 0.001;
// A batch never answered: its read and the resynchronising echo time out; later batches fail at once.
constexpr double FAST_DEAD_BATCH_S = 2 * USB_READ_TIMEOUT_S;
// Another node's frame every periodS may hold the bus a frame.
constexpr double WithNoise(double runS, double periodS) { return runS + (runS / periodS + 1) * CAN_FRAME_S; }
// A read of N bytes: address, length, initiate, then a request per 7-byte segment.
constexpr double ReadRequests(size_t bytes) { return 3 + (bytes + 6) / 7; }

// ---- Flash and images -----------------------------------------------------------

constexpr size_t FLASH_SIZE = 32768;
constexpr size_t SECTOR = 4096;
constexpr size_t TWO_SECTORS = SECTOR + 1; // the second sector's RAM write one segment
// Flash 0x000-0x1FF may show the boot ROM: reads start above it (IMAGE's verify, each read-back: 0x200-0xFFF).
constexpr size_t BOOT_WINDOW = 0x200;
constexpr size_t READ_BYTES = SECTOR - BOOT_WINDOW;

Bytes TestImage(size_t size = SECTOR) { return Pattern(size, 7, 3); }

// What the chip's flash holds after the run.
enum class Flash {
    Unchanged,    // the pattern it started with
    AllErased,    // sectors 0 to 7 erased
    ImageErased,  // the sectors the image covers erased, the rest untouched
    Sector0Image, // sector 0 holds the image's first sector, its other sectors erased, the rest untouched
    TailImage,    // sector 0 erased, the image's other sectors hold it over 0xFF, the rest untouched
};

// The flash a run starts with: the pattern, or with userCode a programmed
// image in sector 0 (valid user code: its vector checksum holds).
Bytes StartFlash(bool userCode)
{
    Bytes flash = Pattern(FLASH_SIZE, 13, 5);
    if (userCode) {
        Bytes image = expected::Programmed(TestImage());
        std::copy(image.begin(), image.end(), flash.begin());
    }
    return flash;
}

Bytes ExpectedFlash(Flash flash, bool userCode, size_t imageSize)
{
    Bytes expected = StartFlash(userCode);
    const size_t covered = (imageSize + SECTOR - 1) / SECTOR * SECTOR;
    if (flash == Flash::AllErased)
        expected.assign(FLASH_SIZE, 0xFF);
    else if (flash != Flash::Unchanged)
        std::fill(expected.begin(), expected.begin() + covered, 0xFF);
    if (flash == Flash::Sector0Image) {
        const Bytes image = expected::Programmed(TestImage(imageSize));
        std::copy(image.begin(), image.begin() + SECTOR, expected.begin());
    } else if (flash == Flash::TailImage) {
        const Bytes image = TestImage(imageSize);
        for (size_t i = SECTOR; i < image.size(); ++i)
            expected[i] = image[i];
    }
    return expected;
}

// ---- Rows ------------------------------------------------------------------------

// Chip requests by the step they belong to; a row names the first step the
// run must not reach.
const std::vector<std::string> STEPS = {"READ_PART_ID", "UNLOCK", "SET READ_LENGTH", "READ_MEMORY", "PREPARE", "ERASE",
                                        "WRITE_RAM",    "COPY",   "COMPARE"};

// The words of "-a e" or of "NAME=value NAME=value".
std::vector<std::string> Words(const std::string &text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Settings laid over settings: a later one replaces the earlier of its name.
void Apply(Env *env, const std::string &settings)
{
    for (const std::string &word : Words(settings)) {
        const std::string name = word.substr(0, word.find('=')), value = word.substr(word.find('=') + 1);
        auto same = std::find_if(env->begin(), env->end(), [&](const auto &set) { return set.first == name; });
        if (same != env->end())
            same->second = value;
        else
            env->push_back({name, value});
    }
}

// How a run ends: its last status line, a text printed before it, the flash,
// and the first chip step it must not reach ("" none).
struct End {
    std::string finalLine, alsoPrinted;
    Flash flash;
    std::string notReached;
};

const std::string OPENED = "Connecting to CAN Transceiver" + std::string(35, ' ');
const std::string SEARCHED = std::string(20, '.') + "\r\n";
const std::string NOT_OPENED = "CAN Interface could not be opened!";
const std::string NO_PART_ID = "Reading of Part ID failed after timeout!";
const std::string SUCCESS = "Action successfull!";

End NotOpened(const std::string &printed = "") { return {NOT_OPENED, printed, Flash::Unchanged, "READ_PART_ID"}; }
End NoPartId(const char *notReached, const std::string &printed = "") { return {NO_PART_ID, printed, {}, notReached}; }
End Done(Flash flash, const char *notReached = "", const std::string &ok = "")
{
    return {SUCCESS, ok, flash, notReached};
}
End Failed(const std::string &line, Flash flash, const char *notReached, const std::string &printed = "")
{
    return {line, printed, flash, notReached};
}

constexpr int REAL_BINARY = 1; // short runs: the real canisp (its pauses are not counted)
constexpr int USER_CODE = 2;   // the flash starts with valid user code in sector 0

struct Row {
    std::string what, env, args; // settings and arguments, as words
    End end;
    double boundS, fastS; // board time plus the tool's pauses, default and --fast
    int options = 0;
    size_t imageSize = SECTOR; // of IMAGE
    std::optional<End> fastEnd{};
    std::string fastEnv = "";
    std::string readBack = ""; // -a d's file: flash 0x200-0xFFF after success; else neither it nor its .part

    // The --fast run's settings, laid over the row's, and its end where that differs.
    Row Fast(const std::string &settings, std::optional<End> end = {}) const
    {
        Row row = *this;
        row.fastEnv = settings;
        row.fastEnd = end;
        return row;
    }
};

const std::string IMAGE = "image.bin";
const std::string ERASE = "-a e";
const std::string PROGRAM = "-a p -f " + IMAGE;

class FaultMatrixTest : public ::testing::Test
{
protected:
    std::string Path(const std::string &name) const { return temp.Path(name); }

    // The real canisp in the test's folder with these settings only.
    ChildResult Bare(const std::string &args, const std::string &settings = "")
    {
        ChildSpec child;
        child.program = CANISP_BINARY;
        child.args = Words(args);
        child.env = {{"LD_LIBRARY_PATH", SIMBOARD_DIR}};
        Apply(&child.env, settings);
        child.workDir = dir;
        return RunChild(child);
    }

    std::vector<simboard::ChipLogLine> ChipLog()
    {
        std::vector<simboard::ChipLogLine> lines;
        std::string error;
        EXPECT_TRUE(simboard::ReadChipLog(Path("chip.log"), &lines, &error)) << error;
        return lines;
    }

    // The outcome's class: 0 done, 1 failed at the chip, 2 refused before
    // anything was sent, 3 no interface or no chip.
    static int ExitStatus(const std::string &finalLine)
    {
        if (finalLine == SUCCESS || finalLine.rfind("No answer after Reinvoking", 0) == 0)
            return 0;
        if (finalLine == NOT_OPENED || finalLine == NO_PART_ID || finalLine == "CAN Interface could not be closed!")
            return 3;
        // In these rows only an offset beyond the flash ends with the prepare step's message.
        return finalLine == "Sector(s) could not be prepared for erasing!" ? 2 : 1;
    }

    // Runs the row with a fresh patterned flash, the trace and the chip log.
    ChildResult Check(const Row &row, bool fast)
    {
        SCOPED_TRACE(row.what + (fast ? ", --fast" : ""));
        const End &end = fast && row.fastEnd ? *row.fastEnd : row.end;
        std::system(("rm -f '" + dir + "'/*").c_str());
        WriteFile(Path("flash.bin"), StartFlash(row.options & USER_CODE));
        WriteFile(Path(IMAGE), TestImage(row.imageSize));
        ChildSpec child;
        child.env = {{"SIMBOARD_FLASH", "flash.bin"},
                     {"SIMBOARD_TRACE", "usb.trace"},
                     {"SIMBOARD_CHIPLOG", "chip.log"},
                     {"CANISP_VCLOCK_REPORT", "pauses.txt"}};
        Apply(&child.env, row.env);
        if (fast)
            Apply(&child.env, row.fastEnv);
        const std::string trace = child.env[1].second; // SIMBOARD_TRACE, as the row may have set it
        child.env.push_back({"LD_LIBRARY_PATH", SIMBOARD_DIR});
        child.program = row.options & REAL_BINARY ? CANISP_BINARY : CANISP_VCLOCK_BINARY;
        child.args = Words(row.args + " --exit-code" + (fast ? " --fast" : ""));
        child.workDir = dir;
        const ChildResult result = RunChild(child);
        if (!result.started || result.timedOut || result.signal != 0) {
            ADD_FAILURE() << result.Describe();
            return result;
        }

        std::ifstream traceFile(Path(trace));
        double boardS = -1, pausesS = -1; // the USB trace's last time, canisp-vclock's report
        for (std::string line; std::getline(traceFile, line);)
            if (!line.empty())
                boardS = std::stoull(line.substr(0, line.find(' '))) / 1e6;
        uint64_t ms = 0;
        if (std::ifstream(Path("pauses.txt")) >> ms)
            pausesS = ms / 1e3;

        EXPECT_EQ(result.exitStatus, ExitStatus(end.finalLine)) << result.Describe();
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(expected::LastStatus(result.out), end.finalLine) << result.out;
        EXPECT_NE(result.out.find(end.alsoPrinted), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("NULL expression"), std::string::npos);

        EXPECT_GE(boardS, 0) << "no trace";
        EXPECT_TRUE((row.options & REAL_BINARY) || pausesS >= 0) << "no pause report";
        const double total = boardS + (row.options & REAL_BINARY ? 0 : pausesS);
        EXPECT_LE(total, fast ? row.fastS : row.boundS) << "board " << boardS << " s, pauses " << pausesS << " s";

        const Bytes flash = ExpectedFlash(end.flash, row.options & USER_CODE, row.imageSize);
        EXPECT_EQ(ReadFile(Path("flash.bin")), flash);
        const auto from = std::find(STEPS.begin(), STEPS.end(), end.notReached);
        for (const auto &line : ChipLog()) {
            for (auto step = from; line.request && step != STEPS.end(); ++step)
                EXPECT_NE(line.command.compare(0, step->size(), *step), 0) << line.event;
            if (line.command.rfind("READ_MEMORY ", 0) == 0) {
                EXPECT_GE(std::stoul(line.command.substr(12), nullptr, 16), BOOT_WINDOW) << line.event;
            }
        }
        if (!row.readBack.empty()) {
            const std::string file = Path(row.readBack);
            if (ExitStatus(end.finalLine) == 0)
                EXPECT_EQ(ReadFile(file), Bytes(flash.begin() + BOOT_WINDOW, flash.begin() + SECTOR));
            else
                EXPECT_NE(access(file.c_str(), F_OK), 0) << file;
            EXPECT_NE(access((file + ".part").c_str(), F_OK), 0) << file;
        }
        return result;
    }

    void CheckBothPaths(const Row &row)
    {
        for (bool fast : {false, true})
            Check(row, fast);
    }

    TempDir temp{"faults"};
    const std::string &dir = temp.path;
};

// The USB adapter and the driver: nothing past the bring-up reaches the chip.
TEST_F(FaultMatrixTest, UsbAdapterAndDriverFaults)
{
    // No device, or a driver call failing at each step of the set-up (FT_SetBitMode
    // sets the reset, then MPSSE; the first FT_Write synchronises), then what the
    // run printed after the line that opens the interface.
    for (const char *c :
         {"DEVICES=none ..", "FAIL=FT_CreateDeviceInfoList:1:4 ..", "FAIL=FT_GetDeviceInfoList:1:4",
          "FAIL=FT_Open:1:3 .....", "FAIL=FT_GetDeviceInfo:1:4", "FAIL=FT_ResetDevice:1:4 ......",
          "FAIL=FT_Purge:1:4 ......", "FAIL=FT_SetUSBParameters:1:4", "FAIL=FT_SetChars:1:4", "FAIL=FT_SetTimeouts:1:4",
          "FAIL=FT_SetLatencyTimer:1:4", "FAIL=FT_SetBitMode:1:4", "FAIL=FT_SetBitMode:2:4", "FAIL=FT_Write:1:4",
          "FAIL=FT_GetQueueStatus:1:4", "FAIL=FT_Read:1:4"}) {
        const std::vector<std::string> words = Words(c);
        const std::string env = "SIMBOARD_" + words[0], printed = words.size() > 1 ? OPENED + words[1] + "\r\n" : "";
        CheckBothPaths({env, env, ERASE, NotOpened(printed), SETUP_S, FAST_SETUP_S, REAL_BINARY});
    }
    const std::string sixDots = OPENED + "......\r\n";
    const Row rows[] = {
        {"dead engine", "SIMBOARD_ENGINE=dead", ERASE, NotOpened(sixDots), SETUP_S + DEAD_SYNC_S,
         FAST_SETUP_S + USB_READ_TIMEOUT_S},
        // 501 read-backs each waiting out the read time-out took 42 minutes.
        {"engine stops during the bring-up", "SIMBOARD_ENGINE=dead-after:100", ERASE, NotOpened(sixDots),
         BRING_UP_S + 2 * USB_READ_TIMEOUT_S, FAST_BRING_UP_S + FAST_DEAD_BATCH_S},
        // The part-ID reply's header read, its data never came: no reply, not
        // part ID 0. Fast: the engine stops after the look's status read.
        Row{"engine stops while the part-ID reply is read", "SIMBOARD_ENGINE=dead-after:1100", ERASE,
            NoPartId("UNLOCK", SEARCHED),
            BRING_UP_S + PART_ID_ATTEMPTS * (PART_ID_PAUSE_S + REQUEST_S + USB_READ_TIMEOUT_S) + USB_READ_TIMEOUT_S,
            FAST_BRING_UP_S + FAST_ANSWERED_S + FAST_BUS_S + FAST_DEAD_BATCH_S}
            .Fast("SIMBOARD_ENGINE=dead-after:232"),
        // After 25 segments of sector 0's RAM write (fast: sector 1 done, two
        // of sector 0's): the reply wait ends at its first timed-out read.
        Row{"engine stops during a RAM write", "SIMBOARD_ENGINE=dead-after:5000", PROGRAM,
            Failed("Download to RAM failed!", Flash::ImageErased, "COPY"),
            CONNECTED_S + ERASE_S + (2 + 26) * ANSWERED_S + USB_READ_TIMEOUT_S,
            FAST_CONNECTED_S + FAST_ERASE_S + FAST_TAIL_S + 4 * FAST_ANSWERED_S + FAST_DEAD_BATCH_S, 0, TWO_SECTORS}
            .Fast("", Failed("Download to RAM failed!", Flash::TailImage, "")),
        // Fast: a microframe per answer byte, two looks of 27 per request, four mode reads.
        {"engine that trickles its answers", "SIMBOARD_ENGINE=trickle", ERASE, Done(Flash::AllErased),
         CONNECTED_S + ERASE_S, FAST_CONNECTED_S + FAST_ERASE_S + (4 * 2 * 27 + 4) * MICROFRAME_S},
        // Fast: the reset is the 8th write, the filters the 9th.
        Row{"FT_Write fails from the controller's reset on", "SIMBOARD_FAIL=FT_Write:7-:4", ERASE, NotOpened(),
            BRING_UP_S, FAST_BRING_UP_S}
            .Fast("SIMBOARD_FAIL=FT_Write:8-:4"),
        Row{"FT_Write fails in the middle of the bring-up", "SIMBOARD_FAIL=FT_Write:100:4", ERASE, NotOpened(),
            BRING_UP_S + READBACKS_S, FAST_BRING_UP_S + FAST_OFF_BUS_S}
            .Fast("SIMBOARD_FAIL=FT_Write:9:4"),
        // A part-ID reply lost, the search goes on; fast: an echo resynchronises, the second attempt finds the chip.
        Row{"FT_Read fails on the part-ID reply", "SIMBOARD_FAIL=FT_Read:8:4", ERASE, NoPartId("UNLOCK"),
            BRING_UP_S + QUIET_SEARCH_S, FAST_CONNECTED_S + FAST_ERASE_S + FAST_ANSWERED_S + FAST_BUS_S + ROUND_TRIP_S}
            .Fast("SIMBOARD_FAIL=FT_Read:5:4", Done(Flash::AllErased)),
        {"FT_Close fails", "SIMBOARD_FAIL=FT_Close:1:4", ERASE,
         Failed("CAN Interface could not be closed!", Flash::AllErased, ""), CONNECTED_S + ERASE_S,
         FAST_CONNECTED_S + FAST_ERASE_S},
    };
    for (const Row &row : rows)
        CheckBothPaths(row);
}

// The CAN controller on the SPI port, and the bus behind it.
TEST_F(FaultMatrixTest, ControllerAndBusFaults)
{
    const std::string extendedReplyId = "17F40000"; // base identifier 0x5FD, extension 0
    const std::string refusedErase = " SIMBOARD_CHIP_ABORT=0x5030:0:0x0F000009";
    const End eraseFailed = Failed("Sector(s) could not be erased!", Flash::Unchanged, "WRITE_RAM");
    const Row rows[] = {
        {"no controller", "SIMBOARD_CONTROLLER=absent", ERASE, NotOpened(OPENED + "......\r\n"),
         BRING_UP_S + READBACKS_S, FAST_NO_MODE_S},
        {"SPI test double instead of a controller", "SIMBOARD_CONTROLLER=script", ERASE, NotOpened(),
         BRING_UP_S + READBACKS_S, FAST_NO_MODE_S},
        // The fast path reads the mode back from CANSTAT: a MISO stuck low fails its bring-up.
        Row{"controller's MISO stuck low", "SIMBOARD_CONTROLLER=miso-low", ERASE, NoPartId("UNLOCK", SEARCHED),
            BRING_UP_S + QUIET_SEARCH_S, FAST_NO_MODE_S}
            .Fast("", NotOpened(OPENED + "......\r\n")),
        {"controller not on the bus", "SIMBOARD_CONTROLLER=no-bus", ERASE, NoPartId("READ_PART_ID", SEARCHED),
         BRING_UP_S + QUIET_SEARCH_S, FAST_NO_CHIP_S},
        {"controller with an 8 MHz oscillator", "SIMBOARD_OSC_HZ=8000000", ERASE, NoPartId("READ_PART_ID"),
         BRING_UP_S + QUIET_SEARCH_S, FAST_NO_CHIP_S},
        // Another node's frames: frequent ones overflow the replies, rare ones
        // lose a reply only in a RAM write. The fast path's filters keep them out.
        Row{"noise every 20 ms", "SIMBOARD_NOISE=080#0102030405060708@20000", ERASE, NoPartId("UNLOCK"),
            BRING_UP_S + BUSY_SEARCH_S, WithNoise(FAST_CONNECTED_S + FAST_ERASE_S, 0.020)}
            .Fast("", Done(Flash::AllErased)),
        {"noise every 2 s, erase", "SIMBOARD_NOISE=080#0102030405060708@2000000", ERASE, Done(Flash::AllErased),
         CONNECTED_S + ERASE_S, FAST_CONNECTED_S + FAST_ERASE_S},
        Row{"noise every 2 s while programming", "SIMBOARD_NOISE=080#0102030405060708@2000000", PROGRAM,
            Failed("Download to RAM failed!", Flash::ImageErased, "COPY"),
            CONNECTED_S + ERASE_S + SECTOR_S + BUSY_WAIT_S,
            WithNoise(FAST_CONNECTED_S + FAST_ERASE_S + FAST_SECTOR_S, 0.020)}
            .Fast("SIMBOARD_NOISE=080#0102030405060708@20000", Done(Flash::Sector0Image)),
        // A frame with the reply's identifier that is not the chip's reply
        // (60 30 50 00 at 1.27 s, between the prepare's reply and the erase
        // request; fast: at 26 ms, or extended ones every 2 ms) must not
        // confirm the erase the chip refused while the buffer held that frame.
        Row{"extended frame with the reply's identifier",
            "SIMBOARD_NOISE=" + extendedReplyId + "#6030500000000000@1270000" + refusedErase, ERASE, eraseFailed,
            CONNECTED_S + ERASE_S + 2 * BUSY_WAIT_S, WithNoise(FAST_CONNECTED_S + FAST_REFUSED_ERASE_S, 0.002)}
            .Fast("SIMBOARD_NOISE=" + extendedReplyId + "#6030500000000000@2000"),
        Row{"remote frame with the reply's identifier", "SIMBOARD_NOISE=5FD#R8@1270000" + refusedErase, ERASE,
            eraseFailed, CONNECTED_S + ERASE_S + 2 * BUSY_WAIT_S, FAST_CONNECTED_S + FAST_REFUSED_ERASE_S + CAN_FRAME_S}
            .Fast("SIMBOARD_NOISE=5FD#R8@26000"),
    };
    for (const Row &row : rows)
        CheckBothPaths(row);
}

// The chip and its bootloader.
TEST_F(FaultMatrixTest, ChipFaults)
{
    const std::string noAnswer = "No answer after Reinvoking ISP! (This is good, probably!)";
    const Row rows[] = {
        {"no chip", "SIMBOARD_CHIP=absent", ERASE, NoPartId("READ_PART_ID", SEARCHED), BRING_UP_S + QUIET_SEARCH_S,
         FAST_NO_CHIP_S},
        // Valid user code with the entry pin high: the chip runs it and never answers.
        {"valid user code, entry pin high", "SIMBOARD_CHIP=boot", ERASE, NoPartId("READ_PART_ID", SEARCHED),
         BRING_UP_S + QUIET_SEARCH_S, FAST_NO_CHIP_S, USER_CODE},
        {"chip at another bit rate", "SIMBOARD_CHIP_BITRATE=125000", ERASE, NoPartId("READ_PART_ID"),
         BRING_UP_S + QUIET_SEARCH_S, FAST_NO_CHIP_S},
        {"chip at another bit rate, tool at the same", "SIMBOARD_CHIP_BITRATE=125000", "-a e -b 125000",
         Done(Flash::AllErased), CONNECTED_S + ERASE_S, FAST_CONNECTED_S + FAST_ERASE_S},
        {"another part", "SIMBOARD_CHIP_PARTID=0x1440102B", "-v 2 -a e",
         Failed("Chip to be programmed was not identified as LPC11C24!", Flash::Unchanged, "UNLOCK",
                "Part ID read : 1440102B \t Expected : 1430102B"),
         CONNECTED_S, FAST_CONNECTED_S},
        {"chip answers the 20th attempt", "SIMBOARD_CHIP_ANSWER_FROM=20", ERASE,
         Done(Flash::AllErased, "", std::string(20, '.') + "OK"),
         BRING_UP_S + QUIET_SEARCH_S + ERASE_S + 2 * ANSWERED_S, FAST_NO_CHIP_S + FAST_ERASE_S + 2 * FAST_ANSWERED_S},
        {"chip answers the 21st attempt", "SIMBOARD_CHIP_ANSWER_FROM=21", ERASE, NoPartId("UNLOCK"),
         BRING_UP_S + QUIET_SEARCH_S, FAST_NO_CHIP_S},
        {"chip silent in the middle of a RAM write", "SIMBOARD_CHIP_SILENT_AFTER=300", PROGRAM,
         Failed("Download to RAM failed!", Flash::ImageErased, "COPY"), CONNECTED_S + ERASE_S + SECTOR_S + QUIET_WAIT_S,
         FAST_CONNECTED_S + FAST_ERASE_S + FAST_SECTOR_S + FAST_QUIET_WAIT_S},
        {"reinvoke without an answer", "", "-a b", Failed(noAnswer, Flash::Unchanged, "PREPARE"),
         CONNECTED_S + REQUEST_S + QUIET_WAIT_S, FAST_CONNECTED_S + FAST_UNANSWERED_S},
        {"reinvoke answered", "SIMBOARD_CHIP_REINVOKE=answer", "-a b", Done(Flash::Unchanged, "PREPARE"),
         CONNECTED_S + ANSWERED_S, FAST_CONNECTED_S + FAST_ANSWERED_S},
        {"reinvoke refused", "SIMBOARD_CHIP_REINVOKE=absent", "-a b", Failed(noAnswer, Flash::Unchanged, "PREPARE"),
         CONNECTED_S + ANSWERED_S, FAST_CONNECTED_S + FAST_ANSWERED_S},
        {"erase refused", "SIMBOARD_CHIP_ABORT=0x5030:0:0x0F000009", ERASE,
         Failed("Sector(s) could not be erased!", Flash::Unchanged, "WRITE_RAM"), CONNECTED_S + ERASE_S,
         FAST_CONNECTED_S + FAST_REFUSED_ERASE_S},
        {"first part-ID attempt aborted", "SIMBOARD_CHIP_ABORT=0x1018:2:0x06020000:1", ERASE, Done(Flash::AllErased),
         CONNECTED_S + PART_ID_PAUSE_S + ANSWERED_S + ERASE_S, FAST_CONNECTED_S + FAST_ANSWERED_S + FAST_ERASE_S},
        {"compare differs at byte 16", "SIMBOARD_CHIP_COMPARE_DIFF=16", "-v 0 " + PROGRAM,
         Failed("Data in Flash and RAM not equal!", Flash::Sector0Image, "", "Offset: 0x10 0x00 0x00 0x00"),
         CONNECTED_S + ERASE_S + SECTOR_S, FAST_CONNECTED_S + FAST_ERASE_S + FAST_SECTOR_S},
        {"boot ROM shown over sector 0", "SIMBOARD_CHIP_REMAP=on", PROGRAM, Done(Flash::Sector0Image),
         CONNECTED_S + ERASE_S + SECTOR_S, FAST_CONNECTED_S + FAST_ERASE_S + FAST_SECTOR_S},
        {"offset beyond the flash", "", PROGRAM + " -o 8000",
         Failed("Sector(s) could not be prepared for erasing!", Flash::Unchanged, "PREPARE"), CONNECTED_S,
         FAST_CONNECTED_S},
    };
    for (const Row &row : rows)
        CheckBothPaths(row);
}

// Verifying IMAGE and reading the same range back: neither changes the
// flash, and a read that fails leaves no file.
TEST_F(FaultMatrixTest, ReadAndVerifyFaults)
{
    const std::string verify = "-a v -f " + IMAGE;
    const End readFailed = Failed("Data could not read!", Flash::Unchanged, "PREPARE");
    const double readS = CONNECTED_S + ReadRequests(READ_BYTES) * ANSWERED_S;
    const double fastReadS = FAST_CONNECTED_S + ReadRequests(READ_BYTES) * FAST_ANSWERED_S;
    // Each as a verify and as a read-back. In the last, sector 0 holds IMAGE
    // programmed: a read of 0x000-0x1FF would see the boot ROM.
    const Row rows[] = {
        // Part-ID, unlock, address, length, initiate and 95 segments answered.
        {"chip silent in the middle of a read", "SIMBOARD_CHIP_SILENT_AFTER=100", verify, readFailed,
         CONNECTED_S + (3 + 95) * ANSWERED_S + REQUEST_S + QUIET_WAIT_S,
         FAST_CONNECTED_S + (3 + 95) * FAST_ANSWERED_S + FAST_UNANSWERED_S},
        {"read address refused", "SIMBOARD_CHIP_ABORT=0x5010:0:0x0F00000D", verify,
         Failed("Data could not read!", Flash::Unchanged, "SET READ_LENGTH"), CONNECTED_S + ANSWERED_S,
         FAST_CONNECTED_S + FAST_ANSWERED_S},
        {"upload refused", "SIMBOARD_CHIP_ABORT=0x1F50:1:0x0F000013", verify, readFailed, CONNECTED_S + 3 * ANSWERED_S,
         FAST_CONNECTED_S + 3 * FAST_ANSWERED_S},
        {"boot ROM shown over sector 0", "SIMBOARD_CHIP_REMAP=on", verify, Done(Flash::Unchanged, "PREPARE"), readS,
         fastReadS, USER_CODE},
    };
    for (Row row : rows) {
        CheckBothPaths(row);
        row.what += ", read back";
        row.readBack = "out.bin";
        row.args = "-a d -f out.bin -o 200 --length E00";
        CheckBothPaths(row);
    }
    // The pattern differs from IMAGE at 0x200, and at 3556 of the 3584 bytes.
    CheckBothPaths({"verify finds a difference", "", verify,
                    Failed("Data could not be verified correctly!", Flash::Unchanged, "PREPARE",
                           "First difference at 0x0200: flash 0x05, image 0x03; 3556 byte(s) differ"),
                    readS, fastReadS});
}

// The chip refuses the second copy's destination (sector 1's; fast: sector
// 0's, copied last): nothing of that copy follows, least of all the copy
// itself, which would run with the first copy's destination still set.
TEST_F(FaultMatrixTest, ARefusedCopyDestinationEndsTheCopy)
{
    const std::string copyFailed = "Data could not be copied from RAM to Flash!";
    Row row{"copy destination refused",
            "SIMBOARD_CHIP_ABORT=0x5050:1:0x0F000003:2",
            PROGRAM,
            Failed(copyFailed, Flash::Sector0Image, ""),
            CONNECTED_S + ERASE_S + SECTOR_S + 5 * ANSWERED_S,
            FAST_CONNECTED_S + FAST_ERASE_S + FAST_TAIL_S + FAST_SECTOR_S,
            0,
            TWO_SECTORS};
    row.fastEnd = Failed(copyFailed, Flash::TailImage, "");
    for (bool fast : {false, true}) {
        Check(row, fast);
        const std::string destination = fast ? "SET COPY_DST 0x00000000" : "SET COPY_DST 0x00001000";
        bool refused = false;
        for (const auto &line : ChipLog()) {
            if (refused) {
                EXPECT_EQ(line.event.find("COPY"), std::string::npos) << line.event;
            }
            refused = refused || (line.command == destination && line.result == "ABORT");
        }
        EXPECT_TRUE(refused);
    }
}

// The board's records change nothing the tool prints, and show the run as it
// went: the frames on the bus, and the chip's log of an erase.
TEST_F(FaultMatrixTest, RecordsOfAnEraseLeaveTheRunAsItIs)
{
    Row recorded{"erase at level 0 with every record",
                 "SIMBOARD_TRACE=other.trace SIMBOARD_CAPTURE=bus.pcap SIMBOARD_CANLOG=bus.log",
                 "-v 0 -a e",
                 Done(Flash::AllErased),
                 CONNECTED_S + ERASE_S,
                 FAST_CONNECTED_S + FAST_ERASE_S,
                 REAL_BINARY};
    std::string expected =
        "STATE RESET\nSTATE ISP\nREAD_PART_ID -> CMD_SUCCESS 0x1430102B\nUNLOCK 0x5A5A -> CMD_SUCCESS\n"
        "STATE UNLOCKED\nPREPARE 0 7 -> CMD_SUCCESS\n";
    for (int sector = 0; sector < 8; ++sector)
        expected += "FLASH ERASE " + std::to_string(sector) + "\n";
    expected += "ERASE 0 7 -> CMD_SUCCESS\n";
    for (bool fast : {false, true}) {
        const ChildResult bare = Bare(recorded.args + (fast ? " --fast" : "")); // no records
        ASSERT_EQ(bare.exitStatus, 0) << bare.Describe();
        EXPECT_EQ(Check(recorded, fast).out, bare.out);

        std::vector<simboard::BusRecord> captured, logged;
        std::string error;
        ASSERT_TRUE(simboard::ReadPcap(Path("bus.pcap"), &captured, &error)) << error;
        ASSERT_TRUE(simboard::ReadFrameLog(Path("bus.log"), &logged, &error)) << error;
        // Part ID, unlock, prepare and erase: each request answered.
        ASSERT_EQ(captured.size(), 8u);
        ASSERT_EQ(logged.size(), 8u);
        for (size_t i = 0; i < captured.size(); ++i) {
            EXPECT_FALSE(captured[i].errorFrame);
            EXPECT_EQ(captured[i].frame.id, i % 2 == 0 ? 0x67Du : 0x5FDu) << i;
            EXPECT_EQ(logged[i].frame.id, captured[i].frame.id) << i;
            EXPECT_EQ(logged[i].timeUs, captured[i].timeUs) << i;
        }
        std::string events;
        for (const auto &line : ChipLog())
            events += line.event + "\n";
        EXPECT_EQ(events, expected);
    }
}

// A setting the board cannot read ends the process before the tool gets
// anywhere: status 2, one line naming it, and the flash file left as it was.
TEST_F(FaultMatrixTest, UnreadableSettingsEndTheRunAtOnce)
{
    WriteFile(Path("short.bin"), Bytes(100, 0));
    const std::pair<const char *, std::string> cases[] = {
        {"SIMBOARD_FAIL=FT_Write:0:4",
         "simboard: cannot read SIMBOARD_FAIL=\"FT_Write:0:4\": call number must be 1 or more\n"},
        {"SIMBOARD_FLASH=short.bin", "simboard: cannot read SIMBOARD_FLASH=\"short.bin\""},
        {"SIMBOARD_ENGINE=sluggish", "simboard: cannot read SIMBOARD_ENGINE=\"sluggish\""},
    };
    for (const auto &[settings, line] : cases) {
        const ChildResult result = Bare(ERASE, settings);
        EXPECT_EQ(result.exitStatus, 2) << result.Describe();
        EXPECT_EQ(result.err.compare(0, line.size(), line), 0) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.out.find(SUCCESS), std::string::npos);
    }
    EXPECT_EQ(ReadFile(Path("short.bin")), Bytes(100, 0));
}

} // namespace
