#include "console/settings_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "console/background_job.h"
#include "console/console_app.h"
#include "console/console_messages.h"
#include "console/db_page.h"
#include "console/email_page.h"
#include "console/general_page.h"
#include "console/gui_support.h"
#include "console/mime_type_page.h"
#include "console/security_page.h"
#include "console/service_control.h"
#include "console/string_tokenizer.h"
#include "console/task_page.h"
#include "foundation/task_entry.h"

namespace {

// Only the first 13 tasks are checked, as the server numbers its system tasks.
constexpr std::size_t kCheckedTasks = 13;
constexpr std::size_t kMaxProgramPath = 255;

}  // namespace

CSettingsSht::CSettingsSht(const QString& caption, CConsoleApp& app, QWidget* parent, int firstPage)
    : QDialog(parent), m_app(app), m_working(app.Config().SettingsPath(), app.Config().InstallDir())
{
    setWindowTitle(caption);
    m_tabs = new QTabWidget(this);
    auto* db = new CDbPage(this);
    db->SetServerControl(&m_app);
    m_pages = {new CGeneralPage(this),
               db,
               new CTaskPage(app.InstallDir(), this),
               new CEmailPage(this),
               new CSecurityPage(app.InstallDir(), this),
               new CMimeTypePage(this)};
    // The sheet's buttons: Save in the place of OK, and Cancel.
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* save = buttons->addButton("Save", QDialogButtonBox::AcceptRole);
    save->setObjectName(ControlName(1));
    save->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName(ControlName(2));
    connect(buttons, &QDialogButtonBox::accepted, this, &CSettingsSht::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs, 1);
    layout->addWidget(buttons);
    resize(620, 520);

    OnInitDialog();
    for (CSettingsPage* page : m_pages)
        m_tabs->addTab(page, page->Caption());
    m_tabs->setCurrentIndex(firstPage);
    OnPageChanged(firstPage);
    connect(m_tabs, &QTabWidget::currentChanged, this, &CSettingsSht::OnPageChanged);
}

CSettingsPage* CSettingsSht::Page(int index) const
{
    return index >= 0 && index < static_cast<int>(m_pages.size()) ? m_pages[static_cast<std::size_t>(index)] : nullptr;
}

void CSettingsSht::OnInitDialog()
{
    CWaitCursor wait;
    CServiceControl manager;
    int startType = CServiceControl::kDemandStart;
    if (!manager.QueryConfig(CConsoleApp::kServiceName, startType, &m_serviceDependency)) {
        startType = CServiceControl::kDemandStart;
        m_serviceDependency.clear();
    }
    m_serviceStartType = startType;
    // A store that cannot be read was logged, and the console shows each log line in a message
    // box; the sheet then shows the defaults, and Save refuses to write over that store.
    static_cast<void>(m_working.Load());
    m_working.m_runAsService = m_app.GetServiceMode();
    m_working.m_serviceStartType = m_serviceStartType;
    for (CSettingsPage* page : m_pages)
        page->SetSettings(&m_working);
}

void CSettingsSht::OnPageChanged(int index)
{
    // Leaving a page stores it; a value it refuses keeps the page in front.
    if (m_activePage >= 0 && m_activePage != index && !Page(m_activePage)->Store()) {
        const QSignalBlocker block(m_tabs);
        m_tabs->setCurrentIndex(m_activePage);
        return;
    }
    m_activePage = index;
    if (CSettingsPage* page = Page(index))
        page->Activate();
}

