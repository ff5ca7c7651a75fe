#include "platform/recursive_timed_lock.h"

void CRecursiveTimedLock::lock()
{
    std::unique_lock guard(m_stateLock);
    m_released.wait(guard, [this] { return IsFreeForCaller(); });
    TakeTurn();
}

bool CRecursiveTimedLock::try_lock()
{
    const std::lock_guard guard(m_stateLock);
    if (!IsFreeForCaller())
        return false;
    TakeTurn();
    return true;
}

void CRecursiveTimedLock::unlock()
{
    {
        const std::lock_guard guard(m_stateLock);
        if (--m_depth != 0)
            return;
        m_owner = std::thread::id();
    }
    m_released.notify_one();
}

bool CRecursiveTimedLock::IsFreeForCaller() const
{
    return m_depth == 0 || m_owner == std::this_thread::get_id();
}

void CRecursiveTimedLock::TakeTurn()
{
    m_owner = std::this_thread::get_id();
    ++m_depth;
}
