// Runs wrk against one URL of a benchmark's own server and reads its figure. The benchmarks load
// their servers the same way: 64 clients that each open a new connection per request.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

inline constexpr int kWrkClients = 64;

// Runs wrk for `seconds` with "Connection: close" and returns its report ("" when it could not run).
inline std::string RunWrk(const std::string& url, int seconds)
{
    const std::string clients = std::to_string(kWrkClients);
    const std::string duration = std::to_string(seconds) + "s";
    std::vector<std::string> args = {"wrk", "-t8", "-c" + clients, "-d" + duration, "-H", "Connection: close", url};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0)
        return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t child;
    const int spawned = posix_spawnp(&child, "wrk", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string report;
    if (spawned == 0) {
        char chunk[4096];
        ssize_t got;
        while ((got = read(out[0], chunk, sizeof chunk)) > 0)
            report.append(chunk, static_cast<size_t>(got));
        int status;
        waitpid(child, &status, 0);
    } else {
        std::fprintf(stderr, "cannot run wrk: %s\n", std::strerror(spawned));
    }
    close(out[0]);
    return report;
}

inline double RequestsPerSecond(const std::string& report)
{
    const size_t at = report.find("Requests/sec:");
    if (at == std::string::npos)
        return 0;
    return std::strtod(report.c_str() + at + std::strlen("Requests/sec:"), nullptr);
}
