#include "console/security_page.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/certificate_request.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/gui_support.h"
#include "console/report_list.h"
#include "foundation/ascii_text.h"
#include "foundation/ssp_date_time.h"
#include "network/certificate_store.h"

namespace {

QLineEdit* ReadOnlyEdit(QWidget* parent, int id)
{
    auto* edit = WithId(new QLineEdit(parent), id);
    edit->setReadOnly(true);
    return edit;
}

}  // namespace

std::string FormatExpirationDate(std::int64_t expiration)
{
    const CSspDateTime date(expiration);
    return expiration > 0 && date.IsValid() ? date.GetDateStr() : "";
}

CSelectCertDlg::CSelectCertDlg(const std::string& certificateFolder, QWidget* parent)
    : QDialog(parent), m_folder(certificateFolder)
{
    setWindowTitle("Select Certificate");
    m_list = WithId(new CListCtrlEx(this), 1136);
    m_list->SetFullRowSel(true);
    // The fifth column says why a certificate of the folder can't serve (its key is missing or
    // belongs to another certificate), which the server would otherwise only log at its start.
    m_list->SetColumns({"Issued To", "Issued By", "Expiration", "Serial Number", "Problem"}, {100, 100, 100, 200, 200});
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
    connect(buttons, &QDialogButtonBox::accepted, this, &CSelectCertDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &CSelectCertDlg::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addWidget(buttons);
    resize(560, 300);
}

void CSelectCertDlg::FillCertificateList()
{
    m_list->clear();
    const CCertificateListing listing = ListCertificates(m_folder);
    for (const CCertificateEntry& entry : listing.entries) {
        auto* row =
            new QTreeWidgetItem({ToQt(entry.subject), ToQt(entry.issuer), ToQt(FormatExpirationDate(entry.expiration)),
                                 ToQt(entry.serial), ToQt(CheckCertificateFile(entry.path))});
        row->setData(0, Qt::UserRole, ToQt(entry.path));
        m_list->insertTopLevelItem(0, row);
    }
    const std::string failure = DescribeListingFailure(listing);
    if (!failure.empty())
        ShowMessage(this, failure);
}

int CSelectCertDlg::exec()
{
    FillCertificateList();
    if (m_issuedTo.empty()) {
        m_list->SelectRow(0);
    } else {
        for (int row = 0; row < m_list->topLevelItemCount(); ++row)
            if (EqualsNoCase(FromQt(m_list->CellText(row, 0)), m_issuedTo)) {
                m_list->SelectRow(row);
                break;
            }
    }
    return QDialog::exec();
}

void CSelectCertDlg::accept()
{
    const int row = m_list->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select a certificate or click Cancel.");
        return;
    }
    const std::string problem = FromQt(m_list->CellText(row, 4));
    if (!problem.empty()) {
        const std::string path = FromQt(m_list->topLevelItem(row)->data(0, Qt::UserRole).toString());
        ShowMessage(this, UnusableCertificateText(path, problem));
        return;
    }
    m_issuedTo = FromQt(m_list->CellText(row, 0));
    m_issuedBy = FromQt(m_list->CellText(row, 1));
    m_expiration = FromQt(m_list->CellText(row, 2));
    m_serialNumber = FromQt(m_list->CellText(row, 3));
    QDialog::accept();
}

