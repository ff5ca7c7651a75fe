#include "platform/child_reaper.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace {

// How often a program without a pidfd is looked at.
constexpr int kLookAgainMilliseconds = 100;

}  // namespace

CChildReaper& CChildReaper::Instance()
{
    static CChildReaper reaper;
    return reaper;
}

CChildReaper::CChildReaper() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

CChildReaper::~CChildReaper()
{
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    for (const CChild& child : m_children)
        if (child.pidfd >= 0)
            close(child.pidfd);
    if (m_wake >= 0)
        close(m_wake);
}

void CChildReaper::Adopt(pid_t pid, int pidfd)
{
    std::lock_guard lock(m_lock);
    m_children.push_back({pid, pidfd});
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return;
        }
    }
    Wake();
}

int CChildReaper::PendingCount() const
{
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_children.size());
}

void CChildReaper::Wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wake, &one, sizeof one);
}

void CChildReaper::Run()
{
    std::vector<pollfd> waits;
    for (;;) {
        bool lookAgain = m_wake < 0;
        waits.assign(1, pollfd{m_wake, POLLIN, 0});
        {
            std::lock_guard lock(m_lock);
            ReapEnded();
            if (m_stop)
                return;
            for (const CChild& child : m_children) {
                if (child.pidfd >= 0)
                    waits.push_back(pollfd{child.pidfd, POLLIN, 0});
                else
                    lookAgain = true;
            }
        }
        poll(waits.data(), waits.size(), lookAgain ? kLookAgainMilliseconds : -1);
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(m_wake, &count, sizeof count);
    }
}

void CChildReaper::ReapEnded()
{
    for (auto child = m_children.begin(); child != m_children.end();) {
        pid_t got;
        do
            got = waitpid(child->pid, nullptr, WNOHANG);
        while (got < 0 && errno == EINTR);
        // ECHILD: someone else reaped it; nothing is left to wait for.
        if (got == 0) {
            ++child;
            continue;
        }
        if (child->pidfd >= 0)
            close(child->pidfd);
        child = m_children.erase(child);
    }
}
