// Runs a peer program (curl, openssl) with an argument vector, never through a shell, and waits a
// bounded time for it. Its standard output and error go to a file when one is named, else nowhere.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// Starts `arguments` (the program found on PATH when it names no folder) with standard input from
// `inputPath` and standard output and error into `outputPath`; its pid, or 0 when it could not start.
inline pid_t SpawnProgram(const std::vector<std::string>& arguments, const std::string& inputPath,
                          const std::string& outputPath)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : 0;
}

// The program's exit code; -1 when it could not start, was killed by a signal or outlived
// `timeoutSeconds` (it is killed then).
inline int RunProgram(const std::vector<std::string>& arguments, const std::string& outputPath = "",
                      int timeoutSeconds = 30, const std::string& inputPath = "/dev/null")
{
    const pid_t pid = SpawnProgram(arguments, inputPath, outputPath.empty() ? "/dev/null" : outputPath);
    if (pid == 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
