#include "language/run_watchdog.h"

#include <thread>

#include "database/running_statement.h"
#include "language/ssp_engine.h"

CRunWatchdog& CRunWatchdog::Instance()
{
    // Never destroyed: the thread below uses it until the process ends.
    static CRunWatchdog* const watchdog = [] {
        auto* made = new CRunWatchdog;
        std::thread([made] { made->Run(); }).detach();
        return made;
    }();
    return *watchdog;
}

void CRunWatchdog::Run()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        // A run that ends before its deadline leaves this wait as it is: the thread then wakes once
        // for nothing, where waking it for every run that starts would cost a switch per run.
        // A copy: a Watch may move m_wakeAt while the wait has let go of the lock.
        const auto next =
            m_deadlines.empty() ? std::chrono::steady_clock::time_point::max() : m_deadlines.begin()->first;
        m_wakeAt = next;
        if (next == std::chrono::steady_clock::time_point::max())
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, next);
        EndExpired(std::chrono::steady_clock::now());
    }
}

void CRunWatchdog::EndExpired(std::chrono::steady_clock::time_point now)
{
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        const Watched watched = m_deadlines.begin()->second;
        m_deadlines.erase(m_deadlines.begin());
        watched.watch->m_armed = false;
        watched.engine->RequestEnd(CSspEngine::EndRequest::kTimeLimit);
        watched.watch->m_statement.Cancel();
    }
}

CRunWatchdog::Watch::Watch(const CSspEngine& engine, int seconds) : m_statement(CRunningStatement::OfThisThread())
{
    CRunWatchdog& watchdog = Instance();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::lock_guard lock(watchdog.m_lock);
    m_entry = watchdog.m_deadlines.emplace(deadline, Watched{&engine, this});
    if (deadline < watchdog.m_wakeAt) {
        // Set here too, so that the runs starting before the thread has woken do not wake it again.
        watchdog.m_wakeAt = deadline;
        watchdog.m_changed.notify_one();
    }
}

CRunWatchdog::Watch::~Watch()
{
    CRunWatchdog& watchdog = Instance();
    {
        std::lock_guard lock(watchdog.m_lock);
        if (m_armed)
            watchdog.m_deadlines.erase(m_entry);
    }
    m_statement.EndCancel();
}
