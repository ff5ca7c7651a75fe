#include "console/requests_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

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
    m_waiting = new QLabel(CConsoleMessages::WaitingForServer, this);
    m_waiting->setObjectName("waiting");
    m_waiting->hide();
    m_disconnect = WithId(new QPushButton("&Disconnect", this), 1120);
    auto* close = WithId(new QPushButton("Close", this), 1);
    close->setDefault(true);
    connect(m_disconnect, &QPushButton::clicked, this, &CRequestsDlg::OnDisconnect);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    m_commands.ShowBusyOn(m_list->viewport());
    connect(&m_commands, &CCommandRunner::busyChanged, this, [this](bool busy) {
        m_waiting->setVisible(busy);
        m_disconnect->setEnabled(!busy);
        if (!busy && m_refreshPending) {
            m_refreshPending = false;
            Refresh();
        }
    });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_highWaterMark, 1);
    buttons->addWidget(m_waiting);
    buttons->addWidget(m_disconnect);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);
    resize(460, 300);
    Refresh();
}

int CRequestsDlg::Port() const
{
    return ParseInt32(m_config.m_generalTcpipPort);
}

void CRequestsDlg::Refresh()
{
    if (!m_commands.Run(m_config.m_generalTcpipAddress, Port(), CConsoleCommand::GetReq(),
                        [this](const CCommandReply& reply) { ShowRequests(reply); }))
        m_refreshPending = true;
}

void CRequestsDlg::ShowRequests(const CCommandReply& reply)
{
    m_list->clear();
    if (reply.status == CCommandReply::Status::kConnectFailed)
        ShowMessage(this, CConsoleMessages::ConnectFailed);
    else if (reply.status == CCommandReply::Status::kSendFailed)
        ShowMessage(this, CConsoleMessages::RequestsFailed);
    for (const std::string& line : reply.lines)
        ParseRequestLine(line);
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
    // The server closes the cut connection on its own thread; the list is asked for after that.
    const bool sent = m_commands.Run(m_config.m_generalTcpipAddress, Port(), CConsoleCommand::Disconnect(threadId),
                                     [this](const CCommandReply& reply) {
                                         if (reply.status == CCommandReply::Status::kConnectFailed)
                                             ShowMessage(this, CConsoleMessages::ConnectFailed);
                                         else
                                             QTimer::singleShot(m_disconnectPause, this, &CRequestsDlg::Refresh);
                                     });
    if (!sent)
        ShowMessage(this, CConsoleMessages::WaitingForServer);
}
