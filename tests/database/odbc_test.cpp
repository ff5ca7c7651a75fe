#include "database/odbc_statement.h"
#include "tests/database/test_databases.h"
#include "tests/support/silent_server.h"

#include <filesystem>
#include <future>
#include <thread>

namespace {

using testdb::Backend;

class OdbcTest : public testdb::TableTest
{
protected:
    OdbcTest() : TableTest("odbc") {}

    int64_t CountRows(COdbcConnection& connection, const std::string& where = "1 = 1")
    {
        COdbcStatement statement(connection);
        statement.ExecDirect("SELECT COUNT(*) FROM " + m_table + " WHERE " + where);
        EXPECT_TRUE(statement.Fetch());
        int64_t count = -1;
        EXPECT_TRUE(statement.GetInteger(1, count));
        return count;
    }
    // The test's SQLite file with a lock wait of its own (milliseconds).
    std::string SqliteConnectWaiting(const std::string& timeout) const
    {
        return "Driver=" + FindOdbcDriverLibrary("libsqlite3odbc.so") +
               ";Database=" + QuoteConnectValue(m_dir.Path() + "/test.db") + ";Timeout=" + timeout;
    }
};

TEST_P(OdbcTest, ErrorsCarryStatesThatTheTraitsRecognise)
{
    EXPECT_EQ(m_db.Traits().dbmsName, IsPostgres() ? "PostgreSQL" : "SQLite");
    try {
        m_db.ExecuteSQL("SELECT * FROM " + m_table);
        FAIL() << "a missing table must fail";
    } catch (const CDbException& error) {
        EXPECT_EQ(error.RetCode(), SQL_ERROR);
        EXPECT_TRUE(m_db.Traits().IsMissingTable(error)) << error.StateText() << " " << error.ErrorText();
        EXPECT_FALSE(m_db.Traits().IsLostConnection(error));
        EXPECT_EQ(error.StateText().rfind("State:", 0), 0u) << error.StateText();
        EXPECT_NE(error.StateText().find(",Native:"), std::string::npos);
        EXPECT_NE(error.StateText().find(",Origin:"), std::string::npos);
        EXPECT_EQ(error.ErrorText().find('['), std::string::npos) << "origin stays out of the error text";
    }
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER PRIMARY KEY, name VARCHAR(20))");
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1, 'a')");
    try {
        m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1, 'b')");
        FAIL() << "a duplicate key must fail";
    } catch (const CDbException& error) {
        EXPECT_TRUE(m_db.Traits().IsUniqueViolation(error)) << error.StateText() << " " << error.ErrorText();
        EXPECT_FALSE(m_db.Traits().IsMissingTable(error));
    }
}

TEST_P(OdbcTest, UpdateAndDeleteMatchingNothingSucceed)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER, name VARCHAR(20))");
    m_db.ExecuteSQL("UPDATE " + m_table + " SET name = 'x' WHERE id = 99");
    m_db.ExecuteSQL("DELETE FROM " + m_table + " WHERE id = 99");
    COdbcStatement statement(m_db);
    statement.ExecDirect("DELETE FROM " + m_table);
    EXPECT_EQ(statement.RowCount(), 0);
}

TEST_P(OdbcTest, ColumnTypesAreMappedOntoValueCodes)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table +
                    " (d DATE, ts TIMESTAMP, tm TIME, big BIGINT, n INTEGER, "
                    "t VARCHAR(30))");
    COdbcStatement statement(m_db);
    statement.ExecDirect("SELECT d, ts, tm, big, n, t FROM " + m_table);
    ASSERT_EQ(statement.ResultColumnCount(), 6);
    struct Expected
    {
        const char* name;
        int type;
    };
    const Expected expected[] = {{"d", 9}, {"ts", 11}, {"tm", 12}, {"big", 3}, {"n", SQL_INTEGER}, {"t", 12}};
    for (int i = 0; i < 6; ++i) {
        COdbcColumn column = statement.DescribeColumn(i + 1);
        EXPECT_EQ(column.name, expected[i].name);
        EXPECT_EQ(column.sqlType, expected[i].type) << column.name << " reported " << column.odbcType;
    }
    EXPECT_EQ(statement.DescribeColumn(4).scale, 0);
}

