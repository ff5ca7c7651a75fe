#include "server/server_app.h"

#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <utility>

#include "database/odbc_setup.h"
#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "language/ssp_app.h"
#include "mail/email_in.h"
#include "mail/email_out.h"
#include "mail/email_sender.h"
#include "mail/mail_store.h"
#include "network/tls_server.h"
#include "platform/file_system.h"
#include "platform/registry_key.h"
#include "platform/service_notify.h"
#include "server/console_commands.h"
#include "server/script_thread.h"
#include "webserver/listener_thread.h"
#include "webserver/request_dispatcher.h"

namespace {

constexpr const char* kStartedByHand =
    "Please use Tarnwick Console to start Tarnwick Server.\nDo not double click on twServer in a file manager "
    "to start it: it runs as a system service (systemd), or with -normalapp as a normal program. ";

const char* YesNo(bool on)
{
    return on ? "yes" : "no";
}

// Connections that wait for their request heads or for a server thread each hold a descriptor:
// the process may open as many as the system's hard limit allows, not the soft default of 1024.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            TheLog().WriteLine("%s when raising the open file limit", GetSystemErrorText(errno).c_str());
    }
}

// The connect string as the driver manager takes it: the console stores it with "ODBC;" in front.
std::string WithoutOdbcPrefix(const std::string& connect)
{
    return EqualsNoCase(std::string_view(connect).substr(0, 5), "ODBC;") ? connect.substr(5) : connect;
}

// A console reply is the connection's last word: a failed send is logged by the socket, and the
// console tells its user that the command got no answer.
void SendConsoleReply(CServerThread& thread, const std::string& reply)
{
    static_cast<void>(thread.GetConnection().Send(reply.data(), static_cast<int>(reply.size())));
}

}  // namespace

CServerApp::CServerApp()
    : m_pool([this] {
          auto dispatcher = std::make_shared<CRequestDispatcher>();
          dispatcher->SetConsoleCommandHook(
              [this](CServerThread& thread, const std::string& method, const std::string& argument) {
                  DispatchConsoleCommand(thread, method, argument);
              });
          return dispatcher;
      }())
{}

CServerApp::~CServerApp() = default;

std::string CServerApp::StopEventPath(const std::string& installDir)
{
    return installDir + "/tmp/" + kStopEventName + ".sock";
}

int CServerApp::Run(const std::vector<std::string>& arguments)
{
    const bool initialized = InitInstance(arguments);
    ExitInstance();
    return initialized && m_started ? 0 : 1;
}

bool CServerApp::InitInstance(const std::vector<std::string>& arguments)
{
    InitUserLocaleDateTime();
    m_installDir = GetProgramDirectory();
    TheLog().SetFileMode(m_installDir + "/webroot");

    const std::string tmpFolder = m_installDir + "/tmp";
    // A folder that cannot be made makes the single-instance lock below fail, which reports it.
    static_cast<void>(CreateDirectoryIfMissing(tmpFolder));
    switch (m_singleInstance.Acquire(tmpFolder, kSingleInstanceName)) {
    case CSingleInstanceLock::kAcquired: break;
    case CSingleInstanceLock::kHeldElsewhere:
        TheLog().WriteLine("A Tarnwick Server 3 is already running.");
        ReportStartFailure("A Tarnwick Server 3 is already running.");
        return false;
    case CSingleInstanceLock::kFailed:
        TheLog().WriteText(CSingleInstanceLock::DescribeFailure(tmpFolder, kSingleInstanceName, errno));
        return false;
    }
    RemoveLeftovers();
    // A peer that goes away while it is sent to must cost a failed send, not the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::string commandLine;
    for (std::size_t i = 1; i < arguments.size(); ++i)
        commandLine += LowerAscii(arguments[i]) + " ";
    if (commandLine.find("-normalapp") != std::string::npos) {
        TheLog().WriteLine("Tarnwick Server starting up...");
        RunNormalApp();
        return true;
    }
    TheLog().WriteLine("Tarnwick Server system service (systemd) starting up...");
    if (!IsRunByServiceManager()) {
        std::fprintf(stderr, "%s\n", kStartedByHand);
        TheLog().WriteText(kStartedByHand);
        return false;
    }
    ServiceMain();
    return true;
}

