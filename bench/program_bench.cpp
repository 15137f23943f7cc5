// Programs firmware images in-process over the simulated board, by the
// default path and by the fast path (--fast), on an FT2232H and on an
// FT2232D, and prints what each run costs: the tool's own pauses (virtual
// clock), the board's time for USB, SPI, CAN and flash, their sum (an
// estimate of the run on real hardware), the host's CPU time, the traffic
// counts, and the floor that the bus and the chip set: the bus time of the
// run's frames plus the chip's flash erase and programming time.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/run.h"
#include "app/test_reset.h"
#include "platform/platform.h"
#include "platform/vclock.h"
#include "sim/simboard.h"

namespace
{

constexpr size_t BLOCK = 256;

struct Image {
    const char *name;
    size_t size;
    bool sparse; // every other 256-byte block blank (0xFF)
};

struct Figures {
    double pausesS, boardS, cpuS, floorS;
    unsigned long long usbCalls, spiBytes, canFrames;
    std::string lastLine;
};

std::string WriteImage(const Image &what)
{
    std::string path = "/tmp/canisp-bench-" + std::to_string(what.size) + (what.sparse ? "s" : "") + ".bin";
    std::vector<unsigned char> image(what.size);
    for (size_t i = 0; i < what.size; ++i)
        image[i] = what.sparse && (i / BLOCK) % 2 == 1 ? 0xFF : static_cast<unsigned char>(i * 31 + 7);
    FILE *file = std::fopen(path.c_str(), "wb");
    std::fwrite(image.data(), 1, what.size, file);
    std::fclose(file);
    return path;
}

Figures Program(const char *devices, const Image &what, bool fast)
{
    const std::string image = WriteImage(what);
    APP_ResetGlobalsForTest();
    SimBoard_Set("SIMBOARD_DEVICES", devices);
    SimBoard_Reset();
    PLAT_VirtualClockReset();
    std::string console;
    PLAT_ConsoleCapture(&console);
    std::vector<const char *> argv = {"canisp", "-v", "0", "-a", "p", "-f", image.c_str()};
    if (fast)
        argv.push_back("--fast");
    std::clock_t start = std::clock();
    APP_Run(static_cast<int>(argv.size()), argv.data());
    std::clock_t end = std::clock();
    PLAT_ConsoleCapture(nullptr);
    std::remove(image.c_str());

    Figures f;
    f.pausesS = PLAT_VirtualClockMs() / 1000.0;
    f.boardS = SimBoard_Time() / 1e6;
    f.cpuS = static_cast<double>(end - start) / CLOCKS_PER_SEC;
    f.floorS = (SimBoard_BusTime() + SimBoard_FlashTime()) / 1e6;
    f.usbCalls = SimBoard_UsbCallCount();
    f.spiBytes = SimBoard_SpiByteCount();
    f.canFrames = SimBoard_CanFrameCount();
    // The last line: after the last line break, the frame character and its
    // two spaces, up to the padding.
    size_t at = console.rfind("\r\n");
    f.lastLine = at == std::string::npos ? console : console.substr(at + 5);
    f.lastLine = f.lastLine.substr(0, f.lastLine.find_last_not_of(' ') + 1);
    return f;
}

} // namespace

int main()
{
    const char *const adapters[] = {"FT2232H", "FT2232D"};
    const Image images[] = {{"4 KB", 4096, false}, {"32 KB", 32768, false}, {"32 KB sparse", 32768, true}};

    std::printf("%-8s %-12s %-7s %9s %9s %10s %6s %9s %9s %6s %8s %9s  %s\n", "adapter", "image", "path", "pauses s",
                "board s", "estimate s", "cpu s", "USB calls", "SPI bytes", "frames", "floor s", "est/floor", "result");
    for (const char *adapter : adapters) {
        for (const Image &image : images) {
            for (bool fast : {false, true}) {
                Figures f = Program(adapter, image, fast);
                double estimate = f.pausesS + f.boardS;
                // A run that did not program the image has no floor to compare with.
                char ratio[16] = "-";
                if (f.lastLine == "Action successfull!" && f.floorS > 0)
                    std::snprintf(ratio, sizeof ratio, "%.2f", estimate / f.floorS);
                std::printf("%-8s %-12s %-7s %9.1f %9.1f %10.1f %6.2f %9llu %9llu %6llu %8.2f %9s  %s\n", adapter,
                            image.name, fast ? "fast" : "default", f.pausesS, f.boardS, estimate, f.cpuS, f.usbCalls,
                            f.spiBytes, f.canFrames, f.floorS, ratio, f.lastLine.c_str());
                std::fflush(stdout);
            }
        }
    }
    SimBoard_Set("SIMBOARD_DEVICES", "");
    return 0;
}
