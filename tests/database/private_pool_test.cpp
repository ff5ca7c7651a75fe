// Private data sources (DbConnectionThreadOwn) kept open for reuse: nothing of one run reaches the
// next, a connection that broke is replaced, and idle ones are swept; on SQLite and PostgreSQL.
#include "database/data_source_pool.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"

#include <sqlext.h>

namespace {

class PrivatePoolTest : public testdb::TableTest
{
protected:
    PrivatePoolTest() : TableTest("private_pool") {}

    void SetUp() override
    {
        TableTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
        m_pool.SetDataSourceForPath(Connect(), "/");
        m_pool.SetThreadOwn(true);
    }
    void TearDown() override
    {
        // The pool's connections go first: PostgreSQL waits for their locks before a DROP.
        m_pool.RemoveAll();
        TableTest::TearDown();
    }

    CDataSourceLease Take() { return m_pool.GetDataSource("/page.twp"); }
    int64_t Rows(CDataSource& dataSource)
    {
        COdbcStatement statement(dataSource.Connection());
        statement.ExecDirect("SELECT COUNT(*) FROM " + m_table);
        int64_t count = -1;
        if (statement.Fetch())
            statement.GetInteger(1, count);
        return count;
    }
    static bool AutoCommitIsOn(CDataSource& dataSource)
    {
        SQLULEN value = SQL_AUTOCOMMIT_OFF;
        SQLGetConnectAttr(dataSource.Connection().Handle(), SQL_ATTR_AUTOCOMMIT, &value, SQL_IS_UINTEGER, nullptr);
        return value == SQL_AUTOCOMMIT_ON;
    }
    size_t Idle() const { return m_pool.IdlePrivateCount(Connect()); }

    int64_t m_now = 1'000'000;
    CDataSourcePool m_pool{[this] { return m_now; }};
};

TEST_P(PrivatePoolTest, AGivenBackConnectionServesTheNextRunWithoutWhatTheLastOneLeftOpen)
{
    CDataSourceLease first = Take();
    ASSERT_TRUE(first->IsPrivate());
    first->DoCommand("BeginTrans", {}, {}, {}, this);
    first->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (1)");
    // (SQLite's transaction is begun by a statement, with autocommit left on.)
    ASSERT_TRUE(first->IsInTransaction());
    ASSERT_EQ(testdb::RowsSeenByOthers(Connect(), m_table), 0) << "the insert is not committed";
    CDataSource* const kept = first.Get();
    // Given back without the engine's rollback: the pool itself must undo the transaction.
    first.Release();
    EXPECT_EQ(Idle(), 1u);

    CDataSourceLease second = Take();
    EXPECT_EQ(second.Get(), kept) << "the idle connection is reused, not a new one made";
    EXPECT_EQ(Idle(), 0u);
    EXPECT_EQ(second->GetUseCount(), 1);
    EXPECT_FALSE(second->IsInTransaction());
    EXPECT_TRUE(AutoCommitIsOn(*second));
    EXPECT_EQ(Rows(*second), 0) << "the uncommitted insert of the last run is gone";

    // Autocommit really is on: a row written now is seen by others at once.
    second->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (2)");
    EXPECT_EQ(testdb::RowsSeenByOthers(Connect(), m_table), 1);
    second.Release();
}

TEST_P(PrivatePoolTest, ATransactionBegunByAPlainStatementIsRolledBackToo)
{
    CDataSourceLease first = Take();
    first->DoCommand("ExecuteSQL", "BEGIN");
    first->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (1)");
    first.Release();

    CDataSourceLease second = Take();
    EXPECT_EQ(Rows(*second), 0);
    second->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (2)");
    EXPECT_EQ(testdb::RowsSeenByOthers(Connect(), m_table), 1) << "the next run is outside that transaction";
    second.Release();
}

TEST_P(PrivatePoolTest, RunsAtTheSameTimeNeverShareAConnection)
{
    CDataSourceLease a = Take();
    CDataSourceLease b = Take();
    EXPECT_NE(a.Get(), b.Get());
    a.Release();
    CDataSourceLease c = Take();
    CDataSourceLease d = Take();
    EXPECT_NE(c.Get(), b.Get());
    EXPECT_NE(d.Get(), b.Get());
    EXPECT_NE(c.Get(), d.Get());
    for (CDataSourceLease* lease : {&b, &c, &d})
        lease->Release();
    EXPECT_EQ(Idle(), 3u);
    EXPECT_EQ(m_pool.Describe().size(), 1u) << "the status view keeps one row per connect string";
}

TEST_P(PrivatePoolTest, ABrokenConnectionIsDroppedAndReplaced)
{
    CDataSourceLease first = Take();
    if (IsPostgres()) {
        testdb::TerminateBackend(first->Connection(), Connect());
        // The run learns of it on its next statement; the data source maps it and closes.
        try {
            first->DoCommand("ExecuteSQL", "SELECT 1");
            ADD_FAILURE() << "a statement on a terminated backend succeeded";
        } catch (const CSspException& error) {
            EXPECT_NE(error.GetMessage().find("connection to the database is broken"), std::string::npos)
                << error.GetMessage();
        }
    } else {
        // A file database does not break; the broken-connection mapping's close is what counts.
        first->DoCommand("Close");
    }
    EXPECT_FALSE(first->IsOpen());
    first.Release();
    EXPECT_EQ(Idle(), 0u) << "a broken connection is not kept";

    CDataSourceLease next = Take();
    EXPECT_TRUE(next->IsOpen());
    EXPECT_EQ(Rows(*next), 0);
    next.Release();
    EXPECT_EQ(Idle(), 1u);
}

TEST_P(PrivatePoolTest, TheSweepClosesConnectionsIdleOverTheLimit)
{
    CDataSourceLease early = Take();
    CDataSourceLease late = Take();
    early.Release();
    m_now += 4 * 60;
    late.Release();
    ASSERT_EQ(Idle(), 2u);

    m_now += 60;  // early: 5 minutes idle, late: 1 minute
    EXPECT_TRUE(m_pool.CloseIdlePrivateDataSources(5).empty());
    EXPECT_EQ(Idle(), 2u) << "5 minutes is not yet over a limit of 5";
    m_now += 60;
    EXPECT_TRUE(m_pool.CloseIdlePrivateDataSources(5).empty());
    EXPECT_EQ(Idle(), 1u);
    m_now += 5 * 60;
    m_pool.CloseIdlePrivateDataSources(5);
    EXPECT_EQ(Idle(), 0u);

    // The shared data source is the hourly sweep's, not this one's.
    ASSERT_EQ(m_pool.Describe().size(), 1u);
    EXPECT_TRUE(m_pool.Describe()[0].open);
}

TEST_P(PrivatePoolTest, NoMoreIdleConnectionsAreKeptThanTheLimit)
{
    m_pool.SetIdleLimit(2);
    CDataSourceLease taken[3] = {Take(), Take(), Take()};
    for (CDataSourceLease& lease : taken)
        lease.Release();
    EXPECT_EQ(Idle(), 2u);
}

TW_INSTANTIATE_BACKENDS(PrivatePoolTest);

}  // namespace
