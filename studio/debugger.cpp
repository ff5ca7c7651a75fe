#include "studio/debugger.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <utility>

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/server_config.h"
#include "language/ssp_app.h"
#include "language/ssp_engine.h"
#include "network/tls_server.h"
#include "platform/file_system.h"
#include "server/script_thread.h"
#include "webserver/listener_thread.h"
#include "webserver/request_dispatcher.h"
#include "webserver/ssp_request.h"

namespace {

constexpr int kMsgWebServerStarted = 157;
constexpr int kMsgSecureWebServerStarted = 158;
constexpr int kMsgPortUnavailable = 159;

constexpr const char* kNoInterpreter = "No SSP interpreter is active.";
constexpr const char* kDebuggerEnded = "Debugger ended.";

// Set on the user-interface thread while it evaluates a watch: calls that the watch makes run
// nested engines there, whose hooks must neither pause nor wait for the paused run's turn.
thread_local bool t_evaluatingWatch = false;

// The script session's thread: it tells the debugger when it has ended, which is after the
// script's own end line, so "Debugger ended." follows it in the log.
class CDebugScriptThread : public CScriptThread
{
public:
    explicit CDebugScriptThread(std::function<void(const CScriptThread&)> onEnd) : m_onEnd(std::move(onEnd)) {}

protected:
    int ExitInstance(int quitCode) override
    {
        const int code = CScriptThread::ExitInstance(quitCode);
        m_onEnd(*this);
        return code;
    }

private:
    std::function<void(const CScriptThread&)> m_onEnd;
};

std::string BreakpointText(std::string_view path, int line)
{
    std::string text(path);
    text += '?';
    text += std::to_string(line);
    return text;
}

}  // namespace

CDebugger& TheDebugger()
{
    static CDebugger* debugger = new CDebugger;
    return *debugger;
}

CDebugger::CDebugger()
    : m_pool([this] {
          auto dispatcher = std::make_shared<CRequestDispatcher>();
          dispatcher->SetEchoHook([this](std::string_view text) { PostOutputLine(text); });
          return dispatcher;
      }())
{
    // Only the studio's server tells people who mix up http:// and https:// what to type.
    SetTlsPlainRequestHint(true);
    CSspRequest::EnableHttpsHint(true);
}

CDebugger::~CDebugger() = default;

void CDebugger::SetPort(std::string port)
{
    Lock lock(m_lock);
    m_port = std::move(port);
}

std::string CDebugger::GetPort() const
{
    Lock lock(m_lock);
    return m_port;
}

void CDebugger::SetSsl(int ssl)
{
    Lock lock(m_lock);
    m_ssl = ssl;
}

int CDebugger::GetSsl() const
{
    Lock lock(m_lock);
    return m_ssl;
}

void CDebugger::SetWindow(CDebuggerWindow* window)
{
    Lock lock(m_lock);
    m_window = window;
}

int CDebugger::GetListenerPort() const
{
    Lock lock(m_lock);
    return m_listener ? m_listener->GetPort() : 0;
}

bool CDebugger::IsPausedInCall() const
{
    Lock lock(m_lock);
    return IsPaused() && m_current != nullptr && !m_current->IsTopEngine();
}

bool CDebugger::HasRunningEngine() const
{
    Lock lock(m_lock);
    return IsRunning() && m_current != nullptr;
}

bool CDebugger::IsTemplateFile(std::string_view path)
{
    const std::size_t dot = path.rfind('.');
    return dot != std::string_view::npos && EqualsNoCase(path.substr(dot), ".twp");
}

bool CDebugger::IsValidPort(std::string_view port)
{
    unsigned value = 0;
    const char* end = port.data() + port.size();
    const auto [stop, error] = std::from_chars(port.data(), end, value);
    return error == std::errc() && stop == end && value >= 1 && value <= 65535;
}

bool CDebugger::IsScriptStarting() const
{
    return IsIdle() && m_scriptThread && !m_scriptThread->HasExited();
}

void CDebugger::Go(std::string_view path)
{
    Lock lock(m_lock);
    m_runMode = kModeGo;
    if (!IsIdle())
        ResumeCurrent();
    else if (IsScriptStarting())
        return;
    else if (path.empty() || IsTemplateFile(path))
        StartWebServer();
    else
        StartScript(path);
}

