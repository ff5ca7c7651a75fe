#include "console/server_view.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QSettings>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>
#include <fstream>

#include "console/console_app.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/data_source_dialog.h"
#include "console/gui_support.h"
#include "console/host_lookup.h"
#include "console/requests_dialog.h"
#include "console/settings_sheet.h"
#include "console/string_tokenizer.h"
#include "foundation/ascii_text.h"
#include "foundation/number_parse.h"
#include "platform/file_system.h"

namespace {

const char* const kColumnCaptions[4] = {"#", "Server Component", "Status", "Start Time"};
const char* const kColumnSamples[4] = {"999", "Due Date Reminder",
                                       "Run C:\\abc\\webroot\\script\\importer.tws every 10 min...", "12/01 24:60:60"};

std::string Url(const char* scheme, const std::string& host, const std::string& port, const char* usual)
{
    return port == usual ? FormatText("%s://%s", scheme, host.c_str())
                         : FormatText("%s://%s:%s", scheme, host.c_str(), port.c_str());
}

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

// The modeless note shown while the domain name is looked up.
class CResolveWaitDlg : public QDialog
{
public:
    explicit CResolveWaitDlg(QWidget* parent) : QDialog(parent)
    {
        setWindowTitle("Resolving Domain Name");
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(
            new QLabel("Getting Fully Qualified Domain Name for the IP address for this machine. Please wait.", this));
    }
};

CServerView::CServerView(CConsoleApp& app, QWidget* parent) : CListViewEx(parent), m_app(app)
{
    QStringList captions;
    for (const char* caption : kColumnCaptions)
        captions << caption;
    setHeaderLabels(captions);
    setColumnCount(4);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (m_running && !m_commands.Busy())
            OnRunNow();
    });
    m_commands.ShowBusyOn(viewport());
    connect(&m_commands, &CCommandRunner::busyChanged, this, [this](bool busy) {
        emit waitingChanged(busy);
        if (!busy && m_refreshPending) {
            m_refreshPending = false;
            Refresh();
        }
    });
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
    CConsoleConfig& config = m_app.Config();
    const std::string name = ResolveDomainName(config.m_generalTcpipAddress);
    if (name != config.m_fqdn) {
        config.m_fqdn = name;
        config.Save();
    }
    Refresh();
    ShowUnderscoreWarning();
}

void CServerView::ShowUnderscoreWarning()
{
    const std::string& name = m_app.Config().m_fqdn;
    if (name.find('_') != std::string::npos)
        ShowMessage(this, FormatText(CConsoleMessages::UnderscoreWarning, name.c_str()), QMessageBox::Warning);
}

std::string CServerView::ResolveDomainName(const std::string& address)
{
    std::string name;
    {
        CResolveWaitDlg wait(this);
        wait.show();
        QCoreApplication::processEvents();
        name = ResolveHostName(address);
    }
    return name.empty() ? address : name;
}

std::string CServerView::AddressUrl() const
{
    const CConsoleConfig& config = m_app.Config();
    return Url("http", config.m_generalTcpipAddress, config.m_generalTcpipPort, "80");
}

std::string CServerView::NameUrl() const
{
    const CConsoleConfig& config = m_app.Config();
    return Url("http", config.m_fqdn, config.m_generalTcpipPort, "80");
}

std::string CServerView::SecureUrl() const
{
    const CConsoleConfig& config = m_app.Config();
    return Url("https", config.m_fqdn, config.m_generalSslPort, "443");
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
    std::string text = FormatText("%d*%s*%s*%s\r\n", 0, "Web Server",
                                  Url("http", config.m_fqdn, config.m_generalTcpipPort, "80").c_str(), "Stopped");
    text += FormatText("%d*%s*%s*%s\r\n", 1, "Secure Web Server", SecureUrl().c_str(),
                       config.m_securityCertName.empty() ? "Disabled" : "Stopped");
    text += config.FormatTaskLines(false);
    ShowRows(text);
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
    m_commands.Run(address, port, CConsoleCommand::GetTask(),
                   [this](const CCommandReply& reply) { ShowTaskList(reply); });
}

void CServerView::ShowTaskList(const CCommandReply& reply)
{
    std::string text;
    for (const std::string& line : reply.lines)
        text += line + "\r\n";
    if (reply.status == CCommandReply::Status::kConnectFailed)
        ShowMessage(this, CConsoleMessages::ConnectFailed);
    else if (reply.status == CCommandReply::Status::kSendFailed)
        ShowMessage(this, CConsoleMessages::StatusFailed);
    ShowRows(text);
}

void CServerView::OnStart()
{
    std::string message;
    bool started;
    {
        CWaitCursor wait;
        started = m_app.StartServer(message);
    }
    if (!started) {
        ShowMessage(this, message);
        return;
    }
    Refresh();
    ConfirmBrowse();
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
    CWaitCursor wait;
    if (!AskYesNo(this, FormatText(CConsoleMessages::AskStop, m_app.ServiceModeWords(true))))
        return;
    std::string message;
    if (m_app.StopServer(message))
        Refresh();
    else
        ShowMessage(this, message);
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
    m_commands.Run(config.m_generalTcpipAddress, ParseInt32(config.m_generalTcpipPort), CConsoleCommand::RunNow(task),
                   [this, name](const CCommandReply& reply) {
                       if (reply.status == CCommandReply::Status::kConnectFailed)
                           ShowMessage(this, CConsoleMessages::ConnectFailed);
                       else
                           ShowMessage(this,
                                       name + " is now running in the background.\nRefer to log files for results.",
                                       QMessageBox::Information);
                   });
}

void CServerView::OnRequests()
{
    CRequestsDlg dialog(m_app.Config(), this);
    dialog.exec();
}

void CServerView::OnSettings()
{
    CConsoleConfig& config = m_app.Config();
    const std::string address = config.m_generalTcpipAddress;
    CSettingsSht sheet("Settings", m_app, this);
    connect(&sheet, &CSettingsSht::serverStateChanged, this, &CServerView::Refresh);
    if (sheet.exec() != QDialog::Accepted)
        return;
    const bool addressChanged = config.m_generalTcpipAddress != address;
    if (addressChanged) {
        const std::string name = ResolveDomainName(config.m_generalTcpipAddress);
        if (name != config.m_fqdn) {
            config.m_fqdn = name;
            config.Save();
        }
    }
    Refresh();
    if (addressChanged)
        ShowUnderscoreWarning();
}

void CServerView::OnCreateDataSource()
{
    // An extra data source for the site's own code; the server's settings stay as they are.
    CDataSourceDlg dialog(m_app.InstallDir(), "", "",
                          "You are creating an additional data source to be used in your own code.", this);
    dialog.exec();
}
