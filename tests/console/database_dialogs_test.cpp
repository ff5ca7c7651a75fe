// The data-source dialog, the table-creation dialog and the Database page against the
// installation's real ODBC files and SQLite databases, under the offscreen platform.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>

#include <filesystem>

#include "console/console_app.h"
#include "console/console_config.h"
#include "console/create_tables_dialog.h"
#include "console/data_source_dialog.h"
#include "console/database_setup.h"
#include "console/db_page.h"
#include "console/gui_database_setup.h"
#include "console/gui_support.h"
#include "console/report_list.h"
#include "console/settings_sheet.h"
#include "database/odbc_connection.h"
#include "database/odbc_setup.h"
#include "database/odbc_statement.h"
#include "platform/named_objects.h"
#include "tests/console/console_test_support.h"
#include "tests/console/gui_test_support.h"
#include "tests/support/ci.h"

namespace {

class DatabaseDialogsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TW_INSTALL_DIR", m_install.Path().c_str(), 1);
        // A driver's library must exist for the driver to be offered; any existing one serves here.
        std::ofstream(m_tools.Path() + "/odbcinst.ini")
            << "[SQLite3]\nDriver=libsqlite3odbc.so\n\n[SQL Server Native]\nDriver="
            << FindOdbcDriverLibrary("libsqlite3odbc.so")
            << "\n\n[Removed Driver]\nDriver=libtw-removed-odbc.so\n\n[Gone By Path]\nDriver=/nowhere/libgone.so\n";
        setenv("TW_SYSTEM_ODBCINST", (m_tools.Path() + "/odbcinst.ini").c_str(), 1);
        m_install.WriteSettings("GeneralOrganizationName=Example\n");
        ASSERT_TRUE(m_console.LoadSettings());
    }
    void TearDown() override { unsetenv("TW_SYSTEM_ODBCINST"); }
    // The data source "empty" over a new SQLite file, opened in m_database for the table dialog.
    void OpenEmptyDatabase()
    {
        std::string error;
        ASSERT_TRUE(WriteSystemDataSource(Path(), "empty", "SQLite3", {{"Database", Path() + "/data/empty.db"}}, error))
            << error;
        m_setup.DetectSchemaVersion();
        m_database.Open("DSN=empty");
    }
    std::string Path() const { return m_install.Path(); }
    static CListCtrlEx* List(QWidget* dialog, int id) { return dialog->findChild<CListCtrlEx*>(ControlName(id)); }
    static QPushButton* Button(QWidget* dialog, int id) { return dialog->findChild<QPushButton*>(ControlName(id)); }
    static int RowOf(CListCtrlEx* list, const QString& text)
    {
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            if (list->CellText(row, 0) == text)
                return row;
        return -1;
    }

    CServerInstall m_install;
    TempFolder m_tools{"tw-console-tools"};
    CFakeSystemctl m_systemctl{m_tools.Path()};
    CConsoleConfig m_config{m_install.Path() + "/etc/settings.conf", m_install.Path()};
    CConsoleApp m_console{m_config, m_install.Path()};
    CModalAnswerer m_answers;
    CDatabaseSetup m_setup{m_install.Path()};
    CGuiDatabaseSetupUi m_ui{m_setup, nullptr};
    COdbcConnection m_database;
};

TEST_F(DatabaseDialogsTest, CreateDefaultMakesTheDefaultDataSourceAndDatabase)
{
    CDataSourceDlg dialog(Path(), "", "tw3", "hint");
    EXPECT_EQ(dialog.windowTitle(), "Set up data source");
    EXPECT_FALSE(Button(&dialog, 1)->isEnabled()) << "no data source chosen yet";
    EXPECT_FALSE(Button(&dialog, 1059)->isEnabled());
    Button(&dialog, 1082)->click();
    EXPECT_EQ(dialog.findChild<QLineEdit*>("id1058")->text(), "tw3");
    EXPECT_TRUE(Button(&dialog, 1)->isEnabled());
    EXPECT_TRUE(std::filesystem::exists(Path() + "/data/tw3.db"));
    EXPECT_GE(RowOf(List(&dialog, 1062), "tw3"), 0);

    COdbcConnection connection;
    connection.Open("DSN=tw3");
    connection.ExecuteSQL("SELECT * FROM tw3_registry");
}