TEST_P(OdbcTest, BoundValuesRoundTripWhole)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id BIGINT, t VARCHAR(200), body TEXT, bin " +
                    std::string(IsPostgres() ? "BYTEA" : "BLOB") + ", r DOUBLE PRECISION, ts TIMESTAMP)");
    const std::string quoted = "it's; DROP TABLE x -- \"q\"";
    const std::string longText(100000, 'z');
    const std::string bytes("a\0b\xff\x01", 5);
    SQL_TIMESTAMP_STRUCT stamp{2024, 2, 29, 13, 45, 6, 0};

    COdbcStatement insert(m_db);
    insert.Prepare("INSERT INTO " + m_table + " (id, t, body, bin, r, ts) VALUES (?, ?, ?, ?, ?, ?)");
    insert.BindInteger(1, 5000000000LL);
    insert.BindText(2, quoted);
    insert.BindText(3, longText, SQL_LONGVARCHAR);
    insert.BindBinary(4, bytes);
    insert.BindDouble(5, 0.0);
    insert.BindTimestamp(6, stamp);
    insert.Execute();
    insert.ResetParameters();
    insert.BindInteger(1, 2);
    insert.BindNull(2, SQL_VARCHAR);
    insert.BindText(3, "", SQL_LONGVARCHAR);
    insert.BindNull(4, SQL_LONGVARBINARY);
    insert.BindNull(5, SQL_DOUBLE);
    insert.BindNull(6, SQL_TYPE_TIMESTAMP);
    insert.Execute();

    COdbcStatement select(m_db);
    select.ExecDirect("SELECT id, t, body, bin, r, ts FROM " + m_table + " ORDER BY id DESC");
    ASSERT_TRUE(select.Fetch());
    int64_t id = 0;
    std::string text, body, bin;
    double real = -1;
    SQL_TIMESTAMP_STRUCT read{};
    EXPECT_TRUE(select.GetInteger(1, id));
    EXPECT_EQ(id, 5000000000LL);
    EXPECT_TRUE(select.GetText(2, text));
    EXPECT_EQ(text, quoted);
    EXPECT_TRUE(select.GetText(3, body));
    EXPECT_EQ(body.size(), longText.size());
    EXPECT_EQ(body, longText);
    EXPECT_TRUE(select.GetBinary(4, bin));
    EXPECT_EQ(bin, bytes);
    EXPECT_TRUE(select.GetDouble(5, real)) << "0 must stay 0, not NULL";
    EXPECT_EQ(real, 0.0);
    EXPECT_TRUE(select.GetTimestamp(6, read));
    EXPECT_EQ(read.year, 2024);
    EXPECT_EQ(read.day, 29);
    EXPECT_EQ(read.second, 6);

    ASSERT_TRUE(select.Fetch());
    EXPECT_FALSE(select.GetText(2, text));
    EXPECT_TRUE(select.GetText(3, body));
    EXPECT_EQ(body, "");
    EXPECT_FALSE(select.GetBinary(4, bin));
    EXPECT_FALSE(select.GetDouble(5, real));
    EXPECT_FALSE(select.GetTimestamp(6, read));
    EXPECT_FALSE(select.Fetch());
}

