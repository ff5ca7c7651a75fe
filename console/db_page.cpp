#include "console/db_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/console_app.h"
#include "console/console_config.h"
#include "console/console_messages.h"
#include "console/database_setup.h"
#include "console/gui_database_setup.h"
#include "console/gui_support.h"
#include "console/odbc_admin.h"
#include "database/odbc_connection.h"

CDbPage::CDbPage(QWidget* parent) : CSettingsPage("Database", parent)
{
    m_connect = WithId(new QLineEdit(this), 1015);
    m_serialize = WithId(new QCheckBox("Serialize database access", this), 1054);
    m_serialize->setToolTip("Pages and attachment downloads use the database one at a time. Needed by databases "
                            "and drivers that can't serve several statements at once.");
    m_threadOwn = WithId(new QCheckBox("Don't share database connections", this), 1055);
    m_threadOwn->setToolTip("Every page run opens a connection of its own and closes it when it ends, instead of "
                            "taking a shared one from the pool. Always so when access is not serialized.");
    auto* change = WithId(new QPushButton("Change...", this), 1038);
    auto* compact = WithId(new QPushButton("Compact", this), 1125);
    connect(m_serialize, &QCheckBox::clicked, this, &CDbPage::OnSerialize);
    connect(change, &QPushButton::clicked, this, &CDbPage::OnChange);
    connect(compact, &QPushButton::clicked, this, &CDbPage::OnCompact);

    auto* connectRow = new QHBoxLayout;
    connectRow->addWidget(m_connect, 1);
    connectRow->addWidget(change);
    auto* form = new QFormLayout;
    form->addRow("ODBC connect string:", connectRow);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_serialize);
    layout->addWidget(m_threadOwn);
    auto* compactRow = new QHBoxLayout;
    compactRow->addWidget(compact);
    compactRow->addStretch();
    layout->addLayout(compactRow);
    layout->addStretch();
}

void CDbPage::OnInitDialog()
{
    m_connect->setText(ToQt(m_settings->m_dbOdbcConnectString));
    m_serialize->setChecked(m_settings->m_dbAccessSerialize != 0);
    m_threadOwn->setChecked(m_settings->m_dbConnectionThreadOwn != 0);
    EnableThreadOwn();
}

void CDbPage::EnableThreadOwn()
{
    m_threadOwn->setEnabled(m_serialize->isChecked());
}

bool CDbPage::StoreControls()
{
    m_settings->m_dbOdbcConnectString = FromQt(m_connect->text());
    m_settings->m_dbAccessSerialize = m_serialize->isChecked() ? 1 : 0;
    m_settings->m_dbConnectionThreadOwn = m_threadOwn->isChecked() ? 1 : 0;
    return true;
}

void CDbPage::OnSerialize()
{
    // Without serialised access, threads sharing a connection would interleave statements.
    m_threadOwn->setChecked(!m_serialize->isChecked());
    EnableThreadOwn();
}

void CDbPage::OnChange()
{
    std::string connect = FromQt(m_connect->text());
    ChangeDataSource(connect);
    m_connect->setText(ToQt(connect));
}

void CDbPage::ChangeDataSource(std::string& connect)
{
    CDatabaseSetup& setup = TheDatabaseSetup();
    CGuiDatabaseSetupUi ui(setup, this);
    std::string dsn = CDatabaseSetup::GetConnectionValue("DSN", connect);
    const std::string defaultDsn = CDatabaseSetup::GetConnectionValue("DSN", CDatabaseSetup::DefaultConnectString());
    if (!ui.ChooseDataSource(dsn, defaultDsn, CConsoleMessages::RestartNeeded))
        return;
    const std::string trial = setup.TrialConnectString(dsn);
    try {
        COdbcConnection database;
        database.Open(trial);
        const int tables = setup.CheckAccessDatabase(database, trial, ui);
        if (tables == 0 || (tables == 1 && setup.CheckServerDatabase(database, trial, ui)))
            connect = CDatabaseSetup::StoredConnectString(database);
        database.Close();
    } catch (const CDbException& failure) {
        ShowMessage(this, failure.ErrorText());
    }
}

void CDbPage::OnCompact()
{
    Compact(FromQt(m_connect->text()));
}

void CDbPage::Compact(const std::string& connect)
{
    const std::string file = DatabaseFileOf(TheDatabaseSetup().InstallDir(), connect);
    if (file.empty()) {
        ShowMessage(this, "You can only compact SQLite database files.");
        return;
    }
    if (m_app && m_app->IsServerRunning()) {
        ShowMessage(this, CConsoleMessages::StopBeforeCompact);
        return;
    }
    std::string error;
    bool compacted;
    {
        CWaitCursor wait;
        compacted = CompactDatabaseFile(file, file, &error);
    }
    if (compacted)
        ShowMessage(this, "Database file has been compacted.", QMessageBox::Information);
    else
        ShowMessage(this, "Failed to compact the database file " + file + ".\n" + error);
}
