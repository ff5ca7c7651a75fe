#include "database/data_source_pool.h"
#include "database/odbc_statement.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"

#include <ctime>
#include <thread>

namespace {

// A moment at minute 0 of a local hour.
int64_t LocalMinuteZero()
{
    time_t t = 1700000000;
    struct tm local {};
    localtime_r(&t, &local);
    return static_cast<int64_t>(t) - local.tm_min * 60 - local.tm_sec;
}

std::string Failure(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CSspException& error) {
        return error.GetMessage();
    }
    return {};
}

class PoolTest : public testing::Test {
protected:
    TempFolder m_dir{"twdb"};
    int64_t m_now = LocalMinuteZero();
    CDataSourcePool m_pool{[this] { return m_now; }};
    std::string m_a = testdb::SqliteConnect(m_dir.Path() + "/a.db");
    std::string m_b = testdb::SqliteConnect(m_dir.Path() + "/b.db");

    const CDataSourcePool::Info& Row(size_t index)
    {
        m_rows = m_pool.Describe();
        EXPECT_LT(index, m_rows.size());
        return m_rows.at(index);
    }
    std::vector<CDataSourcePool::Info> m_rows;
};

TEST_F(PoolTest, LongestPrefixWinsWithoutRegardToCase)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    m_pool.SetDataSourceForPath(m_b, "/app");
    CDataSource* app = m_pool.GetDataSource("/APP/x.twp");
    CDataSource* other = m_pool.GetDataSource("/other/x");
    CDataSource* shorter = m_pool.GetDataSource("/ap");
    EXPECT_EQ(app->GetConnectString(), m_b);
    EXPECT_EQ(other->GetConnectString(), m_a);
    EXPECT_EQ(shorter, other);
    m_pool.ReleaseDataSource(&app);
    m_pool.ReleaseDataSource(&other);
    m_pool.ReleaseDataSource(&shorter);
    EXPECT_EQ(app, nullptr);

    // Of two prefixes that differ only in case, the one set first wins; re-setting one keeps its place.
    m_pool.SetDataSourceForPath(m_a, "/Docs");
    m_pool.SetDataSourceForPath(m_b, "/docs");
    m_pool.SetDataSourceForPath(m_a, "/Docs");
    CDataSource* docs = m_pool.GetDataSource("/DOCS/x.twp");
    EXPECT_EQ(docs->GetConnectString(), m_a);
    m_pool.ReleaseDataSource(&docs);
}

TEST_F(PoolTest, MissingPathOrMappingIsRefused)
{
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource("/x.twp"); }), "Internal error. No data source is defined. ");
    m_pool.SetDataSourceForPath(m_a, "/app");
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource("/other/x.twp"); }),
              "Internal error. No data source is defined. ");
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource(""); }), "FileOrDir empty in finding DS");
    m_pool.ReleaseDataSource(nullptr);
}

TEST_F(PoolTest, RunsOnOneConnectStringShareOneDataSource)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    m_pool.SetDataSourceForPath(m_a, "/second");
    CDataSource* first = m_pool.GetDataSource("/x.twp");
    CDataSource* second = m_pool.GetDataSource("/second/y.twp");
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->GetUseCount(), 2);
    EXPECT_TRUE(first->IsOpen());
    ASSERT_EQ(m_pool.Describe().size(), 1u);
    EXPECT_EQ(Row(0).paths, (std::vector<std::string>{"/", "/second"}));
    m_pool.ReleaseDataSource(&first);
    m_pool.ReleaseDataSource(&second);
    EXPECT_EQ(Row(0).useCount, 0);
    EXPECT_TRUE(Row(0).open);
}

TEST_F(PoolTest, SweepClosesOnlyUnusedSourcesIdleOverTwoHours)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    m_pool.SetDataSourceForPath(m_b, "/busy");
    CDataSource* idle = m_pool.GetDataSource("/x.twp");
    CDataSource* busy = m_pool.GetDataSource("/busy/x.twp");
    m_pool.ReleaseDataSource(&idle);

    m_now += 120 * 60;
    EXPECT_TRUE(m_pool.CloseIdleDataSources().empty());
    EXPECT_TRUE(Row(0).open) << "120 minutes is not yet over the limit";
    m_now += 60;
    m_pool.CloseIdleDataSources();
    EXPECT_FALSE(Row(0).open);
    EXPECT_TRUE(Row(1).open) << "a data source in use stays open";

    // The next hand-out reconnects.
    idle = m_pool.GetDataSource("/x.twp");
    EXPECT_TRUE(idle->IsOpen());
    EXPECT_EQ(idle->GetLastUseTime(), m_now);
    m_pool.ReleaseDataSource(&idle);
    m_pool.ReleaseDataSource(&busy);
}

TEST_F(PoolTest, MissingDsnGivesCatalogueTextAndReturnsTheUseCount)
{
    m_pool.SetDataSourceForPath("DSN=tw_pool_nosuch", "/");
    std::string text = Failure([&] { m_pool.GetDataSource("/x.twp"); });
    EXPECT_EQ(text.rfind("Data source [tw_pool_nosuch] not found.", 0), 0u) << text;
    ASSERT_EQ(m_pool.Describe().size(), 1u);
    EXPECT_EQ(Row(0).useCount, 0);
    EXPECT_FALSE(Row(0).open);
}

TEST_F(PoolTest, ThreadOwnRunsGetPrivateCopiesThatGoIdleOnRelease)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    m_pool.SetThreadOwn(true);
    CDataSource* first = m_pool.GetDataSource("/x.twp");
    CDataSource* second = m_pool.GetDataSource("/x.twp");
    EXPECT_NE(first, second);
    EXPECT_TRUE(first->IsPrivate());
    EXPECT_TRUE(first->IsOpen());
    EXPECT_EQ(first->GetUseCount(), 1);
    ASSERT_EQ(m_pool.Describe().size(), 1u) << "private copies are not pooled";
    EXPECT_EQ(Row(0).useCount, 0);
    EXPECT_TRUE(Row(0).open);

    first->DoCommand("ExecuteSQL", "CREATE TABLE t (id INTEGER)");
    first->DoCommand("ExecuteSQL", "INSERT INTO t VALUES (1)");
    auto statement = std::make_unique<COdbcStatement>(first->Connection());
    statement->ExecDirect("SELECT id FROM t");
    m_pool.ReleaseDataSource(&first);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(m_pool.IdlePrivateCount(m_a), 1u);
    // The run's statement outlived the hand-back: it reports, and touches nothing of the connection
    // that the next run gets.
    EXPECT_FALSE(statement->IsAttached());
    EXPECT_THROW(statement->Fetch(), CDbException);
    statement.reset();
    m_pool.ReleaseDataSource(&second);
}

TEST_F(PoolTest, ConcurrentRunsKeepTheUseCountExact)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                CDataSource* ds = m_pool.GetDataSource("/x.twp");
                ds->DoCommand("GetDbmsInfo");
                m_pool.ReleaseDataSource(&ds);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(Row(0).useCount, 0);
}

TEST_F(PoolTest, RemoveAllForgetsSourcesAndPaths)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    CDataSource* ds = m_pool.GetDataSource("/x.twp");
    m_pool.ReleaseDataSource(&ds);
    m_pool.RemoveAll();
    EXPECT_TRUE(m_pool.Describe().empty());
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource("/x.twp"); }), "Internal error. No data source is defined. ");
}

} // namespace
