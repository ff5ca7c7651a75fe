// CSettingsSht: the console's sheet of every server setting, opened by the Settings command. It
// loads its own working copy of the settings, lets its six pages edit it, checks the whole copy
// when the administrator presses Save, installs or removes the service when the run mode
// changes, and saves the copy only when it differs from what is stored.
#pragma once

#include <string>
#include <vector>

#include <QDialog>

#include "console/console_config.h"

class CConsoleApp;
class CDbPage;
class CEmailPage;
class CGeneralPage;
class CMimeTypePage;
class CSecurityPage;
class CSettingsPage;
class CTaskPage;
class QTabWidget;

class CSettingsSht : public QDialog
{
    Q_OBJECT
public:
    CSettingsSht(const QString& caption, CConsoleApp& app, QWidget* parent = nullptr, int firstPage = 0);

    CConsoleConfig& Working() { return m_working; }
    QTabWidget* Tabs() const { return m_tabs; }
    CSettingsPage* Page(int index) const;

    // 1 on success, 0 otherwise (the sheet then stays open).
    int InstallService();
    int RemoveService();
    int ApplyServiceConfig();

signals:
    // The sheet stopped the server (or tried to): the server's state has changed.
    void serverStateChanged();

public slots:
    // The Save button.
    void accept() override;

private:
    void OnInitDialog();
    void OnPageChanged(int index);
    // The checks of the whole working copy; false after telling what is wrong.
    bool CheckSettings();
    // Stops the server so that the settings can be saved; false after showing why it failed.
    bool StopServerForSave();

    CConsoleApp& m_app;
    CConsoleConfig m_working;
    QTabWidget* m_tabs;
    std::vector<CSettingsPage*> m_pages;
    int m_activePage = -1;
    // The service's start type and dependency as read when the sheet opened.
    int m_serviceStartType = CConsoleConfig::kStartManual;
    std::string m_serviceDependency;
};
