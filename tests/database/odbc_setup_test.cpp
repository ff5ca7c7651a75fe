#include "database/data_source.h"
#include "database/odbc_setup.h"
#include "database/odbc_statement.h"
#include "tests/database/test_databases.h"

#include <dlfcn.h>

#include <fstream>

namespace {

std::string SourceFile(const std::string& relative)
{
    const char* root = std::getenv("TW_SOURCE_DIR");
    return std::string(root ? root : ".") + "/" + relative;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The driver manager reads ODBCSYSINI once per process, so this one process holds one installation.
class DefaultDataSource : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_install = new TempFolder("twinstall");
        std::filesystem::create_directories(s_install->Path() + "/data");
        std::filesystem::copy_file(SourceFile("data/tw3sqlite.sql"), s_install->Path() + "/data/tw3sqlite.sql");
        UseInstallationOdbcIni(s_install->Path());
    }
    static void TearDownTestSuite()
    {
        delete s_install;
        s_install = nullptr;
    }
    static TempFolder* s_install;
};

TempFolder* DefaultDataSource::s_install = nullptr;

TEST_F(DefaultDataSource, Tw3IsTheSettingsDatabaseOfTheInstallation)
{
    const std::string& install = s_install->Path();
    std::string error;
    ASSERT_TRUE(WriteDefaultOdbcIni(install, error)) << error;
    EXPECT_NE(ReadFile(install + "/etc/odbc.ini").find("Database=" + install + "/data/tw3.db"), std::string::npos);
    const std::string drivers = ReadFile(install + "/etc/odbcinst.ini");
    EXPECT_NE(drivers.find("\nThreading=0\n"), std::string::npos) << "the driver manager must not serialise runs\n"
                                                                  << drivers;
    ASSERT_TRUE(CreateDefaultDatabase(install, error)) << error;
    EXPECT_TRUE(std::filesystem::exists(install + "/data/tw3.db"));
    {
        // Pages read while another writes: the file keeps the write-ahead log for every connection.
        COdbcConnection later;
        later.Open(std::string(kDefaultConnectString));
        COdbcStatement mode(later);
        mode.ExecDirect("PRAGMA journal_mode");
        ASSERT_TRUE(mode.Fetch());
        std::string journal;
        mode.GetText(1, journal);
        EXPECT_EQ(journal, "wal");
    }

    CDataSource tw3(std::string(kDefaultConnectString), 0);
    tw3.DoCommand("Open");
    EXPECT_EQ(tw3.GetDbmsName(), "SQLite");
    tw3.DoCommand("ExecuteSQL", "INSERT INTO tw3_registry (reg_user, reg_section, reg_key, reg_value) "
                                "VALUES ('System', 'UniqueID', 'bugs', '100')");
    tw3.DoCommand("ExecuteSQL", "INSERT INTO tw3_registry (reg_user, reg_section, reg_key, reg_value) "
                                "VALUES ('System', 'UniqueID', 'notes', '100')");
    try {
        tw3.Connection().ExecuteSQL("INSERT INTO tw3_registry (reg_user, reg_section, reg_key, reg_value) "
                                    "VALUES ('System', 'UniqueID', 'bugs', '7')");
        FAIL() << "the first three columns are the primary key";
    } catch (const CDbException& failure) {
        EXPECT_TRUE(tw3.Connection().Traits().IsUniqueViolation(failure)) << failure.ErrorText();
    }
    tw3.DoCommand("ExecuteSQL", "INSERT INTO QV30_REGISTRY (REG_USER, REG_SECTION, REG_KEY, REG_VALUE) "
                                "VALUES ('System', 'UniqueID', 'bugs', '100')");

    // A second start finds everything in place and keeps the data.
    tw3.DoCommand("Close");
    ASSERT_TRUE(WriteDefaultOdbcIni(install, error)) << error;
    ASSERT_TRUE(CreateDefaultDatabase(install, error)) << error;
    tw3.DoCommand("Open");
    COdbcStatement count(tw3.Connection());
    count.ExecDirect("SELECT COUNT(*) FROM tw3_registry");
    ASSERT_TRUE(count.Fetch());
    int64_t rows = 0;
    count.GetInteger(1, rows);
    EXPECT_EQ(rows, 2);
}

TEST(SqliteLibrary, KeepsNoAllocationCountsThatWouldSerialiseConnections)
{
    TempFolder folder("twlib");
    COdbcConnection connection;
    connection.Open(testdb::SqliteConnect(folder.Path() + "/a.db"));
    connection.ExecuteSQL("CREATE TABLE t (id INTEGER, title VARCHAR(20))");
    connection.ExecuteSQL("INSERT INTO t VALUES (1, 'one')");
    void* library = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << "the driver runs on the system's SQLite library";
    auto memoryUsed = reinterpret_cast<long long (*)()>(dlsym(library, "sqlite3_memory_used"));
    ASSERT_NE(memoryUsed, nullptr);
    EXPECT_EQ(memoryUsed(), 0) << "the library counts its allocations under its global mutex";
    dlclose(library);
}

TEST(TableScripts, PostgresScriptCreatesTheSettingsTable)
{
    std::string connect = testdb::PgConnect();
    if (connect.empty()) {
        if (testdb::InCi())
            FAIL() << "TW_PG_CONNECT is not set: the PostgreSQL test server did not start";
        GTEST_SKIP() << "no PostgreSQL test server (TW_PG_CONNECT unset)";
    }
    // The script's table names are fixed, so it runs in a schema of this process's own.
    std::string schema = testdb::UniqueTable("setup");
    COdbcConnection connection;
    connection.Open(connect);
    connection.ExecuteSQL("CREATE SCHEMA " + schema);
    connection.ExecuteSQL("SET search_path TO " + schema);
    RunSqlScript(connection, ReadFile(SourceFile("data/tw3pgsql.sql")));
    connection.ExecuteSQL("INSERT INTO tw3_registry VALUES ('System', 'UniqueID', 'bugs', '100')");
    try {
        connection.ExecuteSQL("INSERT INTO tw3_registry VALUES ('System', 'UniqueID', 'bugs', '5')");
        ADD_FAILURE() << "the first three columns are the primary key";
    } catch (const CDbException& failure) {
        EXPECT_TRUE(connection.Traits().IsUniqueViolation(failure)) << failure.ErrorText();
    }
    connection.ExecuteSQL("INSERT INTO qv30_registry VALUES ('System', 'UniqueID', 'bugs', '100')");
    connection.ExecuteSQL("DROP SCHEMA " + schema + " CASCADE");
}

TEST(TableScripts, ScriptRunnerSplitsAtLineEndSemicolons)
{
    TempFolder dir("twdb");
    COdbcConnection connection;
    connection.Open(testdb::SqliteConnect(dir.Path() + "/s.db"));
    RunSqlScript(connection, "-- a comment; not a statement\r\nCREATE TABLE a (t VARCHAR(9));\n\n"
                             "INSERT INTO a VALUES\n  ('x;y');\nINSERT INTO a VALUES ('z')");
    COdbcStatement statement(connection);
    statement.ExecDirect("SELECT t FROM a ORDER BY t");
    std::string text;
    ASSERT_TRUE(statement.Fetch());
    statement.GetText(1, text);
    EXPECT_EQ(text, "x;y");
    ASSERT_TRUE(statement.Fetch());
    statement.GetText(1, text);
    EXPECT_EQ(text, "z");
}

}  // namespace