TEST_P(OdbcTest, CommitAndRollbackTurnAutocommitBackOn)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
    COdbcConnection other;
    other.Open(Connect());

    ASSERT_TRUE(OdbcSucceeded(m_db.SetAutoCommit(false)));
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1)");
    EXPECT_EQ(CountRows(other), 0) << "uncommitted rows are not seen by another connection";
    m_db.Rollback();
    EXPECT_EQ(CountRows(m_db), 0);

    // Autocommit is on again: this row is visible at once.
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (2)");
    EXPECT_EQ(CountRows(other), 1);

    ASSERT_TRUE(OdbcSucceeded(m_db.SetAutoCommit(false)));
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (3)");
    m_db.Commit();
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (4)");
    EXPECT_EQ(CountRows(other), 3);
}

TEST_P(OdbcTest, BegunTransactionsCommitOrRollBack)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
    COdbcConnection other;
    other.Open(Connect());

    ASSERT_TRUE(OdbcSucceeded(m_db.BeginTransaction()));
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1)");
    m_db.Rollback();
    EXPECT_EQ(CountRows(other), 0);
    ASSERT_TRUE(OdbcSucceeded(m_db.BeginTransaction()));
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (2)");
    m_db.Commit();
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (3)");
    EXPECT_EQ(CountRows(other), 2) << "committed, and autocommit again afterwards";
}

// A SQLite transaction takes the file's write lock when it begins, so its first write never has to
// upgrade a read lock, which fails at once when another writer holds the file.
TEST_P(OdbcTest, SqliteTransactionsHoldTheWriteLockFromTheirBeginning)
{
    if (IsPostgres())
        GTEST_SKIP() << "PostgreSQL locks rows, not the database";
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
    COdbcConnection impatient;
    impatient.Open(SqliteConnectWaiting("1"));
    ASSERT_TRUE(OdbcSucceeded(m_db.BeginTransaction()));
    EXPECT_THROW(impatient.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1)"), CDbException);
    m_db.Commit();
    impatient.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1)");
    EXPECT_EQ(CountRows(m_db), 1);
}

TEST_P(OdbcTest, SqliteConnectionsWaitForLocksEvenWithoutATimeout)
{
    if (IsPostgres())
        GTEST_SKIP() << "a SQLite setting";
    COdbcConnection noTimeout;
    noTimeout.Open(SqliteConnectWaiting("0"));
    COdbcStatement statement(noTimeout);
    statement.ExecDirect("PRAGMA busy_timeout");
    ASSERT_TRUE(statement.Fetch());
    int64_t milliseconds = 0;
    statement.GetInteger(1, milliseconds);
    EXPECT_EQ(milliseconds, 15000);
}

TEST_P(OdbcTest, FailedCommitRollsBackAndRestoresAutocommit)
{
    if (!IsPostgres())
        GTEST_SKIP() << "needs a constraint checked at commit time";
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER, CONSTRAINT " + m_table +
                    "_u UNIQUE (id) DEFERRABLE INITIALLY DEFERRED)");
    ASSERT_TRUE(OdbcSucceeded(m_db.SetAutoCommit(false)));
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1)");
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1)");
    EXPECT_THROW(m_db.Commit(), CDbException);

    COdbcConnection other;
    other.Open(Connect());
    EXPECT_EQ(CountRows(other), 0);
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (7)");
    EXPECT_EQ(CountRows(other), 1) << "autocommit must be on after a failed commit";
}

