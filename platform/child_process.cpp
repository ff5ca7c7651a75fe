#include "platform/child_process.h"

#include "platform/child_reaper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

extern char** environ;

namespace {

int ExitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Reaps the program when it has ended; true with its status.
bool TryReap(pid_t pid, int& status)
{
    for (;;) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return true;
        if (got < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Waits until the program ends or the time is up. Its pidfd turns the end of the process into an
// event that poll can wait for; without one (-1) the process is polled in short steps.
void WaitForEnd(pid_t pid, int pidfd, std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    for (;;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            break;
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            int ready = poll(&entry, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
            if (ready < 0 && errno == EINTR)
                continue;
            break;
        }
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            break;
        std::this_thread::sleep_for(milliseconds(left < 10 ? left : 10));
    }
}

}  // namespace

CChildProcess::~CChildProcess()
{
    // A program still running was started to outlive the script's wait.
    if (m_pid > 0)
        CChildReaper::Instance().Adopt(m_pid, m_pidfd);
    else if (m_pidfd >= 0)
        close(m_pidfd);
}

int CChildProcess::Start(const std::vector<std::string>& arguments)
{
    if (arguments.empty() || m_pid > 0)
        return EINVAL;
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The server ignores SIGPIPE and its threads may block signals; a program must start with
    // neither, as it would from a shell.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0) {
        m_pid = pid;
        // The child is not reaped before Wait or the reaper does it, so the number still names it.
        m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    }
    return error;
}

bool CChildProcess::Wait(int timeoutMs, int& exitCode)
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (!TryReap(m_pid, status)) {
        WaitForEnd(m_pid, m_pidfd, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
        if (!TryReap(m_pid, status))
            return false;
    }
    m_pid = -1;
    if (m_pidfd >= 0)
        close(m_pidfd);
    m_pidfd = -1;
    exitCode = ExitCodeOf(status);
    return true;
}

std::vector<std::string> SplitCommandLine(std::string_view line)
{
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument)
                arguments.push_back(std::move(current));
            current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
            current += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else {
            current += c;
        }
    }
    if (inArgument)
        arguments.push_back(std::move(current));
    return arguments;
}
