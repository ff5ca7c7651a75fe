// Unique IDs of the "GetUid" command on SQLite and PostgreSQL: where a table's counter starts, how a
// counter out of range starts again, lost races retried and given up, failure texts, and threads
// and processes asking at once on one counter.
#include "database/data_source.h"
#include "database/system_tables.h"
#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"
#include "platform/file_system.h"
#include "tests/database/test_databases.h"
#include "tests/support/log_capture.h"
#include "tests/support/run_program.h"
#include "tests/support/wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class UniqueIdTest : public testdb::BackendTest
{
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_registry = testdb::UniqueTable("uidreg");
        m_table = testdb::UniqueTable("uidbugs");
        m_admin.Open(Connect());
        m_admin.ExecuteSQL("CREATE TABLE " + m_registry +
                           " (reg_user VARCHAR(50) NOT NULL, reg_section VARCHAR(100) NOT NULL, reg_key VARCHAR(100) "
                           "NOT NULL, reg_value VARCHAR(2000), PRIMARY KEY (reg_user, reg_section, reg_key))");
        m_admin.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
        m_ds = std::make_unique<CDataSource>(Connect(), 0);
        m_ds->DoCommand("Open");
    }
    void TearDown() override
    {
        m_ds.reset();
        if (!m_admin.IsOpen())
            return;
        for (const std::string& table : {m_registry, m_table})
            m_admin.ExecuteSQL("DROP TABLE IF EXISTS " + table);
        if (IsPostgres())
            m_admin.ExecuteSQL("DROP FUNCTION IF EXISTS " + m_registry + "_skip()");
        if (!m_schema.empty())
            m_admin.ExecuteSQL("DROP SCHEMA IF EXISTS " + m_schema + " CASCADE");
    }

    int Next(const std::string& table) { return m_ds->DoCommand("GetUid", table, "id", m_registry); }
    int Next() { return Next(m_table); }

    // The failure text of a GetUid, "" when it succeeds.
    std::string Failure(const std::string& table, const std::string& registry)
    {
        try {
            m_ds->DoCommand("GetUid", table, "id", registry);
        } catch (const CSspException& error) {
            return error.GetMessage();
        }
        return {};
    }

    // The counter row's value as another connection sees it; "none" without a row.
    std::string Counter(const std::string& table)
    {
        COdbcStatement statement(m_admin);
        statement.ExecDirect("SELECT reg_value FROM " + m_registry +
                             " WHERE reg_user = 'System' AND reg_section = 'UniqueID' AND reg_key = '" + table + "'");
        std::string value = "none";
        if (statement.Fetch())
            statement.GetText(1, value);
        return value;
    }
    void SetCounter(const std::string& value)
    {
        m_admin.ExecuteSQL("DELETE FROM " + m_registry);
        m_admin.ExecuteSQL("INSERT INTO " + m_registry + " VALUES ('System', 'UniqueID', '" + m_table + "', '" + value +
                           "')");
    }

    COdbcConnection m_admin;
    std::unique_ptr<CDataSource> m_ds;
    std::string m_registry;
    std::string m_table;
    std::string m_schema;
};

TEST_P(UniqueIdTest, CountersStartAboveTheLargestKeyOrAt100)
{
    m_admin.ExecuteSQL("INSERT INTO " + m_table + " VALUES (41)");
    m_admin.ExecuteSQL("INSERT INTO " + m_table + " VALUES (7)");
    EXPECT_EQ(Next(), 42);
    EXPECT_EQ(Counter(m_table), "43");
    EXPECT_EQ(Next(), 43);
    EXPECT_EQ(Counter(m_table), "44");

    m_admin.ExecuteSQL("DELETE FROM " + m_registry);
    m_admin.ExecuteSQL("DELETE FROM " + m_table);
    EXPECT_EQ(Next(), 100) << "an empty table";
    EXPECT_EQ(Counter(m_table), "101");

    // A table that cannot be read, or whose name could not be written into a statement, starts at
    // 100 as well; its counter is kept under the name as given.
    CLogCapture log;
    const std::string missing = testdb::UniqueTable("uidnone");
    EXPECT_EQ(Next(missing), 100);
    EXPECT_EQ(Next("it's"), 100);
    EXPECT_EQ(Next("it's"), 101);
    EXPECT_EQ(Counter("it''s"), "102");
    EXPECT_TRUE(WaitFor([&] { return log.Contains("Failed to open table " + missing); }));
    EXPECT_TRUE(WaitFor([&] { return log.Contains("Failed to open table it's"); }));
}