TEST_F(DatabaseDialogsTest, OnlyDriversWhoseLibraryIsInstalledAreOffered)
{
    CDataSourceDlg dialog(Path(), "", "", "hint");
    CListCtrlEx* drivers = List(&dialog, 1060);
    EXPECT_GE(RowOf(drivers, "SQLite3"), 0);
    EXPECT_GE(RowOf(drivers, "SQL Server Native"), 0);
    EXPECT_EQ(RowOf(drivers, "Removed Driver"), -1) << "a library named without a path that is not installed";
    EXPECT_EQ(RowOf(drivers, "Gone By Path"), -1);
    EXPECT_EQ(drivers->topLevelItemCount(), 2);

    std::string error;
    EXPECT_FALSE(WriteSystemDataSource(Path(), "gone", "Removed Driver", {}, error));
    EXPECT_EQ(error, "The ODBC driver Removed Driver is not installed.");
    EXPECT_EQ(ReadWholeFile(Path() + "/etc/odbc.ini").find("[gone]"), std::string::npos);
}

TEST_F(DatabaseDialogsTest, WithoutADefaultNameTheDialogOnlyCreatesAndProposesNamesByDriver)
{
    CDataSourceDlg dialog(Path(), "", "", "You are creating an additional data source to be used in your own code.");
    EXPECT_EQ(dialog.windowTitle(), "Create data source");
    EXPECT_TRUE(Button(&dialog, 1082)->isHidden());
    EXPECT_EQ(dialog.findChild<QGroupBox*>("id1124")->title(), "New data source");

    CListCtrlEx* drivers = List(&dialog, 1060);
    drivers->SelectRow(RowOf(drivers, "SQL Server Native"));
    m_answers.QueueDialog([](QWidget* attributes) {
        EXPECT_EQ(attributes->findChild<QLineEdit*>("dataSourceName")->text(), "_sql");
        attributes->close();
    });
    Button(&dialog, 1061)->click();

    drivers->SelectRow(RowOf(drivers, "SQLite3"));
    m_answers.QueueDialog([this](QWidget* attributes) {
        attributes->findChild<QLineEdit*>("dataSourceName")->setText("extra");
        auto* table = attributes->findChild<QTableWidget*>("attributes");
        for (int row = 0; row < table->rowCount(); ++row)
            if (table->item(row, 0) && table->item(row, 0)->text() == "Database")
                table->item(row, 1)->setText(QString::fromStdString(Path() + "/data/extra.db"));
        attributes->findChild<QPushButton*>("id1")->click();
    });
    Button(&dialog, 1061)->click();
    EXPECT_EQ(dialog.findChild<QLineEdit*>("id1058")->text(), "extra")
        << "the data source the list did not show before is the new one, whatever its name";
    EXPECT_EQ(DataSourceKind(Path(), "extra"), "SQLite");
    EXPECT_NE(ReadWholeFile(Path() + "/etc/odbc.ini").find("Database=" + Path() + "/data/extra.db"), std::string::npos);
}

TEST_F(DatabaseDialogsTest, TheTableDialogRunsItsScriptAndAsksAtAFailure)
{
    OpenEmptyDatabase();
    CDatabaseSetup& setup = m_setup;
    CGuiDatabaseSetupUi& ui = m_ui;
    COdbcConnection& database = m_database;
    CCreateTablesDlg dialog(setup, ui, &database, "database: empty", Path() + "/data/tw3sqlite.sql", "DSN=empty");
    auto* script = dialog.findChild<QPlainTextEdit*>("id1127");
    EXPECT_TRUE(script->toPlainText().contains("CREATE TABLE tw3_registry"));
    script->setPlainText("CREATE TABLE broken (;\nCREATE TABLE tw3_registry (reg_user VARCHAR(50));\n");

    m_answers.QueueButton(QMessageBox::No);
    EXPECT_FALSE(dialog.RunScript());
    EXPECT_TRUE(m_answers.LastMessage().find("\nWould you like to continue?") != std::string::npos);
    EXPECT_TRUE(Button(&dialog, 1)->isEnabled());
    EXPECT_EQ(setup.CheckAccessDatabase(database, "DSN=empty", ui), 1) << "No stopped the script";

    m_answers.QueueButton(QMessageBox::Yes);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.findChild<QLineEdit*>("id1095")->text(),
              "All done, click OK to continue. 2 statements ran, 1 failed.");
    EXPECT_EQ(setup.CheckAccessDatabase(database, "DSN=empty", ui), 0);

    CCreateTablesDlg missing(setup, ui, &database, "", Path() + "/data/none.sql", "DSN=empty");
    EXPECT_EQ(m_answers.LastMessage(), "Failed to open file: " + Path() + "/data/none.sql");
}

