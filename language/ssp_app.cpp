#include "language/ssp_app.h"

#include "database/data_source.h"
#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "platform/secure_random.h"

#include <climits>
#include <cstdint>
#include <new>

namespace {

constexpr int kMsgOutOfMemoryAppObject = 55;    // "Out of memory when creating app object."
constexpr int kMsgOutOfMemoryAppVariable = 56;  // "Out of memory for app variable."
constexpr int kMsgAppVariableNotDefined = 77;   // "App variable not defined. ..."
constexpr int kMsgAppNotInitialized = 79;       // "This application has not been initialized. ..."

constexpr size_t kOdbcPrefixLength = 5;  // "ODBC;"
constexpr int kDefaultSessionTimeout = 600;
constexpr int kMaxSessionTimeout = 1440;

}  // namespace

void CSspAppEntry::Call(CSspApp& app, CSspCall& call, CSspValue& result)
{
    std::lock_guard guard(m_lock);
    const std::string& member = call.m_member;
    if (EqualsNoCase(member, "UseDataSource")) {
        app.SetDataSourceForPath(UseDataSourceConnect(call), m_root);
        result.SetString("1");
    } else if (EqualsNoCase(member, "SetVar")) {
        if (call.ParamCount() != 2)
            RaiseCatalogText(kMsgIncorrectParameterCount, call.m_position);
        try {
            m_variables.Set(call.GetParamStr(0), call.m_args[1]);
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgOutOfMemoryAppVariable, call.m_position);
        }
    } else if (EqualsNoCase(member, "VarExist")) {
        if (call.ParamCount() < 1)
            RaiseCatalogText(kMsgMissingParameter, call.m_position);
        result.SetInteger(m_variables.Find(call.GetParamStr(0)) != nullptr ? 1 : 0);
    } else if (EqualsNoCase(member, "Var")) {
        m_variables.ReadVar(call, kMsgAppVariableNotDefined, result);
    } else {
        m_variables.ReadNamed(call, kMsgAppVariableNotDefined, result);
    }
}

CSspApp::CSspApp(CServerConfig& config, CDataSourcePool::Clock clock) : m_config(config), m_pool(clock), m_clock(clock)
{
    // From the kernel's generator: a restart within the same second must still draw a new number,
    // or the file IDs of the last run would stay valid.
    m_serverInstance = static_cast<int>(SecureRandomBelow(static_cast<std::uint32_t>(INT_MAX)));
}

CSspApp::~CSspApp()
{
    RemoveAll();
}

CSspAppEntry* CSspApp::FindApp(std::string_view path) const
{
    std::lock_guard guard(ListLock());
    if (path.empty())
        path = "/";
    CSspAppEntry* found = nullptr;
    for (const auto& entry : m_applications) {
        const std::string& root = entry->GetRoot();
        // An entry made for an empty path claims no page.
        if (!root.empty() && StartsWithNoCase(path, root) &&
            (found == nullptr || root.size() > found->GetRoot().size()))
            found = entry.get();
    }
    return found;
}

void CSspApp::InitApp(const std::string& path)
{
    std::lock_guard guard(ListLock());
    if (FindApp(path) != nullptr)
        return;
    m_applications.push_back(std::make_unique<CSspAppEntry>(path));
}

void CSspApp::AppCall(const std::string& path, CSspCall& call, CSspValue& result)
{
    // The list lock stays held through the entry's call: an entry's lock comes after it, and
    // UseDataSource takes it again for the path map.
    std::lock_guard guard(ListLock());
    if (EqualsNoCase(call.m_member, "Init")) {
        try {
            InitApp(path);
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgOutOfMemoryAppObject, call.m_position);
        }
        return;
    }
    CSspAppEntry* entry = FindApp(path);
    if (EqualsNoCase(call.m_member, "IsValid")) {
        result.SetInteger(entry != nullptr ? 1 : 0);
        return;
    }
    if (entry == nullptr)
        RaiseCatalogText(kMsgAppNotInitialized, call.m_position);
    entry->Call(*this, call, result);
}

void CSspApp::RemoveAll()
{
    {
        std::lock_guard guard(ListLock());
        m_serverVariables.Clear();
        m_applications.clear();
        m_sessions.clear();
        m_sessionsById.clear();
    }
    // The pool closes its connections after letting go of the list lock, which must not be held
    // here any more.
    m_pool.RemoveAll();
}

bool CSspApp::SetDefaultDataSource()
{
    std::lock_guard guard(ListLock());
    if (m_config.m_sessionTimeout < 0 || m_config.m_sessionTimeout > kMaxSessionTimeout)
        m_config.m_sessionTimeout = kDefaultSessionTimeout;
    const std::string& connect = m_config.m_dbOdbcConnectString;
    if (connect.size() < kOdbcPrefixLength)
        return false;
    m_pool.SetDataSourceForPath(connect.substr(kOdbcPrefixLength), "/");
    return true;
}

std::string CSspApp::AppInfo() const
{
    std::lock_guard guard(ListLock());
    std::string info;
    for (const auto& entry : m_applications)
        info += entry->GetRoot() + "; ";
    return info;
}

std::string CSspApp::DataSourceInfo() const
{
    std::string info;
    for (const CDataSourcePool::Info& row : m_pool.Describe()) {
        for (const std::string& path : row.paths)
            info += path + ";";
        info += "\t" + row.connect + "\t" + CSspDateTime(row.lastUse).GetDateTimeStr() + "\t";
        info += row.open ? "open\r\n" : "closed\r\n";
    }
    return info;
}

void CSspApp::SetMailQueue(MailQueue queue)
{
    std::lock_guard guard(ListLock());
    m_mailQueue = std::move(queue);
}

void CSspApp::SetDataSourceForPath(const std::string& connect, const std::string& path)
{
    m_pool.SetDataSourceForPath(connect, path);
}

CDataSourceLease CSspApp::GetDataSource(const std::string& path)
{
    // Not under the list lock: the pool connects without holding it.
    m_pool.SetThreadOwn(m_config.m_dbConnectionThreadOwn != 0);
    return m_pool.GetDataSource(path);
}

void CSspApp::CloseIdleDataSources()
{
    for (const std::string& failure : m_pool.CloseIdleDataSources())
        TheLog().WriteText(failure);
}

void CSspApp::CloseIdlePrivateDataSources()
{
    const int64_t limit =
        m_config.m_dbConnectionIdleTimeout > 0 ? m_config.m_dbConnectionIdleTimeout : CDataSourcePool::kIdleMinutes;
    for (const std::string& failure : m_pool.CloseIdlePrivateDataSources(limit))
        TheLog().WriteText(failure);
}

CSspApp& TheSspApp()
{
    static CSspApp app(TheServerConfig());
    return app;
}