TEST_P(UniqueIdTest, CountersOutOfRangeStartAgainAt100)
{
    for (const char* stored : {"0", "-5", "1000000001", "abc", ""}) {
        SetCounter(stored);
        EXPECT_EQ(Next(), 100) << "counter held '" << stored << "'";
        EXPECT_EQ(Counter(m_table), "101");
    }
    SetCounter("1000000000");
    EXPECT_EQ(Next(), 1000000000) << "the largest counter that is still used";
    EXPECT_EQ(Counter(m_table), "1000000001");
}

TEST_P(UniqueIdTest, EveryLostRaceIsRetriedThenMinusOneAfterTwentyAttempts)
{
    SetCounter("500");
    // A trigger that makes every update of the counter row match nothing: each attempt loses its race.
    if (IsPostgres()) {
        m_admin.ExecuteSQL("CREATE FUNCTION " + m_registry +
                           "_skip() RETURNS trigger AS $$ BEGIN RETURN NULL; END $$ LANGUAGE plpgsql");
        m_admin.ExecuteSQL("CREATE TRIGGER skip_update BEFORE UPDATE ON " + m_registry +
                           " FOR EACH ROW EXECUTE "
                           "FUNCTION " +
                           m_registry + "_skip()");
    } else {
        m_admin.ExecuteSQL("CREATE TRIGGER skip_update BEFORE UPDATE ON " + m_registry +
                           " BEGIN SELECT RAISE(IGNORE); END");
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Next(), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900))
        << "twenty attempts with a pause of 100 ms after each";
    EXPECT_EQ(Counter(m_table), "500");
    EXPECT_TRUE(m_ds->IsOpen());
}

TEST_P(UniqueIdTest, FailuresNameTheTable)
{
    const std::string missing = testdb::UniqueTable("uidreg_none");
    const std::string text = Failure(m_table, missing);
    const std::string tail = std::string(" \r\nFailed to get a unique ID for table: ") + m_table + ".";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_NE(text.find(missing), std::string::npos) << "the driver's text comes first: " << text;

    EXPECT_EQ(Failure(m_table, "reg; DROP TABLE x"), "Failed to open table: reg; DROP TABLE x");
    EXPECT_EQ(Next(), 100) << "the data source stays usable";
}

TEST_P(UniqueIdTest, AMissingSystemTableSaysWhichDataSourceLacksItAndHowToMakeIt)
{
    // A new database: on PostgreSQL a schema of its own, so that no table of another test is seen.
    std::string connect = Connect();
    std::string database;
    std::string command;
    const std::string script = GetProgramDirectory() + "/data/";
    if (IsPostgres()) {
        const std::string schema = testdb::UniqueTable("uidnew");
        m_admin.ExecuteSQL("CREATE SCHEMA " + schema);
        m_schema = schema;
        connect += ";ConnSettings=SET search_path TO " + schema;
        database = GetConnectValue(connect, "Database");
        command = "psql -d " + database + " -f " + script + "tw3pgsql.sql";
    } else {
        connect = testdb::SqliteConnect(m_dir.Path() + "/new.db");
        database = m_dir.Path() + "/new.db";
        command = "sqlite3 " + database + " < " + script + "tw3sqlite.sql";
    }
    CDataSource fresh(connect, 0);
    fresh.DoCommand("Open");
    std::string text;
    try {
        fresh.DoCommand("GetUid", m_table, "id", "QV30_REGISTRY");
    } catch (const CSspException& error) {
        text = error.GetMessage();
    }
    const std::string hint = "The data source [" + GetConnectValue(connect, "Database") +
                             "] has no table QV30_REGISTRY, where Tarnwick Server keeps data of its own. Create the "
                             "server's tables on the Database page of Tarnwick Console, or run " +
                             command +
                             ". \r\n"
                             "Failed to get a unique ID for table: " +
                             m_table + ".";
    ASSERT_GT(text.size(), hint.size()) << text;
    EXPECT_EQ(text.substr(text.size() - hint.size()), hint) << text;

    // A counters table of a script's own choosing is named too; a missing table of the
    // application's gets the driver's text alone.
    const std::string own = testdb::UniqueTable("uidown");
    try {
        fresh.DoCommand("GetUid", m_table, "id", own);
        ADD_FAILURE() << "a missing counters table gave an ID";
    } catch (const CSspException& error) {
        EXPECT_NE(error.GetMessage().find("has no table " + own + ", where Tarnwick Server"), std::string::npos)
            << error.GetMessage();
    }
    try {
        fresh.DoCommand("ExecuteSQL", "UPDATE bugs_nowhere SET id = 1");
        ADD_FAILURE() << "an update of a missing table succeeded";
    } catch (const CSspException& error) {
        EXPECT_EQ(error.GetMessage().find("Tarnwick Server keeps"), std::string::npos) << error.GetMessage();
    }
    try {
        fresh.DoCommand("ExecuteSQL", "UPDATE tw3_registry SET reg_value = '1'");
        ADD_FAILURE() << "an update of a missing table succeeded";
    } catch (const CSspException& error) {
        EXPECT_NE(error.GetMessage().find("has no table tw3_registry, where Tarnwick Server"), std::string::npos)
            << error.GetMessage();
    }
}

