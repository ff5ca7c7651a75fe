// A run's data source as scripts see it, on SQLite and on PostgreSQL: which one the pool hands a
// page, use counts through nested calls, private copies, transactions begun by a run and rolled back
// at its end (the rows go in through sql objects), and a broken connection that the next run
// replaces.
#include "database/data_source.h"
#include "database/odbc_setup.h"
#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "language/ssp_app.h"
#include "script_runner.h"
#include "tests/database/test_databases.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

// Stands in for the Request object to show what no script can see: the use count and the privacy
// of the data source of the innermost run in progress.
class DataSourceProbe : public CSspRequestObject
{
public:
    explicit DataSourceProbe(ScriptRunner& runner) : m_runner(runner) {}

    void CallMember(CSspCall& call, CSspValue& result) override
    {
        CSspEngine* engine = m_runner.running;
        while (engine->RunningChild() != nullptr)
            engine = engine->RunningChild();
        CDataSource& dataSource = *engine->GetRunDataSource();
        if (call.m_member == "uses")
            result.SetInteger(dataSource.GetUseCount());
        else if (call.m_member == "private")
            result.SetInteger(dataSource.IsPrivate() ? 1 : 0);
        else
            throw CSspException("probe: unknown member " + call.m_member, call.m_position);
        seen.insert(&dataSource);
    }

    std::set<const CDataSource*> seen;

private:
    ScriptRunner& m_runner;
};

class RunDataSourceTest : public testdb::BackendTest, public ScriptRunner
{
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        TheSspApp().RemoveAll();
        TheServerConfig().m_dbConnectionThreadOwn = 0;
        m_table = testdb::UniqueTable("run");
        COdbcConnection connection;
        connection.Open(Connect());
        connection.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
        TheSspApp().SetDataSourceForPath(Connect(), "/");
        request = &m_probe;
    }
    void TearDown() override
    {
        TheSspApp().RemoveAll();
        TheServerConfig().m_dbConnectionThreadOwn = 0;
        if (!m_table.empty()) {
            COdbcConnection connection;
            connection.Open(Connect());
            connection.ExecuteSQL("DROP TABLE IF EXISTS " + m_table);
        }
    }
    // The rows that another connection sees.
    int64_t RowsSeenByOthers() { return testdb::RowsSeenByOthers(Connect(), m_table); }
    // The pooled data sources' use counts, in creation order.
    static std::vector<int> UseCounts()
    {
        std::vector<int> counts;
        for (const auto& row : TheSspApp().Pool().Describe())
            counts.push_back(row.useCount);
        return counts;
    }

    std::string m_table;
    // A script statement that adds the row n to the test's table through an sql object.
    std::string Insert(int n) const
    {
        const std::string name = "ins" + std::to_string(n);
        return "sql " + name + " = insert into " + m_table + " (id) values (" + std::to_string(n) + "); " + name +
               ".execute();";
    }

    DataSourceProbe m_probe{*this};
};

class TransactionTest : public RunDataSourceTest
{};

TEST_P(RunDataSourceTest, RunsAndNestedCallsShareOneCountedDataSource)
{
    EXPECT_EQ(RunAt("/t.tws", "write Request.uses; write Local.f(); write Request.uses;\n"
                              "function f() return Request.uses; endfunction"),
              "");
    EXPECT_EQ(sink.output, "111") << "the nested call works on the run's data source, without a lease of its own";
    EXPECT_EQ(UseCounts(), std::vector<int>{0}) << "every run gives its data source back";
    EXPECT_EQ(m_probe.seen.size(), 1u);
}