void CDebugger::SingleStep(std::string_view path)
{
    Lock lock(m_lock);
    m_runMode = kModeSingleStep;
    if (!IsIdle())
        ResumeCurrent();
    else if (IsScriptStarting())
        return;
    else if (IsTemplateFile(path))
        TheLog().WriteLine("Internal Error.");
    else
        StartScript(path);
}

void CDebugger::StepOut()
{
    Lock lock(m_lock);
    m_runMode = kModeStepOut;
    ResumeCurrent();
}

void CDebugger::Break()
{
    m_runMode = kModeBreak;
}

void CDebugger::Stop(bool announce)
{
    m_runMode = kModeStop;
    bool webServer;
    {
        Lock lock(m_lock);
        webServer = m_listener != nullptr;
    }
    if (webServer)
        StopWebServer(announce);
    else
        StopScriptThread();
}

bool CDebugger::PrepareSession(const char* loadFailureText)
{
    // The installation folder may be the one the Files root chose; the developer sees which.
    TheLog().WriteLine("Web root: %s", (GetProgramDirectory() + "/webroot").c_str());
    if (!TheServerConfig().Load()) {
        TheLog().WriteLine("%s", loadFailureText);
        return false;
    }
    // The pages it runs make attachment links that the server must accept, and the other way round.
    TheServerConfig().EnsureFileIdSecret();
    return true;
}

void CDebugger::StartWebServer()
{
    if (!PrepareSession("Failed to load settings."))
        return;
    const CServerConfig& config = TheServerConfig();
    if (m_ssl == 1 &&
        !InitTlsCredentials(config.m_securityCertName, config.m_securityCertIssuer, config.m_securityCertSerial)) {
        TheLog().WriteLine("Failed to initialized SSL.");
        return;
    }
    TheSspApp().RemoveAll();
    if (!TheSspApp().SetDefaultDataSource()) {
        TheLog().WriteText(CMessageCatalog::Text(kMsgSetUpDatabase));
        return;
    }
    auto listener =
        std::make_shared<CListenerThread>(m_pool, config.m_generalTcpipAddress, ParseInt32(m_port), m_ssl == 1);
    if (!listener->Start()) {
        TheLog().WriteLine("Failed to create web server");
        return;
    }
    if (!listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds)) {
        TheLog().WriteText(CMessageCatalog::Text(kMsgPortUnavailable));
        // It must not begin to accept after it was given up.
        listener->Stop();
        return;
    }
    m_listener = std::move(listener);
    m_state = kRunning;
    // The bound port, which differs from the text when that asked for any free port.
    const std::string port = std::to_string(m_listener->GetPort());
    if (m_ssl == 1)
        TheLog().WriteLine(CMessageCatalog::Format(kMsgSecureWebServerStarted), config.m_generalTcpipAddress.c_str(),
                           port.c_str());
    else
        TheLog().WriteLine(CMessageCatalog::Format(kMsgWebServerStarted), config.m_generalTcpipAddress.c_str(),
                           port.c_str());
}

void CDebugger::StartScript(std::string_view path)
{
    // A script thread that ended before its run began (its file could not be read) is done with.
    m_scriptThread.reset();
    if (!PrepareSession("Failed to load settings"))
        return;
    TheSspApp().RemoveAll();
    if (!TheSspApp().SetDefaultDataSource()) {
        TheLog().WriteText(CMessageCatalog::Text(kMsgSetUpDatabase));
        return;
    }
    auto thread =
        std::make_shared<CDebugScriptThread>([this](const CScriptThread& ended) { OnScriptThreadEnd(ended); });
    thread->SetScriptPath(std::string(path));
    // Said before the thread runs: its script's first line may be logged at once.
    TheLog().WriteLine("Debugger started.");
    if (!thread->Start()) {
        TheLog().WriteLine("Failed to execute the %s", std::string(path).c_str());
        return;
    }
    m_scriptThread = std::move(thread);
}

void CDebugger::OnScriptThreadEnd(const CScriptThread& thread)
{
    Lock lock(m_lock);
    // After Stop, Stop itself announces the end and forgets the thread.
    if (m_scriptThread.get() != &thread || m_runMode == kModeStop)
        return;
    TheLog().WriteLine(kDebuggerEnded);
    m_scriptThread.reset();
    m_state = kIdle;
}

