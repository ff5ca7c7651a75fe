// CDataSourcePool: the application state's pool of data sources. It maps URL path prefixes to
// connect strings and hands each page or script run the shared CDataSource of the longest prefix
// that matches the run's URL path (without regard to case), one per connect string; with
// "DbConnectionThreadOwn" on, each run gets a private copy that goes back to the pool when the
// run gives it back. Runs hold what they get through a CDataSourceLease. The background thread's
// hourly tick closes shared data sources idle for more than 120 minutes.
//
// CSspApp owns one pool and uses ListLock() as its own list lock, so the pool's lists and the
// application's other lists are guarded by one lock. That lock is held only to find, reserve or
// list entries: connecting and closing, which can wait long on a server that does not answer,
// happen outside it, so no session lookup waits for a database. The pool never takes a data
// source's own lock while it holds ListLock().
#pragma once

#include "database/data_source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CDataSourcePool;

// A run's hold on a data source of the pool, given back when the lease goes or at Release: a
// shared data source is only counted down, a private one is reset and kept idle for the next run,
// or closed. Move-only; an empty lease holds nothing. The pool must outlive its leases.
class CDataSourceLease
{
public:
    CDataSourceLease() = default;
    ~CDataSourceLease();
    CDataSourceLease(CDataSourceLease&& other) noexcept;
    CDataSourceLease& operator=(CDataSourceLease&& other) noexcept;

    CDataSource* Get() const { return m_dataSource.get(); }
    CDataSource* operator->() const { return m_dataSource.get(); }
    CDataSource& operator*() const { return *m_dataSource; }
    explicit operator bool() const { return m_dataSource != nullptr; }

    // Gives the data source back now; the lease is empty afterwards.
    void Release();

private:
    friend class CDataSourcePool;
    CDataSourceLease(CDataSourcePool& pool, std::shared_ptr<CDataSource> dataSource);

    CDataSourcePool* m_pool = nullptr;
    std::shared_ptr<CDataSource> m_dataSource;
};

class CDataSourcePool
{
public:
    // Seconds since the epoch; tests pass a fake clock.
    using Clock = std::function<int64_t()>;
    static constexpr int64_t kIdleMinutes = 120;
    // Idle private data sources kept at most, one per server thread unless SetIdleLimit says so.
    static constexpr size_t kDefaultIdleLimit = 50;

    explicit CDataSourcePool(Clock clock = {});
    ~CDataSourcePool();
    CDataSourcePool(const CDataSourcePool&) = delete;
    CDataSourcePool& operator=(const CDataSourcePool&) = delete;

    // "DbConnectionThreadOwn": each run gets a private data source.
    void SetThreadOwn(bool on);
    bool GetThreadOwn() const;
    // How many idle private data sources are kept for reuse; those over it are closed when given
    // back.
    void SetIdleLimit(size_t limit);

    // Maps a URL path prefix (kept as given) to a connect string without "ODBC;".
    void SetDataSourceForPath(const std::string& connect, const std::string& path);

    // The opened data source for a run at the URL path; throws CSspException when the path is
    // empty, no prefix matches, or the data source can't be opened (the use count taken for the
    // hand-out is given back first, and the next run tries to connect again). Two runs that open
    // the same shared data source at once connect it once: the second waits for the first.
    CDataSourceLease GetDataSource(const std::string& path);

    // The connect string that GetDataSource would choose for the URL path; throws CSspException when
    // no prefix matches.
    std::string ConnectFor(const std::string& path) const;

    // Sends "CloseIfNoOneUsesIt" to every shared data source idle for more than 120 minutes.
    // A data source that fails to close doesn't stop the sweep; the failures' texts are returned
    // for the caller to log.
    std::vector<std::string> CloseIdleDataSources();
    // Closes the idle private data sources that waited for more than idleMinutes since they were
    // given back; failures' texts are returned as above.
    std::vector<std::string> CloseIdlePrivateDataSources(int64_t idleMinutes);
    // Idle private data sources kept for connect (for the tests and the status of the pool).
    size_t IdlePrivateCount(const std::string& connect) const;
    // Closes every shared and idle private data source and empties the path map (debugger start,
    // exit). A shared data source that a run still holds is closed when its lease goes.
    void RemoveAll();

    // One row per shared data source in creation order, for the Server object's DataSourceInfo.
    struct Info
    {
        std::vector<std::string> paths;  // the prefixes mapped to its connect string
        std::string connect;
        int64_t lastUse = 0;
        int useCount = 0;
        bool open = false;
    };
    std::vector<Info> Describe() const;

    std::recursive_mutex& ListLock() const { return m_listLock; }
    int64_t Now() const { return m_clock(); }

private:
    friend class CDataSourceLease;
    using DataSourcePtr = std::shared_ptr<CDataSource>;

    std::string ChooseConnect(const std::string& path) const;
    DataSourcePtr TakeShared(const std::string& connect);
    DataSourcePtr MakePrivate(const std::string& connect);
    DataSourcePtr TakeIdlePrivate(const std::string& connect);
    // A lease's data source coming back. A private one is reset and kept idle for the next run
    // when it is still connected and the idle limit allows, else closed; a connection that broke
    // is never kept.
    void GiveBack(DataSourcePtr dataSource) noexcept;
    // Sends command to each; the failures' texts.
    static std::vector<std::string> CloseEach(const std::vector<DataSourcePtr>& dataSources, std::string_view command);

    Clock m_clock;
    // Guards everything below; recursive because the application holds it across whole Server
    // member calls that come back here.
    mutable std::recursive_mutex m_listLock;
    bool m_threadOwn = false;
    // Shared ones, creation order; a lease or a sweep in progress may hold one past its removal.
    std::vector<DataSourcePtr> m_dataSources;
    // Idle private ones, the most recently given back last; not in the status view, which shows
    // one row per connect string.
    std::vector<DataSourcePtr> m_idlePrivate;
    size_t m_idleLimit = kDefaultIdleLimit;
    // Prefix -> connect string in insertion order, so of two equally long prefixes that differ only
    // in letter case the one set first wins.
    std::vector<std::pair<std::string, std::string>> m_paths;
};
