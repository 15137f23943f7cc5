#include "support/child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace
{

// The texts as an exec argument list, ending with a null pointer.
std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> result;
    for (std::string &text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// In the child: standard output on the raw pseudo-terminal (no "\n" to
// "\r\n"), standard input from /dev/null, then the program; errno goes back
// through the exec pipe when it cannot start.
[[noreturn]] void startChild(const ChildSpec &child, const std::string &terminal, int out, int err, int execPipe,
                             std::vector<char *> &argv, std::vector<char *> &env)
{
    dup2(out, STDOUT_FILENO);
    int follower = terminal.empty() ? -1 : open(terminal.c_str(), O_RDWR | O_NOCTTY);
    termios mode;
    if (follower >= 0 && tcgetattr(follower, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(follower, TCSANOW, &mode);
    }
    if (follower >= 0 && dup2(follower, STDOUT_FILENO) >= 0)
        close(follower);
    dup2(err, STDERR_FILENO);
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0)
        dup2(devNull, STDIN_FILENO);
    if (child.workDir.empty() || chdir(child.workDir.c_str()) == 0)
        execvpe(argv[0], argv.data(), env.data());
    int error = errno;
    (void)!write(execPipe, &error, sizeof(error));
    _exit(127);
}

} // namespace

std::string ChildResult::Describe() const
{
    return "started=" + std::to_string(started) + " exit=" + std::to_string(exitStatus) +
           " signal=" + std::to_string(signal) + " timedOut=" + std::to_string(timedOut) + "\n--- stdout ---\n" + out +
           "\n--- stderr ---\n" + err + "\n--------------";
}

ChildResult RunChild(const ChildSpec &child)
{
    ChildResult result;
    // The test's environment without LD_LIBRARY_PATH, the board's settings and
    // what the child sets itself, then what it sets.
    std::vector<std::string> argv = child.prefix, env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool dropped = text.rfind("LD_LIBRARY_PATH=", 0) == 0 || text.rfind("SIMBOARD_", 0) == 0;
        for (const auto &set : child.env)
            dropped = dropped || text.compare(0, set.first.size() + 1, set.first + "=") == 0;
        if (!dropped)
            env.push_back(text);
    }
    for (const auto &set : child.env)
        env.push_back(set.first + "=" + set.second);
    argv.push_back(child.program);
    argv.insert(argv.end(), child.args.begin(), child.args.end());
    std::vector<char *> argvPtrs = pointers(argv), envPtrs = pointers(env);

    int terminal = -1; // the pseudo-terminal's master side
    std::string terminalName;
    if (child.stdoutIsTerminal) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0 || ptsname(terminal) == nullptr)
            return result;
        terminalName = ptsname(terminal);
    }
    int outPipe[2], errPipe[2], execPipe[2]; // execPipe: closed on a successful exec
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(execPipe, O_CLOEXEC) != 0)
        return result;
    pid_t pid = fork();
    if (pid < 0)
        return result;
    if (pid == 0)
        startChild(child, terminalName, outPipe[1], errPipe[1], execPipe[1], argvPtrs, envPtrs);
    for (int fd : {outPipe[1], errPipe[1], execPipe[1]})
        close(fd);
    if (terminal >= 0) { // standard output comes from the terminal; the pipe stays silent
        close(outPipe[0]);
        outPipe[0] = terminal;
    }
    int execError = 0;
    result.started = read(execPipe[0], &execError, sizeof(execError)) != static_cast<ssize_t>(sizeof(execError));
    close(execPipe[0]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(child.timeoutSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    bool signalled = child.signalNumber == 0;
    for (int open = 2; open > 0;) {
        if (!signalled && result.out.find(child.signalWhen) != std::string::npos) {
            signalled = true;
            for (int i = 0; i < child.signalCount; ++i) {
                usleep(static_cast<useconds_t>(child.signalGapMs) * 1000);
                kill(pid, child.signalNumber);
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; ready > 0 && i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}
