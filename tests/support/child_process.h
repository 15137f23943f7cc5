// The one way tests start a program: explicit arguments and environment,
// standard output and error captured as bytes, a bound on the run's time.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

struct ChildSpec {
    std::string program;                                  // path, or a name found on PATH
    std::vector<std::string> args;                        // after the program name
    std::vector<std::pair<std::string, std::string>> env; // set in the child only
    std::vector<std::string> prefix;                      // put before the program (e.g. "wine")
    std::string workDir;                                  // empty: the test's own
    double timeoutSeconds = 120.0;                        // killed after this
    bool stdoutIsTerminal = false;                        // standard output on a raw pseudo-terminal
    // A request to stop: once standard output holds signalWhen, signalNumber
    // goes to the child signalCount times, each signalGapMs after the last
    // (the first signalGapMs after the text).
    std::string signalWhen;
    int signalNumber = 0;
    int signalCount = 1;
    int signalGapMs = 50;
};

struct ChildResult {
    int exitStatus = -1; // valid when neither signalled nor timed out
    int signal = 0;      // the signal that ended the child, or 0
    bool timedOut = false;
    bool started = false; // false when the program could not be executed
    std::string out;
    std::string err;

    // For failure messages: everything the child left.
    std::string Describe() const;
};

// The child's environment is the test's own without LD_LIBRARY_PATH and
// without any SIMBOARD_ setting, plus child.env.
ChildResult RunChild(const ChildSpec &child);

// The output of a shell command; false when it failed.
inline bool RunCommand(const std::string &command, std::string *out)
{
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out->append(buffer, n);
    return pclose(pipe) == 0;
}

// An independent reader of a public format (tshark, can-utils) is installed.
inline bool HaveProgram(const char *name)
{
    std::string out;
    return RunCommand(std::string("command -v ") + name + " >/dev/null 2>&1", &out);
}
