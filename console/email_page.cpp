#include "console/email_page.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/gui_support.h"
#include "foundation/ascii_text.h"

namespace {

struct CEmailField
{
    int id;
    std::string CConsoleConfig::*setting;
};

// The text fields and the setting each one edits; the two web addresses and the limit have rules
// of their own.
const CEmailField kTextFields[] = {
    {1068, &CConsoleConfig::m_emAdminEmail},       {1027, &CConsoleConfig::m_emSmtpServer},
    {1123, &CConsoleConfig::m_emSmtpPort},         {1031, &CConsoleConfig::m_emSmtpUserName},
    {1033, &CConsoleConfig::m_emSmtpPassword},     {1028, &CConsoleConfig::m_emPop3Server},
    {1124, &CConsoleConfig::m_emPop3Port},         {1032, &CConsoleConfig::m_emImporterEmail},
    {1029, &CConsoleConfig::m_emImporterUserName}, {1030, &CConsoleConfig::m_emImporterPassword},
};
constexpr int kHttpField = 1153;
constexpr int kHttpsField = 1152;
constexpr int kLimitField = 1154;
// The server sends at least this many mails a day; a lower stored limit is raised when it loads.
constexpr int kMinLimit = CServerConfig::kMinEmailsPerDay;
constexpr int kMaxLimit = 1000000;

std::string WithoutPrefix(const std::string& address, std::string_view prefix)
{
    return EqualsNoCase(std::string_view(address).substr(0, prefix.size()), prefix) ? address.substr(prefix.size())
                                                                                    : address;
}

// An empty field stays empty, so that the server builds the address from its own address and
// port; a bare prefix would be taken as the base of the links in its mails.
std::string WithPrefix(std::string_view prefix, const std::string& field)
{
    const std::string address(TrimWhiteAscii(field));
    return address.empty() ? "" : std::string(prefix) + address;
}

}  // namespace

CEmailPage::CEmailPage(QWidget* parent) : CSettingsPage("Email", parent)
{
    auto field = [this](int id, bool secret = false) {
        auto* edit = WithId(new QLineEdit(this), id);
        if (secret)
            edit->setEchoMode(QLineEdit::Password);
        return edit;
    };
    auto* layout = new QVBoxLayout(this);
    auto* admin = new QFormLayout;
    admin->addRow(new QLabel("Administrator email addresses:  (use semi-colon to separate addresses)", this));
    admin->addRow(field(1068));
    layout->addLayout(admin);

    auto* sender = new QGroupBox("Email Sender", this);
    auto* senderForm = new QFormLayout(sender);
    senderForm->addRow("Outgoing mail (SMTP) server", field(1027));
    senderForm->addRow("Port", field(1123));
    senderForm->addRow("Account name", field(1031));
    senderForm->addRow("Password", field(1033, true));
    senderForm->addRow(ToQt(FormatText("Max number of emails per day (%d or more):", kMinLimit)), field(kLimitField));
    auto* addresses = new QLabel("Web server addresses in emails, the base of the links that mails hold. Left "
                                 "empty, they are made of the server's address and port:",
                                 this);
    addresses->setWordWrap(true);
    senderForm->addRow(addresses);
    senderForm->addRow("http://", field(kHttpField));
    senderForm->addRow("https://", field(kHttpsField));
    layout->addWidget(sender);

    auto* importer = new QGroupBox("Email Importer", this);
    auto* importerForm = new QFormLayout(importer);
    importerForm->addRow("Incoming mail (POP3) server", field(1028));
    importerForm->addRow("Port", field(1124));
    importerForm->addRow("Email Importer email address", field(1032));
    importerForm->addRow("Account name", field(1029));
    importerForm->addRow("Password", field(1030, true));
    auto* note = new QLabel("Importer must have its own email account! Defects can be sent to its email address and "
                            "get imported into the database.",
                            this);
    note->setWordWrap(true);
    importerForm->addRow(note);
    layout->addWidget(importer);
    layout->addStretch();
}

QLineEdit* CEmailPage::Field(int id) const
{
    return findChild<QLineEdit*>(ControlName(id));
}

void CEmailPage::OnInitDialog()
{
    const CConsoleConfig& settings = *m_settings;
    for (const CEmailField& field : kTextFields)
        Field(field.id)->setText(ToQt(settings.*field.setting));
    Field(kHttpField)->setText(ToQt(WithoutPrefix(settings.m_generalHttpAddr, "http://")));
    Field(kHttpsField)->setText(ToQt(WithoutPrefix(settings.m_generalHttpsAddr, "https://")));
    Field(kLimitField)->setText(QString::number(settings.m_emMaxEmailOut));
    OnSetActive();
}

void CEmailPage::OnSetActive()
{
    // An empty field shows what the server will use, from the General page's address and port.
    Field(kHttpField)->setPlaceholderText(ToQt(WithoutPrefix(m_settings->DefaultHttpAddress(), "http://")));
    Field(kHttpsField)->setPlaceholderText(ToQt(WithoutPrefix(m_settings->DefaultHttpsAddress(), "https://")));
}

bool CEmailPage::StoreControls()
{
    int limit = 0;
    if (!ReadInteger(Field(kLimitField), kMinLimit, kMaxLimit, limit))
        return false;
    CConsoleConfig& settings = *m_settings;
    for (const CEmailField& field : kTextFields)
        settings.*field.setting = TrimWhiteAscii(FromQt(Field(field.id)->text()));
    settings.m_generalHttpAddr = WithPrefix("http://", FromQt(Field(kHttpField)->text()));
    settings.m_generalHttpsAddr = WithPrefix("https://", FromQt(Field(kHttpsField)->text()));
    settings.m_emMaxEmailOut = limit;
    return true;
}