TEST(SystemTables, AreTheTablesTheCreationScriptsMake)
{
    const char* source = std::getenv("TW_SOURCE_DIR");
    for (const char* script : {"/data/tw3pgsql.sql", "/data/tw3sqlite.sql"}) {
        std::ifstream in(std::string(source ? source : ".") + script);
        ASSERT_TRUE(in) << script;
        std::vector<std::string> made;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("CREATE TABLE ", 0) == 0)
                made.push_back(line.substr(13, line.find_first_of(" (", 13) - 13));
        }
        EXPECT_EQ(made, std::vector<std::string>(std::begin(kSystemTables), std::end(kSystemTables))) << script;
    }
}

TEST_P(UniqueIdTest, KilledBackendClosesTheConnectionForTheNextOpen)
{
    if (!IsPostgres())
        GTEST_SKIP() << "needs a server process to end";
    ASSERT_NO_FATAL_FAILURE(testdb::TerminateBackend(m_ds->Connection(), Connect()));
    EXPECT_EQ(Failure(m_table, m_registry), std::string(CMessageCatalog::Text(9)) + " ODBC data source used: [].");
    EXPECT_FALSE(m_ds->IsOpen());
    m_ds->DoCommand("Open");
    EXPECT_EQ(Next(), 100);
}

// Threads sharing one data source, threads with data sources of their own and two processes all
// ask for IDs of one table at once, starting before its counter row exists: every ID is handed out
// once, and together they are the unbroken run from the first one.
TEST_P(UniqueIdTest, ThreadsAndProcessesAskingAtOnceNeverShareAnId)
{
    constexpr int kPerAsker = 30;
    const char* binary = std::getenv("TW_BINARY_DIR");
    ASSERT_NE(binary, nullptr);
    const std::string peer = std::string(binary) + "/tests/database/unique_id_peer";
    setenv("TW_PEER_CONNECT", Connect().c_str(), 1);

    auto peerIds = [&](int n) {
        const std::string output = m_dir.Path() + "/peer" + std::to_string(n) + ".out";
        const int status = RunProgram({peer, m_table, m_registry, std::to_string(kPerAsker)}, output, 120);
        std::ifstream in(output);
        std::vector<int> ids;
        std::string line;
        while (std::getline(in, line))
            ids.push_back(std::atoi(line.c_str()));
        EXPECT_EQ(status, 0) << "peer " << n << " said: " << (ids.empty() ? line : "");
        return ids;
    };
    auto threadIds = [&](CDataSource& dataSource) {
        std::vector<int> ids;
        for (int i = 0; i < kPerAsker; ++i)
            ids.push_back(dataSource.DoCommand("GetUid", m_table, "id", m_registry));
        return ids;
    };

    std::vector<std::unique_ptr<CDataSource>> own;
    for (int i = 0; i < 2; ++i) {
        own.push_back(std::make_unique<CDataSource>(Connect(), 0));
        own.back()->DoCommand("Open");
    }
    std::vector<std::future<std::vector<int>>> askers;
    for (int n = 0; n < 2; ++n)
        askers.push_back(std::async(std::launch::async, peerIds, n));
    askers.push_back(std::async(std::launch::async, threadIds, std::ref(*m_ds)));
    askers.push_back(std::async(std::launch::async, threadIds, std::ref(*m_ds)));
    for (auto& dataSource : own)
        askers.push_back(std::async(std::launch::async, threadIds, std::ref(*dataSource)));

    std::vector<int> all;
    for (auto& asker : askers) {
        std::vector<int> ids = asker.get();
        EXPECT_EQ(ids.size(), static_cast<size_t>(kPerAsker));
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << "each asker's IDs rise";
        all.insert(all.end(), ids.begin(), ids.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<int> expected(askers.size() * kPerAsker);
    std::iota(expected.begin(), expected.end(), 100);
    EXPECT_EQ(all, expected);
    EXPECT_EQ(Counter(m_table), std::to_string(100 + expected.size()));
}

TW_INSTANTIATE_BACKENDS(UniqueIdTest);

}  // namespace
