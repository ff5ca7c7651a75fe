#include "database/data_source_pool.h"
#include "database/ascii_case.h"

#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"
#include "foundation/script_error.h"

#include <ctime>
#include <new>

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

CDataSource* CDataSourcePool::GetDataSource(const std::string& path)
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
    return MakePrivate(shared->GetConnectString());
}

void CDataSourcePool::ReleaseDataSource(CDataSource** slot)
{
    std::lock_guard guard(m_listLock);
    if (slot == nullptr || *slot == nullptr)
        return;
    CDataSource* dataSource = *slot;
    *slot = nullptr;
    dataSource->DecUseCount();
    if (dataSource->IsPrivate())
        delete dataSource;  // created by MakePrivate and owned by the run until now
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

void CDataSourcePool::RemoveAll()
{
    std::lock_guard guard(m_listLock);
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
