// A worker thread with its own message queue, in place of the platform's thread messages.
// Server threads, listeners, the background thread and the debugger's threads derive from
// CMessageThread: other threads post numbered messages to it, it handles them one at a time,
// and a periodic timer message takes the place of a window timer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

// The kernel's number for the calling thread (gettid), cached per thread. It names threads in
// logs, generated file names and console commands.
pid_t CurrentThreadId();

// First number free for the application's own messages; a thread's messages are numbered from here.
constexpr unsigned kThreadMessageApp = 0x8000;

struct CThreadMessage
{
    unsigned message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

// Lifetime: a CMessageThread is always owned through std::shared_ptr (make it with
// std::make_shared). The running thread holds a reference of its own, so an owner may drop its
// reference at any time, even when the thread hangs: a thread cannot be killed, and its object
// must stay alive until it ends. The object is destroyed by whichever side lets go last.
class CMessageThread : public std::enable_shared_from_this<CMessageThread>
{
public:
    CMessageThread(const CMessageThread&) = delete;
    CMessageThread& operator=(const CMessageThread&) = delete;
    virtual ~CMessageThread();

    // Creates the thread. Returns once the thread has its number, or false when no thread could be
    // created (the caller logs it). Posts made before Start wait in the queue. Only the first call
    // creates a thread.
    [[nodiscard]] bool Start();

    // Queues a message. Never blocks and never drops a message while the thread can still read it;
    // returns false only when the thread has already ended, so nothing will ever read it.
    [[nodiscard]] bool Post(unsigned message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
    // Asks the message loop to end once it has handled every queued message; false when the
    // thread has already ended.
    bool PostQuit(int exitCode = 0);

    // Waits up to `milliseconds` for the thread to end; true when it has ended or never started.
    [[nodiscard]] bool WaitForExit(int milliseconds);
    bool HasExited() const;
    // ExitInstance's result, valid once the thread has ended.
    int GetExitCode() const;
    // The thread's kernel number, 0 before Start.
    pid_t GetThreadId() const;

protected:
    CMessageThread() = default;

    // Runs first on the new thread: true enters the message loop, false ends the thread at once.
    virtual bool InitInstance() { return true; }
    // Handles one posted message or timer tick.
    virtual void OnMessage(const CThreadMessage& message) { (void)message; }
    // Runs last on the thread; its result becomes the exit code. `quitCode` is the code given to
    // PostQuit, 0 when the loop never ran.
    virtual int ExitInstance(int quitCode) { return quitCode; }

    // A timer on this thread: `message` is delivered every `period` while the queue is otherwise
    // empty. Ticks missed while a message was being handled collapse into one, and the ticks stay
    // on the grid of the first deadline, so a minute timer keeps to its minute. Call on this thread.
    void SetTimer(std::chrono::milliseconds period, unsigned message);
    void KillTimer();

private:
    using Clock = std::chrono::steady_clock;
    enum class Next
    {
        Message,
        Quit
    };

    void Run();
    int RunMessageLoop();
    Next WaitForMessage(CThreadMessage& out, int& quitCode);

    // m_lock guards everything below it. The thread waits on m_messageReady; Start and WaitForExit
    // wait on m_stateChanged, so a post can never wake a waiter that does not read messages.
    mutable std::mutex m_lock;
    std::condition_variable m_messageReady;
    std::condition_variable m_stateChanged;
    std::deque<CThreadMessage> m_queue;
    bool m_quitPosted = false;
    int m_quitCode = 0;
    bool m_started = false;
    bool m_closed = false;  // the thread reads no more messages
    bool m_exited = false;
    int m_exitCode = 0;
    pid_t m_threadId = 0;

    // Timer state: changed only by the thread itself, read under m_lock.
    bool m_timerSet = false;
    unsigned m_timerMessage = 0;
    Clock::duration m_timerPeriod{};
    Clock::time_point m_timerDue{};
};
