// CGeneralPage: the "General" page of the settings sheet: the organization's name, the web
// server's address and ports, the upload limit and session time-out, and whether the server runs
// as a normal program or as the service, with the service's start type and dependency, and how
// long a page may run before the server ends it.
#pragma once

#include "console/settings_page.h"

class QButtonGroup;
class QComboBox;
class QLineEdit;

class CGeneralPage : public CSettingsPage
{
    Q_OBJECT
public:
    explicit CGeneralPage(QWidget* parent = nullptr);

protected:
    void OnInitDialog() override;
    void OnSetActive() override;
    bool StoreControls() override;

private:
    void OnRunAs();

    QLineEdit* m_organization;
    QComboBox* m_address;
    QLineEdit* m_tcpPort;
    QLineEdit* m_sslPort;
    QLineEdit* m_maxUpload;
    QLineEdit* m_sessionTimeout;
    QLineEdit* m_pageRunTimeLimit;
    QButtonGroup* m_runAs;
    QButtonGroup* m_startType;
    QComboBox* m_dependency;
};
