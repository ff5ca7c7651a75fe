// CServerApp: the twServer program. It keeps one server per installation, starts the engine's
// services (the HTTP listener, the HTTPS listener when a certificate is configured and the
// background thread), runs until its stop event is set and stops them again. With "-normalapp"
// it runs as a normal program; otherwise it runs as a service of the service manager
// (Type=notify), and started by hand it says so and ends. It also answers the console's commands
// that arrive over its HTTP port.
//
// Threads: the main thread starts, waits and stops; server threads answer console commands and
// read the services under m_servicesLock, which StopServers takes only to hand them over.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/named_objects.h"
#include "webserver/server_thread.h"

class CListenerThread;
class CServerConfig;
class CScriptThread;

class CServerApp
{
public:
    static constexpr const char* kServiceName = "TarnwickServer3";
    static constexpr const char* kSingleInstanceName = "twServer3EnsureSingle";
    static constexpr const char* kStopEventName = "twServer3stopEvent";
    // How long a stopping listener is waited for.
    static constexpr int kListenerStopWaitMilliseconds = 30000;

    CServerApp();
    ~CServerApp();
    CServerApp(const CServerApp&) = delete;
    CServerApp& operator=(const CServerApp&) = delete;

    // The whole program: start-up, the run in the mode the command line asks for, stop and exit.
    // Returns the process's exit status: 0 after a run that started and stopped, 1 when it did
    // not start (another server runs, not started as a service, a start that failed).
    [[nodiscard]] int Run(const std::vector<std::string>& arguments);

    // True when a thread did not end within its wait at the stop. It may still touch the
    // program's state, so the caller must end the process without destroying anything (_exit).
    bool HasAbandonedThreads() const { return m_abandonedThreads; }

    // "<install>/tmp/twServer3stopEvent.sock" of an installation: the console and tests set it.
    static std::string StopEventPath(const std::string& installDir);

    // Starts the services: true when the background thread runs. A false leaves what started for
    // StopServers, and m_startFailure what the log said about why.
    [[nodiscard]] bool StartServers();
    // Stops whatever runs, each with its bounded wait; logs what did not end.
    void StopServers();

    // Answers one console command on `thread`'s connection (the dispatcher's console hook).
    void DispatchConsoleCommand(CServerThread& thread, const std::string& method, const std::string& argument);

private:
    [[nodiscard]] bool InitInstance(const std::vector<std::string>& arguments);
    // The temporary files of a server or console killed while writing settings or mail; done
    // once this is the only server of the installation.
    void RemoveLeftovers();
    void ExitInstance();
    // Normal program: start, wait for the stop event, stop.
    void RunNormalApp();
    // Under the service manager: the same, reporting ready and stopping.
    void ServiceMain();
    // The services after the settings are loaded: database, TLS, listeners, background thread.
    [[nodiscard]] bool StartServices(const CServerConfig& config);
    // Tells why the program did not start on stderr and, under the service manager, in its status.
    void ReportStartFailure(const std::string& reason) const;
    [[nodiscard]] bool CreateStopEvent();
    void WaitStopEvent();
    // A started listener that runs, or null after logging `failureText` when it could not be created.
    std::shared_ptr<CListenerThread> StartListener(const std::string& port, bool secure, const char* failureText);
    void StopListener(std::shared_ptr<CListenerThread>& listener, const char* timeoutText);
    void PrepareDatabase();

    void ConsoleGetTask(CServerThread& thread);
    void ConsoleGetReq(CServerThread& thread);
    void ConsoleRunNow(CServerThread& thread, const std::string& argument);
    void ConsoleDisconnect(const std::string& argument);

    std::string m_installDir;
    CSingleInstanceLock m_singleInstance;
    CStopEvent m_stopEvent;
    bool m_started = false;
    std::string m_startFailure;
    bool m_abandonedThreads = false;

    // The pool outlives every listener that hands connections to it.
    CServerThreadPool m_pool;

    // m_servicesLock guards the three pointers below: the main thread replaces them, server
    // threads answering the console copy them.
    std::mutex m_servicesLock;
    std::shared_ptr<CListenerThread> m_httpListener;
    std::shared_ptr<CListenerThread> m_httpsListener;
    std::shared_ptr<CScriptThread> m_scriptThread;
};
