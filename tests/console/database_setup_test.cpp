// The installation's ODBC files as the console edits them, the connect-string helpers, and the
// start-up check of the data source against real SQLite databases.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>

#include "console/database_setup.h"
#include "console/odbc_admin.h"
#include "database/odbc_connection.h"
#include "database/odbc_setup.h"
#include "tests/network/test_certificates.h"
#include "tests/support/temp_folder.h"

namespace {

// Answers the checks' questions from a script and records what they asked.
class CScriptedUi : public CDatabaseSetupUi
{
public:
    std::deque<std::string> choices;  // data sources to choose; an empty queue cancels
    bool createTables = false;        // run the offered script and end with OK
    std::vector<std::string> hints, informations, errors, tableCaptions, tableScripts;

    bool ChooseDataSource(std::string& dsn, const std::string&, const std::string& hint) override
    {
        hints.push_back(hint);
        if (choices.empty())
            return false;
        dsn = choices.front();
        choices.pop_front();
        return true;
    }
    bool CreateTables(COdbcConnection& database, const std::string&, const std::string& caption,
                      const std::string& script) override
    {
        tableCaptions.push_back(caption);
        tableScripts.push_back(script);
        if (!createTables)
            return false;
        RunSqlScript(database, ReadWholeFile(script));
        return true;
    }
    void ShowInformation(const std::string& text) override { informations.push_back(text); }
    void ShowError(const std::string& text) override { errors.push_back(text); }
};

class DatabaseSetupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(Path() + "/etc");
        std::filesystem::create_directories(Path() + "/data");
        std::filesystem::copy_file(std::string(std::getenv("TW_SOURCE_DIR")) + "/data/tw3sqlite.sql",
                                   Path() + "/data/tw3sqlite.sql");
        UseInstallationOdbcIni(Path());
    }
    const std::string& Path() const { return m_folder.Path(); }
    void AddSqliteSource(const std::string& name, const std::string& file)
    {
        std::string error;
        ASSERT_TRUE(WriteSystemDataSource(Path(), name, "SQLite3", {{"Database", file}}, error)) << error;
    }

    TempFolder m_folder{"tw-console-db"};
};

TEST(ConnectionValueTest, KeysAreFoundWithoutRegardToCaseAndReplacedInPlace)
{
    EXPECT_EQ(CDatabaseSetup::GetConnectionValue("DSN", "ODBC;dsn=tw3;UID=me"), "tw3");
    EXPECT_EQ(CDatabaseSetup::GetConnectionValue("UID", "ODBC;dsn=tw3;UID=me"), "me");
    EXPECT_EQ(CDatabaseSetup::GetConnectionValue("PWD", "ODBC;dsn=tw3;UID=me"), "");
    EXPECT_EQ(CDatabaseSetup::SetConnectionValue("FRL", "DSN=ora;FRL=F;UID=x", "T"), "DSN=ora;FRL=T;UID=x");
    EXPECT_EQ(CDatabaseSetup::SetConnectionValue("FRL", "DSN=ora", "T"), "DSN=ora;FRL=T;");
    EXPECT_EQ(CDatabaseSetup::SetConnectionValue("FRL", "DSN=ora;", "T"), "DSN=ora;FRL=T;");
    EXPECT_EQ(CDatabaseSetup::SetConnectionValue("FRL", "", "T"), "FRL=T;");
}

