// Programs firmware images in-process over the simulated board and prints
// what each run costs: the tool's own pauses (virtual clock), the board's
// time for USB, SPI, CAN and flash, their sum (an estimate of the run on real
// hardware), the host's CPU time, and the traffic counts.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/run.h"
#include "app/test_reset.h"
#include "platform/platform.h"
#include "platform/vclock.h"
#include "sim/simboard.h"

namespace {

struct Figures {
    double pausesS, boardS, cpuS;
    unsigned long long usbCalls, spiBytes, canFrames;
    std::string lastLine;
};

std::string WriteImage(size_t size)
{
    std::string path = "/tmp/canisp-bench-" + std::to_string(size) + ".bin";
    std::vector<unsigned char> image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<unsigned char>(i * 31 + 7);
    FILE *file = std::fopen(path.c_str(), "wb");
    std::fwrite(image.data(), 1, size, file);
    std::fclose(file);
    return path;
}

Figures Program(size_t size)
{
    const std::string image = WriteImage(size);
    APP_ResetGlobalsForTest();
    SimBoard_Reset();
    PLAT_VirtualClockReset();
    std::string console;
    PLAT_ConsoleCapture(&console);
    const char *argv[] = {"canisp", "-v", "0", "-a", "p", "-f", image.c_str()};
    std::clock_t start = std::clock();
    APP_Run(7, argv);
    std::clock_t end = std::clock();
    PLAT_ConsoleCapture(nullptr);
    std::remove(image.c_str());

    Figures f;
    f.pausesS = PLAT_VirtualClockMs() / 1000.0;
    f.boardS = SimBoard_Time() / 1e6;
    f.cpuS = static_cast<double>(end - start) / CLOCKS_PER_SEC;
    f.usbCalls = SimBoard_UsbCallCount();
    f.spiBytes = SimBoard_SpiByteCount();
    f.canFrames = SimBoard_CanFrameCount();
    size_t at = console.rfind("\r\n");
    f.lastLine = at == std::string::npos ? console : console.substr(at + 5);
    f.lastLine = f.lastLine.substr(0, f.lastLine.find_last_not_of(' ') + 1);
    return f;
}

} // namespace

int main()
{
    std::printf("%-8s %11s %11s %11s %9s %10s %10s %10s  %s\n", "image", "pauses s", "board s", "estimate s",
                "cpu s", "USB calls", "SPI bytes", "CAN frames", "result");
    for (size_t size : {size_t(4096), size_t(32768)}) {
        Figures f = Program(size);
        std::printf("%-8zu %11.1f %11.1f %11.1f %9.2f %10llu %10llu %10llu  %s\n", size, f.pausesS, f.boardS,
                    f.pausesS + f.boardS, f.cpuS, f.usbCalls, f.spiBytes, f.canFrames, f.lastLine.c_str());
    }
    return 0;
}
