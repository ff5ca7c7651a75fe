#include "console/task_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/console_config.h"
#include "console/gui_support.h"
#include "console/report_list.h"
#include "foundation/number_parse.h"
#include "foundation/ssp_date_time.h"
#include "foundation/task_entry.h"
#include "platform/file_system.h"

namespace {

const char* const kDays[] = {"Day", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
constexpr int kLockedNameRows = 13;
constexpr int kSystemTaskRows = 6;
enum Column
{
    kName,
    kStatus,
    kScript,
    kEvery,
    kAt
};

std::string EveryMinutesText(const std::string& minutes)
{
    return minutes + " minute(s)";
}

// The time of day typed or chosen, read by the locale's rules: minutes after midnight, 0 when it
// can't be read.
int ParseTimeOfDay(const std::string& text)
{
    int hour = 0;
    int minute = 0;
    if (!CSspDateTime::ParseLocaleTime(text, hour, minute))
        return 0;
    return hour * 60 + minute;
}

}  // namespace

std::string FormatTimeOfDay(int minutesAfterMidnight)
{
    // Any day serves: only the time of day is shown.
    return CSspDateTime(MakeLocalTime(2001, 1, 1, minutesAfterMidnight / 60, minutesAfterMidnight % 60, 0))
        .GetTimeStr();
}

CTaskDlg::CTaskDlg(const std::string& installDir, QWidget* parent) : QDialog(parent), m_installDir(installDir)
{
    m_nameEdit = WithId(new QLineEdit(this), 1106);
    m_scriptEdit = WithId(new QLineEdit(this), 1107);
    m_browse = WithId(new QPushButton("Browse...", this), 1109);
    m_scriptNote = new QLabel(this);
    m_scriptNote->setObjectName("scriptNote");
    m_scriptNote->setWordWrap(true);
    connect(m_scriptEdit, &QLineEdit::textChanged, this, &CTaskDlg::UpdateScriptNote);
    m_enabledCheck = WithId(new QCheckBox("Enabled", this), 1108);
    m_kindGroup = new QButtonGroup(this);
    m_kindGroup->addButton(WithId(new QRadioButton("Every ", this), 1111), 0);
    m_kindGroup->addButton(WithId(new QRadioButton("Every ", this), 1112), 1);
    m_dayCombo = WithId(new QComboBox(this), 1113);
    for (const char* day : kDays)
        m_dayCombo->addItem(day);
    m_timeCombo = WithId(new QComboBox(this), 1114);
    m_timeCombo->setEditable(true);
    m_minutesEdit = WithId(new QLineEdit(this), 1115);
    connect(m_kindGroup, &QButtonGroup::idClicked, this, [this](int kind) {
        m_kind = kind;
        EnableByKind();
    });
    connect(m_browse, &QPushButton::clicked, this, &CTaskDlg::OnBrowse);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
    connect(buttons, &QDialogButtonBox::accepted, this, &CTaskDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Name: ", this), 0, 0);
    grid->addWidget(m_nameEdit, 0, 1, 1, 3);
    grid->addWidget(new QLabel("Script:", this), 1, 0);
    grid->addWidget(m_scriptEdit, 1, 1, 1, 2);
    grid->addWidget(m_browse, 1, 3);
    grid->addWidget(m_scriptNote, 2, 1, 1, 3);
    grid->addWidget(m_enabledCheck, 3, 1);
    grid->addWidget(m_kindGroup->button(0), 4, 0);
    grid->addWidget(m_dayCombo, 4, 1);
    grid->addWidget(new QLabel("at", this), 4, 2);
    grid->addWidget(m_timeCombo, 4, 3);
    grid->addWidget(m_kindGroup->button(1), 5, 0);
    grid->addWidget(m_minutesEdit, 5, 1);
    grid->addWidget(new QLabel("minute(s)", this), 5, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttons);
}

int CTaskDlg::exec()
{
    setWindowTitle(m_kind < 0 ? "New Background Task" : "Edit Background Task");
    if (m_kind < 0)
        m_kind = 1;
    m_nameEdit->setText(ToQt(m_name));
    m_scriptEdit->setText(ToQt(m_script));
    m_enabledCheck->setChecked(m_enabled);
    m_minutesEdit->setText(ToQt(m_minutes));
    m_timeCombo->clear();
    for (int hour = 1; hour <= 23; hour += 2)
        m_timeCombo->addItem(ToQt(FormatTimeOfDay(hour * 60)));
    m_timeCombo->setEditText(ToQt(m_time));
    m_dayCombo->setCurrentIndex(m_dayCombo->findText(ToQt(m_day)));
    m_kindGroup->button(m_kind)->setChecked(true);
    m_nameEdit->setEnabled(!m_nameLocked);
    // The Email Sender runs every so many minutes.
    m_scriptEdit->setEnabled(!m_emailSender);
    m_browse->setEnabled(!m_emailSender);
    m_kindGroup->button(0)->setEnabled(!m_emailSender);
    EnableByKind();
    UpdateScriptNote();
    return QDialog::exec();
}

std::string CTaskDlg::ScriptFile() const
{
    const std::string script = FromQt(m_scriptEdit->text());
    if (script.empty() || m_emailSender)
        return {};
    return ResolveTaskScript(script, m_installDir);
}

void CTaskDlg::UpdateScriptNote()
{
    // The default tasks name scripts that a site may not have: a task without its file does
    // not run, and the server says so only in its log.
    const std::string file = ScriptFile();
    const bool missing = !file.empty() && !FileExists(file);
    m_scriptNote->setText(missing ? ToQt("This script does not exist: " + file) : QString());
    m_scriptNote->setVisible(missing);
}

void CTaskDlg::EnableByKind()
{
    m_dayCombo->setEnabled(m_kind == 0);
    m_timeCombo->setEnabled(m_kind == 0);
    m_minutesEdit->setEnabled(m_kind == 1);
}

void CTaskDlg::OnBrowse()
{
    const QString path =
        QFileDialog::getOpenFileName(this, "Select a Script", ToQt(m_installDir + "/webroot"), "*.tws");
    if (!path.isEmpty())
        m_scriptEdit->setText(path);
}

void CTaskDlg::accept()
{
    m_name = FromQt(m_nameEdit->text());
    m_script = FromQt(m_scriptEdit->text());
    m_enabled = m_enabledCheck->isChecked();
    m_day = FromQt(m_dayCombo->currentText());
    m_time = FromQt(m_timeCombo->currentText());
    m_minutes = FromQt(m_minutesEdit->text());
    auto refuse = [this](QWidget* control, const std::string& message) {
        ShowMessage(this, message);
        control->setFocus();
    };
    if (m_name.empty())
        return refuse(m_nameEdit, "Please enter task name.");
    if (m_script.empty() && !m_emailSender)
        return refuse(m_scriptEdit, "Please enter script name.");
    const std::string file = ScriptFile();
    if (m_enabled && !file.empty() && !FileExists(file) &&
        !AskYesNo(this, "The script " + file + " does not exist, so this task can not run.\nSave it anyway?")) {
        m_scriptEdit->setFocus();
        return;
    }
    const int minutes = ParseInt32(m_minutes);
    if (m_kind == 1 && (minutes < 1 || minutes > 1440))
        return refuse(m_minutesEdit, "Please enter an interval between 1 and 1440 minutes.");
    if (m_kind == 0 && m_day.empty()) {
        m_dayCombo->setCurrentIndex(0);
        return refuse(m_dayCombo, "Please select the day for this task to run.");
    }
    if (m_kind == 0 && m_time.empty())
        return refuse(m_timeCombo, "Please select or enter the time for this task to run.");
    int hour = 0;
    int minute = 0;
    if (m_kind == 0 && !CSspDateTime::ParseLocaleTime(m_time, hour, minute))
        return refuse(m_timeCombo, "The time \"" + m_time +
                                       "\" in the field \"at\" can not be read.\nPlease select or "
                                       "enter a time such as " +
                                       FormatTimeOfDay(13 * 60) + ".");
    QDialog::accept();
}

CTaskPage::CTaskPage(const std::string& installDir, QWidget* parent)
    : CSettingsPage("Tasks", parent), m_installDir(installDir)
{
    m_list = WithId(new CListCtrlEx(this), 1117);
    m_list->SetColumns({"Name", "Status", "Run Script", "Every", "At"}, {200, 70, 155, 95, 70});
    auto* add = new QPushButton("&New...", this);
    add->setObjectName("newButton");
    auto* edit = new QPushButton("&Edit...", this);
    edit->setObjectName("editButton");
    auto* remove = new QPushButton("&Delete", this);
    remove->setObjectName("deleteButton");
    connect(add, &QPushButton::clicked, this, &CTaskPage::OnNew);
    connect(edit, &QPushButton::clicked, this, &CTaskPage::OnEdit);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &CTaskPage::OnEdit);
    connect(remove, &QPushButton::clicked, this, &CTaskPage::OnDelete);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    for (QPushButton* button : {add, edit, remove})
        buttons->addWidget(button);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);
}