TEST_P(RunDataSourceTest, ThreadOwnRunsWorkOnPrivateCopies)
{
    TheServerConfig().m_dbConnectionThreadOwn = 1;
    EXPECT_EQ(RunAt("/t.tws", "write Request.private; write Local.f(); write Request.uses;\n"
                              "function f() return Request.private; endfunction"),
              "");
    EXPECT_EQ(sink.output, "111");
    EXPECT_EQ(m_probe.seen.size(), 1u) << "the nested call works on the run's private data source";
    auto rows = TheSspApp().Pool().Describe();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].useCount, 0) << "the shared one only stands in the list";
    EXPECT_TRUE(rows[0].open);
}

TEST_P(RunDataSourceTest, MissingDsnNamesItAndGivesTheUseCountBack)
{
    const std::string dsn = "tw3_missing_" + std::to_string(getpid());
    EXPECT_EQ(RunAt("/t.tws", "Server.UseDataSource('ODBC;DSN=" + dsn + "');"), "");
    std::string text = RunAt("/t.tws", "write 1;\nwrite Local.dbVer;");
    EXPECT_EQ(text.rfind("Data source [" + dsn + "] not found. Please run Tarnwick Console", 0), 0u) << text;
    EXPECT_EQ(errorText.find("(2,"), path.size() + 1) << "the report points at the line that used it";
    EXPECT_EQ(UseCounts(), std::vector<int>{0});
}

TEST_P(RunDataSourceTest, LongestPrefixChoosesThePagesDataSource)
{
    TempFolder other("tw-app");
    const std::string appConnect = testdb::SqliteConnect(other.Path() + "/app.db");
    TheSspApp().SetDataSourceForPath(appConnect, "/app");
    EXPECT_EQ(RunAt("/APP/x.twp", "write Local.dbType;"), "");
    EXPECT_EQ(sink.output, "SQLite");
    EXPECT_EQ(RunAt("/other/x.twp", "write Local.dbType;"), "");
    auto rows = TheSspApp().Pool().Describe();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].connect, appConnect);
    EXPECT_EQ(rows[1].connect, Connect());
}

TEST_P(RunDataSourceTest, UseDataSourceOnlyBeforeTheRunsFirstDatabaseUse)
{
    // A page of its own, mapped by its URL path, while "/" leads to a data source that is missing.
    TheSspApp().SetDataSourceForPath("DSN=tw3_none", "/");
    EXPECT_EQ(RunAt("/own/t.tws", "Local.UseDataSource('ODBC;" + Connect() + "'); write Local.dbType;"), "");
    EXPECT_EQ(sink.output, IsPostgres() ? "PostgreSQL" : "SQLite");

    const std::string tooLate = CMessageCatalog::Text(146);
    EXPECT_EQ(RunAt("/own/t.tws", "write Local.dbType; Local.UseDataSource('ODBC;DSN=tw3_later');"), tooLate);
    EXPECT_NE(RunAt("/own/t.tws", "write Local.dbType;").find("[tw3_later]"), std::string::npos)
        << "the late registration stays for the next run";
    EXPECT_EQ(RunAt("/own/t.tws", "App.Init(); Local.UseDataSource('ODBC;" + Connect() +
                                      "'); write Local.dbType; App.UseDataSource('ODBC;DSN=x');"),
              tooLate);
}

TEST_P(TransactionTest, UncommittedRunIsRolledBackAndAutocommitRestored)
{
    EXPECT_EQ(RunAt("/t.tws", "Local.BeginTransaction(); " + Insert(1) + " write 'done';"), CMessageCatalog::Text(24));
    EXPECT_EQ(errorPosition, kNoPosition);
    EXPECT_EQ(sink.output, "done");
    EXPECT_EQ(RowsSeenByOthers(), 0);

    EXPECT_EQ(RunAt("/t.tws", Insert(2)), "");
    EXPECT_EQ(RowsSeenByOthers(), 1) << "the next run works in autocommit mode again";

    EXPECT_EQ(RunAt("/t.tws", "Local.BeginTransaction(); " + Insert(3) +
                                  " Local.CommitTransaction();\n"
                                  "Local.BeginTransaction(); " +
                                  Insert(4) + " Local.RollbackTransaction();"),
              "");
    EXPECT_EQ(RowsSeenByOthers(), 2);
    EXPECT_EQ(UseCounts(), std::vector<int>{0});
}