TEST_F(DatabaseDialogsTest, EveryStatementOfAScriptRunsAndEachFailureIsReported)
{
    OpenEmptyDatabase();
    CDatabaseSetup& setup = m_setup;
    CGuiDatabaseSetupUi& ui = m_ui;
    COdbcConnection& database = m_database;
    CCreateTablesDlg dialog(setup, ui, &database, "database: empty", "", "DSN=empty");
    dialog.findChild<QPlainTextEdit*>("id1127")->setPlainText(
        "CREATE TABLE t_one (id INT, note VARCHAR(20) DEFAULT 'a;b', trigger_date DATE);\n"
        "CREATE TABLE t_two (x INT);\n"
        "CREATE TRIGGER t_one_added AFTER INSERT ON t_one BEGIN\n"
        "  INSERT INTO t_two VALUES (CASE WHEN new.id > 0 THEN new.id ELSE 0 END);\n"
        "END;\n"
        "CREATE TABLE t_two (again INT);\n"
        "CREATE TABLE t_three (y INT);\n"
        "CREATE TABLE tw3_registry (reg_user VARCHAR(50));\n"
        "CREATE TABLE t_last (z INT)\n");
    // Yes to go on at the failure, No at the summary: the dialog stays open.
    m_answers.QueueButton(QMessageBox::Yes);
    m_answers.QueueButton(QMessageBox::No);
    dialog.accept();
    EXPECT_NE(dialog.result(), QDialog::Accepted) << "a script with a failed statement is not done";
    ASSERT_EQ(m_answers.Messages().size(), 2u);
    EXPECT_EQ(m_answers.Messages()[0].rfind("CREATE TABLE t_two (again INT)\n", 0), 0u) << m_answers.Messages()[0];
    EXPECT_NE(m_answers.Messages()[0].find("already exists"), std::string::npos) << "the driver's own message";
    EXPECT_EQ(
        m_answers.Messages()[1].rfind("7 statements ran, 1 failed. Failed:\n\nCREATE TABLE t_two (again INT)\n", 0), 0u)
        << m_answers.Messages()[1];
    for (const char* table : {"t_one", "t_two", "t_three", "t_last"})
        EXPECT_NO_THROW(database.ExecuteSQL(std::string("SELECT * FROM ") + table)) << table;
    // The trigger copies the new id into t_two; a unique copy of t_two then refuses that id.
    database.ExecuteSQL("INSERT INTO t_one (id) VALUES (5)");
    database.ExecuteSQL("CREATE TABLE t_check (x INT UNIQUE)");
    database.ExecuteSQL("INSERT INTO t_check SELECT x FROM t_two");
    EXPECT_THROW(database.ExecuteSQL("INSERT INTO t_check VALUES (5)"), CDbException)
        << "the trigger was created whole";

    m_answers.Clear();
    dialog.findChild<QPlainTextEdit*>("id1127")->setPlainText("CREATE TABLE t_more (x INT)");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(m_answers.Messages().empty()) << m_answers.LastMessage();
    EXPECT_EQ(dialog.findChild<QLineEdit*>("id1095")->text(),
              "All done, click OK to continue. 1 statement ran, 0 failed.");
}

