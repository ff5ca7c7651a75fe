#include "console/requests_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include "console/command_client.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/gui_support.h"
#include "console/report_list.h"
#include "console/string_tokenizer.h"
#include "foundation/number_parse.h"

CRequestsDlg::CRequestsDlg(CConsoleConfig& config, QWidget* parent) : QDialog(parent), m_config(config)
{
    setWindowTitle("Current HTTP Requests");
    m_list = WithId(new CListCtrlEx(this), 1121);
    m_list->SetFullRowSel(true);
    m_list->SetColumns({"From IP", "URL", "Start Time"}, {100, 200, 100});
    m_highWaterMark = WithId(new QLabel("high water mark", this), 1122);
    auto* disconnect = WithId(new QPushButton("&Disconnect", this), 1120);
    auto* close = WithId(new QPushButton("Close", this), 1);
    close->setDefault(true);
    connect(disconnect, &QPushButton::clicked, this, &CRequestsDlg::OnDisconnect);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_highWaterMark, 1);
    buttons->addWidget(disconnect);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);
    resize(460, 300);
    Refresh();
}

void CRequestsDlg::Refresh()
{
    m_list->clear();
    CTcpSocket socket;
    if (!ConnectForCommand(socket, m_config.m_generalTcpipAddress, ParseInt32(m_config.m_generalTcpipPort))) {
        ShowMessage(this, CConsoleMessages::ConnectFailed);
        return;
    }
    if (!SendCommand(socket, "twConsole.GetReq\r\n\r\n")) {
        socket.Close();
        ShowMessage(this, CConsoleMessages::RequestsFailed);
        return;
    }
    // Lines are read whole, however long the request URL: the list cuts them only for display.
    std::string line;
    while (ReadReplyLine(socket, line)) {
        if (line.empty()) {
            socket.Close();
            break;
        }
        ParseRequestLine(line);
    }
}

void CRequestsDlg::ParseRequestLine(const std::string& line)
{
    CStringTokenizer fields(line.c_str(), "*", true);
    const std::string first = fields.NextToken();
    if (first == "watermark") {
        m_highWaterMark->setText(ToQt("High water mark: " + fields.NextToken()));
        return;
    }
    const std::string threadId = fields.NextToken();
    const std::string startTime = fields.NextToken();
    const std::string request = fields.NextToken();
    auto* item = new QTreeWidgetItem;
    item->setText(0, ToQt(first));
    item->setData(0, Qt::UserRole, ParseInt32(threadId));
    item->setText(1, ToQt(request));
    item->setText(2, ToQt(startTime));
    m_list->insertTopLevelItem(0, item);
}

void CRequestsDlg::OnDisconnect()
{
    CWaitCursor wait;
    const int row = m_list->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select a request first. ");
        return;
    }
    const int threadId = m_list->RowData(row);
    if (threadId == 0) {
        ShowMessage(this, "Thread ID not found");
        return;
    }
    CTcpSocket socket;
    if (!ConnectForCommand(socket, m_config.m_generalTcpipAddress, ParseInt32(m_config.m_generalTcpipPort))) {
        ShowMessage(this, CConsoleMessages::ConnectFailed);
        return;
    }
    SendCommand(socket, "twConsole.Disconnect " + std::to_string(threadId) + "\r\n");
    socket.Close();
    // The server closes the cut connection on its own thread; the list is asked for after that.
    QThread::msleep(static_cast<unsigned long>(m_disconnectPause));
    Refresh();
}
