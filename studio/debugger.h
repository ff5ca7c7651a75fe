// CDebugger: twStudio's one debugger. It runs the whole engine inside the studio, in one of two
// ways: pages are served by a web server of its own on its own port (every request's run can be
// debugged), and one script runs on a background thread of its own. The interpreter calls its
// hooks from those threads; the studio's user-interface thread calls its commands and queries; the
// debugger answers the studio only through the notifications of a CDebuggerWindow, which queue
// the news for the user-interface thread and never block.
//
// A paused run waits inside a hook on a condition variable until the user-interface thread
// resumes it. A resume is recorded for the paused thread under the lock that the pause was
// announced under, so a resume that arrives before the thread has begun to wait is never lost,
// and a resume while nothing is paused is not banked for a later pause.
//
// Runs on different threads take turns: a run that loads while another thread's run is current
// waits in one-second steps until that run has ended.
//
// The lock (m_lock, recursive) guards every member below it in the class. Hooks take it; commands
// take it, except that Stop lets go of it while it waits for threads. A watch is evaluated with
// the lock held, so the paused run cannot be resumed under it; hooks that the watch's own calls
// reach on the user-interface thread return at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "language/debug_hooks.h"
#include "webserver/server_thread.h"

class CListenerThread;
class CScriptThread;
class CSspEngine;

// The studio's side of the notifications. Each call only queues its news for the user-interface
// thread and returns; the debugger calls them with its lock held, from any thread.
class CDebuggerWindow
{
public:
    virtual ~CDebuggerWindow() = default;
    // A run has become the current one.
    virtual void PostRunStarted() = 0;
    // The current run paused at `line` (1-based) of `path`.
    virtual void PostPaused(int line, std::string path) = 0;
    // No run is paused any more (continued or stopped): the current-line arrow must go.
    virtual void PostPauseEnded() = 0;
    // A top-level run (a page's request or the script) has ended: the values it showed are gone.
    virtual void PostRunEnded() = 0;
    // A run of `path` failed at byte offset `offset` of its file.
    virtual void PostRunError(int offset, std::string path) = 0;
    // Text for the "Request/Response" pane: what a debugged request received and produced.
    virtual void PostOutputLine(std::string text) = 0;
};

class CDebugger : public CSspDebugHooks
{
public:
    enum State : int
    {
        kIdle = 1,
        kRunning = 2,
        kPaused = 3
    };
    enum RunMode : int
    {
        kModeNone = 0,
        kModeGo = 1,
        kModeSingleStep = 2,
        kModeStepOut = 3,
        kModeStop = 4,
        kModeBreak = 5
    };

    static constexpr const char* kDefaultPort = "8085";
    static constexpr const char* kNotPausedText = "Value can be obtained when debugger is not paused.";
    // How long a stopping listener or script thread is waited for.
    static constexpr int kStopWaitMilliseconds = 30000;
    // The step in which a run waits for another thread's run to end.
    static constexpr std::chrono::milliseconds kTurnStep{1000};

    CDebugger();
    ~CDebugger() override;
    CDebugger(const CDebugger&) = delete;
    CDebugger& operator=(const CDebugger&) = delete;

    // The port text of the web server ("8085" until the studio reads its profile) and its TLS
    // flag (1 = https). A change takes effect at the next start of the web server.
    void SetPort(std::string port);
    std::string GetPort() const;
    void SetSsl(int ssl);
    int GetSsl() const;
    // Where notifications go; null drops them. The studio clears it before its window goes.
    void SetWindow(CDebuggerWindow* window);
    // The port the running web server is bound to (port "0" binds a free one); 0 without one.
    int GetListenerPort() const;

    // Queries for command enabling.
    bool IsIdle() const { return m_state.load() == kIdle; }
    bool IsRunning() const { return m_state.load() == kRunning; }
    bool IsPaused() const { return m_state.load() == kPaused; }
    // Paused in a nested run (a function call), where Step Out makes sense.
    bool IsPausedInCall() const;
    bool HasRunningEngine() const;
    int GetRunMode() const { return m_runMode.load(); }
    // True when the path's extension, compared without regard to case, is ".twp".
    static bool IsTemplateFile(std::string_view path);
    // True for a port text the developer may choose: a whole number from 1 to 65535, digits only.
    static bool IsValidPort(std::string_view port);