void CDebugger::StopWebServer(bool announce)
{
    std::shared_ptr<CListenerThread> listener;
    {
        Lock lock(m_lock);
        if (!m_listener)
            return;
        listener = m_listener;
        ResumeAll();
    }
    listener->Stop();
    if (!listener->WaitForExit(kStopWaitMilliseconds))
        TheLog().WriteLine("Failed to wait for listener to terminate.");
    if (announce)
        TheLog().WriteLine(kDebuggerEnded);
    {
        Lock lock(m_lock);
        m_listener.reset();
    }
    m_pool.StopAll();
    m_state = kIdle;
    FreeTlsCredentials();
}

void CDebugger::StopScriptThread()
{
    std::shared_ptr<CScriptThread> thread;
    {
        Lock lock(m_lock);
        if (!m_scriptThread)
            return;
        thread = m_scriptThread;
        ResumeAll();
    }
    if (!thread->WaitForExit(kStopWaitMilliseconds)) {
        TheLog().WriteLine("Failed to wait for script thread to terminate.");
        try {
            thread->LogHangPosition();
        } catch (...) {
            TheLog().WriteLine("Failed to dump debug information.");
        }
    }
    TheLog().WriteLine(kDebuggerEnded);
    Lock lock(m_lock);
    if (m_scriptThread == thread)
        m_scriptThread.reset();
    m_state = kIdle;
}

void CDebugger::ResumeCurrent()
{
    if (m_current == nullptr) {
        TheLog().WriteLine(kNoInterpreter);
        return;
    }
    auto paused = m_paused.find(m_currentThread);
    if (paused == m_paused.end() || paused->second)
        return;
    paused->second = true;
    // The run goes on from now: no watch or margin may read it as paused any more.
    m_state = kRunning;
    m_changed.notify_all();
    AnnouncePauseEnded();
}

void CDebugger::ResumeAll()
{
    if (m_paused.empty())
        return;
    for (auto& paused : m_paused)
        paused.second = true;
    m_state = kRunning;
    m_changed.notify_all();
    AnnouncePauseEnded();
}

void CDebugger::AnnouncePauseEnded()
{
    if (m_window != nullptr)
        m_window->PostPauseEnded();
}

void CDebugger::ToggleBreakpoint(std::string_view path, int line)
{
    Lock lock(m_lock);
    const std::string text = BreakpointText(path, line);
    for (auto it = m_breakpoints.rbegin(); it != m_breakpoints.rend(); ++it) {
        if (EqualsNoCase(*it, text)) {
            m_breakpoints.erase(std::next(it).base());
            return;
        }
    }
    m_breakpoints.push_back(text);
}

bool CDebugger::HasBreakpoint(std::string_view path, int line) const
{
    Lock lock(m_lock);
    return HasBreakpointLocked(path, line);
}

bool CDebugger::HasBreakpointLocked(std::string_view path, int line) const
{
    const std::string text = BreakpointText(path, line);
    for (const std::string& breakpoint : m_breakpoints)
        if (EqualsNoCase(breakpoint, text))
            return true;
    return false;
}

std::vector<int> CDebugger::GetBreakpointLines(std::string_view path, std::size_t max) const
{
    Lock lock(m_lock);
    std::vector<int> lines;
    for (const std::string& breakpoint : m_breakpoints) {
        if (lines.size() >= max)
            break;
        // The whole path up to the line's '?': a file whose name merely begins like another's
        // must not show that one's breakpoints.
        const std::size_t mark = breakpoint.rfind('?');
        if (mark == path.size() && EqualsNoCase(std::string_view(breakpoint).substr(0, mark), path))
            lines.push_back(ParseInt32(std::string_view(breakpoint).substr(mark + 1)));
    }
    return lines;
}

std::string CDebugger::GetBreakpointList() const
{
    Lock lock(m_lock);
    std::string list;
    for (const std::string& breakpoint : m_breakpoints)
        list += breakpoint + "\n";
    return list;
}

void CDebugger::ClearBreakpoints()
{
    Lock lock(m_lock);
    m_breakpoints.clear();
}

int CDebugger::GetPausedLine(std::string_view path) const
{
    Lock lock(m_lock);
    if (!IsPaused() || m_current == nullptr)
        return 0;
    return m_current->GetLineNumber(path);
}

bool CDebugger::IsCurrentFile(std::string_view path) const
{
    Lock lock(m_lock);
    if (!IsPaused() || m_current == nullptr)
        return false;
    return EqualsNoCase(m_current->FilePath(), path);
}

std::string CDebugger::GetWatchValue(std::string_view expression)
{
    Lock lock(m_lock);
    if (!IsPaused() || m_current == nullptr)
        return kNotPausedText;
    struct WatchScope
    {
        WatchScope() { t_evaluatingWatch = true; }
        ~WatchScope() { t_evaluatingWatch = false; }
    } scope;
    return m_current->EvalWatch(expression);
}

