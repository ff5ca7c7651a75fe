#include "database/data_source_pool.h"
#include "database/odbc_statement.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"
#include "tests/support/silent_server.h"
#include "tests/support/wait_for.h"

#include <ctime>
#include <future>
#include <thread>
#include <utility>

namespace {

// A moment at minute 0 of a local hour.
int64_t LocalMinuteZero()
{
    time_t t = 1700000000;
    struct tm local
    {};
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

class PoolTest : public testing::Test
{
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
    CDataSourceLease app = m_pool.GetDataSource("/APP/x.twp");
    CDataSourceLease other = m_pool.GetDataSource("/other/x");
    CDataSourceLease shorter = m_pool.GetDataSource("/ap");
    EXPECT_EQ(app->GetConnectString(), m_b);
    EXPECT_EQ(other->GetConnectString(), m_a);
    EXPECT_EQ(shorter.Get(), other.Get());
    app.Release();
    other.Release();
    shorter.Release();
    EXPECT_FALSE(app);

    // Of two prefixes that differ only in case, the one set first wins; re-setting one keeps its place.
    m_pool.SetDataSourceForPath(m_a, "/Docs");
    m_pool.SetDataSourceForPath(m_b, "/docs");
    m_pool.SetDataSourceForPath(m_a, "/Docs");
    CDataSourceLease docs = m_pool.GetDataSource("/DOCS/x.twp");
    EXPECT_EQ(docs->GetConnectString(), m_a);
    docs.Release();
}

TEST_F(PoolTest, MissingPathOrMappingIsRefused)
{
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource("/x.twp"); }), "Internal error. No data source is defined. ");
    m_pool.SetDataSourceForPath(m_a, "/app");
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource("/other/x.twp"); }), "Internal error. No data source is defined. ");
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource(""); }), "FileOrDir empty in finding DS");
}

TEST_F(PoolTest, RunsOnOneConnectStringShareOneDataSource)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    m_pool.SetDataSourceForPath(m_a, "/second");
    CDataSourceLease first = m_pool.GetDataSource("/x.twp");
    CDataSourceLease second = m_pool.GetDataSource("/second/y.twp");
    EXPECT_EQ(first.Get(), second.Get());
    EXPECT_EQ(first->GetUseCount(), 2);
    EXPECT_TRUE(first->IsOpen());
    ASSERT_EQ(m_pool.Describe().size(), 1u);
    EXPECT_EQ(Row(0).paths, (std::vector<std::string>{"/", "/second"}));
    first.Release();
    second.Release();
    EXPECT_EQ(Row(0).useCount, 0);
    EXPECT_TRUE(Row(0).open);
}

TEST_F(PoolTest, SweepClosesOnlyUnusedSourcesIdleOverTwoHours)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    m_pool.SetDataSourceForPath(m_b, "/busy");
    CDataSourceLease idle = m_pool.GetDataSource("/x.twp");
    CDataSourceLease busy = m_pool.GetDataSource("/busy/x.twp");
    idle.Release();

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
    idle.Release();
    busy.Release();
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
    CDataSourceLease first = m_pool.GetDataSource("/x.twp");
    CDataSourceLease second = m_pool.GetDataSource("/x.twp");
    EXPECT_NE(first.Get(), second.Get());
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
    first.Release();
    EXPECT_FALSE(first);
    EXPECT_EQ(m_pool.IdlePrivateCount(m_a), 1u);
    // The run's statement outlived the hand-back: it reports, and touches nothing of the connection
    // that the next run gets.
    EXPECT_FALSE(statement->IsAttached());
    EXPECT_THROW(static_cast<void>(statement->Fetch()), CDbException);
    statement.reset();
    second.Release();
}

TEST_F(PoolTest, ConcurrentRunsKeepTheUseCountExact)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                CDataSourceLease ds = m_pool.GetDataSource("/x.twp");
                ds->DoCommand("GetDbmsInfo");
                ds.Release();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(Row(0).useCount, 0);
}

TEST_F(PoolTest, ALeaseGivesItsDataSourceBackOnceWhenItGoes)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    {
        CDataSourceLease first = m_pool.GetDataSource("/x.twp");
        CDataSourceLease moved = std::move(first);
        EXPECT_FALSE(first);
        CDataSourceLease second = m_pool.GetDataSource("/x.twp");
        EXPECT_EQ(Row(0).useCount, 2);
        second = std::move(moved);  // second's own hold goes back here
        EXPECT_EQ(Row(0).useCount, 1);
    }
    EXPECT_EQ(Row(0).useCount, 0);
}

TEST_F(PoolTest, ALeaseKeepsItsDataSourceUsableAfterRemoveAll)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    CDataSourceLease lease = m_pool.GetDataSource("/x.twp");
    m_pool.RemoveAll();
    EXPECT_TRUE(m_pool.Describe().empty());
    EXPECT_EQ(lease->DoCommand("ExecuteSQL", "CREATE TABLE t (id INTEGER)"), 1);
    EXPECT_TRUE(lease->IsOpen());
    lease.Release();
}

TEST_F(PoolTest, RunsThatWantADataSourceWhileItConnectsWaitForThatConnectAndTryAgainWhenItFails)
{
    SilentServer server;
    m_pool.SetDataSourceForPath(testdb::PgConnectTo(server.Port()), "/");
    auto take = [this] { return Failure([this] { m_pool.GetDataSource("/x.twp"); }); };
    auto first = std::async(std::launch::async, take);
    ASSERT_TRUE(server.WaitAccepted(std::chrono::seconds(30))) << "the driver never connected";
    auto second = std::async(std::launch::async, take);

    // The second run is counted in without waiting at the list, then waits for the first one's
    // connect; the status view answers meanwhile.
    EXPECT_TRUE(WaitFor([&] { return Row(0).useCount == 2; }));
    EXPECT_FALSE(Row(0).open);
    EXPECT_EQ(second.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    // Hung up and no longer listening: the first connect fails, then the second's own try is refused.
    server.Stop();
    EXPECT_NE(first.get(), "");
    EXPECT_NE(second.get(), "");
    EXPECT_EQ(Row(0).useCount, 0) << "a failed connect gives back what it reserved";
    EXPECT_FALSE(Row(0).open);
}

TEST_F(PoolTest, RemoveAllForgetsSourcesAndPaths)
{
    m_pool.SetDataSourceForPath(m_a, "/");
    CDataSourceLease ds = m_pool.GetDataSource("/x.twp");
    ds.Release();
    m_pool.RemoveAll();
    EXPECT_TRUE(m_pool.Describe().empty());
    EXPECT_EQ(Failure([&] { m_pool.GetDataSource("/x.twp"); }), "Internal error. No data source is defined. ");
}

}  // namespace
