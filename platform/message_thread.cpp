#include "platform/message_thread.h"

#include <unistd.h>

#include <system_error>
#include <thread>

pid_t CurrentThreadId()
{
    thread_local const pid_t id = gettid();
    return id;
}

CMessageThread::~CMessageThread() = default;

bool CMessageThread::Start()
{
    std::unique_lock lock(m_lock);
    if (m_started)
        return true;
    std::shared_ptr<CMessageThread> self = shared_from_this();
    try {
        std::thread([self] { self->Run(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    m_started = true;
    // Publishing its number is the new thread's first step, so this wait is short.
    m_stateChanged.wait(lock, [this] { return m_threadId != 0; });
    return true;
}

void CMessageThread::Run()
{
    {
        std::lock_guard lock(m_lock);
        m_threadId = CurrentThreadId();
        m_stateChanged.notify_all();
    }
    int quitCode = 0;
    if (InitInstance()) {
        quitCode = RunMessageLoop();
    } else {
        std::lock_guard lock(m_lock);
        m_closed = true;
    }
    const int exitCode = ExitInstance(quitCode);
    std::lock_guard lock(m_lock);
    m_exited = true;
    m_exitCode = exitCode;
    m_queue.clear();
    m_stateChanged.notify_all();
}

int CMessageThread::RunMessageLoop()
{
    CThreadMessage message;
    int quitCode = 0;
    while (WaitForMessage(message, quitCode) == Next::Message)
        OnMessage(message);
    return quitCode;
}

CMessageThread::Next CMessageThread::WaitForMessage(CThreadMessage& out, int& quitCode)
{
    std::unique_lock lock(m_lock);
    for (;;) {
        // Posted messages come before the quit request and before timer ticks, as a tick is only
        // due when the thread has nothing else to do.
        if (!m_queue.empty()) {
            out = m_queue.front();
            m_queue.pop_front();
            return Next::Message;
        }
        if (m_quitPosted) {
            m_closed = true;
            quitCode = m_quitCode;
            return Next::Quit;
        }
        if (!m_timerSet) {
            // A message loop has nothing to do until the next message; PostQuit ends this wait.
            m_messageReady.wait(lock);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now >= m_timerDue) {
            const auto missed = (now - m_timerDue) / m_timerPeriod;
            m_timerDue += (missed + 1) * m_timerPeriod;
            out = CThreadMessage{m_timerMessage, 0, 0};
            return Next::Message;
        }
        m_messageReady.wait_until(lock, m_timerDue);
    }
}

bool CMessageThread::Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    {
        std::lock_guard lock(m_lock);
        if (m_closed)
            return false;
        m_queue.push_back(CThreadMessage{message, wParam, lParam});
    }
    // Woken once the lock is free: woken under it, the thread would at once wait for it again.
    // The poster holds the thread object, which only the thread's quit could end.
    m_messageReady.notify_one();
    return true;
}

bool CMessageThread::PostQuit(int exitCode)
{
    std::lock_guard lock(m_lock);
    if (m_closed)
        return false;
    if (!m_quitPosted) {
        m_quitPosted = true;
        m_quitCode = exitCode;
    }
    m_messageReady.notify_one();
    return true;
}

bool CMessageThread::WaitForExit(int milliseconds)
{
    std::unique_lock lock(m_lock);
    if (!m_started)
        return true;
    return m_stateChanged.wait_for(lock, std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds),
                                   [this] { return m_exited; });
}

bool CMessageThread::HasExited() const
{
    std::lock_guard lock(m_lock);
    return m_exited;
}

int CMessageThread::GetExitCode() const
{
    std::lock_guard lock(m_lock);
    return m_exitCode;
}

pid_t CMessageThread::GetThreadId() const
{
    std::lock_guard lock(m_lock);
    return m_threadId;
}

void CMessageThread::SetTimer(std::chrono::milliseconds period, unsigned message)
{
    std::lock_guard lock(m_lock);
    m_timerSet = true;
    m_timerMessage = message;
    m_timerPeriod = period.count() > 0 ? Clock::duration(period) : Clock::duration(std::chrono::milliseconds(1));
    m_timerDue = Clock::now() + m_timerPeriod;
}

void CMessageThread::KillTimer()
{
    std::lock_guard lock(m_lock);
    m_timerSet = false;
}