TEST_P(OdbcTest, CloseFreesOpenStatementsFirst)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1)");
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (2)");
    auto statement = std::make_unique<COdbcStatement>(m_db);
    statement->ExecDirect("SELECT id FROM " + m_table);
    ASSERT_TRUE(statement->Fetch());
    // Rows read through bound buffers, a block at a time, come without a driver call.
    std::unique_ptr<COdbcStatement> bound = m_db.TakePrepared("SELECT id FROM " + m_table + " ORDER BY id", true);
    bound->Execute();
    ASSERT_TRUE(bound->BindResult({{SQL_C_SBIGINT, sizeof(SQLBIGINT)}}));
    ASSERT_TRUE(bound->Fetch());

    m_db.Close();
    EXPECT_FALSE(statement->IsAttached());
    auto expectRefused = [](auto work, const char* what) {
        try {
            work();
            ADD_FAILURE() << what << ": a statement of a closed connection must refuse work";
        } catch (const CDbException& error) {
            EXPECT_TRUE(error.HasState("08003")) << what << ": " << error.StateText();
        }
    };
    expectRefused([&] { static_cast<void>(statement->Fetch()); }, "fetch");
    int64_t id = 0;
    expectRefused([&] { bound->GetInteger(1, id); }, "bound read");
    expectRefused([&] { static_cast<void>(bound->Fetch()); }, "fetch within the block");

    // The statement may also outlive the connection object itself.
    auto connection = std::make_unique<COdbcConnection>();
    connection->Open(Connect());
    auto orphan = std::make_unique<COdbcStatement>(*connection);
    orphan->ExecDirect("SELECT 1");
    connection.reset();
    EXPECT_FALSE(orphan->IsAttached());
    EXPECT_THROW(orphan->ExecDirect("SELECT 1"), CDbException);
    orphan.reset();
    statement.reset();
    bound.reset();
}

