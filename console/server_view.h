// CServerView: the console's one window content: a row for the web server, one for the secure web
// server and one per background task, each with its state, and the console's server commands.
// While the server runs the rows come from the server (console command GetTask, which waits for
// the server off the window's thread); while it is stopped the console builds the same rows from
// its settings.
#pragma once

#include <string>

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

    // The first display: column widths, the domain name of the address, the rows.
    void OnInitialUpdate();
    // Stores the column widths (when the window closes).
    void SaveColumnWidths();

    bool IsRunning() const { return m_running; }
    // True while a console command waits for the server (see waitingChanged).
    bool IsWaiting() const { return m_commands.Busy(); }
    // Asks the server for its rows (GetTask); they replace the rows when the reply comes, after
    // a message when it could not be had.
    void FetchTaskList(const std::string& address, int port);
    // The address that the console shows for the server: the name found for `address`, else the
    // address itself; the wait dialog is shown meanwhile.
    std::string ResolveDomainName(const std::string& address);

    // The three URLs of the server: by address, by domain name and secure.
    std::string AddressUrl() const;
    std::string NameUrl() const;
    std::string SecureUrl() const;

signals:
    // After every refresh: the server's running state, which enables the commands.
    void runningChanged(bool running);
    // A console command started waiting for the server (true) or every one has been answered.
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

    CConsoleApp& m_app;
    bool m_running = false;
    // A refresh asked for while a command was in flight; it runs when the command is answered.
    bool m_refreshPending = false;
    CCommandRunner m_commands;
};
