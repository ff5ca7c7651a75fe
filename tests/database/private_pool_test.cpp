// Private data sources (DbConnectionThreadOwn) kept open for reuse: nothing of one run reaches the
// next, a connection that broke is replaced, and idle ones are swept; on SQLite and PostgreSQL.
#include "database/data_source_pool.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"

#include <sqlext.h>

namespace {

class PrivatePoolTest : public testdb::TableTest {
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

    CDataSource* Take() { return m_pool.GetDataSource("/page.twp"); }
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
    CDataSource* first = Take();
    ASSERT_TRUE(first->IsPrivate());
    first->DoCommand("BeginTrans", {}, {}, {}, this);
    first->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (1)");
    // (SQLite's transaction is begun by a statement, with autocommit left on.)
    ASSERT_TRUE(first->IsInTransaction());
    ASSERT_EQ(testdb::RowsSeenByOthers(Connect(), m_table), 0) << "the insert is not committed";
    CDataSource* const kept = first;
    // Given back without the engine's rollback: the pool itself must undo the transaction.
    m_pool.ReleaseDataSource(&first);
    EXPECT_EQ(Idle(), 1u);

    CDataSource* second = Take();
    EXPECT_EQ(second, kept) << "the idle connection is reused, not a new one made";
    EXPECT_EQ(Idle(), 0u);
    EXPECT_EQ(second->GetUseCount(), 1);
    EXPECT_FALSE(second->IsInTransaction());
    EXPECT_TRUE(AutoCommitIsOn(*second));
    EXPECT_EQ(Rows(*second), 0) << "the uncommitted insert of the last run is gone";

    // Autocommit really is on: a row written now is seen by others at once.
    second->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (2)");
    EXPECT_EQ(testdb::RowsSeenByOthers(Connect(), m_table), 1);
    m_pool.ReleaseDataSource(&second);
}

TEST_P(PrivatePoolTest, ATransactionBegunByAPlainStatementIsRolledBackToo)
{
    CDataSource* first = Take();
    first->DoCommand("ExecuteSQL", "BEGIN");
    first->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (1)");
    m_pool.ReleaseDataSource(&first);

    CDataSource* second = Take();
    EXPECT_EQ(Rows(*second), 0);
    second->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (2)");
    EXPECT_EQ(testdb::RowsSeenByOthers(Connect(), m_table), 1) << "the next run is outside that transaction";
    m_pool.ReleaseDataSource(&second);
}

TEST_P(PrivatePoolTest, RunsAtTheSameTimeNeverShareAConnection)
{
    CDataSource* a = Take();
    CDataSource* b = Take();
    EXPECT_NE(a, b);
    m_pool.ReleaseDataSource(&a);
    CDataSource* c = Take();
    CDataSource* d = Take();
    EXPECT_NE(c, b);
    EXPECT_NE(d, b);
    EXPECT_NE(c, d);
    for (CDataSource** slot : {&b, &c, &d})
        m_pool.ReleaseDataSource(slot);
    EXPECT_EQ(Idle(), 3u);
    EXPECT_EQ(m_pool.Describe().size(), 1u) << "the status view keeps one row per connect string";
}

TEST_P(PrivatePoolTest, ABrokenConnectionIsDroppedAndReplaced)
{
    CDataSource* first = Take();
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
    m_pool.ReleaseDataSource(&first);
    EXPECT_EQ(Idle(), 0u) << "a broken connection is not kept";

    CDataSource* next = Take();
    EXPECT_TRUE(next->IsOpen());
    EXPECT_EQ(Rows(*next), 0);
    m_pool.ReleaseDataSource(&next);
    EXPECT_EQ(Idle(), 1u);
}

TEST_P(PrivatePoolTest, TheSweepClosesConnectionsIdleOverTheLimit)
{
    CDataSource* early = Take();
    CDataSource* late = Take();
    m_pool.ReleaseDataSource(&early);
    m_now += 4 * 60;
    m_pool.ReleaseDataSource(&late);
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
    CDataSource* taken[3] = {Take(), Take(), Take()};
    for (CDataSource*& dataSource : taken)
        m_pool.ReleaseDataSource(&dataSource);
    EXPECT_EQ(Idle(), 2u);
}

TW_INSTANTIATE_BACKENDS(PrivatePoolTest);

} // namespace
