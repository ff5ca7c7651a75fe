// The databases the database tests run against: a SQLite file in a fresh temporary folder, and
// the PostgreSQL server that scripts/run-tests starts (TW_PG_CONNECT). Without that server the
// PostgreSQL cases skip, except in CI (CI=true), where a missing server is a failure.
#pragma once

#include "database/odbc_connection.h"
#include "database/odbc_setup.h"
#include "database/odbc_statement.h"
#include "tests/support/ci.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testdb {

inline std::string SqliteConnect(const std::string& file)
{
    return "Driver=" + FindOdbcDriverLibrary("libsqlite3odbc.so") + ";Database=" + QuoteConnectValue(file) +
           ";Timeout=15000";
}

inline std::string PgConnect()
{
    const char* connect = std::getenv("TW_PG_CONNECT");
    return connect ? connect : "";
}

// psqlODBC to a server on a loopback port, as test user; the driver gives up on a server that does
// not answer after a minute, long after any test has hung up.
inline std::string PgConnectTo(int port)
{
    return "Driver=" + FindOdbcDriverLibrary("psqlodbca.so") + ";Server=127.0.0.1;Port=" + std::to_string(port) +
           ";Database=tw3test;Uid=tw3test;Pwd=tw3test;pqopt={connect_timeout=60}";
}

using ::InCi;

// The rows of a table as a connection of its own sees them: what others see of a transaction.
inline int64_t RowsSeenByOthers(const std::string& connect, const std::string& table)
{
    COdbcConnection connection;
    connection.Open(connect);
    COdbcStatement statement(connection);
    statement.ExecDirect("SELECT COUNT(*) FROM " + table);
    int64_t count = -1;
    if (statement.Fetch())
        statement.GetInteger(1, count);
    return count;
}

// Ends the PostgreSQL server process behind a connection, as an administrator or a crashed server
// would; the connection finds out on its next use.
inline void TerminateBackend(COdbcConnection& victim, const std::string& connect)
{
    int64_t pid = 0;
    {
        COdbcStatement statement(victim);
        statement.ExecDirect("SELECT pg_backend_pid()");
        ASSERT_TRUE(statement.Fetch());
        statement.GetInteger(1, pid);
    }
    COdbcConnection admin;
    admin.Open(connect);
    admin.ExecuteSQL("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
}

enum class Backend
{
    Sqlite,
    Postgres
};

inline std::string BackendName(const testing::TestParamInfo<Backend>& info)
{
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

// A table name no other test process uses at the same time (PostgreSQL is shared by all).
inline std::string UniqueTable(const std::string& stem)
{
    static int counter = 0;
    return stem + "_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

// Fixture base: Connect() gives the connect string for the test's backend, skipping (or, in CI,
// failing) when PostgreSQL is not available.
class BackendTest : public testing::TestWithParam<Backend>
{
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::Postgres) {
            m_connect = PgConnect();
            if (m_connect.empty()) {
                if (InCi())
                    FAIL() << "TW_PG_CONNECT is not set: the PostgreSQL test server did not start";
                GTEST_SKIP() << "no PostgreSQL test server (TW_PG_CONNECT unset)";
            }
        } else {
            m_connect = SqliteConnect(m_dir.Path() + "/test.db");
        }
    }
    const std::string& Connect() const { return m_connect; }
    bool IsPostgres() const { return GetParam() == Backend::Postgres; }

    TempFolder m_dir{"twdb"};
    std::string m_connect;
};

// Fixture base for tests of one table: an open connection (m_db) and a table name of their own
// (m_table, from the stem), dropped afterwards when the test created it.
class TableTest : public BackendTest
{
protected:
    explicit TableTest(std::string stem) : m_stem(std::move(stem)) {}
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_db.Open(Connect());
        m_table = UniqueTable(m_stem);
    }
    void TearDown() override
    {
        if (m_db.IsOpen()) {
            try {
                m_db.ExecuteSQL("DROP TABLE IF EXISTS " + m_table);
            } catch (const CDbException&) {
            }
        }
    }

    std::string m_stem;
    COdbcConnection m_db;
    std::string m_table;
};

#define TW_INSTANTIATE_BACKENDS(Suite)                                                                                 \
    INSTANTIATE_TEST_SUITE_P(Db, Suite, testing::Values(testdb::Backend::Sqlite, testdb::Backend::Postgres),           \
                             testdb::BackendName)

}  // namespace testdb