void CServerApp::RemoveLeftovers()
{
    const int settings = CRegistryKey(GetSettingsFilePath()).RemoveLeftoverFiles();
    const int mail = RemoveMailLeftovers(m_installDir);
    if (settings + mail > 0)
        TheLog().WriteLine("Removed %d temporary file(s) left by an interrupted write.", settings + mail);
}

void CServerApp::ExitInstance()
{
    m_stopEvent.Close();
    m_singleInstance.Release();
    TheLog().WriteLine("Tarnwick Server ended.");
}

void CServerApp::ReportStartFailure(const std::string& reason) const
{
    std::string text = "Tarnwick Server did not start.";
    if (!reason.empty())
        text += " " + reason;
    std::string lines;
    for (char c : text) {
        if (c != '\r')
            lines += c;
    }
    if (lines.back() != '\n')
        lines += '\n';
    std::fputs(lines.c_str(), stderr);
    // The manager's journal keeps standard error, so a status line it missed loses nothing.
    if (IsRunByServiceManager())
        static_cast<void>(NotifyServiceStatus(lines));
}

void CServerApp::RunNormalApp()
{
    // The stop event's path is claimed before the start, so a failure to make it fails the start
    // at once; the event exists for the console only while the services run (see WaitStopEvent),
    // so a server that is still starting, or failing to, is never taken for a running one. A
    // stop signal that comes while the services start is kept and ends the wait at once.
    if (!CreateStopEvent())
        return;
    m_started = StartServers();
    if (m_started)
        WaitStopEvent();
    else
        ReportStartFailure(m_startFailure);
    StopServers();
}

void CServerApp::ServiceMain()
{
    if (!CreateStopEvent())
        return;
    m_started = StartServers();
    if (m_started) {
        if (!NotifyServiceReady())
            TheLog().WriteLine("%s in Report running", GetSystemErrorText(errno).c_str());
        WaitStopEvent();
    } else {
        ReportStartFailure(m_startFailure);
    }
    if (!NotifyServiceStopping())
        TheLog().WriteLine("%s in Report stop pending", GetSystemErrorText(errno).c_str());
    StopServers();
}

bool CServerApp::CreateStopEvent()
{
    if (m_stopEvent.Bind(StopEventPath(m_installDir)))
        return true;
    m_startFailure = "Failed to create twServer3stopEvent\r\n" + GetSystemErrorText(errno);
    TheLog().WriteText(m_startFailure);
    ReportStartFailure(m_startFailure);
    return false;
}

void CServerApp::WaitStopEvent()
{
    if (!m_stopEvent.Listen() || m_stopEvent.Wait() == CStopEvent::kFailed)
        TheLog().WriteLine("Failed waiting on the start-stop event.");
    // The event exists only while the server waits: from now on the console sees no server.
    m_stopEvent.Close();
}

bool CServerApp::StartServers()
{
    // What the log says about a failed start is told on the terminal and to the service manager
    // as well (ReportStartFailure); the lines that describe the configuration are no part of it.
    CServerConfig& config = TheServerConfig();
    TheLog().BeginCapture();
    const bool loaded = config.Load() != 0;
    if (!loaded)
        TheLog().WriteLine("Failed to load settings");
    m_startFailure = TheLog().TakeCapture();
    if (!loaded)
        return false;
    for (const std::string& line : config.GetUnknownSettings())
        TheLog().WriteText(line);
    TheLog().WriteLine("Version=2;Root=%s;SerializeDB=%s;ThreadOwnConn=%s;DsIdleClose=%s", m_installDir.c_str(),
                       YesNo(config.m_dbAccessSerialize), YesNo(config.m_dbConnectionThreadOwn),
                       YesNo(config.m_dbConnectionIdleTimeout > 0));
    TheLog().WriteLine("http://%s:%s; domain name=%s", config.m_generalTcpipAddress.c_str(),
                       config.m_generalTcpipPort.c_str(), config.m_fqdn.c_str());
    if (!config.m_securityCertName.empty())
        TheLog().WriteLine("https://%s:%s; certificate=%s", config.m_generalTcpipAddress.c_str(),
                           config.m_generalSslPort.c_str(), config.m_securityCertName.c_str());
    TheLog().BeginCapture();
    // Attachment IDs carry a tag keyed with the installation's secret, made at the first start.
    config.EnsureFileIdSecret();
    const bool started = StartServices(config);
    m_startFailure = TheLog().TakeCapture();
    return started;
}

