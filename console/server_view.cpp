#include "console/server_view.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QHeaderView>
#include <QSettings>
#include <QUrl>

#include <cstdio>
#include <fstream>

#include "console/console_app.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/data_source_dialog.h"
#include "console/gui_support.h"
#include "console/requests_dialog.h"
#include "console/settings_sheet.h"
#include "console/string_tokenizer.h"
#include "foundation/ascii_text.h"
#include "foundation/number_parse.h"
#include "foundation/server_config.h"
#include "platform/file_system.h"

namespace {

const char* const kColumnCaptions[4] = {"#", "Server Component", "Status", "Start Time"};
const char* const kColumnSamples[4] = {
    "999", "Due Date Reminder", "Run /opt/tarnwick/webroot/script/importer.tws every 10 min...", "12/01 24:60:60"};

}  // namespace

std::string BuildConnectPage(const std::string& addressUrl, const std::string& nameUrl, const std::string& secureUrl)
{
    const std::string paragraph =
        secureUrl.empty() ? ""
                          : FormatText(CConsoleMessages::SecureSiteParagraph, secureUrl.c_str(), secureUrl.c_str());
    return FormatText(CConsoleMessages::ConnectPage, addressUrl.c_str(), addressUrl.c_str(), nameUrl.c_str(),
                      nameUrl.c_str(), paragraph.c_str());
}

std::string BrowseFailedText(const std::string& addressUrl, const std::string& nameUrl)
{
    return "Failed to launch web browser. Please install a web browser then retry.\nIf a web browser is installed, "
           "please run it then type in this address:\n" +
           addressUrl + (nameUrl == addressUrl ? "" : " or " + nameUrl);
}

CServerView::CServerView(CConsoleApp& app, QWidget* parent) : CListViewEx(parent), m_app(app)
{
    QStringList captions;
    for (const char* caption : kColumnCaptions)
        captions << caption;
    setHeaderLabels(captions);
    setColumnCount(4);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (m_running && !IsWaiting())
            OnRunNow();
    });
    connect(&m_commands, &CCommandRunner::busyChanged, this, [this](bool busy) {
        OnWaitingChanged();
        if (!busy && m_refreshPending) {
            m_refreshPending = false;
            Refresh();
        }
    });
    connect(&m_control, &CBackgroundJob::busyChanged, this, &CServerView::OnWaitingChanged);
    connect(&m_lookup, &CBackgroundJob::busyChanged, this, &CServerView::OnWaitingChanged);
    m_progressTimer.setInterval(1000);
    connect(&m_progressTimer, &QTimer::timeout, this, [this] { emit waitingChanged(true); });
}

CServerView::~CServerView()
{
    // The window around the view is going: nothing is told of the cancel. The waits of a start or
    // stop look at the cancel every 100 ms; only a service manager that takes longer to answer
    // outlasts this wait, and nobody is left to tell of it.
    m_control.blockSignals(true);
    static_cast<void>(m_control.CancelAndWait(std::chrono::seconds(2)));
}

void CServerView::OnWaitingChanged()
{
    const bool waiting = IsWaiting();
    if (waiting)
        viewport()->setCursor(Qt::BusyCursor);
    else
        viewport()->unsetCursor();
    if (m_control.Busy())
        m_progressTimer.start();
    else
        m_progressTimer.stop();
    emit waitingChanged(waiting);
}

std::string CServerView::WaitingText() const
{
    if (m_control.Busy()) {
        const auto seconds = static_cast<int>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_controlStart)
                .count());
        return m_starting ? FormatText(CConsoleMessages::Starting, seconds)
                          : FormatText(CConsoleMessages::Stopping, seconds);
    }
    if (m_lookup.Busy())
        return CConsoleMessages::ResolvingName;
    if (m_commands.Busy())
        return CConsoleMessages::WaitingForServer;
    return {};
}

void CServerView::LoadColumnWidths()
{
    QSettings profile("Morvale", CConsoleApp::kTitle);
    profile.beginGroup("Column Width");
    int widths[4];
    bool valid = true;
    for (int i = 0; i < 4; ++i) {
        widths[i] = profile.value(kColumnKeys[i], -1).toInt();
        valid = valid && widths[i] >= (i == 0 ? 2 : 4) && widths[i] <= 900;
    }
    profile.endGroup();
    for (int i = 0; i < 4; ++i) {
        // The sample texts measure what the columns must hold, plus the cell's margins.
        const int width = valid ? widths[i] : fontMetrics().horizontalAdvance(kColumnSamples[i]) + 16;
        setColumnWidth(i, width);
    }
}

