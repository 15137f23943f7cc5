#include "platform/platform.h"

#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace
{

volatile std::sig_atomic_t g_interrupted = 0;

} // namespace

#ifdef _WIN32

namespace
{

// Windows calls the handler on a thread of its own. For Ctrl-C and Ctrl-Break
// returning is enough; after a console close (or logoff, shutdown) the
// process is ended as soon as the handler returns, so it waits, up to the
// 5 s that Windows grants, while the run takes the controller off the bus and
// ends the process itself.
constexpr DWORD CLOSE_GRACE_MS = 4500;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (g_interrupted != 0)
        TerminateProcess(GetCurrentProcess(), PLAT_INTERRUPTED_EXIT_STATUS);
    g_interrupted = 1;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

} // namespace

void PLAT_InstallInterruptHandlers() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

#else

namespace
{

// Only async-signal-safe work: the flag, or _exit for the second request.
void onSignal(int)
{
    if (g_interrupted != 0)
        _exit(PLAT_INTERRUPTED_EXIT_STATUS);
    g_interrupted = 1;
}

} // namespace

void PLAT_InstallInterruptHandlers()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume: the run looks at the flag itself.
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

#endif

bool PLAT_Interrupted() { return g_interrupted != 0; }

void PLAT_SetInterrupted(bool interrupted) { g_interrupted = interrupted ? 1 : 0; }