bool CServerApp::StartServices(const CServerConfig& config)
{
    const bool secure = !config.m_securityCertName.empty();
    PrepareDatabase();
    // Maps the web root to the configured data source (and keeps the session time-out in range).
    if (!TheSspApp().SetDefaultDataSource()) {
        TheLog().WriteText(CMessageCatalog::Text(kMsgSetUpDatabase));
        return false;
    }
    // Before the first page or task runs: email_in declarations read the mail store.
    RegisterEmailInObjects(config, m_installDir);
    // Likewise email_out declarations and Server.SendMail, which write into the outbox.
    RegisterEmailOutObjects(TheSspApp(), config, m_installDir);

    if (secure &&
        !InitTlsCredentials(config.m_securityCertName, config.m_securityCertIssuer, config.m_securityCertSerial)) {
        TheLog().WriteLine("Failed to initialize SSL.");
        return false;
    }

    RaiseDescriptorLimit();
    auto http = StartListener(config.m_generalTcpipPort, false, "Failed to create web server");
    if (!http)
        return false;
    {
        std::lock_guard lock(m_servicesLock);
        m_httpListener = std::move(http);
    }
    if (secure) {
        auto https = StartListener(config.m_generalSslPort, true, "Failed to create secure web server");
        if (!https)
            return false;
        std::lock_guard lock(m_servicesLock);
        m_httpsListener = std::move(https);
    }

    auto background = std::make_shared<CScriptThread>();
    background->SetIdleSweep(&TheSspApp());
    TheSspApp().Pool().SetIdleLimit(static_cast<size_t>(CServerThreadPool::kMaxThreads));
    background->SetEmailSender(std::make_unique<CEmailSender>(config, m_installDir));
    if (!CScriptThread::StartAndWait(background))
        return false;
    std::lock_guard lock(m_servicesLock);
    m_scriptThread = std::move(background);
    return true;
}

void CServerApp::PrepareDatabase()
{
    // Every connection of the process finds its data sources in the installation's etc folder.
    UseInstallationOdbcIni(m_installDir);
    const CServerConfig& config = TheServerConfig();
    if (!EqualsNoCase(WithoutOdbcPrefix(config.m_dbOdbcConnectString), kDefaultConnectString))
        return;
    // The embedded default database is made on first use; an administrator's files stay as they are.
    std::string error;
    if (!WriteDefaultOdbcIni(m_installDir, error) || !CreateDefaultDatabase(m_installDir, error))
        TheLog().WriteText(error);
}

std::shared_ptr<CListenerThread> CServerApp::StartListener(const std::string& port, bool secure,
                                                           const char* failureText)
{
    const CServerConfig& config = TheServerConfig();
    auto listener = std::make_shared<CListenerThread>(m_pool, config.m_generalTcpipAddress, ParseInt32(port), secure);
    if (!listener->Start()) {
        TheLog().WriteLine("%s", failureText);
        return nullptr;
    }
    if (!listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds)) {
        // It must not begin to accept after it was given up.
        listener->Stop();
        return nullptr;
    }
    return listener;
}