TEST_P(TransactionTest, NestedRunsLeaveTheCallersTransactionAlone)
{
    EXPECT_EQ(RunAt("/t.tws", "Local.BeginTransaction(); Local.BeginTransaction();"), CMessageCatalog::Text(123));
    EXPECT_EQ(RunAt("/t.tws", "Local.BeginTransaction(); " + Insert(1) + " Local.f(); " + Insert(2) +
                                  "\n"
                                  "Local.CommitTransaction();\n"
                                  "function f() Local.CommitTransaction(); Local.RollbackTransaction(); endfunction"),
              "");
    EXPECT_EQ(RowsSeenByOthers(), 2);

    std::string text = RunAt("/t.tws", "Local.BeginTransaction(); " + Insert(3) +
                                           " Local.f();\n"
                                           "function f() Local.BeginTransaction(); endfunction");
    EXPECT_NE(text.find(CMessageCatalog::Text(123)), std::string::npos) << text;
    EXPECT_EQ(RowsSeenByOthers(), 2);

    // A function that returns with its own transaction open fails its caller; nothing is kept.
    text = RunAt("/t.tws", "Local.f(); write 'not reached';\n"
                           "function f() Local.BeginTransaction(); " +
                               Insert(4) + " return 1; endfunction");
    EXPECT_NE(text.find(CMessageCatalog::Text(24)), std::string::npos) << text;
    EXPECT_EQ(sink.output, "");
    EXPECT_EQ(RowsSeenByOthers(), 2);
}

TEST_P(TransactionTest, KilledBackendFailsTheRunAndTheNextRunReconnects)
{
    if (!IsPostgres())
        GTEST_SKIP() << "needs a server process to end";
    // The script ends the server process behind its own connection from a connection of its own,
    // as an administrator or a crashed server would.
    const std::string pid = "sql p = 'select pg_backend_pid() as pid'; write p.pid;";
    EXPECT_EQ(RunAt("/t.tws", "Local.BeginTransaction(); " + pid +
                                  "\n"
                                  "sql k = 'select pg_terminate_backend(' + p.pid + ')';\n"
                                  "k.UseDataSource('ODBC;" +
                                  Connect() +
                                  "'); k.execute();\n"
                                  "Local.CommitTransaction();"),
              std::string(CMessageCatalog::Text(9)) + " ODBC data source used: [].");
    const std::string killed = sink.output;
    ASSERT_NE(killed, "");
    EXPECT_FALSE(TheSspApp().Pool().Describe().at(0).open);

    EXPECT_EQ(RunAt("/t.tws", Insert(1) + pid), "");
    EXPECT_NE(sink.output, killed) << "a new server process serves the new connection";
    EXPECT_EQ(RowsSeenByOthers(), 1);
    EXPECT_EQ(UseCounts(), std::vector<int>{0});
}

