#include "server/script_thread.h"

#include "foundation/log.h"
#include "foundation/server_config.h"
#include "foundation/task_entry.h"
#include "language/ssp_engine.h"
#include "mail/admin_mail.h"
#include "platform/file_system.h"
#include "webserver/ssp_request.h"
#include "webserver/ssp_response.h"

#include <exception>
#include <utility>

CScriptThread::CScriptThread(CServerConfig& config, std::string installDir)
    : m_config(config), m_installDir(std::move(installDir)), m_clock([] { return std::time(nullptr); })
{}

CScriptThread::CScriptThread() : CScriptThread(TheServerConfig(), GetProgramDirectory())
{}

CScriptThread::~CScriptThread() = default;

void CScriptThread::SetScriptPath(std::string path)
{
    m_scriptPath = std::move(path);
}

void CScriptThread::SetTickPeriod(std::chrono::milliseconds period)
{
    m_tickPeriod = period;
}

void CScriptThread::SetClock(Clock clock)
{
    m_clock = std::move(clock);
}

void CScriptThread::SetIdleSweep(CIdleDataSourceSweep* sweep)
{
    m_idleSweep = sweep;
}

void CScriptThread::SetEmailSender(std::unique_ptr<CEmailSenderTask> sender)
{
    m_emailSender = std::move(sender);
}

bool CScriptThread::IsRunning() const
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_running;
}

bool CScriptThread::WaitUntilRunning(int milliseconds)
{
    std::unique_lock<std::mutex> lock(m_stateLock);
    m_stateChanged.wait_for(lock, std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds),
                            [this] { return m_running || m_finished; });
    return m_running;
}

void CScriptThread::SetRunning(bool running, bool finished)
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_running = running;
    m_finished = finished;
    m_stateChanged.notify_all();
}

bool CScriptThread::VisitCurrentEngine(const std::function<void(const CSspEngine&)>& visit) const
{
    return m_currentEngine.Visit(visit);
}

bool CScriptThread::LogHangPosition() const
{
    return VisitCurrentEngine([](const CSspEngine& engine) { engine.LogHangPosition(); });
}

bool CScriptThread::StartAndWait(std::shared_ptr<CScriptThread>& thread)
{
    if (!thread->Start()) {
        TheLog().WriteLine("Failed to create background thread. ");
        thread.reset();
        return false;
    }
    if (!thread->WaitUntilRunning(kStartWaitMilliseconds)) {
        // Released without a quit, a thread that becomes ready late would go on running tasks
        // that nobody can stop any more.
        thread->PostQuit();
        thread.reset();
        return false;
    }
    return true;
}

bool CScriptThread::StopAndRelease(std::shared_ptr<CScriptThread>& thread, int waitMilliseconds)
{
    if (!thread)
        return true;
    thread->PostQuit();
    const bool ended = thread->WaitForExit(waitMilliseconds);
    if (!ended) {
        TheLog().WriteLine("Background thread failed to terminate.");
        try {
            thread->LogHangPosition();
        } catch (...) {
            TheLog().WriteLine("Failed to dump debug information.");
        }
    }
    thread.reset();
    return ended;
}

void CScriptThread::ResolveScriptPath(std::string& path, std::string_view installDir)
{
    path = ResolveTaskScript(path, installDir);
}

std::string CScriptThread::ResolveWebrootPath(std::string_view path, std::string_view installDir)
{
    // File names are case-sensitive here, so the web root is matched exactly.
    std::string webroot(installDir);
    webroot += "/webroot/";
    std::string url;
    if (path.starts_with(webroot)) {
        url = "/";
        url += path.substr(webroot.size());
    } else {
        if (!path.starts_with('/'))
            url = "/";
        url += path;
    }
    for (char& c : url) {
        if (c == '\\')
            c = '/';
    }
    return url;
}

std::string CScriptThread::OutputFilePath() const
{
    return m_installDir + "/tmp/dyn" + std::to_string(GetThreadId()) + ".html";
}

bool CScriptThread::InitInstance()
{
    if (m_scriptPath.empty()) {
        SetTimer(m_tickPeriod, kSchedulerTickMessage);
        m_timerSet = true;
        SetRunning(true, false);
        return true;
    }
    try {
        RunOneScript();
    } catch (const std::exception& e) {
        TheLog().WriteText(e.what());
    } catch (...) {
        TheLog().WriteLine("Unknown server error.");
    }
    return false;
}

void CScriptThread::RunOneScript()
{
    std::string path = m_scriptPath;
    ResolveScriptPath(path, m_installDir);
    TheLog().WriteText(path + " started running.");
    SetRunning(true, false);
    std::string errorText;
    if (RunScript(path, errorText) == kRunFailed)
        TheLog().WriteText(errorText);
    TheLog().WriteText(path + " ended.");
}

int CScriptThread::ExitInstance(int quitCode)
{
    if (m_timerSet) {
        KillTimer();
        m_timerSet = false;
    }
    SetRunning(false, true);
    return quitCode;
}