bool CSettingsSht::CheckSettings()
{
    auto refuse = [this](const std::string& message) {
        ShowMessage(this, message);
        return false;
    };
    const CConsoleConfig& settings = m_working;
    if (settings.m_sessionTimeout < 1 || settings.m_sessionTimeout > 1440)
        return refuse("Session time out can not be smaller than 1 minute or larger than 1440 minutes.");
    if (settings.m_maxUpload < 1 || settings.m_maxUpload > 1000)
        return refuse("Maximum upload can not be smaller than 1M or larger than 1000M. ");
    if (settings.m_dbOdbcConnectString.empty())
        return refuse(
            "ODBC connect string has not been set yet.\nPlease goto the Database page and click on the change "
            "button to set it.");
    bool senderEnabled = false;
    int importers = 0;
    for (std::size_t i = 0; i < settings.GetTaskCount() && i < kCheckedTasks; ++i) {
        const CTaskEntry& task = *settings.GetTask(i);
        if (IsEmailSenderTask(i)) {
            senderEnabled = task.IsEnabled();
        } else {
            if (task.IsEnabled() && IsEmailImporterTask(task.GetName()))
                ++importers;
            if (task.IsEnabled() && !senderEnabled)
                return refuse("For task 2 and above to work, you must enable Email Sender.");
        }
        // A daily or weekly task's value is its time of day, and midnight is one.
        if (task.GetKind() == kTaskEveryMinutes && task.GetIntervalSeconds() == 0)
            return refuse("Interval of task " + task.GetName() + " is smaller than 1 minute. That is not allowed. ");
    }
    if (senderEnabled && settings.m_emSmtpServer.empty())
        return refuse("Please go to email page to set SMTP Host for Email Sender to work.");
    if (senderEnabled && settings.m_emAdminEmail.empty())
        return refuse("Please go to email page to set the Administrator Email Addresses for Email Sender to work.");
    if (importers > 0) {
        if (settings.m_emPop3Server.empty() || settings.m_emImporterEmail.empty() ||
            settings.m_emImporterUserName.empty() || settings.m_emImporterPassword.empty())
            return refuse("POP3 host or email account for Email Importer has not been set up yet.\nPlease go to the "
                          "Email page to set them.");
        for (const std::string* list : {&settings.m_emAdminEmail, &settings.m_emDispatcherEmail}) {
            CStringTokenizer addresses(list->c_str(), ",; ", true);
            for (std::string address = addresses.NextToken(); !address.empty(); address = addresses.NextToken())
                if (address == settings.m_emImporterEmail)
                    return refuse(CConsoleMessages::ImporterAddressWarning);
        }
    }
    // The service's own values are checked here too, before anything stops the server.
    if (!m_app.GetServiceMode() && settings.m_runAsService) {
        if (m_app.ServerProgramPath().size() > kMaxProgramPath)
            return refuse("Service file name too long.");
        if (settings.m_serviceDependency.size() > CServiceControl::kMaxDependencyLength)
            return refuse("Depend on service name must shorter then 50 characters");
    }
    if (importers > 1)
        ShowMessage(this,
                    "Warning: You enabled more than one Email Importer.\nBy default, all of them will try to "
                    "retrieve emails from\nthe same POP3 email account you entered in the Email Page.\n\nYou must "
                    "modify all script/importer.tws and have\nthem retrieve emails from different email accounts!");
    return true;
}

bool CSettingsSht::StopServerForSave()
{
    const auto [stopped, message] = WaitOffThread([](CConsoleApp& app, const CBackgroundJob::Cancelled& cancelled) {
        std::string message;
        const bool stopped = app.StopServer(message, &cancelled);
        return std::make_pair(stopped, message);
    });
    // The main window shows the server's state at once, also when the sheet stays open.
    emit serverStateChanged();
    if (!stopped)
        ShowMessage(this, message);
    return stopped;
}