void CDebugger::PostOutputLine(std::string_view text)
{
    if (text.empty())
        return;
    Lock lock(m_lock);
    if (m_window != nullptr)
        m_window->PostOutputLine(std::string(text));
}

void CDebugger::SetCurrent(CSspEngine* engine)
{
    m_current = engine;
    m_currentThread = engine != nullptr ? engine->OwnerThread() : std::thread::id();
}

void CDebugger::OnInterpreterStart(CSspEngine& engine)
{
    if (t_evaluatingWatch)
        return;
    Lock lock(m_lock);
    // Taking the turn and checking for it happen under one lock, so two waiting runs never both
    // take it; the wait lets go of the lock. Each waiting run says once that it waits.
    bool announced = false;
    while (m_current != nullptr && m_currentThread != engine.OwnerThread() && !IsIdle()) {
        if (!announced)
            TheLog().WriteLine("Waiting for last .twp/.tws to finish.");
        announced = true;
        m_changed.wait_for(lock, kTurnStep);
    }
    SetCurrent(&engine);
    if (m_window != nullptr)
        m_window->PostRunStarted();
    m_state = kRunning;
}

void CDebugger::OnStatement(CSspEngine& engine)
{
    MaybePause(engine, false);
}

void CDebugger::OnTextLine(CSspEngine& engine)
{
    MaybePause(engine, true);
}

void CDebugger::MaybePause(CSspEngine& engine, bool textLine)
{
    if (t_evaluatingWatch || IsStopRequested())
        return;
    Lock lock(m_lock);
    SetCurrent(&engine);
    // A text line that opens a code block is left to the statement hook, so the line stops once.
    if (textLine && engine.LineOpensCode())
        return;
    const int line = engine.GetLineNumber();
    // A breakpoint stops once per pass: the text after a closer on a line where a statement began
    // belongs to that line, whose breakpoint the statement hook has answered already.
    bool lineTaken = false;
    if (textLine) {
        auto statement = m_statementLines.find(&engine);
        lineTaken = statement != m_statementLines.end() && statement->second == line;
    } else {
        m_statementLines[&engine] = line;
    }
    const int mode = m_runMode;
    const bool pause =
        mode == kModeGo || mode == kModeStepOut ? !lineTaken && HasBreakpointLocked(engine.FilePath(), line) : true;
    if (pause)
        Pause(lock, engine);
}

void CDebugger::Pause(Lock& lock, CSspEngine& engine)
{
    m_state = kPaused;
    if (m_window != nullptr)
        m_window->PostPaused(engine.GetLineNumber(), engine.FilePath());
    const std::thread::id self = std::this_thread::get_id();
    m_paused[self] = false;
    m_changed.wait(lock, [this, self] { return m_paused[self]; });
    m_paused.erase(self);
    if (IsPaused() && m_paused.empty())
        m_state = kRunning;
}

void CDebugger::OnInterpreterEnd(CSspEngine& engine)
{
    if (t_evaluatingWatch)
        return;
    Lock lock(m_lock);
    SetCurrent(&engine);
    // Step Out runs like Go up to the end of a run, then stops at the next statement.
    if (m_runMode == kModeStepOut)
        m_runMode = kModeSingleStep;
    m_statementLines.erase(&engine);
    if (engine.ErrorPosition() >= 0) {
        // Each failure is logged once: a failed call's report stands inside its caller's, the
        // script session's thread logs its script's failure itself, in order with its own lines,
        // and a page's failure has nobody else to log it.
        if (engine.IsTopEngine() && !IsScriptSessionThread())
            TheLog().WriteText("\r\n" + engine.ErrorText());
        if (m_window != nullptr)
            m_window->PostRunError(engine.ErrorPosition(), engine.FilePath());
    }
    if (!engine.IsTopEngine()) {
        SetCurrent(engine.TopEngine());
        return;
    }
    SetCurrent(nullptr);
    m_changed.notify_all();
    if (m_window != nullptr)
        m_window->PostRunEnded();
    // A page session stays running for the next request; a script session ends with its thread
    // (OnScriptThreadEnd), once the thread has logged the script's end.
}

bool CDebugger::IsScriptSessionThread() const
{
    return m_scriptThread && m_scriptThread->GetThreadId() == CurrentThreadId();
}
