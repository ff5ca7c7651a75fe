// CTaskPage: the "Tasks" page of the settings sheet: the server's background tasks, listed as
// rows that the administrator adds, edits and deletes, written back as the whole task list when
// the sheet saves. CTaskDlg edits one task.
#pragma once

#include <QDialog>

#include "console/settings_page.h"

class CListCtrlEx;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class CTaskDlg : public QDialog
{
    Q_OBJECT
public:
    // The fields, filled by the caller before exec and read after OK. Kind 0: on a day or weekday
    // at a time; 1: every so many minutes; -1: a new task (which starts as kind 1).
    std::string m_name;
    std::string m_script;
    bool m_enabled = false;
    int m_kind = -1;
    std::string m_day;
    std::string m_time;
    std::string m_minutes = "5";
    bool m_nameLocked = false;
    bool m_emailSender = false;  // the task sends the outbox: it has no script

    CTaskDlg(const std::string& installDir, QWidget* parent = nullptr);
    int exec() override;

public slots:
    void accept() override;
    void OnBrowse();

private:
    void EnableByKind();
    // The script file that the script field names, as the server will look for it; "" for the
    // Email Sender, which has none.
    std::string ScriptFile() const;
    // Shows under the script field whether its file exists.
    void UpdateScriptNote();

    std::string m_installDir;
    QLineEdit* m_nameEdit;
    QLineEdit* m_scriptEdit;
    QLabel* m_scriptNote;
    QPushButton* m_browse;
    QCheckBox* m_enabledCheck;
    QButtonGroup* m_kindGroup;
    QComboBox* m_dayCombo;
    QComboBox* m_timeCombo;
    QLineEdit* m_minutesEdit;
};

class CTaskPage : public CSettingsPage
{
    Q_OBJECT
public:
    CTaskPage(const std::string& installDir, QWidget* parent = nullptr);

    CListCtrlEx* List() const { return m_list; }

public slots:
    void OnNew();
    void OnEdit();
    void OnDelete();

protected:
    void OnInitDialog() override;
    bool StoreControls() override;

private:
    void SetRow(int row, const CTaskDlg& dialog);

    std::string m_installDir;
    CListCtrlEx* m_list;
};

// The time of day of a daily or weekly task, as the page shows it (the locale's clock).
std::string FormatTimeOfDay(int minutesAfterMidnight);
