// CConsoleApp: twConsole's application object without its windows: the stored settings, the
// service mode, the start, stop and running test of the server, and the three command-line
// actions ("-start", "-stop", "-compact") that run without a display and end with an exit code.
// The windows (main_frame.h, server_view.h and the dialogs) build on it.
//
// Everything here runs on the calling thread; the waits for the server's start and stop block
// it. The windows call them off their own thread (CBackgroundJob), with a flag that cuts the
// waits short; nothing here touches a window.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class CConsoleConfig;

class CConsoleApp
{
public:
    static constexpr const char* kTitle = "Tarnwick Console";
    static constexpr const char* kServiceName = "TarnwickServer3";
    static constexpr const char* kServerProgram = "twServer";
    static constexpr const char* kNormalAppSwitch = "-NormalApp";
    static constexpr const char* kStopEventName = "twServer3stopEvent";
    static constexpr const char* kSingleInstanceName = "twConsole3EnsureSingle";
    // How often and how long the server is polled after a start or a stop.
    static constexpr int kServerPolls = 10;

    enum ExitCode
    {
        kExitOk = 0,
        kExitSockets = 1,
        kExitSettings = 2,
        kExitStartFailed = 3,
        kExitStopFailed = 4,
        kExitCompactFailed = 5,
        kExitServerRunning = 6,
    };
    enum class Action
    {
        kNone,
        kStart,
        kStop,
        kCompact
    };

    CConsoleApp(CConsoleConfig& config, std::string installDir);
    CConsoleApp();

    // The action that argument 1 names (compared in lower case); kNone for anything else.
    static Action ParseAction(const std::vector<std::string>& arguments);
    // True when argument 1 is a switch that is neither an action nor an option of the window
    // system: the program then shows its usage instead of opening its window.
    static bool IsUnknownSwitch(const std::vector<std::string>& arguments);
    // False when the window could not open: no display is named in the environment and no
    // window-system platform is chosen.
    static bool HasDisplay(const std::vector<std::string>& arguments);
    // How the command line is used.
    static constexpr const char* kUsage =
        "Usage: twConsole [-start | -stop | -compact [database file [destination file]]]\n"
        "  -start     start Tarnwick Server\n"
        "  -stop      stop Tarnwick Server\n"
        "  -compact   compact the SQLite database file (the configured one unless named) into itself or the\n"
        "             destination; Tarnwick Server must be stopped\n"
        "Without an argument twConsole opens its window.\n";

    // Loads the settings and sets the service mode from whether the service exists. False when
    // the settings can't be loaded.
    [[nodiscard]] bool LoadSettings();
    // One command-line action (after LoadSettings): the exit code; `message` says why it failed.
    [[nodiscard]] int RunAction(Action action, const std::vector<std::string>& arguments, std::string& message);
    // The whole command-line run: start-up, the action, the exit code; a failure's reason goes to
    // standard error.
    int RunCommandLine(const std::vector<std::string>& arguments);

    bool IsServerRunning();
    // True when the server runs afterwards; otherwise `message` says why: a server that ended at
    // once is told of as soon as it has ended, with what it wrote to its log. The wait ends early
    // when `cancelled` becomes true.
    [[nodiscard]] bool StartServer(std::string& message, const std::atomic<bool>* cancelled = nullptr);
    // True when the server no longer runs afterwards; otherwise `message` says why.
    [[nodiscard]] bool StopServer(std::string& message, const std::atomic<bool>* cancelled = nullptr);
    // Starts "<program folder>/twServer -NormalApp" detached; false with `message` on failure.
    // `launched`, when given, receives its process id.
    [[nodiscard]] bool LaunchServerProcess(std::string& message, pid_t* launched = nullptr);
    // The process of the server that runs as a normal program (the one that holds its stop
    // event), for ending one that does not stop; 0 in service mode or when none runs.
    pid_t ServerProcess() const;
    // Ends the server's process `pid` at once (SIGKILL: also one that is stopped or hangs) and
    // waits until the server no longer runs: true then, else `message` says why.
    [[nodiscard]] bool EndServerProcess(pid_t pid, std::string& message, const std::atomic<bool>* cancelled = nullptr);

    // 1 while the server is installed as a service (it is then started and stopped as one).
    int GetServiceMode() const { return m_serviceMode; }
    // The words that name the service mode in the start and stop texts, nothing in the normal
    // mode; the texts put them after "Server" (blank first) or before the next word (blank last).
    std::string ServiceModeWords(bool blankFirst) const;
    void SetServiceMode(int mode) { m_serviceMode = mode; }

    CConsoleConfig& Config() { return m_config; }
    const std::string& InstallDir() const { return m_installDir; }
    std::string StopEventPath() const;
    // "<program folder>/twServer", unless SetServerProgramPath named another program.
    std::string ServerProgramPath() const;
    void SetServerProgramPath(std::string path) { m_serverProgram = std::move(path); }

    // The pause between two polls of the server (one second): the waits last kServerPolls of
    // them, looking every 100 ms at most.
    void SetPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }
    std::chrono::milliseconds PollInterval() const { return m_pollInterval; }

    // The reverse lookup that proposes the server's domain name (ResolveHostName); a test gives
    // one whose name service does not answer. A window runs it off its own thread, on a copy.
    using HostNameLookup = std::function<std::string(const std::string& address)>;
    const HostNameLookup& GetHostNameLookup() const { return m_hostNameLookup; }
    void SetHostNameLookup(HostNameLookup lookup) { m_hostNameLookup = std::move(lookup); }

    // How long the server may take to answer a console command (kCommandTimeoutSeconds).
    void SetCommandTimeout(int seconds) { m_commandTimeout = seconds; }
    int CommandTimeout() const { return m_commandTimeout; }

private:
    enum class WaitEnd
    {
        kReached,
        kTimedOut,
        kProcessEnded,
        kCancelled
    };
    // Waits until the server's running state is `running`; a start also ends when the process
    // `launched` (0: none to watch) has ended.
    WaitEnd WaitForServer(bool running, pid_t launched, const std::atomic<bool>* cancelled);

    CConsoleConfig& m_config;
    std::string m_installDir;
    int m_serviceMode = 0;
    std::string m_serverProgram;
    std::chrono::milliseconds m_pollInterval{1000};
    int m_commandTimeout;
    HostNameLookup m_hostNameLookup;
};
