// CRequestsDlg: "Current HTTP Requests": the requests that the running server is serving (the
// console command GetReq), newest reply line first, and the cutting off of a selected one
// (Disconnect). The server's address and port come from the console's stored settings. The
// commands wait for the server off the window's thread; meanwhile the dialog says that it waits
// and Disconnect is held back.
#pragma once

#include <string>

#include <QDialog>

#include "console/command_runner.h"

class CConsoleConfig;
class CListCtrlEx;
class QLabel;
class QPushButton;

class CRequestsDlg : public QDialog
{
    Q_OBJECT
public:
    CRequestsDlg(CConsoleConfig& config, QWidget* parent = nullptr);

    // Asks the server again; its reply replaces the list when it comes.
    void Refresh();
    // One reply line: the watermark, or a request inserted at the top.
    void ParseRequestLine(const std::string& line);
    // How long Disconnect waits for the server to close the connection before it refreshes.
    void SetDisconnectPause(int milliseconds) { m_disconnectPause = milliseconds; }
    // True while a command waits for the server.
    bool IsWaiting() const { return m_commands.Busy(); }

public slots:
    void OnDisconnect();

private:
    void ShowRequests(const CCommandReply& reply);
    int Port() const;

    CConsoleConfig& m_config;
    CListCtrlEx* m_list;
    QLabel* m_highWaterMark;
    QLabel* m_waiting;
    QPushButton* m_disconnect;
    int m_disconnectPause = 2000;
    // A refresh asked for while a command was in flight; it runs when the command is answered.
    bool m_refreshPending = false;
    CCommandRunner m_commands;
};