void CSettingsSht::accept()
{
    if (!Page(m_tabs->currentIndex())->Store())
        return;
    // Every check comes first: a refused value must not cost a running server.
    if (!CheckSettings())
        return;
    CConsoleConfig& stored = m_app.Config();
    const bool addressChanged = m_working.m_generalTcpipAddress != stored.m_generalTcpipAddress;
    if (m_app.IsServerRunning() && (addressChanged || m_working.m_generalTcpipPort != stored.m_generalTcpipPort)) {
        if (!AskYesNo(this, CConsoleMessages::AskStopForAddressChange) || !StopServerForSave())
            return;
    }

    const int currentMode = m_app.GetServiceMode();
    if (!currentMode && m_working.m_runAsService) {
        if (!InstallService() && m_working.m_runAsService)
            return;
    } else if (currentMode && !m_working.m_runAsService) {
        if (!RemoveService() && !m_working.m_runAsService)
            return;
    } else if (currentMode && !ApplyServiceConfig()) {
        return;
    }

    // The notice concerns a choice just made; an unchanged one was told about when it was made.
    const bool certificateChanged = m_working.m_securityCertName != stored.m_securityCertName;
    if (!m_working.m_securityCertName.empty() && (certificateChanged || addressChanged)) {
        std::string name =
            WaitOffThread([lookup = m_app.GetHostNameLookup(), address = m_working.m_generalTcpipAddress](
                              CConsoleApp&, const CBackgroundJob::Cancelled&) { return lookup(address); });
        if (name.empty())
            name = m_working.m_generalTcpipAddress;
        if (m_working.m_securityCertName != name)
            ShowMessage(this,
                        "The certificate you selected was not issued to " + name +
                            ".\nWhen a user access this secure website using https, he/she\nwill be asked by the web "
                            "browser whether to accept the certificate.",
                        QMessageBox::Information);
    }
    // The service step above has been taken whatever follows.
    m_app.SetServiceMode(m_working.m_runAsService);
    if (m_working.Differs(stored)) {
        std::string failure;
        if (!m_working.Save(&failure)) {
            // The sheet stays open with the edits, so that nothing is lost while the cause is mended.
            ShowMessage(this, CConsoleMessages::SaveFailed + failure);
            return;
        }
        // A store that cannot be read back was logged, and the console shows each log line in a
        // message box: no word of a restart follows a failure.
        const bool reloaded = stored.Load();
        if (reloaded && m_app.IsServerRunning())
            ShowMessage(this, CConsoleMessages::RestartToApply, QMessageBox::Information);
    }
    QDialog::accept();
}

void CSettingsSht::reject()
{
    if (!m_waiting)
        QDialog::reject();
}

bool CSettingsSht::InstallService()
{
    const bool running = m_app.IsServerRunning();
    if (!AskYesNo(this,
                  FormatText(running ? CConsoleMessages::AskStopAndInstallService : CConsoleMessages::AskInstallService,
                             CConsoleMessages::ServiceWords))) {
        m_working.m_runAsService = 0;
        return false;
    }
    if (running && !StopServerForSave())
        return false;
    CServiceControl manager;
    if (!manager.Install(m_app.ServerProgramPath(), CConsoleApp::kServiceName, CConsoleApp::kServiceName,
                         m_working.m_serviceStartType, m_working.m_serviceDependency, m_working.m_serviceUserName,
                         m_working.m_servicePassword)) {
        ShowMessage(this, CConsoleMessages::InstallServiceFailed + manager.GetErrorText());
        return false;
    }
    return true;
}

bool CSettingsSht::RemoveService()
{
    const bool running = m_app.IsServerRunning();
    if (!AskYesNo(this,
                  FormatText(running ? CConsoleMessages::AskStopAndRemoveService : CConsoleMessages::AskRemoveService,
                             CConsoleMessages::ServiceWords))) {
        m_working.m_runAsService = 1;
        return false;
    }
    const auto [removed, error] = WaitOffThread([](CConsoleApp&, const CBackgroundJob::Cancelled&) {
        CServiceControl manager;
        const bool removed = manager.RemoveByName(CConsoleApp::kServiceName);
        return std::make_pair(removed, manager.GetErrorText());
    });
    // Removing the service stops it first.
    if (running)
        emit serverStateChanged();
    if (!removed) {
        ShowMessage(this, FormatText(CConsoleMessages::RemoveServiceFailed, CConsoleMessages::ServiceWords) + error);
        return false;
    }
    return true;
}

bool CSettingsSht::ApplyServiceConfig()
{
    CServiceControl manager;
    if (m_working.m_serviceStartType != m_serviceStartType &&
        !manager.SetStartType(CConsoleApp::kServiceName, m_working.m_serviceStartType)) {
        ShowMessage(this, manager.GetErrorText() + "\r\nFailed to change whether the " +
                              CConsoleMessages::ServiceWords + " starts at boot");
        return false;
    }
    if (m_working.m_serviceDependency != m_serviceDependency &&
        !manager.SetDependency(CConsoleApp::kServiceName, m_working.m_serviceDependency)) {
        ShowMessage(this, manager.GetErrorText() + "\r\nFailed to change the dependency of the " +
                              CConsoleMessages::ServiceWords);
        return false;
    }
    return true;
}