// Local.GetUniqueID evaluates its arguments; Server.GetUniqueID takes them as written.
TEST_P(RunDataSourceTest, ScriptsNumberRowsWithUniqueIds)
{
    COdbcConnection connection;
    connection.Open(Connect());
    // On SQLite the registry table of the shipped script; on the shared server one of the test's own.
    std::string registry = "QV30_REGISTRY";
    if (IsPostgres()) {
        registry = testdb::UniqueTable("uidreg");
        connection.ExecuteSQL("CREATE TABLE " + registry +
                              " (REG_USER VARCHAR(50) NOT NULL, REG_SECTION VARCHAR(100) "
                              "NOT NULL, REG_KEY VARCHAR(100) NOT NULL, REG_VALUE VARCHAR(2000), PRIMARY KEY "
                              "(REG_USER, REG_SECTION, REG_KEY))");
    } else {
        std::ifstream in(std::string(std::getenv("TW_SOURCE_DIR")) + "/data/tw3sqlite.sql");
        RunSqlScript(connection, std::string(std::istreambuf_iterator<char>(in), {}));
    }
    const std::string local = IsPostgres() ? ", '" + registry + "'" : "";
    const std::string server = IsPostgres() ? ", " + registry : "";
    connection.ExecuteSQL("INSERT INTO " + m_table + " VALUES (41)");

    EXPECT_EQ(RunAt("/t.tws", "Local.SetVar('t', '" + m_table + "'); write Local.GetUniqueID(Local.t, 'i' + 'd'" +
                                  local + "); write ' '; write Server.GetUniqueID(" + m_table + ", id" + server + ");"),
              "");
    EXPECT_EQ(sink.output, "42 43");
    EXPECT_EQ(RunAt("/t.tws", "write 1;\nwrite Local.GetUniqueID('" + m_table + "', '');"), CMessageCatalog::Text(74));
    EXPECT_EQ(UseCounts(), std::vector<int>{0});
    if (IsPostgres())
        connection.ExecuteSQL("DROP TABLE " + registry);
}

TW_INSTANTIATE_BACKENDS(RunDataSourceTest);
TW_INSTANTIATE_BACKENDS(TransactionTest);

TEST(IdleSweep, ClosesDataSourcesIdleForOverTwoHours)
{
    TempFolder folder("tw-app");
    int64_t now = 1'000'000;
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    CSspApp app(config, [&now] { return now; });
    const std::string connect = testdb::SqliteConnect(folder.Path() + "/a.db");
    app.SetDataSourceForPath(connect, "/");
    app.SetDataSourceForPath(connect, "/bugs/");
    CDataSourceLease dataSource = app.GetDataSource("/x.twp");
    dataSource.Release();

    CIdleDataSourceSweep& sweep = app;
    now += 120 * 60 + 59;
    sweep.CloseIdleDataSources();
    std::string info = app.DataSourceInfo();
    EXPECT_EQ(info.rfind("/;/bugs/;\t" + connect + "\t", 0), 0u) << info;
    EXPECT_EQ(info.substr(info.size() - 7), "\topen\r\n");

    now += 1;
    sweep.CloseIdleDataSources();
    info = app.DataSourceInfo();
    EXPECT_EQ(info.substr(info.size() - 9), "\tclosed\r\n") << info;
}

TEST(IdleSweep, ClosesIdlePrivateConnectionsAfterTheSettingsIdleTimeoutOr120Minutes)
{
    TempFolder folder("tw-app");
    int64_t now = 1'000'000;
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    config.m_dbConnectionThreadOwn = 1;
    CSspApp app(config, [&now] { return now; });
    const std::string connect = testdb::SqliteConnect(folder.Path() + "/a.db");
    app.SetDataSourceForPath(connect, "/");
    CIdleDataSourceSweep& sweep = app;
    auto giveBackOne = [&] {
        CDataSourceLease dataSource = app.GetDataSource("/x.twp");
        dataSource.Release();
        EXPECT_EQ(app.Pool().IdlePrivateCount(connect), 1u);
    };

    for (int timeout : {0, 7}) {
        config.m_dbConnectionIdleTimeout = timeout;
        const int limit = timeout > 0 ? timeout : 120;
        giveBackOne();
        now += limit * 60 + 59;
        sweep.CloseIdlePrivateDataSources();
        EXPECT_EQ(app.Pool().IdlePrivateCount(connect), 1u) << "limit " << limit;
        now += 1;
        sweep.CloseIdlePrivateDataSources();
        EXPECT_EQ(app.Pool().IdlePrivateCount(connect), 0u) << "limit " << limit;
    }
    // One row per connect string, whatever the private connections did.
    EXPECT_EQ(app.Pool().Describe().size(), 1u);
}

}  // namespace
