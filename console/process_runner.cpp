#include "console/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

std::vector<char*> ArgumentPointers(const std::vector<std::string>& arguments)
{
    std::vector<char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

void CloseBoth(int pipe[2])
{
    for (int i = 0; i < 2; ++i)
        if (pipe[i] >= 0)
            close(pipe[i]);
}

// Reads both pipes until they close or the deadline passes; false on time-out.
bool Collect(int outFd, int errFd, std::string& output, std::string& errors,
             std::chrono::steady_clock::time_point deadline)
{
    pollfd entries[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* targets[2] = {&output, &errors};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const int ready = poll(entries, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (entries[i].fd < 0 || entries[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t got = read(entries[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                targets[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                entries[i].fd = -1;
                --open;
            }
        }
    }
    return true;
}

}  // namespace

CProgramResult RunProgramAndWait(const std::vector<std::string>& arguments, int timeoutSeconds)
{
    CProgramResult result;
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        result.error = errno;
        CloseBoth(outPipe);
        CloseBoth(errPipe);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<char*> argv = ArgumentPointers(arguments);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        result.error = spawned;
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    const bool complete = Collect(outPipe[0], errPipe[0], result.output, result.errors, deadline);
    close(outPipe[0]);
    close(errPipe[0]);
    if (!complete)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (complete && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else
        result.error = ETIMEDOUT;
    return result;
}

namespace {

// What the children of LaunchDetached tell the console through their pipe: the program's pid
// (from the middle process), or the errno of a start that failed. Each record is written whole
// in one write, well below the pipe's atomic size.
struct CLaunchReport
{
    enum Kind
    {
        kProgram,
        kFailed
    };
    int kind;
    int value;
};

void SendLaunchReport(int fd, int kind, int value)
{
    const CLaunchReport report{kind, value};
    [[maybe_unused]] ssize_t ignored = write(fd, &report, sizeof report);
}

}  // namespace

bool LaunchDetached(const std::vector<std::string>& arguments, pid_t* program)
{
    // Everything the children need is made before fork: after it, only async-signal-safe calls.
    std::vector<char*> argv = ArgumentPointers(arguments);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return false;
    const pid_t middle = fork();
    if (middle < 0) {
        const int error = errno;
        CloseBoth(report);
        errno = error;
        return false;
    }
    if (middle == 0) {
        // The middle process starts the program and ends at once, so the program is adopted by
        // the system and the console has only this short-lived child to reap.
        close(report[0]);
        setsid();
        const pid_t started = fork();
        if (started == 0) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            signal(SIGPIPE, SIG_DFL);
            execv(argv[0], argv.data());
            SendLaunchReport(report[1], CLaunchReport::kFailed, errno);
            _exit(127);
        }
        if (started < 0)
            SendLaunchReport(report[1], CLaunchReport::kFailed, errno);
        else
            SendLaunchReport(report[1], CLaunchReport::kProgram, started);
        _exit(0);
    }
    close(report[1]);
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes once exec succeeded (close-on-exec) and the middle process has ended; a
    // failed start has said so before.
    int error = 0;
    CLaunchReport received{};
    ssize_t got;
    for (;;) {
        got = read(report[0], &received, sizeof received);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(sizeof received))
            break;
        if (received.kind == CLaunchReport::kFailed)
            error = received.value;
        else if (program)
            *program = received.value;
    }
    close(report[0]);
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

bool HasProcessEnded(pid_t pid)
{
    // A program that the console launched is not its child: it is reaped by the system, and
    // until then it is a zombie (state Z), which has ended too.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* file = std::fopen(path, "re");
    if (!file)
        return true;
    char line[512] = "";
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    // "pid (name) state ...": the name may hold blanks and parentheses, so the state follows
    // the last ')'.
    const char* close = read ? std::strrchr(line, ')') : nullptr;
    return !close || close[1] != ' ' || close[2] == 'Z' || close[2] == 'X';
}

std::string GetProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    std::string folder(path, static_cast<std::size_t>(length));
    const std::size_t slash = folder.rfind('/');
    return slash == std::string::npos ? "." : folder.substr(0, slash == 0 ? 1 : slash);
}