TEST_F(DatabaseDialogsTest, APostgreSqlScriptWithAFunctionAndItsTriggerRunsEveryStatement)
{
    const char* pg = std::getenv("TW_PG_CONNECT");
    if (!pg) {
        if (InCi())
            FAIL() << "TW_PG_CONNECT is not set: the PostgreSQL test server did not start";
        GTEST_SKIP() << "no PostgreSQL test server (TW_PG_CONNECT unset)";
    }
    // A schema of its own, so that other tests of the same server keep their tables.
    const std::string schema = "tw_script_" + std::to_string(getpid());
    m_database.Open(pg);
    m_database.ExecuteSQL("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    m_database.ExecuteSQL("CREATE SCHEMA " + schema);
    m_database.ExecuteSQL("SET search_path TO " + schema);
    CCreateTablesDlg dialog(m_setup, m_ui, &m_database, "database: tw3test", "", pg);
    dialog.findChild<QPlainTextEdit*>("id1127")->setPlainText(
        "-- A site's tables with a function that its trigger runs.\n"
        "CREATE FUNCTION touch_changed() RETURNS trigger AS $$\n"
        "BEGIN\n"
        "  NEW.changed := 'changed; by the trigger';\n"
        "  RETURN NEW;\n"
        "END;\n"
        "$$ LANGUAGE plpgsql;\n"
        "CREATE TABLE issue (id INT PRIMARY KEY, changed VARCHAR(40));\n"
        "CREATE TRIGGER issue_changed BEFORE INSERT OR UPDATE ON issue\n"
        "  FOR EACH ROW EXECUTE FUNCTION touch_changed();\n"
        "CREATE TABLE tw3_registry (reg_user VARCHAR(50) NOT NULL, reg_section VARCHAR(100) NOT NULL,\n"
        "  reg_key VARCHAR(100) NOT NULL, reg_value VARCHAR(2000));\n");
    const bool ran = dialog.RunScript();
    const std::string status = FromQt(dialog.findChild<QLineEdit*>("id1095")->text());
    std::string changed;
    try {
        m_database.ExecuteSQL("INSERT INTO issue (id) VALUES (1)");
        COdbcStatement statement(m_database);
        statement.ExecDirect("SELECT changed FROM issue WHERE id = 1");
        if (statement.Fetch())
            statement.GetText(1, changed);
        m_database.ExecuteSQL("SELECT * FROM tw3_registry");
    } catch (const CDbException& failure) {
        ADD_FAILURE() << failure.ErrorText();
    }
    m_database.ExecuteSQL("DROP SCHEMA " + schema + " CASCADE");
    EXPECT_TRUE(ran) << m_answers.LastMessage();
    EXPECT_TRUE(m_answers.Messages().empty()) << m_answers.LastMessage();
    EXPECT_EQ(status, "All done, click OK to continue. 4 statements ran, 0 failed.");
    EXPECT_EQ(changed, "changed; by the trigger") << "the function and its trigger were made";
}

TEST_F(DatabaseDialogsTest, TheDatabasePageChangesTheDataSourceAndCompactsOnlyAStoppedSqliteFile)
{
    CSettingsSht sheet("Settings", m_console, nullptr, 1);
    auto* page = static_cast<CDbPage*>(sheet.Page(1));
    auto* serialize = sheet.findChild<QCheckBox*>("id1054");
    auto* threadOwn = sheet.findChild<QCheckBox*>("id1055");
    serialize->click();
    EXPECT_FALSE(serialize->isChecked());
    EXPECT_TRUE(threadOwn->isChecked());
    EXPECT_FALSE(threadOwn->isEnabled());
    serialize->click();
    EXPECT_FALSE(threadOwn->isChecked());
    EXPECT_TRUE(threadOwn->isEnabled());

    // Change...: the default data source, made in the dialog, becomes the stored string.
    m_answers.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QPushButton*>("id1082")->click();
        dialog->findChild<QPushButton*>("id1")->click();
    });
    sheet.findChild<QPushButton*>("id1038")->click();
    const std::string connect = FromQt(sheet.findChild<QLineEdit*>("id1015")->text());
    EXPECT_EQ(connect.rfind("ODBC;DSN=tw3;", 0), 0u) << connect;

    page->Compact("ODBC;DSN=elsewhere;UID=sa");
    EXPECT_EQ(m_answers.LastMessage(), "You can only compact SQLite database files.");
    CStopEvent running;
    ASSERT_TRUE(running.Create(m_install.StopEventPath()));
    page->Compact(connect);
    EXPECT_EQ(m_answers.LastMessage(),
              "You need to shutdown Tarnwick Server \nbefore you can compact the SQLite database file.");
    running.Close();
    page->Compact(connect);
    EXPECT_EQ(m_answers.LastMessage(), "Database file has been compacted.");
    page->Compact("ODBC;DSN=tw3;Database=" + Path() + "/data/gone.db");
    EXPECT_EQ(m_answers.LastMessage().rfind("Failed to compact the database file", 0), 0u)
        << "a failure is not reported as done";
}

}  // namespace
