// Starting other programs from twConsole, always with an argument vector and never through a
// shell: helper programs whose answer the console waits for (systemctl), and the server, which is
// launched detached and outlives the console.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct CProgramResult
{
    int exitCode = -1;  // -1: could not start (`error` holds errno), killed, or timed out
    int error = 0;
    std::string output;  // standard output
    std::string errors;  // standard error
};

// Runs `arguments[0]` (searched on PATH when it holds no '/') and waits at most `timeoutSeconds`;
// a program still running then is killed.
CProgramResult RunProgramAndWait(const std::vector<std::string>& arguments, int timeoutSeconds = 60);

// Starts the program at the path `arguments[0]` in a session of its own with standard input and
// output on /dev/null and does not wait for it: it is not the console's child, so it never lingers
// as a zombie. `program`, when given, receives its process id. False with errno when it could not
// be started.
[[nodiscard]] bool LaunchDetached(const std::vector<std::string>& arguments, pid_t* program = nullptr);

// True when the process `pid` has ended (also when it is a zombie that nobody has reaped yet).
bool HasProcessEnded(pid_t pid);

// The folder that holds the running program (where its sibling programs lie).
std::string GetProgramFolder();
