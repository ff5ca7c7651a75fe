#include "database/data_source_pool.h"
#include "foundation/ascii_text.h"

#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <new>
#include <utility>

namespace {

int64_t SystemNow()
{
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

CDataSourceLease::CDataSourceLease(CDataSourcePool& pool, std::shared_ptr<CDataSource> dataSource)
    : m_pool(&pool), m_dataSource(std::move(dataSource))
{}

CDataSourceLease::~CDataSourceLease()
{
    Release();
}

CDataSourceLease::CDataSourceLease(CDataSourceLease&& other) noexcept
    : m_pool(other.m_pool), m_dataSource(std::move(other.m_dataSource))
{}

CDataSourceLease& CDataSourceLease::operator=(CDataSourceLease&& other) noexcept
{
    if (this != &other) {
        Release();
        m_pool = other.m_pool;
        m_dataSource = std::move(other.m_dataSource);
    }
    return *this;
}

void CDataSourceLease::Release()
{
    if (m_dataSource != nullptr)
        m_pool->GiveBack(std::exchange(m_dataSource, nullptr));
}

CDataSourcePool::CDataSourcePool(Clock clock) : m_clock(clock ? std::move(clock) : Clock(SystemNow))
{}

CDataSourcePool::~CDataSourcePool()
{
    RemoveAll();
}

void CDataSourcePool::SetThreadOwn(bool on)
{
    std::lock_guard guard(m_listLock);
    m_threadOwn = on;
}

bool CDataSourcePool::GetThreadOwn() const
{
    std::lock_guard guard(m_listLock);
    return m_threadOwn;
}

void CDataSourcePool::SetIdleLimit(size_t limit)
{
    std::lock_guard guard(m_listLock);
    m_idleLimit = limit;
}

void CDataSourcePool::SetDataSourceForPath(const std::string& connect, const std::string& path)
{
    std::lock_guard guard(m_listLock);
    for (auto& [prefix, mapped] : m_paths) {
        if (prefix == path) {
            mapped = connect;
            return;
        }
    }
    m_paths.emplace_back(path, connect);
}

std::string CDataSourcePool::ChooseConnect(const std::string& path) const
{
    size_t bestLength = 0;
    const std::string* chosen = nullptr;
    for (const auto& [prefix, connect] : m_paths) {
        if (prefix.size() > bestLength && StartsWithNoCase(path, prefix)) {
            bestLength = prefix.size();
            chosen = &connect;
        }
    }
    if (chosen == nullptr)
        RaiseCatalogText(kMsgNoDataSource, kNoPosition);
    return *chosen;
}

std::string CDataSourcePool::ConnectFor(const std::string& path) const
{
    std::lock_guard guard(m_listLock);
    return ChooseConnect(path);
}

CDataSourcePool::DataSourcePtr CDataSourcePool::TakeShared(const std::string& connect)
{
    for (const auto& dataSource : m_dataSources) {
        if (dataSource->GetConnectString() == connect) {
            dataSource->IncUseCount();
            dataSource->SetLastUseTime(m_clock());
            return dataSource;
        }
    }
    try {
        return m_dataSources.emplace_back(std::make_shared<CDataSource>(connect, m_clock()));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemoryDataSource, kNoPosition);
    }
}

CDataSourcePool::DataSourcePtr CDataSourcePool::MakePrivate(const std::string& connect)
{
    DataSourcePtr own;
    try {
        own = std::make_shared<CDataSource>(connect, m_clock());
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgDataSourceAllocation, kNoPosition);
    }
    own->SetPrivate(true);
    try {
        own->DoCommand("Open");
    } catch (...) {
        own->DecUseCount();
        throw;  // own's destructor sends "Close"
    }
    return own;
}

CDataSourcePool::DataSourcePtr CDataSourcePool::TakeIdlePrivate(const std::string& connect)
{
    // The most recently given back first: it is the likeliest to be alive, and the ones at the
    // front are left to grow idle and be swept.
    for (auto it = m_idlePrivate.rbegin(); it != m_idlePrivate.rend(); ++it) {
        if ((*it)->GetConnectString() != connect)
            continue;
        DataSourcePtr reused = std::move(*it);
        m_idlePrivate.erase(std::next(it).base());
        reused->IncUseCount();
        reused->SetLastUseTime(m_clock());
        reused->MarkKept();
        return reused;
    }
    return nullptr;
}