TEST_P(OdbcTest, QueryTimeOutStopsALongStatement)
{
    if (!IsPostgres())
        GTEST_SKIP() << "SQLite has no statement that waits";
    COdbcStatement statement(m_db);
    statement.SetQueryTimeout(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(statement.ExecDirect("SELECT pg_sleep(20)"), CDbException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ConnectString, ValuesWithSemicolonsAreBraced)
{
    EXPECT_EQ(QuoteConnectValue("plain"), "plain");
    EXPECT_EQ(QuoteConnectValue("a;PWD=x"), "{a;PWD=x}");
    EXPECT_EQ(QuoteConnectValue("{a}b;"), "{{a}}b;}");
    std::string connect = MakeDsnConnectString("tw3", "me", "x;DSN=other");
    EXPECT_EQ(connect, "DSN=tw3;UID=me;PWD={x;DSN=other}");
    EXPECT_EQ(GetConnectValue(connect, "PWD"), "x;DSN=other");
    EXPECT_EQ(GetConnectValue("DSN=tw3;UID=me", "DSN"), "tw3");
    EXPECT_EQ(GetConnectValue("UID=me;DSN=tw3", "DSN"), "tw3");
    EXPECT_EQ(GetConnectValue("DSN={a;b}};c};UID=me", "DSN"), "a;b};c");
    EXPECT_EQ(GetConnectValue("dsn=tw3", "DSN"), "") << "the key is case-sensitive";
    EXPECT_EQ(GetConnectValue("UID=me", "DSN"), "");
}

TEST(ConnectString, ValueWithSemicolonAddsNoAttribute)
{
    // The SQLite driver does not read braces: the braced name fails to open, but the attribute
    // hidden in it must not take effect either.
    TempFolder dir{"twdb"};
    std::string file = dir.Path() + "/a;Database=" + dir.Path() + "/b.db";
    COdbcConnection connection;
    try {
        connection.Open(testdb::SqliteConnect(file));
        connection.ExecuteSQL("CREATE TABLE t (id INTEGER)");
        connection.Close();
        EXPECT_TRUE(std::filesystem::exists(file));
    } catch (const CDbException&) {
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/b.db"));
}

TEST_P(OdbcTest, BracedPasswordReachesTheServerWhole)
{
    if (!IsPostgres())
        GTEST_SKIP() << "needs a server with passwords";
    std::string role = testdb::UniqueTable("role");
    const std::string password = "p;Uid=postgres;x}y";
    m_db.ExecuteSQL("CREATE ROLE " + role + " LOGIN PASSWORD 'p;Uid=postgres;x}y'");
    std::string connect = Connect();
    connect = connect.substr(0, connect.find(";Uid=")) + ";Uid=" + role + ";Pwd=" + QuoteConnectValue(password);
    COdbcConnection connection;
    EXPECT_NO_THROW(connection.Open(connect));
    if (connection.IsOpen()) {
        COdbcStatement statement(connection);
        statement.ExecDirect("SELECT current_user");
        ASSERT_TRUE(statement.Fetch());
        std::string user;
        statement.GetText(1, user);
        EXPECT_EQ(user, role);
    }
    connection.Close();
    m_db.ExecuteSQL("DROP ROLE " + role);
}

// Connects to PostgreSQL take turns (its driver sets the process's locale); a connect to SQLite,
// once its connect string is known to reach SQLite, does not wait for a turn.
TEST(ConnectTurn, AConnectToAServerThatDoesNotAnswerHoldsUpNoKnownSqliteConnect)
{
    TempFolder dir{"twdb"};
    const std::string sqlite = testdb::SqliteConnect(dir.Path() + "/a.db");
    COdbcConnection first;
    first.Open(sqlite);
    first.Close();

    SilentServer server;
    auto hanging = std::async(std::launch::async, [&server] {
        COdbcConnection connection;
        EXPECT_THROW(connection.Open(testdb::PgConnectTo(server.Port())), CDbException);
    });
    ASSERT_TRUE(server.WaitAccepted(std::chrono::seconds(30))) << "the driver never connected";
    auto alongside = std::async(std::launch::async, [&sqlite] {
        COdbcConnection connection;
        connection.Open(sqlite);
        return connection.IsOpen();
    });
    EXPECT_EQ(alongside.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    server.Stop();
    hanging.get();
    EXPECT_TRUE(alongside.get());
}

TEST(DbmsTraits, UnknownProductsFallBackAndConnectFailuresAreFoundBeforeConnecting)
{
    EXPECT_EQ(CDbmsTraits::ForDbms("postgresql").dbmsName, "PostgreSQL");
    EXPECT_EQ(CDbmsTraits::ForDbms("NoSuchDb").columnInfo, ColumnInfoPath::Catalog);
    EXPECT_TRUE(CDbmsTraits::ForDbms("NoSuchDb").IsLostConnection(CDbException(SQL_INVALID_HANDLE, "", "")));
    CDbException oracleGone(SQL_ERROR, "ORA-03114: not connected", "State:HY000,Native:3114,Origin:");
    EXPECT_TRUE(CDbmsTraits::ForDbms("Oracle").IsLostConnection(oracleGone));
    EXPECT_FALSE(CDbmsTraits::ForDbms("SQLite").IsLostConnection(oracleGone));
    EXPECT_TRUE(CDbmsTraits::IsConnectFailure(CDbException(SQL_ERROR, "ora-12203: x", "")));
    EXPECT_FALSE(CDbmsTraits::IsConnectFailure(CDbException(SQL_ERROR, "x", "State:IM002,Native:0,Origin:")));
}

TEST(DbmsTraits, ProductsWithoutErrorTextsKnowErrorsByStateAlone)
{
    const CDbException plain(SQL_ERROR, "relation is busy", "State:HY000,Native:7,Origin:");
    for (const char* dbms : {"PostgreSQL", "Microsoft SQL Server", "ACCESS", "Oracle", "NoSuchDb"}) {
        EXPECT_FALSE(CDbmsTraits::ForDbms(dbms).IsMissingTable(plain)) << dbms;
        EXPECT_FALSE(CDbmsTraits::ForDbms(dbms).IsUniqueViolation(plain)) << dbms;
    }
    EXPECT_FALSE(CDbmsTraits::NeedsLongColumnsWorkaround(plain));
    EXPECT_TRUE(CDbmsTraits::NeedsLongColumnsWorkaround(CDbException(SQL_ERROR, "ORA-03127: x", "")));
    EXPECT_TRUE(CDbmsTraits::ForDbms("SQLite").IsMissingTable(CDbException(SQL_ERROR, "No such table: t", "")));
}

TW_INSTANTIATE_BACKENDS(OdbcTest);

}  // namespace