void CScriptThread::OnMessage(const CThreadMessage& message)
{
    // An exception that left a handler would end the whole program; log it and go on with the
    // next message instead.
    try {
        if (message.message == kRunTaskMessage)
            OnRunTask(message.wParam);
        else if (message.message == kSchedulerTickMessage)
            OnSchedulerTick();
    } catch (const std::exception& e) {
        TheLog().WriteText(e.what());
    } catch (...) {
        TheLog().WriteLine("Unknown server error.");
    }
}

void CScriptThread::OnSchedulerTick()
{
    const std::time_t now = m_clock();
    for (std::size_t index = m_config.GetTaskCount(); index-- > 0;) {
        if (TakeDueTask(index, now))
            OnRunTask(index + kFirstTaskNumber);
    }
    if (IdleSweepDue(now))
        m_idleSweep->CloseIdleDataSources();
    // Every tick, so a private connection goes soon after its idle limit, however short.
    if (m_idleSweep != nullptr)
        m_idleSweep->CloseIdlePrivateDataSources();
}

bool CScriptThread::TakeDueTask(std::size_t index, std::time_t now)
{
    std::lock_guard<std::recursive_mutex> guard(m_config.GetTaskLock());
    CTaskEntry* task = m_config.GetTask(index);
    if (task == nullptr || !task->IsEnabled() || task->GetNextRun() > now)
        return false;
    // From the time of the run, not from the missed due time: a task that missed several periods
    // runs once and is then due one period later.
    task->ComputeNextRun(m_clock());
    return true;
}

bool CScriptThread::IdleSweepDue(std::time_t tickTime) const
{
    if (m_idleSweep == nullptr || m_config.m_dbConnectionThreadOwn != 0 || m_config.m_dbConnectionIdleTimeout <= 0)
        return false;
    // The minute of the tick's own time: a tick that a long task delayed past minute 0 skips
    // that hour's sweep rather than sweeping late.
    std::tm local{};
    localtime_r(&tickTime, &local);
    return local.tm_min == 0;
}

bool CScriptThread::CopyEnabledTask(std::uintptr_t taskNumber, std::string& name, std::string& script) const
{
    if (taskNumber < static_cast<std::uintptr_t>(kFirstTaskNumber))
        return false;
    std::lock_guard<std::recursive_mutex> guard(m_config.GetTaskLock());
    CTaskEntry* task = m_config.GetTask(taskNumber - kFirstTaskNumber);
    if (task == nullptr || !task->IsEnabled())
        return false;
    name = task->GetName();
    script = task->GetScript();
    return true;
}

std::string CScriptThread::WhyTaskWouldNotRun(std::uintptr_t taskNumber) const
{
    std::string name;
    std::string script;
    if (!CopyEnabledTask(taskNumber, name, script))
        return "No enabled task has the number " + std::to_string(taskNumber) + ".";
    if (IsEmailSenderTask(taskNumber - kFirstTaskNumber))
        return {};
    ResolveScriptPath(script, m_installDir);
    if (!FileExists(script))
        return "The script " + script + " of " + name + " does not exist.";
    return {};
}

void CScriptThread::OnRunTask(std::uintptr_t taskNumber)
{
    std::string name;
    std::string script;
    if (!CopyEnabledTask(taskNumber, name, script))
        return;
    if (IsEmailSenderTask(taskNumber - kFirstTaskNumber)) {
        RunEmailSender();
        return;
    }
    ResolveScriptPath(script, m_installDir);
    TheLog().WriteLine("%s (%s) started running.", name.c_str(), script.c_str());
    std::string errorText;
    if (RunScript(script, errorText) == kRunFailed) {
        TheLog().WriteText(errorText);
        QueueAdminMail(m_config, m_installDir, name + " error", errorText);
    }
    TheLog().WriteText(name + " ended.");
}

void CScriptThread::RunEmailSender()
{
    if (m_emailSender)
        m_emailSender->RunEmailSender();
    else
        TheLog().WriteLine("Email Sender is not available.");
}

int CScriptThread::RunScript(const std::string& path, std::string& errorText)
{
    const std::string urlPath = ResolveWebrootPath(path, m_installDir);
    // A request without connection, so that the script can still use the Request object.
    CSspRequest request(nullptr);
    // A response without connection: the script's output and its Response members work as on a
    // page, and what it wrote is dropped when the run ends.
    CSspResponse output(nullptr);
    output.SetOutputPath(OutputFilePath());
    // On the heap, so that a reader who outlived the run would be caught by the sanitizer build
    // rather than read a reused stack frame.
    auto engine = std::make_unique<CSspEngine>();
    int result;
    {
        CCurrentEngine::Scope current(m_currentEngine, *engine);
        CSspRunArgs args{.filePath = path, .urlPath = urlPath, .request = &request, .response = &output};
        result = engine->Run(args);
    }
    if (result == kRunFailed)
        errorText = engine->ErrorText();
    return result;
}