CDataSourceLease CDataSourcePool::GetDataSource(const std::string& path)
{
    DataSourcePtr shared;
    bool threadOwn = false;
    {
        std::lock_guard guard(m_listLock);
        if (path.empty())
            throw CSspException("FileOrDir empty in finding DS", kNoPosition);
        shared = TakeShared(ChooseConnect(path));
        threadOwn = m_threadOwn;
    }
    // Connecting takes a round trip or several to a server database, and one that does not answer
    // holds it until the driver gives up: not under the list lock, which every run and session
    // lookup takes. The data source's own lock makes a run that wants it at the same time wait for
    // this connect and find it open, or try again itself when this one failed.
    const bool connected = shared->IsOpen();
    try {
        shared->DoCommand("Open");
    } catch (...) {
        shared->DecUseCount();
        throw;
    }
    if (!threadOwn) {
        if (connected)
            shared->MarkKept();
        return CDataSourceLease(*this, std::move(shared));
    }
    // The shared one stays open in the list for the sweep and the status view; the run works on
    // a connection of its own.
    shared->DecUseCount();
    const std::string& connect = shared->GetConnectString();
    {
        std::lock_guard guard(m_listLock);
        if (DataSourcePtr reused = TakeIdlePrivate(connect))
            return CDataSourceLease(*this, std::move(reused));
    }
    return CDataSourceLease(*this, MakePrivate(connect));
}

void CDataSourcePool::GiveBack(DataSourcePtr dataSource) noexcept
{
    // A data source that is not kept is closed when dataSource goes, after the lock below is let
    // go: a parameter outlives the function's locals.
    dataSource->DecUseCount();
    if (!dataSource->IsPrivate() || !dataSource->ResetForReuse())
        return;
    std::lock_guard guard(m_listLock);
    if (m_idlePrivate.size() >= m_idleLimit)
        return;
    dataSource->SetLastUseTime(m_clock());
    try {
        m_idlePrivate.push_back(std::move(dataSource));
    } catch (const std::bad_alloc&) {
        // Not kept; the next run connects anew.
    }
}

std::vector<std::string> CDataSourcePool::CloseEach(const std::vector<DataSourcePtr>& dataSources,
                                                    std::string_view command)
{
    std::vector<std::string> failures;
    for (const auto& dataSource : dataSources) {
        try {
            dataSource->DoCommand(command);
        } catch (const CSspException& error) {
            failures.push_back(error.GetMessage());
        }
    }
    return failures;
}

std::vector<std::string> CDataSourcePool::CloseIdleDataSources()
{
    std::vector<DataSourcePtr> idle;
    {
        std::lock_guard guard(m_listLock);
        const int64_t now = m_clock();
        std::copy_if(m_dataSources.begin(), m_dataSources.end(), std::back_inserter(idle),
                     [now](const DataSourcePtr& dataSource) {
                         return (now - dataSource->GetLastUseTime()) / 60 > kIdleMinutes;
                     });
    }
    // Closing a server connection is a round trip: outside the lock. A run that takes one of these
    // in the meantime has counted itself in, so "CloseIfNoOneUsesIt" leaves it open; a run that
    // takes one after it closed connects again.
    return CloseEach(idle, "CloseIfNoOneUsesIt");
}

std::vector<std::string> CDataSourcePool::CloseIdlePrivateDataSources(int64_t idleMinutes)
{
    std::vector<DataSourcePtr> expired;
    {
        std::lock_guard guard(m_listLock);
        const int64_t now = m_clock();
        auto stays = [&](const DataSourcePtr& dataSource) {
            return (now - dataSource->GetLastUseTime()) / 60 <= idleMinutes;
        };
        auto firstExpired = std::stable_partition(m_idlePrivate.begin(), m_idlePrivate.end(), stays);
        std::move(firstExpired, m_idlePrivate.end(), std::back_inserter(expired));
        m_idlePrivate.erase(firstExpired, m_idlePrivate.end());
    }
    // Outside the lock, as nobody else holds these.
    return CloseEach(expired, "Close");
}

size_t CDataSourcePool::IdlePrivateCount(const std::string& connect) const
{
    std::lock_guard guard(m_listLock);
    return static_cast<size_t>(std::count_if(m_idlePrivate.begin(), m_idlePrivate.end(),
                                             [&](const auto& idle) { return idle->GetConnectString() == connect; }));
}

void CDataSourcePool::RemoveAll()
{
    std::vector<DataSourcePtr> shared;
    std::vector<DataSourcePtr> idle;
    {
        std::lock_guard guard(m_listLock);
        shared.swap(m_dataSources);
        idle.swap(m_idlePrivate);
        m_paths.clear();
    }
    // The connections close here, outside the lock, as the lists' references go.
}

std::vector<CDataSourcePool::Info> CDataSourcePool::Describe() const
{
    std::lock_guard guard(m_listLock);
    std::vector<Info> rows;
    for (const auto& dataSource : m_dataSources) {
        Info& row = rows.emplace_back();
        row.connect = dataSource->GetConnectString();
        for (const auto& [prefix, connect] : m_paths)
            if (connect == row.connect)
                row.paths.push_back(prefix);
        row.lastUse = dataSource->GetLastUseTime();
        row.useCount = dataSource->GetUseCount();
        row.open = dataSource->IsOpen();
    }
    return rows;
}