void CTaskPage::OnInitDialog()
{
    for (std::size_t i = 0; i < m_settings->GetTaskCount(); ++i) {
        const CTaskEntry& task = *m_settings->GetTask(i);
        const int kind = task.GetKind();
        const int minutes = static_cast<int>(task.GetIntervalSeconds() / 60);
        const bool everyMinutes = kind == kTaskEveryMinutes;
        auto* item = new QTreeWidgetItem;
        item->setText(kName, ToQt(task.GetName()));
        item->setText(kStatus, task.IsEnabled() ? "Enabled" : "Disabled");
        item->setText(kScript, ToQt(task.GetScript()));
        item->setText(kEvery, ToQt(everyMinutes ? EveryMinutesText(std::to_string(minutes)) : GetDayText(kind)));
        item->setText(kAt, everyMinutes ? QString() : ToQt(FormatTimeOfDay(minutes)));
        m_list->addTopLevelItem(item);
    }
    m_list->SelectRow(0);
}

void CTaskPage::SetRow(int row, const CTaskDlg& dialog)
{
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    item->setText(kName, ToQt(dialog.m_name));
    item->setText(kStatus, dialog.m_enabled ? "Enabled" : "Disabled");
    item->setText(kScript, ToQt(dialog.m_script));
    item->setText(kEvery, ToQt(dialog.m_kind == 1 ? EveryMinutesText(dialog.m_minutes) : dialog.m_day));
    item->setText(kAt, dialog.m_kind == 1 ? QString() : ToQt(dialog.m_time));
}

