#include "console/general_page.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/console_config.h"
#include "console/gui_support.h"
#include "console/host_lookup.h"
#include "foundation/ascii_text.h"

namespace {

constexpr int kMaxDependency = 50;
// A day: a page that runs longer is a fault, and 0 switches the limit off anyway.
constexpr int kMaxPageRunTimeLimit = 86400;

}  // namespace

CGeneralPage::CGeneralPage(QWidget* parent) : CSettingsPage("General", parent)
{
    m_organization = WithId(new QLineEdit(this), 1126);
    m_address = WithId(new QComboBox(this), 1014);
    m_address->setEditable(true);
    m_tcpPort = WithId(new QLineEdit(this), 1000);
    m_sslPort = WithId(new QLineEdit(this), 1001);
    m_maxUpload = WithId(new QLineEdit(this), 1105);
    m_sessionTimeout = WithId(new QLineEdit(this), 1049);
    m_pageRunTimeLimit = WithId(new QLineEdit(this), 1151);
    m_dependency = WithId(new QComboBox(this), 1101);
    m_dependency->setEditable(true);

    m_runAs = new QButtonGroup(this);
    m_runAs->addButton(WithId(new QRadioButton("Normal Program", this), 1002), 0);
    m_runAs->addButton(WithId(new QRadioButton("System service (systemd)", this), 1003), 1);
    m_startType = new QButtonGroup(this);
    m_startType->addButton(WithId(new QRadioButton("Automatic", this), 1004), 0);
    m_startType->addButton(WithId(new QRadioButton("Manual", this), 1005), 1);
    m_startType->addButton(WithId(new QRadioButton("Disabled", this), 1006), 2);
    connect(m_runAs, &QButtonGroup::idClicked, this, [this] { OnRunAs(); });

    auto* form = new QFormLayout;
    form->addRow("Name of your organization (shown on every web page):", m_organization);
    form->addRow("Web server IP address:", m_address);
    form->addRow("TCP port:", m_tcpPort);
    form->addRow("SSL port:", m_sslPort);
    form->addRow("Max upload (MB)", m_maxUpload);
    auto* session = new QHBoxLayout;
    session->addWidget(new QLabel("Terminate a session", this));
    session->addWidget(m_sessionTimeout);
    session->addWidget(new QLabel("minutes after it is created", this));
    form->addRow(session);
    form->addRow("End a page that runs longer than (seconds, 0 for no limit):", m_pageRunTimeLimit);

    auto* runAs = new QGroupBox("Run Tarnwick Server as", this);
    auto* runAsLayout = new QVBoxLayout(runAs);
    for (QAbstractButton* button : m_runAs->buttons())
        runAsLayout->addWidget(button);
    auto* service = new QGroupBox("System service (systemd)", this);
    auto* serviceLayout = new QFormLayout(service);
    auto* startTypes = new QHBoxLayout;
    for (QAbstractButton* button : m_startType->buttons())
        startTypes->addWidget(button);
    serviceLayout->addRow("Startup type:", startTypes);
    serviceLayout->addRow("Service Dependency:", m_dependency);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(runAs);
    layout->addWidget(service);
    layout->addStretch();
}

void CGeneralPage::OnInitDialog()
{
    const CConsoleConfig& settings = *m_settings;
    m_organization->setText(ToQt(settings.m_generalOrganizationName));
    m_tcpPort->setText(ToQt(settings.m_generalTcpipPort));
    m_sslPort->setText(ToQt(settings.m_generalSslPort));
    m_sessionTimeout->setText(QString::number(settings.m_sessionTimeout));
    m_maxUpload->setText(QString::number(settings.m_maxUpload));
    m_pageRunTimeLimit->setText(QString::number(settings.m_pageRunTimeLimit));
    if (QAbstractButton* button = m_runAs->button(settings.m_runAsService ? 1 : 0))
        button->setChecked(true);
    if (QAbstractButton* button = m_startType->button(settings.m_serviceStartType))
        button->setChecked(true);
    m_dependency->setEditText(ToQt(settings.m_serviceDependency));

    std::vector<std::string> addresses;
    if (!ListLocalAddresses(addresses))
        ShowMessage(this, "Failed to list the network addresses of this host");
    for (const std::string& address : addresses)
        m_address->addItem(ToQt(address));
    // An address this computer does not hold is still offered as configured.
    const QString configured = ToQt(settings.m_generalTcpipAddress);
    int index = m_address->findText(configured);
    if (index < 0) {
        m_address->addItem(configured);
        index = m_address->count() - 1;
    }
    m_address->setCurrentIndex(index);
    OnRunAs();
    OnSetActive();
}

void CGeneralPage::OnSetActive()
{
    m_sslPort->setEnabled(!m_settings->m_securityCertName.empty());
}

void CGeneralPage::OnRunAs()
{
    const bool service = m_runAs->checkedId() == 1;
    for (QAbstractButton* button : m_startType->buttons())
        button->setEnabled(service);
    m_dependency->setEnabled(service);
}

bool CGeneralPage::StoreControls()
{
    int maxUpload = 0;
    int sessionTimeout = 0;
    int pageRunTimeLimit = 0;
    if (!ReadInteger(m_maxUpload, 1, 1000, maxUpload) || !ReadInteger(m_sessionTimeout, 1, 1440, sessionTimeout) ||
        !ReadInteger(m_pageRunTimeLimit, 0, kMaxPageRunTimeLimit, pageRunTimeLimit))
        return false;
    const QString dependency = m_dependency->currentText();
    if (!CheckLength(m_dependency, dependency, kMaxDependency))
        return false;
    CConsoleConfig& settings = *m_settings;
    settings.m_generalTcpipAddress = FromQt(m_address->currentText());
    settings.m_generalTcpipPort = FromQt(m_tcpPort->text());
    settings.m_maxUpload = maxUpload;
    settings.m_sessionTimeout = sessionTimeout;
    settings.m_pageRunTimeLimit = pageRunTimeLimit;
    settings.m_generalOrganizationName = FromQt(m_organization->text());
    settings.m_generalSslPort = FromQt(m_sslPort->text());
    settings.m_runAsService = m_runAs->checkedId() == 1 ? 1 : 0;
    settings.m_serviceStartType = m_startType->checkedId() < 0 ? 1 : m_startType->checkedId();
    settings.m_serviceDependency = std::string(TrimWhiteAscii(FromQt(dependency)));
    return true;
}
