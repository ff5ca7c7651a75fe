// CRequestsDlg: "Current HTTP Requests": the requests that the running server is serving (the
// console command GetReq), newest reply line first, and the cutting off of a selected one
// (Disconnect). The server's address and port come from the console's stored settings.
#pragma once

#include <string>

#include <QDialog>

class CConsoleConfig;
class CListCtrlEx;
class QLabel;

class CRequestsDlg : public QDialog {
    Q_OBJECT
public:
    CRequestsDlg(CConsoleConfig& config, QWidget* parent = nullptr);

    // Asks the server again and shows its reply.
    void Refresh();
    // One reply line: the watermark, or a request inserted at the top.
    void ParseRequestLine(const std::string& line);
    // How long Disconnect waits for the server to close the connection before it refreshes.
    void SetDisconnectPause(int milliseconds) { m_disconnectPause = milliseconds; }

public slots:
    void OnDisconnect();

private:
    CConsoleConfig& m_config;
    CListCtrlEx* m_list;
    QLabel* m_highWaterMark;
    int m_disconnectPause = 2000;
};