void CTaskPage::OnNew()
{
    CTaskDlg dialog(m_installDir, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_list->addTopLevelItem(new QTreeWidgetItem);
    SetRow(m_list->topLevelItemCount() - 1, dialog);
}

void CTaskPage::OnEdit()
{
    const int row = m_list->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select the task to edit.");
        return;
    }
    CTaskDlg dialog(m_installDir, this);
    dialog.m_name = FromQt(m_list->CellText(row, kName));
    dialog.m_enabled = m_list->CellText(row, kStatus) == "Enabled";
    dialog.m_script = FromQt(m_list->CellText(row, kScript));
    const std::string every = FromQt(m_list->CellText(row, kEvery));
    const std::string at = FromQt(m_list->CellText(row, kAt));
    if (!at.empty()) {
        dialog.m_kind = 0;
        dialog.m_day = every;
        dialog.m_time = at;
    } else {
        dialog.m_kind = 1;
        dialog.m_minutes = std::to_string(ParseInt32(every));
    }
    dialog.m_nameLocked = row < kLockedNameRows;
    dialog.m_emailSender = IsEmailSenderTask(static_cast<std::size_t>(row));
    if (dialog.exec() != QDialog::Accepted)
        return;
    SetRow(row, dialog);
}

void CTaskPage::OnDelete()
{
    const int row = m_list->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select the task to edit.");
        return;
    }
    if (row < kSystemTaskRows) {
        ShowMessage(this, "Tasks 1 to 6 are system tasks and can not be deleted");
        return;
    }
    m_list->SelectRow(row - 1);
    delete m_list->takeTopLevelItem(row);
}

bool CTaskPage::StoreControls()
{
    m_settings->ClearTasks();
    for (int row = 0; row < m_list->topLevelItemCount(); ++row) {
        CTaskEntry& task = m_settings->AddTask();
        task.SetName(FromQt(m_list->CellText(row, kName)));
        task.SetEnabled(m_list->CellText(row, kStatus) == "Enabled");
        task.SetScript(FromQt(m_list->CellText(row, kScript)));
        const std::string every = FromQt(m_list->CellText(row, kEvery));
        task.SetKind(ParseScheduleKind(every));
        const int minutes = task.GetKind() == kTaskEveryMinutes ? ParseInt32(every)
                                                                : ParseTimeOfDay(FromQt(m_list->CellText(row, kAt)));
        task.SetIntervalSeconds(std::int64_t{minutes} * 60);
        task.ComputeNextRun();
    }
    return true;
}
