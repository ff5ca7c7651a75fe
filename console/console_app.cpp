#include "console/console_app.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "console/command_client.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/database_setup.h"
#include "console/host_lookup.h"
#include "console/odbc_admin.h"
#include "console/process_runner.h"
#include "console/server_log_mark.h"
#include "console/service_control.h"
#include "database/odbc_setup.h"
#include "foundation/ascii_text.h"
#include "foundation/ssp_date_time.h"
#include "platform/file_system.h"
#include "platform/named_objects.h"

CConsoleApp::CConsoleApp(CConsoleConfig& config, std::string installDir)
    : m_config(config), m_installDir(std::move(installDir)), m_commandTimeout(kCommandTimeoutSeconds),
      m_hostNameLookup(ResolveHostName)
{}

CConsoleApp::CConsoleApp() : CConsoleApp(TheConsoleConfig(), GetProgramDirectory())
{}

CConsoleApp::Action CConsoleApp::ParseAction(const std::vector<std::string>& arguments)
{
    const std::string first = arguments.size() > 1 ? LowerAscii(arguments[1]) : "";
    if (first == "-start")
        return Action::kStart;
    if (first == "-stop")
        return Action::kStop;
    if (first == "-compact")
        return Action::kCompact;
    return Action::kNone;
}

std::string CConsoleApp::StopEventPath() const
{
    return m_installDir + "/tmp/" + kStopEventName + ".sock";
}

std::string CConsoleApp::ServerProgramPath() const
{
    // The programs of an installation lie side by side: the server is found next to the console.
    return m_serverProgram.empty() ? GetProgramFolder() + "/" + kServerProgram : m_serverProgram;
}

bool CConsoleApp::LoadSettings()
{
    // Data sources are those of the installation, as for the server.
    UseInstallationOdbcIni(m_installDir);
    if (!m_config.Load())
        return false;
    CServiceControl manager;
    m_serviceMode = manager.Exists(kServiceName) ? 1 : 0;
    return true;
}

int CConsoleApp::RunCommandLine(const std::vector<std::string>& arguments)
{
    InitUserLocaleDateTime();
    const Action action = ParseAction(arguments);
    if (!LoadSettings()) {
        std::fprintf(stderr, "Failed to load settings.\n");
        return kExitSettings;
    }
    std::string message;
    const int code = RunAction(action, arguments, message);
    if (code != kExitOk && !message.empty())
        std::fprintf(stderr, "%s\n", message.c_str());
    return code;
}

int CConsoleApp::RunAction(Action action, const std::vector<std::string>& arguments, std::string& message)
{
    message.clear();
    switch (action) {
    case Action::kNone: return kExitOk;
    case Action::kStart: return StartServer(message) ? kExitOk : kExitStartFailed;
    case Action::kStop: return StopServer(message) ? kExitOk : kExitStopFailed;
    case Action::kCompact: {
        if (IsServerRunning()) {
            message = CConsoleMessages::StopBeforeCompact;
            return kExitServerRunning;
        }
        std::string source = DatabaseFileOf(m_installDir, m_config.m_dbOdbcConnectString);
        if (arguments.size() > 2)
            source = arguments[2];
        const std::string destination = arguments.size() > 3 ? arguments[3] : source;
        return CompactDatabaseFile(source, destination, &message) ? kExitOk : kExitCompactFailed;
    }
    }
    return kExitOk;
}

bool CConsoleApp::IsUnknownSwitch(const std::vector<std::string>& arguments)
{
    if (arguments.size() < 2 || arguments[1].empty() || arguments[1][0] != '-' ||
        ParseAction(arguments) != Action::kNone)
        return false;
    // The window system's own options (Qt takes them with one dash or two) reach the window.
    static const char* const kWindowOptions[] = {
        "platform",    "platformpluginpath", "platformtheme", "plugin",  "qmljsdebugger", "qwindowgeometry",
        "qwindowicon", "qwindowtitle",       "reverse",       "session", "display",       "geometry",
        "style",       "stylesheet",         "widgetcount",   "nograb",  "dograb",        "sync"};
    std::string option = LowerAscii(arguments[1]).substr(1);
    if (option.rfind('-', 0) == 0)
        option.erase(0, 1);
    option = option.substr(0, option.find('='));
    for (const char* known : kWindowOptions)
        if (option == known)
            return false;
    return true;
}

bool CConsoleApp::HasDisplay(const std::vector<std::string>& arguments)
{
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return true;
    }
    for (const std::string& argument : arguments)
        if (argument == "-platform" || argument == "--platform" || argument.rfind("-platform=", 0) == 0 ||
            argument.rfind("--platform=", 0) == 0)
            return true;
    return false;
}