void CServerView::SaveColumnWidths()
{
    QSettings profile("Morvale", CConsoleApp::kTitle);
    profile.beginGroup("Column Width");
    for (int i = 0; i < 4; ++i)
        profile.setValue(kColumnKeys[i], columnWidth(i));
    profile.endGroup();
}

void CServerView::OnInitialUpdate()
{
    LoadColumnWidths();
    Refresh();
    ResolveDomainName(m_app.Config().m_generalTcpipAddress);
}

void CServerView::ShowUnderscoreWarning()
{
    const std::string& name = m_app.Config().m_fqdn;
    if (name.find('_') != std::string::npos)
        ShowMessage(this, FormatText(CConsoleMessages::UnderscoreWarning, name.c_str()), QMessageBox::Warning);
}

void CServerView::ResolveDomainName(const std::string& address)
{
    // A name service that does not answer holds the lookup for as long as the resolver waits.
    // Its callers start it only while no lookup runs (OnSettings waits for one to end).
    static_cast<void>(m_lookup.Start(
        [lookup = m_app.GetHostNameLookup(), address](const CBackgroundJob::Cancelled&) { return lookup(address); },
        [this, address](std::string name) {
            if (name.empty())
                name = address;
            CConsoleConfig& config = m_app.Config();
            if (name != config.m_fqdn) {
                config.m_fqdn = name;
                // A failure is logged, and every log line of the console is shown in a message box.
                static_cast<void>(config.Save());
                Refresh();
            }
            ShowUnderscoreWarning();
            if (m_settingsPending) {
                m_settingsPending = false;
                OnSettings();
            }
        }));
}

std::string CServerView::AddressUrl() const
{
    const CConsoleConfig& config = m_app.Config();
    return BuildBaseAddress("http", config.m_generalTcpipAddress, config.m_generalTcpipPort, "80");
}

std::string CServerView::NameUrl() const
{
    const CConsoleConfig& config = m_app.Config();
    return BuildBaseAddress("http", config.m_fqdn, config.m_generalTcpipPort, "80");
}

std::string CServerView::SecureUrl() const
{
    const CConsoleConfig& config = m_app.Config();
    return BuildBaseAddress("https", config.m_fqdn, config.m_generalSslPort, "443");
}

void CServerView::Refresh()
{
    // The rows of a command in flight would arrive after these and hide them.
    if (m_commands.Busy()) {
        m_refreshPending = true;
        return;
    }
    m_running = m_app.IsServerRunning();
    CConsoleConfig& config = m_app.Config();
    if (m_running) {
        FetchTaskList(config.m_generalTcpipAddress, ParseInt32(config.m_generalTcpipPort));
        return;
    }
    ShowRows(LocalRows("Stopped"));
}

std::string CServerView::LocalRows(const char* webServerState) const
{
    CConsoleConfig& config = m_app.Config();
    std::string text = FormatText("%d*%s*%s*%s\r\n", 0, "Web Server", NameUrl().c_str(), webServerState);
    text += FormatText("%d*%s*%s*%s\r\n", 1, "Secure Web Server", SecureUrl().c_str(),
                       config.m_securityCertName.empty() ? "Disabled" : "Stopped");
    text += config.FormatTaskLines(false);
    return text;
}

void CServerView::KeepRowsWithNote(const char* note)
{
    if (topLevelItemCount() == 0) {
        AddRows(LocalRows(note));
        SelectRow(0);
    }
    topLevelItem(0)->setText(3, note);
    emit runningChanged(m_running);
}

void CServerView::ShowRows(const std::string& text)
{
    clear();
    AddRows(text);
    SelectRow(0);
    setFocus();
    emit runningChanged(m_running);
}

void CServerView::AddRows(const std::string& text)
{
    CStringTokenizer lines(text.c_str(), "\r\n", true);
    int row = 0;
    for (std::string line = lines.NextToken(); !line.empty(); line = lines.NextToken(), ++row) {
        CStringTokenizer fields(line.c_str(), "*", true);
        auto* item = new QTreeWidgetItem;
        item->setText(0, QString::number(row));
        item->setData(0, Qt::UserRole, ParseInt32(fields.NextToken()));
        for (int column = 1; column <= 3; ++column)
            item->setText(column, ToQt(fields.NextToken()));
        addTopLevelItem(item);
    }
}