TEST_F(DatabaseSetupTest, IniChangesKeepCommentsAndDriversComeFromTheSystemRegistry)
{
    std::ofstream(Path() + "/etc/odbc.ini")
        << "# the administrator's note\n[first]\nDriver=SQLite3\n\n[ODBC]\nTrace=No\n";
    std::ofstream(Path() + "/system-odbcinst.ini") << "[Lite]\nDescription=lite\nDriver=libsqlite3odbc.so\n";
    setenv("TW_SYSTEM_ODBCINST", (Path() + "/system-odbcinst.ini").c_str(), 1);

    std::string error;
    ASSERT_TRUE(WriteSystemDataSource(Path(), "second", "Lite", {{"Database", Path() + "/data/x.db"}}, error)) << error;
    const std::string sources = ReadWholeFile(Path() + "/etc/odbc.ini");
    EXPECT_EQ(sources.rfind("# the administrator's note\n[first]\nDriver=SQLite3\n", 0), 0u) << sources;
    EXPECT_NE(sources.find("[second]\nDriver=Lite\nDatabase=" + Path() + "/data/x.db\n"), std::string::npos) << sources;
    const std::string drivers = ReadWholeFile(Path() + "/etc/odbcinst.ini");
    EXPECT_NE(drivers.find("Driver=" + FindOdbcDriverLibrary("libsqlite3odbc.so")), std::string::npos)
        << "the copied driver is named by its full path: " << drivers;

    std::vector<CDataSourceInfo> listed;
    ASSERT_TRUE(LoadSystemDataSources(Path(), listed, error));
    ASSERT_EQ(listed.size(), 2u) << "[ODBC] is no data source";
    EXPECT_EQ(listed[1].name, "second");
    EXPECT_EQ(listed[1].driver, "Lite");
    EXPECT_EQ(DataSourceKind(Path(), "  SECOND "), "SQLite");
    EXPECT_EQ(DataSourceKind(Path(), "missing"), "");
    EXPECT_EQ(DatabaseFileOf(Path(), "ODBC;DSN=second"), Path() + "/data/x.db");
    EXPECT_EQ(DatabaseFileOf(Path(), "ODBC;DSN=second;DBQ=/elsewhere.db"), "/elsewhere.db");

    EXPECT_FALSE(WriteSystemDataSource(Path(), "third", "Lite", {{"Database", "a\n[evil]"}}, error));
    EXPECT_FALSE(WriteSystemDataSource(Path(), "fourth", "No Such Driver", {}, error));
    EXPECT_EQ(error, "The ODBC driver No Such Driver is not installed.");

    std::string value;
    EXPECT_EQ(ReadOdbcIniValue(Path(), "second", "LastUser", value), 0);
    ASSERT_TRUE(WriteSystemDataSource(Path(), "second", "Lite", {{"LastUser", std::string(257, 'u')}}, error));
    EXPECT_EQ(ReadOdbcIniValue(Path(), "second", "LastUser", value), 0) << "longer than 256 bytes is not read";
    unsetenv("TW_SYSTEM_ODBCINST");
}

TEST_F(DatabaseSetupTest, AWorkingDataSourceIsStoredAsTheDriverCompletedIt)
{
    std::string error;
    ASSERT_TRUE(WriteDefaultOdbcIni(Path(), error)) << error;
    ASSERT_TRUE(CreateDefaultDatabase(Path(), error)) << error;
    CDatabaseSetup setup(Path());
    EXPECT_EQ(setup.DetectSchemaVersion(), 3);
    CScriptedUi ui;
    std::string connect = "ODBC;DSN=tw3";
    ASSERT_EQ(setup.CheckDataSource(connect, ui), 1);
    EXPECT_TRUE(ui.hints.empty()) << "a working data source asks nothing";
    EXPECT_EQ(connect.rfind("ODBC;DSN=tw3;", 0), 0u) << connect;
    EXPECT_EQ(CDatabaseSetup::GetConnectionValue("Database", connect), Path() + "/data/tw3.db");
}

TEST_F(DatabaseSetupTest, TheCheckLoopsUntilADataSourceWithTheTablesIsChosen)
{
    CDatabaseSetup setup(Path());
    setup.DetectSchemaVersion();
    AddSqliteSource("empty", Path() + "/data/empty.db");
    CScriptedUi ui;
    ui.choices = {"missing", "empty"};
    std::string connect;
    EXPECT_EQ(setup.CheckDataSource(connect, ui), 0);
    ASSERT_EQ(ui.hints.size(), 3u);
    EXPECT_EQ(ui.hints[0], "Specify a data source to store your data. To store them in tw3.db that comes with this "
                           "program, click Create Default then click OK.");
    EXPECT_EQ(ui.hints[1], "Data source missing not found. Please create or select another one for this program to "
                           "store your data.");
    EXPECT_EQ(ui.hints[2], ui.hints[0]) << "the table dialog was cancelled";
    ASSERT_EQ(ui.informations.size(), 1u);
    EXPECT_EQ(ui.informations[0].rfind("Table tw3_registry is not found in \n" + Path() + "/data/empty.db\n\n", 0), 0u)
        << ui.informations[0];
    ASSERT_EQ(ui.tableScripts.size(), 1u);
    EXPECT_EQ(ui.tableScripts[0], Path() + "/data/tw3sqlite.sql");
    EXPECT_TRUE(connect.empty()) << "nothing is stored after a cancel";

    ui.choices = {"empty"};
    ui.createTables = true;
    ASSERT_EQ(setup.CheckDataSource(connect, ui), 1);
    EXPECT_EQ(CDatabaseSetup::GetConnectionValue("DSN", connect), "empty");
}

TEST_F(DatabaseSetupTest, AVersionTwoInstallationChecksItsOwnSettingsTable)
{
    CDatabaseSetup setup(Path());
    std::ofstream(Path() + "/data/tw2.db") << "";
    EXPECT_EQ(setup.DetectSchemaVersion(), 2);
    EXPECT_EQ(setup.GetRegistryTableName(), "tw2_registry");
}

}  // namespace
