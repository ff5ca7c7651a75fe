// CSspApp: the one application state of a process. It holds the server-wide script variables (the
// Server object), the registered applications with their own variables (the App object), the pool
// of data sources with its map from URL path prefix to connect string, and the application lock
// with which whole page runs are serialised. Server threads, the background thread and the
// debugger's threads all call it; TheSspApp() gives the process's instance.
//
// Lock order: the application lock, then the list lock, then the lock of an application entry or
// of a session. The application lock is taken only around whole runs (when "DbAccessSerialize" is
// on); the list lock is the pool's ListLock() and is held for the whole of every operation below,
// except the pool's connects and closes, which never run under it, and a Server member call, which
// holds it only around the server variables (a file copy or a mail must not stall every page);
// an entry's lock is held for a member call on that entry, a session's for a member call on that
// session. A data source's own lock is never taken under the list lock.
#pragma once

#include "database/data_source_pool.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_value.h"
#include "language/idle_data_source_sweep.h"
#include "language/ssp_session.h"
#include "language/ssp_variables.h"
#include "platform/recursive_timed_lock.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CServerConfig;

// One registered application: a URL root and its variables.
class CSspAppEntry
{
public:
    explicit CSspAppEntry(std::string root) : m_root(std::move(root)) {}
    CSspAppEntry(const CSspAppEntry&) = delete;
    CSspAppEntry& operator=(const CSspAppEntry&) = delete;

    // The argument of the App.Init that registered the application, unchanged.
    const std::string& GetRoot() const { return m_root; }
    // The App members that work on a registered application (UseDataSource, SetVar, VarExist, Var,
    // a variable by name), under the entry's lock.
    void Call(class CSspApp& app, CSspCall& call, CSspValue& result);

private:
    const std::string m_root;
    CSspVariables m_variables;  // guarded by m_lock
    std::mutex m_lock;
};

class CSspApp : public CIdleDataSourceSweep
{
public:
    // Queues one outgoing mail (to, subject, content) in the outbox; true when it was queued.
    using MailQueue = std::function<bool(const std::string&, const std::string&, const std::string&)>;

    // config: the settings that the Server object reads and the pool follows. clock: the pool's
    // clock (tests pass a fake one).
    explicit CSspApp(CServerConfig& config, CDataSourcePool::Clock clock = {});
    ~CSspApp() override;
    CSspApp(const CSspApp&) = delete;
    CSspApp& operator=(const CSspApp&) = delete;

    // Held for a whole run or attachment download while "DbAccessSerialize" is on; recursive, as
    // nested runs take it again on the same thread.
    CRecursiveTimedLock& ApplicationLock() { return m_applicationLock; }
    std::recursive_mutex& ListLock() const { return m_pool.ListLock(); }
    // A random number drawn at construction; attachment file IDs carry it, so a restart makes
    // older ones invalid.
    int GetServerInstance() const { return m_serverInstance; }

    // The application whose root is the longest prefix of path without regard to case ("" counts
    // as "/"); null when no root is a prefix. The entry lives until RemoveAll.
    CSspAppEntry* FindApp(std::string_view path) const;
    // Registers path as an application root unless FindApp finds one for it.
    void InitApp(const std::string& path);
    // The App object for a run whose URL folder is path; the Server object. Both throw
    // CSspException at the call's position.
    void AppCall(const std::string& path, CSspCall& call, CSspValue& result);
    void ServerCall(CSspCall& call, CSspValue& result);

    // The session list, in creation order, which is also the order of expiry. NewSession first
    // drops expired sessions, then makes one for the user with the time-out setting and lists it;
    // the caller gets the session. FindSession: the session with exactly that ID, its last access
    // set to now; null when none. RemoveSession and RemoveUserSessions (user IDs compared without
    // regard to case) take sessions off the list; callers that still hold one keep it usable.
    std::shared_ptr<CSspSession> NewSession(std::string_view userId, const std::string& ipAddress,
                                            const std::string& appPath);
    std::shared_ptr<CSspSession> FindSession(std::string_view id);
    void RemoveSession(std::string_view id);
    void RemoveUserSessions(std::string_view userId);
    // Drops sessions from the head of the list while they are expired by the time-out setting.
    void ExpireSessions();
    // One row per session, "user\nIP address\nstart\nlast access\napplication path" with both
    // times in the locale's form, sorted without regard to case (the SessMan object).
    std::vector<std::string> GetSessionRows() const;

    // Forgets every server variable, application, session and data source, and empties the path
    // map.
    void RemoveAll();
    // Clamps "GeneralSessionTimeout" into 0..1440 (else 600), then maps "/" to the setting
    // "DbOdbcConnectString" without its "ODBC;" prefix. False when that setting is too short to
    // hold a connect string. Called at server start and when the debugger starts.
    [[nodiscard]] bool SetDefaultDataSource();

    // Server.AppInfo: every application's root followed by "; ".
    std::string AppInfo() const;
    // Server.DataSourceInfo: one line per pooled data source: its prefixes each followed by ";",
    // a tab, the connect string, a tab, the last use in the locale's form, a tab, "open" or
    // "closed", CR LF.
    std::string DataSourceInfo() const;
    // Server.CopyFile(source, destination), both below the web root; true when copied (overwriting).
    [[nodiscard]] bool CopyFile(const CSspCall& call);
    // Server.SendMail(to, subject, content); true when the mail was queued.
    [[nodiscard]] bool SendMail(const CSspCall& call);
    // Server.SetVar: the scripts of tasks 2 to 5 by their member names, else a server variable.
    void SetServerVar(const std::string& name, const CSspValue& value, int position);

    // The outbox writer of the mail layer; until one is installed, SendMail raises an error.
    void SetMailQueue(MailQueue queue);

    // The pool (see CDataSourcePool). GetDataSource follows the setting "DbConnectionThreadOwn".
    void SetDataSourceForPath(const std::string& connect, const std::string& path);
    CDataSourceLease GetDataSource(const std::string& path);
    // The hourly sweep; failures to close are logged.
    void CloseIdleDataSources() override;
    void CloseIdlePrivateDataSources() override;
    CDataSourcePool& Pool() { return m_pool; }

private:
    // The Server members that read settings and tasks; false when member is none of them.
    bool CallSettingsMember(const CSspCall& call, CSspValue& result) const;
    bool CallTaskMember(const CSspCall& call, CSspValue& result) const;
    void RequireTasks(size_t count, int position) const;

    CServerConfig& m_config;
    CRecursiveTimedLock m_applicationLock;
    int m_serverInstance = 0;
    // The pool's list lock guards everything below as well.
    CDataSourcePool m_pool;
    CSspVariables m_serverVariables;
    std::vector<std::unique_ptr<CSspAppEntry>> m_applications;
    // Sessions in creation order, and the same sessions by ID for the lookup of every request.
    std::deque<std::shared_ptr<CSspSession>> m_sessions;
    std::unordered_map<std::string, std::shared_ptr<CSspSession>> m_sessionsById;
    CSspSession::Clock m_clock;  // the pool's, for the sessions' times
    MailQueue m_mailQueue;
};

// The process's application state over TheServerConfig(), built on first use.
CSspApp& TheSspApp();
