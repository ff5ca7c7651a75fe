// CSecurityPage: the "Secure Server" page of the settings sheet: the certificate the HTTPS
// listener uses, chosen from the installation's certificate folder (CSelectCertDlg), a request
// for a new one (CCertRequestDlg), the installation of the authority's answer, and switching
// the secure server off.
#pragma once

#include <string>

#include <QDialog>

#include "console/settings_page.h"

class CListCtrlEx;
class QComboBox;
class QLineEdit;
class QPushButton;

class CSelectCertDlg : public QDialog
{
    Q_OBJECT
public:
    // In: the subject to preselect; out after OK: the chosen certificate's texts.
    std::string m_issuedTo;
    std::string m_issuedBy;
    std::string m_expiration;
    std::string m_serialNumber;

    CSelectCertDlg(const std::string& certificateFolder, QWidget* parent = nullptr);
    int exec() override;
    void FillCertificateList();
    CListCtrlEx* List() const { return m_list; }

public slots:
    void accept() override;

private:
    std::string m_folder;
    CListCtrlEx* m_list;
};

class CCertRequestDlg : public QDialog
{
    Q_OBJECT
public:
    CCertRequestDlg(const std::string& installDir, QWidget* parent = nullptr);

    void SetOrganization(const std::string& organization);
    // After OK: the fields, the country as its upper-case code and the key length in bits.
    std::string m_certificateName, m_commonName, m_organization, m_organizationUnit, m_country, m_state, m_city,
        m_outputFile;
    int m_keyBits = 2048;

public slots:
    void accept() override;
    void OnBrowse();

private:
    std::string m_installDir;
    QComboBox* m_countries;
    QComboBox* m_keyLength;
};

class CSecurityPage : public CSettingsPage
{
    Q_OBJECT
public:
    CSecurityPage(const std::string& installDir, QWidget* parent = nullptr);

public slots:
    void OnSelectCertificate();
    void OnGenerateRequest();
    void OnInstallCertificate();
    void OnDisableSecureServer();

protected:
    void OnInitDialog() override;
    bool StoreControls() override;

private:
    std::string m_installDir;
    QLineEdit* m_issuedTo;
    QLineEdit* m_expiration;
    QLineEdit* m_issuedBy;
    QLineEdit* m_serial;
    QPushButton* m_disable;
};

// The expiration as the lists show it: the date in the locale's order, "" when unknown.
std::string FormatExpirationDate(std::int64_t expiration);
