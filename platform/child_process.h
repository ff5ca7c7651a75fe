// Starting a program that a script names (the file object's `run`). A program is always started
// with an argument vector, never through a shell, so no text a script passes is read as shell
// syntax. The caller waits for it with a time-out; a program that is still running then is left to
// run, and the process's one CChildReaper reaps it when it ends, so it never lingers as a zombie.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

class CChildProcess
{
public:
    CChildProcess() = default;
    // A program still running is left running (see above).
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts the program at the path arguments[0] (no search of PATH) with standard input on
    // /dev/null, standard output and error inherited, no other descriptor (every descriptor of the
    // system is close-on-exec) and default signal handling. Returns 0, or the errno value of the
    // failure (also when the program cannot be executed).
    [[nodiscard]] int Start(const std::vector<std::string>& arguments);

    // Waits at most timeoutMs for the program to end: true with its exit status (128 + the signal
    // number for a program ended by a signal), false when it still runs.
    [[nodiscard]] bool Wait(int timeoutMs, int& exitCode);

private:
    pid_t m_pid = -1;  // started and not yet reaped
    int m_pidfd = -1;  // m_pid's pidfd while it is ours, or -1 where the kernel gave none
};

// Splits a command line into arguments as programs of the platform the scripts were written for
// read theirs: blanks and tabs separate, double quotes group (and are removed), a backslash
// before a double quote makes it literal, and any other backslash is an ordinary character.
std::vector<std::string> SplitCommandLine(std::string_view line);