void CServerView::FetchTaskList(const std::string& address, int port)
{
    CConsoleCommand command = CConsoleCommand::GetTask();
    command.timeoutSeconds = m_app.CommandTimeout();
    // Refresh asks only while no command is in flight, so the runner takes it.
    static_cast<void>(
        m_commands.Run(address, port, std::move(command), [this](const CCommandReply& reply) { ShowTaskList(reply); }));
}

void CServerView::ShowTaskList(const CCommandReply& reply)
{
    // Rows that can't be had from the server leave the last ones in place, so that the window
    // still shows what it knows; the web server's row says what went wrong.
    switch (reply.status) {
    case CCommandReply::Status::kDone:
        if (!reply.lines.empty()) {
            std::string text;
            for (const std::string& line : reply.lines)
                text += line + "\r\n";
            ShowRows(text);
            return;
        }
        KeepRowsWithNote(CConsoleMessages::NoAnswerNote);
        return;
    case CCommandReply::Status::kNoAnswer: KeepRowsWithNote(CConsoleMessages::NoAnswerNote); return;
    case CCommandReply::Status::kConnectFailed:
        KeepRowsWithNote(CConsoleMessages::UnreachableNote);
        ShowMessage(this, CConsoleMessages::ConnectFailed);
        return;
    case CCommandReply::Status::kSendFailed:
        KeepRowsWithNote(CConsoleMessages::UnreachableNote);
        ShowMessage(this, CConsoleMessages::StatusFailed);
        return;
    }
}

void CServerView::RunControl(bool starting, ControlWork work, std::function<void(bool, const std::string&)> done)
{
    const bool wasStarting = m_starting;
    const auto wasStarted = m_controlStart;
    m_starting = starting;
    m_controlStart = std::chrono::steady_clock::now();
    CConsoleApp& app = m_app;
    const bool started = m_control.Start(
        [&app, work = std::move(work)](const CBackgroundJob::Cancelled& cancelled) {
            std::string message;
            const bool succeeded = work(app, message, cancelled);
            return std::make_pair(succeeded, message);
        },
        [done = std::move(done)](std::pair<bool, std::string> result) { done(result.first, result.second); });
    // A start or stop is still under way: it goes on, and the administrator is told so.
    if (!started) {
        m_starting = wasStarting;
        m_controlStart = wasStarted;
        ShowMessage(this, WaitingText());
    }
}

void CServerView::OnStart()
{
    RunControl(
        true,
        [](CConsoleApp& app, std::string& message, const CBackgroundJob::Cancelled& cancelled) {
            return app.StartServer(message, &cancelled);
        },
        [this](bool started, const std::string& message) {
            Refresh();
            if (!started) {
                ShowMessage(this, message);
                return;
            }
            ConfirmBrowse();
        });
}

void CServerView::ConfirmBrowse()
{
    const std::string address = AddressUrl();
    const std::string name = NameUrl();
    std::string question = name == address ? FormatText(CConsoleMessages::ServerStartedAt, address.c_str())
                                           : FormatText(CConsoleMessages::ServerStarted, address.c_str(), name.c_str());
    if (!m_app.Config().m_securityCertName.empty())
        question += FormatText(CConsoleMessages::SecureServerStarted, SecureUrl().c_str());
    question += CConsoleMessages::AskLaunchBrowser;
    if (AskYesNo(this, question))
        OnBrowse();
}

void CServerView::OnStop()
{
    if (!AskYesNo(this, FormatText(CConsoleMessages::AskStop, m_app.ServiceModeWords(true).c_str())))
        return;
    // A command that waits for a server that does not answer is given up: the stop is what the
    // administrator wants now, and it ends such a server too.
    m_refreshPending = false;
    m_commands.Cancel();
    RunControl(
        false,
        [](CConsoleApp& app, std::string& message, const CBackgroundJob::Cancelled& cancelled) {
            return app.StopServer(message, &cancelled);
        },
        [this](bool stopped, const std::string& message) {
            if (stopped)
                Refresh();
            else
                OfferToEndServer(message);
        });
}

void CServerView::OfferToEndServer(const std::string& failure)
{
    const pid_t server = m_app.ServerProcess();
    const auto waited =
        std::chrono::duration_cast<std::chrono::seconds>(CConsoleApp::kServerPolls * m_app.PollInterval());
    if (server == 0 || !AskYesNo(this, FormatText(CConsoleMessages::AskEndServer, static_cast<int>(waited.count())))) {
        Refresh();
        ShowMessage(this, failure);
        return;
    }
    RunControl(
        false,
        [server](CConsoleApp& app, std::string& message, const CBackgroundJob::Cancelled& cancelled) {
            return app.EndServerProcess(server, message, &cancelled);
        },
        [this](bool ended, const std::string& message) {
            Refresh();
            if (!ended)
                ShowMessage(this, message);
        });
}

