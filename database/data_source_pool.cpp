#include "database/data_source_pool.h"
#include "database/ascii_case.h"

#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"
#include "foundation/script_error.h"

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

} // namespace

CDataSourcePool::CDataSourcePool(Clock clock) : m_clock(clock ? std::move(clock) : Clock(SystemNow))
{
}

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
        RaiseCatalogText(5, kNoPosition);
    return *chosen;
}

CDataSource* CDataSourcePool::TakeShared(const std::string& connect)
{
    for (const auto& dataSource : m_dataSources) {
        if (dataSource->GetConnectString() == connect) {
            dataSource->IncUseCount();
            dataSource->SetLastUseTime(m_clock());
            return dataSource.get();
        }
    }
    try {
        m_dataSources.push_back(std::make_unique<CDataSource>(connect, m_clock()));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(58, kNoPosition);
    }
    return m_dataSources.back().get();
}

CDataSource* CDataSourcePool::MakePrivate(const std::string& connect)
{
    std::unique_ptr<CDataSource> own;
    try {
        own = std::make_unique<CDataSource>(connect, m_clock());
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(6, kNoPosition);
    }
    own->SetPrivate(true);
    try {
        own->DoCommand("Open");
    } catch (...) {
        own->DecUseCount();
        throw;  // own's destructor sends "Close"
    }
    return own.release();
}

CDataSource* CDataSourcePool::TakeIdlePrivate(const std::string& connect)
{
    // The most recently given back first: it is the likeliest to be alive, and the ones at the
    // front are left to grow idle and be swept.
    for (auto it = m_idlePrivate.rbegin(); it != m_idlePrivate.rend(); ++it) {
        if ((*it)->GetConnectString() != connect)
            continue;
        CDataSource* reused = it->release();
        m_idlePrivate.erase(std::next(it).base());
        reused->IncUseCount();
        reused->SetLastUseTime(m_clock());
        return reused;
    }
    return nullptr;
}

CDataSource* CDataSourcePool::GetDataSource(const std::string& path)
{
    std::string connect;
    {
        std::lock_guard guard(m_listLock);
        if (path.empty())
            throw CSspException("FileOrDir empty in finding DS", kNoPosition);
        CDataSource* shared = TakeShared(ChooseConnect(path));
        try {
            shared->DoCommand("Open");
        } catch (...) {
            shared->DecUseCount();
            throw;
        }
        if (!m_threadOwn)
            return shared;
        // The shared one stays open in the list for the sweep and the status view; the run works on
        // a connection of its own.
        shared->DecUseCount();
        if (CDataSource* reused = TakeIdlePrivate(shared->GetConnectString()))
            return reused;
        connect = shared->GetConnectString();
    }
    // Connecting takes a round trip or several to a server database: not under the list lock,
    // which every run and session lookup takes.
    return MakePrivate(connect);
}

void CDataSourcePool::ReleaseDataSource(CDataSource** slot)
{
    if (slot == nullptr)
        return;
    CDataSource* dataSource;
    {
        std::lock_guard guard(m_listLock);
        dataSource = std::exchange(*slot, nullptr);
        if (dataSource == nullptr)
            return;
        dataSource->DecUseCount();
        if (!dataSource->IsPrivate())
            return;
    }
    // Created by MakePrivate and owned by the run until now; no other run can reach it.
    std::unique_ptr<CDataSource> own(dataSource);
    if (!own->ResetForReuse())
        return;
    std::lock_guard guard(m_listLock);
    if (m_idlePrivate.size() >= m_idleLimit)
        return;  // own is closed after the lock is let go
    own->SetLastUseTime(m_clock());
    m_idlePrivate.push_back(std::move(own));
}

std::vector<std::string> CDataSourcePool::CloseIdleDataSources()
{
    std::lock_guard guard(m_listLock);
    std::vector<std::string> failures;
    int64_t now = m_clock();
    for (const auto& dataSource : m_dataSources) {
        int64_t idleMinutes = (now - dataSource->GetLastUseTime()) / 60;
        if (idleMinutes <= kIdleMinutes)
            continue;
        try {
            dataSource->DoCommand("CloseIfNoOneUsesIt");
        } catch (const CSspException& error) {
            failures.push_back(error.GetMessage());
        }
    }
    return failures;
}

std::vector<std::string> CDataSourcePool::CloseIdlePrivateDataSources(int64_t idleMinutes)
{
    std::vector<std::unique_ptr<CDataSource>> expired;
    {
        std::lock_guard guard(m_listLock);
        const int64_t now = m_clock();
        auto stays = [&](const std::unique_ptr<CDataSource>& dataSource) {
            return (now - dataSource->GetLastUseTime()) / 60 <= idleMinutes;
        };
        auto firstExpired = std::stable_partition(m_idlePrivate.begin(), m_idlePrivate.end(), stays);
        std::move(firstExpired, m_idlePrivate.end(), std::back_inserter(expired));
        m_idlePrivate.erase(firstExpired, m_idlePrivate.end());
    }
    // Closing a server connection is a round trip: outside the lock, as nobody else holds these.
    std::vector<std::string> failures;
    for (const auto& dataSource : expired) {
        try {
            dataSource->DoCommand("Close");
        } catch (const CSspException& error) {
            failures.push_back(error.GetMessage());
        }
    }
    return failures;
}

size_t CDataSourcePool::IdlePrivateCount(const std::string& connect) const
{
    std::lock_guard guard(m_listLock);
    return static_cast<size_t>(std::count_if(m_idlePrivate.begin(), m_idlePrivate.end(),
                                             [&](const auto& idle) { return idle->GetConnectString() == connect; }));
}

void CDataSourcePool::RemoveAll()
{
    std::lock_guard guard(m_listLock);
    m_idlePrivate.clear();
    m_dataSources.clear();
    m_paths.clear();
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
