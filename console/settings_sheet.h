// CSettingsSht: the console's sheet of every server setting, opened by the Settings command. It
// loads its own working copy of the settings, lets its six pages edit it, checks the whole copy
// when the administrator presses Save, installs or removes the service when the run mode
// changes, and saves the copy only when it differs from what is stored.
#pragma once

#include <string>
#include <vector>

#include <QDialog>

#include "console/background_job.h"
#include "console/console_config.h"
#include "console/gui_support.h"

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

    // False after telling the administrator what failed (the sheet then stays open).
    [[nodiscard]] bool InstallService();
    [[nodiscard]] bool RemoveService();
    [[nodiscard]] bool ApplyServiceConfig();

signals:
    // The sheet stopped the server (or tried to): the server's state has changed.
    void serverStateChanged();

public slots:
    // The Save button.
    void accept() override;
    // Cancel, Escape and the window's close, except while a wait is in flight.
    void reject() override;

private:
    void OnInitDialog();
    void OnPageChanged(int index);
    // The checks of the whole working copy; false after telling what is wrong.
    [[nodiscard]] bool CheckSettings();
    // Stops the server so that the settings can be saved; false after showing why it failed.
    [[nodiscard]] bool StopServerForSave();
    // Runs `work` (Result(CConsoleApp&, const CBackgroundJob::Cancelled&)) off the window's thread
    // and returns its result; meanwhile the windows keep processing their events, with the sheet
    // disabled and the busy cursor.
    template <typename Work>
    auto WaitOffThread(Work work);

    CConsoleApp& m_app;
    CConsoleConfig m_working;
    QTabWidget* m_tabs;
    std::vector<CSettingsPage*> m_pages;
    int m_activePage = -1;
    // The service's start type and dependency as read when the sheet opened.
    int m_serviceStartType = CConsoleConfig::kStartManual;
    std::string m_serviceDependency;
    // A wait off the window's thread is in flight: the sheet can't be closed meanwhile.
    bool m_waiting = false;
};

template <typename Work>
auto CSettingsSht::WaitOffThread(Work work)
{
    m_waiting = true;
    setEnabled(false);
    const CWaitCursor busy;
    CConsoleApp& app = m_app;
    auto result = CBackgroundJob::RunAndWait(
        [&app, work = std::move(work)](const CBackgroundJob::Cancelled& cancelled) { return work(app, cancelled); });
    setEnabled(true);
    m_waiting = false;
    return result;
}
