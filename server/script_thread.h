// CScriptThread: the one background worker thread of a program. In scheduler mode (twServer) a
// timer ticks once a minute; on each tick the thread runs every enabled task of the task table
// whose time has come, last table entry first, and at minute 0 of the hour it has the application
// state close idle data sources. The console's "Run Now" posts a run-task message with a task
// number. In one-script mode (twStudio's debugger) the thread runs one .tws script and ends.
//
// All work is synchronous: ticks and run requests that arrive while a script runs wait in the
// thread's queue, and timer ticks missed meanwhile merge into one, so a long task is followed by
// one tick, not by a backlog. A script's output goes to "<install>/tmp/dyn<thread id>.html", a
// file that lives only while the run builds it.
//
// Lifetime: own the object through std::shared_ptr. The running thread holds a reference of its
// own, so the object lives until both the thread has ended and the starter has let go, in either
// order; a thread that hangs is never killed.
//
// Locks: the current-engine slot's lock guards only the engine pointer, and the thread takes nothing
// else while it holds it; the configuration's task lock is taken briefly to read and move on a task.
#pragma once

#include "foundation/task_entry.h"
#include "language/current_engine.h"
#include "language/idle_data_source_sweep.h"
#include "mail/email_sender_task.h"
#include "platform/message_thread.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CServerConfig;
class CSspEngine;

class CScriptThread : public CMessageThread
{
public:
    static constexpr unsigned kRunTaskMessage = kThreadMessageApp + 1;  // wParam: the task number
    static constexpr unsigned kSchedulerTickMessage = kThreadMessageApp + 2;
    // Task numbers are the task table's index + 2, so the Email Sender is number 2.
    static constexpr int kFirstTaskNumber = 2;
    static constexpr int kEmailSenderTaskNumber = kFirstTaskNumber + static_cast<int>(kEmailSenderTaskIndex);
    // How long twServer waits for the thread to run (20 polls 100 ms apart) and to end.
    static constexpr int kStartWaitMilliseconds = 2000;
    static constexpr int kStopWaitMilliseconds = 5000;

    // The current time in seconds since 1970; tests pass their own.
    using Clock = std::function<std::time_t()>;

    // `config` holds the task table and settings, `installDir` the installation folder (no
    // trailing slash). Both must outlive the thread.
    CScriptThread(CServerConfig& config, std::string installDir);
    // TheServerConfig() and GetProgramDirectory().
    CScriptThread();
    ~CScriptThread() override;

    // Each setting is made before Start.
    // A script path selects one-script mode; the path is resolved by ResolveScriptPath.
    void SetScriptPath(std::string path);
    // The scheduler's tick period; one minute unless a test asks for another.
    void SetTickPeriod(std::chrono::milliseconds period);
    void SetClock(Clock clock);
    // The hourly sweep; the server passes &TheSspApp(). Not owned: the application state lives as
    // long as the process. Without one the tick sweeps nothing.
    void SetIdleSweep(CIdleDataSourceSweep* sweep);
    void SetEmailSender(std::unique_ptr<CEmailSenderTask> sender);

    // Set once the timer is armed (scheduler) or the script has started (one-script mode); cleared
    // when the thread ends.
    bool IsRunning() const;
    // Waits until the thread runs or has ended; returns IsRunning().
    [[nodiscard]] bool WaitUntilRunning(int milliseconds);

    // Calls `visit` with the engine that runs at this moment, holding the current-engine lock so
    // that the thread cannot destroy the engine meanwhile; false when no engine runs. `visit` must
    // not wait for this thread. The hang report and the debugger read the run through it.
    bool VisitCurrentEngine(const std::function<void(const CSspEngine&)>& visit) const;
    // Logs where the current run stands (see CSspEngine::LogHangPosition); false without a run.
    bool LogHangPosition() const;

    // twServer's start: Start, then wait for the running flag. On failure the thread is told to
    // quit and released (`thread` becomes null); a failure to create it is logged.
    [[nodiscard]] static bool StartAndWait(std::shared_ptr<CScriptThread>& thread);
    // twServer's stop: posts the quit and waits up to `waitMilliseconds`. A thread that does not
    // end in time is logged with where its run hangs and left to end by itself. Releases `thread`.
    // False when the thread was left running.
    [[nodiscard]] static bool StopAndRelease(std::shared_ptr<CScriptThread>& thread,
                                             int waitMilliseconds = kStopWaitMilliseconds);

    // A script path as stored in the task table: one that begins with "/" is absolute and kept;
    // any other is relative to the installation's "bin" folder.
    static void ResolveScriptPath(std::string& path, std::string_view installDir);
    // The URL form of a script path, for the run's URL path: below "<install>/webroot/" the rest
    // after that folder with "/" in front, else the path itself with "/" in front when it lacks
    // one; every "\" becomes "/".
    static std::string ResolveWebrootPath(std::string_view path, std::string_view installDir);

    // "<install>/tmp/dyn<thread id>.html", where this thread's runs write their output.
    std::string OutputFilePath() const;
    // Why task `taskNumber` would not run if it were posted now: no enabled task with that
    // number, or a script file that does not exist; "" when it would run.
    std::string WhyTaskWouldNotRun(std::uintptr_t taskNumber) const;

protected:
    bool InitInstance() override;
    void OnMessage(const CThreadMessage& message) override;
    int ExitInstance(int quitCode) override;

    // Runs task `taskNumber` at once: nothing unless it names an enabled task of the table.
    void OnRunTask(std::uintptr_t taskNumber);
    // Runs every due, enabled task, last first, moving each one's next run on before it runs; then
    // the hourly idle sweep.
    void OnSchedulerTick();

private:
    void RunOneScript();
    // Takes the task at `index` when it is enabled and due at `now`, computing its next run.
    [[nodiscard]] bool TakeDueTask(std::size_t index, std::time_t now);
    // Copies name and script of the enabled task with that number; false when there is none.
    [[nodiscard]] bool CopyEnabledTask(std::uintptr_t taskNumber, std::string& name, std::string& script) const;
    bool IdleSweepDue(std::time_t tickTime) const;
    void RunEmailSender();
    // Runs a script file through a new engine into the output file; returns the run result and,
    // for a failed run, the engine's error report.
    [[nodiscard]] int RunScript(const std::string& path, std::string& errorText);
    void SetRunning(bool running, bool finished);

    CServerConfig& m_config;
    const std::string m_installDir;
    std::string m_scriptPath;  // empty: scheduler mode
    std::chrono::milliseconds m_tickPeriod{std::chrono::minutes(1)};
    Clock m_clock;
    CIdleDataSourceSweep* m_idleSweep = nullptr;
    std::unique_ptr<CEmailSenderTask> m_emailSender;
    bool m_timerSet = false;  // used by the thread only

    // m_stateLock guards the two flags below; m_stateChanged wakes WaitUntilRunning.
    mutable std::mutex m_stateLock;
    std::condition_variable m_stateChanged;
    bool m_running = false;
    bool m_finished = false;

    // The engine that runs at this moment; readers visit it under the slot's lock.
    CCurrentEngine m_currentEngine;
};