    // Commands of the user-interface thread. Idle, Go starts the page session for an empty or
    // .twp path and a script session for any other path; paused, it continues the run.
    void Go(std::string_view path);
    // Idle: starts a script session that stops at its first statement; else as Go, pausing at
    // the next statement or text line of any run.
    void SingleStep(std::string_view path);
    // Runs on until the current (nested) run has returned, then stops at the next statement.
    void StepOut();
    // Stops at the next statement or text line of any run.
    void Break();
    // Ends the session: a paused run is resumed and ends with the stop result; the web server or
    // script thread is stopped and waited for. `announce` logs "Debugger ended.".
    void Stop(bool announce);

    // Breakpoints are texts "<path>?<line>", lines 1-based; paths compare without regard to case.
    void ToggleBreakpoint(std::string_view path, int line);
    bool HasBreakpoint(std::string_view path, int line) const;
    // The lines of the file's breakpoints in list order, at most `max`.
    std::vector<int> GetBreakpointLines(std::string_view path, std::size_t max) const;
    // Every breakpoint text followed by "\n".
    std::string GetBreakpointList() const;
    void ClearBreakpoints();

    // While paused: the line at which the innermost run of the paused chain that runs the file
    // stands (0 when none does, and always 0 while not paused).
    int GetPausedLine(std::string_view path) const;
    // While paused: whether the paused run itself runs the file.
    bool IsCurrentFile(std::string_view path) const;
    // While paused: the value of the expression in the paused run (or the error of its
    // evaluation); otherwise kNotPausedText.
    std::string GetWatchValue(std::string_view expression);
    // Hands text to the window's "Request/Response" pane; nothing without a window or text.
    void PostOutputLine(std::string_view text);

    // Hooks, called by the interpreter on its own thread.
    void OnInterpreterStart(CSspEngine& engine) override;
    void OnStatement(CSspEngine& engine) override;
    void OnTextLine(CSspEngine& engine) override;
    void OnInterpreterEnd(CSspEngine& engine) override;
    bool IsStopRequested() const override { return m_runMode.load(std::memory_order_relaxed) == kModeStop; }

private:
    using Lock = std::unique_lock<std::recursive_mutex>;

    // A script session has been started and its run has not begun yet: a second start would
    // leave the first thread running with nobody to stop it.
    bool IsScriptStarting() const;
    void StartWebServer();
    void StartScript(std::string_view path);
    // Settings, application state and default data source for a new session; false after
    // logging why not.
    [[nodiscard]] bool PrepareSession(const char* loadFailureText);
    // The script session's thread has ended, after the script's own last log line.
    void OnScriptThreadEnd(const CScriptThread& thread);
    // The calling thread is the script session's.
    bool IsScriptSessionThread() const;
    void StopWebServer(bool announce);
    void StopScriptThread();
    // Continues the current engine's thread when it is paused (Go, Single Step, Step Out).
    void ResumeCurrent();
    // Continues every paused thread (Stop).
    void ResumeAll();
    void SetCurrent(CSspEngine* engine);
    // Decides under the lock whether the hook pauses at the engine's current line, and pauses.
    void MaybePause(CSspEngine& engine, bool textLine);
    // Announces the pause and waits, with `lock` held on entry, until resumed.
    void Pause(Lock& lock, CSspEngine& engine);
    // Tells the window that the pause is over (state has left paused).
    void AnnouncePauseEnded();
    bool HasBreakpointLocked(std::string_view path, int line) const;

    std::atomic<int> m_state{kIdle};
    std::atomic<int> m_runMode{kModeNone};

    // The pool outlives the listeners that hand connections to it; its dispatcher echoes every
    // debugged request to the "Request/Response" pane.
    CServerThreadPool m_pool;

    mutable std::recursive_mutex m_lock;
    // Wakes runs waiting for their turn (the current engine changed) and paused runs (a resume).
    std::condition_variable_any m_changed;
    std::string m_port = kDefaultPort;
    int m_ssl = 0;
    CDebuggerWindow* m_window = nullptr;
    CSspEngine* m_current = nullptr;
    std::thread::id m_currentThread;
    std::vector<std::string> m_breakpoints;
    std::shared_ptr<CScriptThread> m_scriptThread;
    std::shared_ptr<CListenerThread> m_listener;
    // The paused threads, each with whether it has been told to resume.
    std::map<std::thread::id, bool> m_paused;
    // Per active run, the line of its last statement hook. The template text that follows a code
    // block's closer on that same line belongs to the line the statement hook has taken already.
    std::map<const CSspEngine*, int> m_statementLines;
};

// The process's debugger. It is never destroyed: server threads that outlived their stop may still
// call its hooks while the process exits.
CDebugger& TheDebugger();
