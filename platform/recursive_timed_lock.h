// A recursive lock whose wait can be given up after a time, for the application lock that page
// runs take in turn. It meets the standard's timed-lockable requirements, so std::unique_lock
// holds it. Built on std::mutex and std::condition_variable rather than std::recursive_timed_mutex:
// the standard library times that one's waits with pthread_mutex_clocklock, which the thread
// checker of the build does not see, so it would report every turn as an unlock by a wrong thread
// and could not order what runs write under the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class CRecursiveTimedLock
{
public:
    CRecursiveTimedLock() = default;
    CRecursiveTimedLock(const CRecursiveTimedLock&) = delete;
    CRecursiveTimedLock& operator=(const CRecursiveTimedLock&) = delete;

    void lock();
    [[nodiscard]] bool try_lock();
    void unlock();

    template <class Rep, class Period>
    [[nodiscard]] bool try_lock_for(const std::chrono::duration<Rep, Period>& wait)
    {
        return try_lock_until(std::chrono::steady_clock::now() + wait);
    }

    template <class Clock, class Duration>
    [[nodiscard]] bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline)
    {
        std::unique_lock guard(m_stateLock);
        if (!m_released.wait_until(guard, deadline, [this] { return IsFreeForCaller(); }))
            return false;
        TakeTurn();
        return true;
    }

private:
    // Both read and written under m_stateLock.
    bool IsFreeForCaller() const;
    void TakeTurn();

    std::mutex m_stateLock;  // guards m_owner and m_depth
    std::condition_variable m_released;
    std::thread::id m_owner;
    unsigned m_depth = 0;
};