CCertRequestDlg::CCertRequestDlg(const std::string& installDir, QWidget* parent)
    : QDialog(parent), m_installDir(installDir)
{
    setWindowTitle("Generate Certificate Request");
    auto edit = [this](int id) { return WithId(new QLineEdit(this), id); };
    m_countries = WithId(new QComboBox(this), 1141);
    for (const auto& [code, name] : CountryTable())
        m_countries->addItem(name, QString(code));
    m_countries->setCurrentIndex(m_countries->findText("United States"));
    // Key lengths of today: a 512- or 1024-bit key is no longer accepted by authorities.
    m_keyLength = WithId(new QComboBox(this), 1138);
    m_keyLength->addItems({"2048", "3072", "4096"});
    m_keyLength->setCurrentIndex(0);
    auto* output = edit(1144);
    auto* browse = WithId(new QPushButton("Browse...", this), 1146);
    connect(browse, &QPushButton::clicked, this, &CCertRequestDlg::OnBrowse);
    auto* outputRow = new QHBoxLayout;
    outputRow->addWidget(output, 1);
    outputRow->addWidget(browse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
    connect(buttons, &QDialogButtonBox::accepted, this, &CCertRequestDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout(this);
    form->addRow("Certificate name:", edit(1137));
    form->addRow("Common name (the server's domain name):", edit(1129));
    form->addRow("Organization:", edit(1139));
    form->addRow("Organization unit:", edit(1140));
    form->addRow("Country:", m_countries);
    form->addRow("State or province:", edit(1142));
    form->addRow("City or locality:", edit(1143));
    form->addRow("Output file:", outputRow);
    form->addRow("Key length (bits):", m_keyLength);
    form->addRow(buttons);
}

void CCertRequestDlg::SetOrganization(const std::string& organization)
{
    findChild<QLineEdit*>(ControlName(1139))->setText(ToQt(organization));
}

void CCertRequestDlg::OnBrowse()
{
    const QString path = QFileDialog::getSaveFileName(this, "Save Certificate Request As",
                                                      ToQt(m_installDir + "/cert_req.txt"), "Text Files (*.txt)");
    if (!path.isEmpty())
        findChild<QLineEdit*>(ControlName(1144))->setText(path);
}

void CCertRequestDlg::accept()
{
    auto text = [this](int id) { return FromQt(findChild<QLineEdit*>(ControlName(id))->text()); };
    m_certificateName = text(1137);
    m_commonName = text(1129);
    m_organization = text(1139);
    m_organizationUnit = text(1140);
    m_state = text(1142);
    m_city = text(1143);
    m_outputFile = text(1144);
    std::string code = FromQt(m_countries->currentData().toString());
    for (char& c : code)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    m_country = code;
    m_keyBits = m_keyLength->currentText().toInt();
    if (m_outputFile.empty()) {
        ShowMessage(this, "Please enter the file to save the request in.");
        findChild<QLineEdit*>(ControlName(1144))->setFocus();
        return;
    }
    QDialog::accept();
}

CSecurityPage::CSecurityPage(const std::string& installDir, QWidget* parent)
    : CSettingsPage("Secure Server", parent), m_installDir(installDir)
{
    m_issuedTo = ReadOnlyEdit(this, 1129);
    m_expiration = ReadOnlyEdit(this, 1147);
    m_issuedBy = ReadOnlyEdit(this, 1145);
    m_serial = ReadOnlyEdit(this, 1146);
    auto* hint = WithId(new QPlainTextEdit(CConsoleMessages::CertificateHint, this), 1150);
    hint->setReadOnly(true);
    auto* select = WithId(new QPushButton("Select Certificate", this), 1130);
    auto* request = WithId(new QPushButton("Generate Certificate Request", this), 1131);
    m_disable = WithId(new QPushButton("Disable Secure Web Server", this), 1135);
    auto* install = WithId(new QPushButton("Install Certificate", this), 1149);
    connect(select, &QPushButton::clicked, this, &CSecurityPage::OnSelectCertificate);
    connect(request, &QPushButton::clicked, this, &CSecurityPage::OnGenerateRequest);
    connect(m_disable, &QPushButton::clicked, this, &CSecurityPage::OnDisableSecureServer);
    connect(install, &QPushButton::clicked, this, &CSecurityPage::OnInstallCertificate);

    auto* form = new QFormLayout;
    form->addRow("Issued to:", m_issuedTo);
    form->addRow("Issued by:", m_issuedBy);
    form->addRow("Expiration:", m_expiration);
    form->addRow("Serial number:", m_serial);
    auto* buttons = new QGridLayout;
    buttons->addWidget(select, 0, 0);
    buttons->addWidget(m_disable, 0, 1);
    buttons->addWidget(request, 1, 0);
    buttons->addWidget(install, 1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(hint, 1);
}

void CSecurityPage::OnInitDialog()
{
    m_issuedTo->setText(ToQt(m_settings->m_securityCertName));
    m_issuedBy->setText(ToQt(m_settings->m_securityCertIssuer));
    m_serial->setText(ToQt(m_settings->m_securityCertSerial));
    m_expiration->setText(ToQt(m_settings->m_securityCertExpiration));
    m_disable->setEnabled(!m_settings->m_securityCertName.empty());
}

bool CSecurityPage::StoreControls()
{
    m_settings->m_securityCertName = FromQt(m_issuedTo->text());
    m_settings->m_securityCertIssuer = FromQt(m_issuedBy->text());
    m_settings->m_securityCertSerial = FromQt(m_serial->text());
    m_settings->m_securityCertExpiration = FromQt(m_expiration->text());
    return true;
}

void CSecurityPage::OnDisableSecureServer()
{
    // Saving the page then clears the certificate, which switches HTTPS off.
    for (QLineEdit* edit : {m_issuedTo, m_expiration, m_issuedBy, m_serial})
        edit->clear();
}

void CSecurityPage::OnSelectCertificate()
{
    CSelectCertDlg dialog(m_installDir + "/certs", this);
    dialog.m_issuedTo = FromQt(m_issuedTo->text());
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_issuedTo->setText(ToQt(dialog.m_issuedTo));
    m_issuedBy->setText(ToQt(dialog.m_issuedBy));
    m_serial->setText(ToQt(dialog.m_serialNumber));
    m_expiration->setText(ToQt(dialog.m_expiration));
    m_disable->setEnabled(true);
}

void CSecurityPage::OnGenerateRequest()
{
    CCertRequestDlg dialog(m_installDir, this);
    dialog.SetOrganization(m_settings->m_generalOrganizationName);
    if (dialog.exec() != QDialog::Accepted)
        return;
    CCertRequestFields fields;
    fields.certificateName = dialog.m_certificateName;
    fields.commonName = dialog.m_commonName;
    fields.organization = dialog.m_organization;
    fields.organizationUnit = dialog.m_organizationUnit;
    fields.countryCode = dialog.m_country;
    fields.state = dialog.m_state;
    fields.city = dialog.m_city;
    fields.outputFile = dialog.m_outputFile;
    fields.keyBits = dialog.m_keyBits;
    std::string message;
    CWaitCursor wait;
    const bool generated = GenerateCertificateRequest(fields, m_installDir + "/certs", message);
    ShowMessage(this, message, generated ? QMessageBox::Information : QMessageBox::Critical);
}

void CSecurityPage::OnInstallCertificate()
{
    const QString path =
        QFileDialog::getOpenFileName(this, "Select Certificate File", ToQt(m_installDir + "/certnew.cer"),
                                     "Certificate Files (*.cer *.crt *.pem *.p7b)");
    if (path.isEmpty())
        return;
    std::string message;
    const bool installed = InstallCertificateFile(FromQt(path), m_installDir + "/certs", message);
    ShowMessage(this, message, installed ? QMessageBox::Information : QMessageBox::Critical);
}
