// CServerView: the console's one window content: a row for the web server, one for the secure web
// server and one per background task, each with its state, and the console's server commands.
// While the server runs the rows come from the server (console command GetTask); while it is
// stopped the console builds the same rows from its settings. Every wait (a console command, the
// start or stop of the server, the lookup of the domain name) runs off the window's thread; the
// view tells of it (waitingChanged, WaitingText) and keeps its rows meanwhile.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <QTimer>

#include "console/background_job.h"
#include "console/command_runner.h"
#include "console/report_list.h"

class CConsoleApp;

// The page that Browse opens: links to the server by address and by name, and to the secure site
// when `secureUrl` is not empty.
std::string BuildConnectPage(const std::string& addressUrl, const std::string& nameUrl, const std::string& secureUrl);

// What Browse says when no browser opens: the addresses to type in, the name's only when it
// differs from the address.
std::string BrowseFailedText(const std::string& addressUrl, const std::string& nameUrl);

class CServerView : public CListViewEx
{
    Q_OBJECT
public:
    // Column captions, profile keys and the sample texts whose widths serve when no valid width
    // is stored.
    static constexpr const char* kColumnKeys[4] = {"Number", "Name", "Status", "Time"};

    explicit CServerView(CConsoleApp& app, QWidget* parent = nullptr);
    // Waits a moment for a start or stop in flight to give up: its work uses the application
    // object, which may go soon after the window.
    ~CServerView() override;

    // The first display: column widths, the domain name of the address, the rows.
    void OnInitialUpdate();
    // Stores the column widths (when the window closes).
    void SaveColumnWidths();

    bool IsRunning() const { return m_running; }
    // True while the view waits: for a console command, a start or stop, or a name lookup (see
    // waitingChanged).
    bool IsWaiting() const { return m_commands.Busy() || m_control.Busy() || m_lookup.Busy(); }
    // True while the server is being started or stopped.
    bool IsControlling() const { return m_control.Busy(); }
    // What the view waits for, for the status bar; empty when it waits for nothing.
    std::string WaitingText() const;
    // Asks the server for its rows (GetTask); they replace the rows when the reply comes. A
    // server that can't be reached or does not answer leaves the rows as they were, with a note
    // in the web server's row.
    void FetchTaskList(const std::string& address, int port);
    // Looks up the domain name of `address` off the window's thread; when it differs from the
    // stored one it is stored, the rows are shown again, and a name with "_" is warned about.
    void ResolveDomainName(const std::string& address);

    // The three URLs of the server: by address, by domain name and secure.
    std::string AddressUrl() const;
    std::string NameUrl() const;
    std::string SecureUrl() const;

signals:
    // After every refresh: the server's running state, which enables the commands.
    void runningChanged(bool running);
    // The view started waiting or its wait went on (true), or it waits for nothing any more.
    void waitingChanged(bool waiting);

public slots:
    void Refresh();
    void OnStart();
    void OnStop();
    void OnBrowse();
    void OnViewLogFiles();
    void OnRunNow();
    void OnRequests();
    void OnSettings();
    void OnCreateDataSource();
    void ConfirmBrowse();

private:
    void LoadColumnWidths();
    void ShowUnderscoreWarning();
    void ShowRows(const std::string& text);
    void ShowTaskList(const CCommandReply& reply);
    void AddRows(const std::string& text);
    // The rows of a stopped server, from the settings; `webServerState` for the first one.
    std::string LocalRows(const char* webServerState) const;
    // Keeps the rows shown (those of a stopped server when there are none) and puts `note` into
    // the web server's state.
    void KeepRowsWithNote(const char* note);
    // Runs a start (`starting`) or stop step (`work`, on the application object, which outlives
    // every window) off the window's thread, showing its progress meanwhile; `done` gets the
    // step's success and message.
    using ControlWork = std::function<bool(CConsoleApp&, std::string&, const CBackgroundJob::Cancelled&)>;
    void RunControl(bool starting, ControlWork work, std::function<void(bool, const std::string&)> done);
    // After a stop that the server did not follow: offers to end its process, else tells why.
    void OfferToEndServer(const std::string& failure);
    void ShowRunNowReply(const std::string& name, const CCommandReply& reply);
    void OnWaitingChanged();

    CConsoleApp& m_app;
    bool m_running = false;
    // A refresh asked for while a command was in flight; it runs when the command is answered.
    bool m_refreshPending = false;
    CCommandRunner m_commands;
    CBackgroundJob m_control;
    CBackgroundJob m_lookup;
    // The settings sheet was asked for while the domain name was looked up: it opens after the
    // lookup, so that it does not work on a copy that the lookup's result makes stale.
    bool m_settingsPending = false;
    // The start or stop in flight and when it began; the timer shows the seconds go by.
    bool m_starting = false;
    std::chrono::steady_clock::time_point m_controlStart;
    QTimer m_progressTimer;
};