void CServerApp::StopServers()
{
    std::shared_ptr<CScriptThread> background;
    std::shared_ptr<CListenerThread> http;
    std::shared_ptr<CListenerThread> https;
    {
        std::lock_guard lock(m_servicesLock);
        background = std::move(m_scriptThread);
        http = std::move(m_httpListener);
        https = std::move(m_httpsListener);
    }
    // First of all: a page that loops would hold the application lock that the background thread
    // and the other pages wait for, and every wait below would run out.
    m_pool.EndRuns();
    if (background && !CScriptThread::StopAndRelease(background))
        m_abandonedThreads = true;
    StopListener(http, "Failed to wait for listener to terminate.");
    StopListener(https, "Failed to wait for SSL listener to terminate.");
    if (m_pool.StopAll() != 0)
        m_abandonedThreads = true;
    // A thread left running may still use the credentials and the application state.
    if (m_abandonedThreads)
        return;
    FreeTlsCredentials();
    // Applications, server variables and the pooled connections go with the last run.
    TheSspApp().RemoveAll();
}

void CServerApp::StopListener(std::shared_ptr<CListenerThread>& listener, const char* timeoutText)
{
    if (!listener)
        return;
    listener->Stop();
    if (!listener->WaitForExit(kListenerStopWaitMilliseconds)) {
        TheLog().WriteLine("%s", timeoutText);
        m_abandonedThreads = true;
    }
    listener.reset();
}

void CServerApp::DispatchConsoleCommand(CServerThread& thread, const std::string& method, const std::string& argument)
{
    const CTcpSocket& connection = thread.GetConnection();
    if (!IsConsolePeerAllowed(connection.GetPeer(), TheServerConfig().m_tcpipAddress, connection.IsTls()))
        return;
    switch (ParseConsoleCommand(method)) {
    case ConsoleCommand::kGetTask: ConsoleGetTask(thread); break;
    case ConsoleCommand::kGetReq: ConsoleGetReq(thread); break;
    case ConsoleCommand::kRunNow: ConsoleRunNow(thread, argument); break;
    case ConsoleCommand::kDisconnect: ConsoleDisconnect(argument); break;
    case ConsoleCommand::kNone: break;
    }
}

void CServerApp::ConsoleGetTask(CServerThread& thread)
{
    std::shared_ptr<CListenerThread> http;
    std::shared_ptr<CListenerThread> https;
    bool backgroundRuns;
    {
        std::lock_guard lock(m_servicesLock);
        http = m_httpListener;
        https = m_httpsListener;
        backgroundRuns = m_scriptThread && m_scriptThread->IsRunning();
    }
    CServerConfig& config = TheServerConfig();
    const std::string reply =
        FormatServiceLines(config, http.get(), https.get()) + config.FormatTaskLines(backgroundRuns) + "\r\n";
    SendConsoleReply(thread, reply);
}

void CServerApp::ConsoleGetReq(CServerThread& thread)
{
    SendConsoleReply(thread, m_pool.FormatRequestList(&thread));
}

void CServerApp::ConsoleRunNow(CServerThread& thread, const std::string& argument)
{
    std::shared_ptr<CScriptThread> background;
    {
        std::lock_guard lock(m_servicesLock);
        background = m_scriptThread;
    }
    // The reply is one line telling why the task did not run, or nothing when it was posted; a
    // blank line ends it.
    std::string refusal;
    if (!background) {
        refusal = "Script Thread not running";
        TheLog().WriteLine("%s", refusal.c_str());
    } else {
        // The task number travels as the message's first parameter; the thread ignores numbers
        // that name no task, a negative one included.
        const auto taskNumber = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(ParseInt32(argument)));
        refusal = background->WhyTaskWouldNotRun(taskNumber);
        if (refusal.empty() && !background->Post(CScriptThread::kRunTaskMessage, taskNumber, 0)) {
            refusal = "RunNow failed:" + GetSystemErrorText(ESRCH);
            TheLog().WriteLine("%s", refusal.c_str());
        }
    }
    SendConsoleReply(thread, refusal.empty() ? "\r\n" : refusal + "\r\n\r\n");
}

void CServerApp::ConsoleDisconnect(const std::string& argument)
{
    m_pool.DisconnectById(static_cast<pid_t>(ParseInt32(argument)));
}