void CServerView::OnBrowse()
{
    const std::string address = AddressUrl();
    const std::string name = NameUrl();
    const std::string secure = SecureUrl();
    const std::string page = m_app.InstallDir() + "/webroot/browse.html";
    if (std::FILE* file = std::fopen(page.c_str(), "w")) {
        const std::string text =
            BuildConnectPage(address, name, m_app.Config().m_securityCertName.empty() ? "" : secure);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(ToQt(page))))
        ShowMessage(this, BrowseFailedText(address, name));
}

void CServerView::OnViewLogFiles()
{
    const std::string logFolder = m_app.InstallDir() + "/webroot/log";
    const std::string start = DirectoryExists(logFolder) ? logFolder : m_app.InstallDir();
    const QString path = QFileDialog::getOpenFileName(this, "Open log file", ToQt(start), "*.*");
    if (path.isEmpty())
        return;
    // The desktop's text viewer stands in for the editor a log file was opened with.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        ShowMessage(this, FormatText("Failed to launch [%s]:\n%s", "the text viewer",
                                     "No program is set up to open text files."));
}

void CServerView::OnRunNow()
{
    const int row = SelectedRow();
    if (row <= 1) {
        ShowMessage(this, "Please select a task other than the web server.", QMessageBox::Information);
        setFocus();
        return;
    }
    const int task = RowData(row);
    if (task == 0) {
        ShowMessage(this, "Script ID not found. Please click the Refresh button then retry.");
        return;
    }
    if (EqualsNoCase(FromQt(CellText(row, 3)), "disabled")) {
        ShowMessage(this, "The task you selected is disabled.");
        return;
    }
    const CConsoleConfig& config = m_app.Config();
    const std::string name = FromQt(CellText(row, 1));
    CConsoleCommand command = CConsoleCommand::RunNow(task);
    command.timeoutSeconds = m_app.CommandTimeout();
    if (!m_commands.Run(config.m_generalTcpipAddress, ParseInt32(config.m_generalTcpipPort), std::move(command),
                        [this, name](const CCommandReply& reply) { ShowRunNowReply(name, reply); }))
        ShowMessage(this, CConsoleMessages::WaitingForServer);
}

void CServerView::ShowRunNowReply(const std::string& name, const CCommandReply& reply)
{
    switch (reply.status) {
    case CCommandReply::Status::kConnectFailed: ShowMessage(this, CConsoleMessages::ConnectFailed); return;
    case CCommandReply::Status::kSendFailed: ShowMessage(this, CConsoleMessages::SendFailed); return;
    case CCommandReply::Status::kNoAnswer:
        ShowMessage(this, FormatText(CConsoleMessages::RunNowNoAnswer, name.c_str(), m_app.CommandTimeout()));
        return;
    case CCommandReply::Status::kDone: break;
    }
    // The server answers with why the task did not run, or with nothing when it runs it.
    if (reply.lines.empty()) {
        ShowMessage(this, name + " is now running in the background.\nRefer to log files for results.",
                    QMessageBox::Information);
        return;
    }
    std::string reason;
    for (const std::string& line : reply.lines)
        reason += "\n" + line;
    ShowMessage(this, name + " did not run:" + reason);
}

void CServerView::OnRequests()
{
    CRequestsDlg dialog(m_app.Config(), this);
    dialog.exec();
}

void CServerView::OnSettings()
{
    if (m_lookup.Busy()) {
        m_settingsPending = true;
        return;
    }
    CConsoleConfig& config = m_app.Config();
    const std::string address = config.m_generalTcpipAddress;
    CSettingsSht sheet("Settings", m_app, this);
    connect(&sheet, &CSettingsSht::serverStateChanged, this, &CServerView::Refresh);
    if (sheet.exec() != QDialog::Accepted)
        return;
    Refresh();
    // The lookup shows the rows again and warns of a name with "_" once it has the name.
    if (config.m_generalTcpipAddress != address)
        ResolveDomainName(config.m_generalTcpipAddress);
}

void CServerView::OnCreateDataSource()
{
    // An extra data source for the site's own code; the server's settings stay as they are.
    CDataSourceDlg dialog(m_app.InstallDir(), "", "",
                          "You are creating an additional data source to be used in your own code.", this);
    dialog.exec();
}