bool CConsoleApp::IsServerRunning()
{
    if (m_serviceMode) {
        CServiceControl manager;
        return manager.IsRunning(kServiceName);
    }
    // The server's stop event exists exactly while a server of this installation runs.
    return CStopEvent::Exists(StopEventPath());
}

CConsoleApp::WaitEnd CConsoleApp::WaitForServer(bool running, pid_t launched, const std::atomic<bool>* cancelled)
{
    using Clock = std::chrono::steady_clock;
    // The state is looked at often, so that a server that started or ended is seen at once; the
    // wait as a whole lasts as long as kServerPolls polls.
    const auto step = std::min<std::chrono::milliseconds>(m_pollInterval, std::chrono::milliseconds(100));
    const auto end = Clock::now() + kServerPolls * m_pollInterval;
    for (;;) {
        if (IsServerRunning() == running)
            return WaitEnd::kReached;
        if (launched != 0 && HasProcessEnded(launched))
            return WaitEnd::kProcessEnded;
        if (cancelled && *cancelled)
            return WaitEnd::kCancelled;
        if (Clock::now() >= end)
            return WaitEnd::kTimedOut;
        std::this_thread::sleep_for(step);
    }
}

bool CConsoleApp::StartServer(std::string& message, const std::atomic<bool>* cancelled)
{
    message.clear();
    if (IsServerRunning())
        return true;
    const std::string mode = ServiceModeWords(false);
    std::string detail;
    bool started;
    pid_t launched = 0;
    const CServerLogMark log(m_installDir + "/webroot");
    if (m_serviceMode) {
        CServiceControl manager;
        started = manager.StartByName(kServiceName);
        detail = manager.GetErrorText();
    } else {
        started = LaunchServerProcess(detail, &launched);
    }
    if (!started) {
        message = FormatText(CConsoleMessages::StartFailed, mode.c_str(), kServerProgram, detail.c_str());
        return false;
    }
    switch (WaitForServer(true, launched, cancelled)) {
    case WaitEnd::kReached: return true;
    case WaitEnd::kProcessEnded: message = CConsoleMessages::StartEnded; break;
    case WaitEnd::kTimedOut: message = FormatText(CConsoleMessages::StartTimedOut, mode.c_str()); break;
    case WaitEnd::kCancelled: message = CConsoleMessages::StartNotAwaited; return false;
    }
    // The server tells why in its log; the administrator need not go and look.
    const std::string reason = log.TextSince();
    if (!reason.empty())
        message += "\n\nThe server's log says:\n" + reason;
    return false;
}

std::string CConsoleApp::ServiceModeWords(bool blankFirst) const
{
    if (!m_serviceMode)
        return {};
    const std::string words = CConsoleMessages::ServiceWords;
    return blankFirst ? " " + words : words + " ";
}

bool CConsoleApp::LaunchServerProcess(std::string& message, pid_t* launched)
{
    if (LaunchDetached({ServerProgramPath(), kNormalAppSwitch}, launched))
        return true;
    message = "Failed to launch " + std::string(kServerProgram) + ":\n" + GetSystemErrorText(errno);
    return false;
}

bool CConsoleApp::StopServer(std::string& message, const std::atomic<bool>* cancelled)
{
    message.clear();
    if (!IsServerRunning())
        return true;
    const std::string mode = ServiceModeWords(true);
    std::string detail;
    if (m_serviceMode) {
        CServiceControl manager;
        if (!manager.StopByName(kServiceName)) {
            message = FormatText(CConsoleMessages::StopFailed, mode.c_str(), manager.GetErrorText().c_str());
            return false;
        }
    } else {
        // An event that has gone meanwhile is no failure: the server is stopping already, and the
        // wait below tells whether it stopped.
        static_cast<void>(CStopEvent::Set(StopEventPath()));
    }
    if (WaitForServer(false, 0, cancelled) != WaitEnd::kReached) {
        message = FormatText(CConsoleMessages::StopFailed, mode.c_str(), detail.c_str());
        return false;
    }
    return true;
}

pid_t CConsoleApp::ServerProcess() const
{
    return m_serviceMode ? 0 : CStopEvent::OwnerProcess(StopEventPath());
}

bool CConsoleApp::EndServerProcess(pid_t pid, std::string& message, const std::atomic<bool>* cancelled)
{
    message.clear();
    if (kill(pid, SIGKILL) != 0 && errno != ESRCH) {
        message = FormatText(CConsoleMessages::EndFailed, static_cast<int>(pid), GetSystemErrorText(errno).c_str());
        return false;
    }
    if (WaitForServer(false, 0, cancelled) != WaitEnd::kReached) {
        message = FormatText(CConsoleMessages::EndFailed, static_cast<int>(pid), "It still runs.");
        return false;
    }
    return true;
}
