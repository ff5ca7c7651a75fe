// The run's data source and the objects that reach the application state. A run takes its data
// source from the application's pool on its first database use and gives it back when it ends,
// rolling back a transaction it left open. Transactions carry the engine as their owner, so a
// nested run that shares the caller's data source can neither commit nor roll back the caller's.
#include "language/ssp_engine.h"

#include "database/data_source.h"
#include "foundation/ascii_text.h"
#include "foundation/format_text.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "language/output_sink.h"
#include "language/ssp_app.h"

#include <ctime>
#include <system_error>

namespace {

constexpr int kMsgMissingCommit = 24;          // "Missing CommitTransaction(). All database changes are discarded. "
constexpr int kMsgUseDataSourceTooLate = 146;  // "UseDataSource can only be called before all SQL ..."

constexpr const char* kDefaultUniqueIdTable = "QV30_REGISTRY";
constexpr size_t kMaxFileErrorText = 255;

}  // namespace

CDataSource* CSspEngine::GetRunDataSource()
{
    if (m_runDataSource != nullptr)
        return m_runDataSource;
    // A function or file that the run calls works inside the run's transaction and sees the rows
    // it has not committed yet, so it shares the run's connection instead of leasing one of its
    // own (a private one while runs are not serialised). Only a file whose URL path maps to another
    // database gets its own.
    CDataSourcePool& pool = TheSspApp().Pool();
    if (!IsTopEngine() && pool.ConnectFor(m_urlPath) == pool.ConnectFor(m_top->m_urlPath)) {
        m_runDataSource = m_top->GetRunDataSource();
    } else {
        m_dataSource = TheSspApp().GetDataSource(m_urlPath);
        m_runDataSource = m_dataSource.Get();
    }
    return m_runDataSource;
}

int CSspEngine::ServeDbAttachment(const CSspRunArgs& args)
{
    Reset();
    SetPaths(args);
    m_request = args.request;
    m_response = args.response;
    const std::unique_lock<CRecursiveTimedLock> lock = LockForRun();
    if (m_abandoned) {
        m_errorText = "The client closed its connection before its turn came.";
        return kRunFailed;
    }
    try {
        const CServerConfig& config = TheServerConfig();
        CAttachmentRequest attachment;
        attachment.urlPath = m_urlPath;
        attachment.encrypted = config.m_encryptFileId != 0;
        attachment.serverInstance = TheSspApp().GetServerInstance();
        attachment.timeoutMinutes = config.m_sessionTimeout;
        attachment.now = static_cast<int64_t>(std::time(nullptr));
        attachment.fileIdSecret = config.m_fileIdSecret;
        attachment.write = [this](std::string_view bytes) {
            if (m_response != nullptr)
                m_response->WriteBinary(bytes);
        };
        GetRunDataSource()->ServeFileFromDb(attachment);
    } catch (const CSspException& error) {
        m_errorText = error.GetMessage();
    } catch (const std::system_error& error) {
        m_errorText = std::string_view(error.what()).substr(0, kMaxFileErrorText);
    } catch (...) {
        m_errorText = FormatText("Unknown server error in %s. Please retry. If problem persists, please contact "
                                 "administrator.",
                                 m_filePath.c_str());
    }
    try {
        ReleaseRunDataSource();
    } catch (...) {
        m_errorText += CMessageCatalog::Text(kMsgMoreErrors);
    }
    return m_errorText.empty() ? kRunCompleted : kRunFailed;
}

void CSspEngine::BeginTransaction()
{
    GetRunDataSource()->DoCommand("BeginTrans", {}, {}, {}, this);
}

void CSspEngine::CommitTransaction()
{
    if (m_runDataSource != nullptr && m_runDataSource->IsInTransactionOf(this))
        m_runDataSource->DoCommand("CommitTrans", {}, {}, {}, this);
}

int CSspEngine::RollBackOpenTransaction(int result)
{
    if (m_runDataSource == nullptr || !m_runDataSource->IsInTransactionOf(this))
        return result;
    // A run that ended by "return" counts as completed: its changes are lost all the same, so it
    // must not report success either.
    if (result == kRunCompleted || result == kRunReturned) {
        FormatError(CMessageCatalog::Text(kMsgMissingCommit), kNoPosition);
        result = kRunFailed;
    }
    try {
        m_runDataSource->DoCommand("Rollback", {}, {}, {}, this);
    } catch (...) {
        m_errorText += CMessageCatalog::Text(kMsgMoreErrors);
        result = kRunFailed;
    }
    return result;
}

void CSspEngine::ReleaseRunDataSource()
{
    // The sql objects run statements on the data source, which may be a private one that is
    // reset or closed when it goes back: they must be gone first.
    m_declared[kSqlObject].clear();
    ++m_declarations;
    m_runDataSource = nullptr;
    m_dataSource.Release();
}

bool CSspEngine::CallLocalDataSource(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    auto is = [&member](std::string_view name) { return EqualsNoCase(member, name); };
    if (is("BeginTransaction"))
        RunAtPosition(call.m_position, [this] { BeginTransaction(); });
    else if (is("CommitTransaction"))
        RunAtPosition(call.m_position, [this] { CommitTransaction(); });
    else if (is("RollbackTransaction")) {
        RunAtPosition(call.m_position, [this] {
            if (m_runDataSource != nullptr && m_runDataSource->IsInTransactionOf(this))
                m_runDataSource->DoCommand("Rollback", {}, {}, {}, this);
        });
    } else if (is("GetUniqueID"))
        GetUniqueId(call, result);
    else if (is("dbType"))
        RunAtPosition(call.m_position, [&] { result.SetString(GetRunDataSource()->GetDbmsName()); });
    else if (is("dbVer"))
        RunAtPosition(call.m_position, [&] { result.SetString(GetRunDataSource()->GetDbmsVersion()); });
    else if (is("UseDataSource")) {
        // The page's own URL path gets the connect string; it stays registered even when this run
        // already holds a data source and so cannot switch any more.
        TheSspApp().SetDataSourceForPath(UseDataSourceConnect(call), m_urlPath);
        CheckUseDataSourceTooLate(call);
        result.SetString("1");
    } else
        return false;
    return true;
}

void CSspEngine::GetUniqueId(const CSspCall& call, CSspValue& result)
{
    if (call.ParamCount() < 2)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
    std::string key1 = call.GetParamStr(0);
    std::string key2 = call.GetParamStr(1);
    if (key1.empty() || key2.empty())
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
    std::string table = call.ParamCount() > 2 ? call.GetParamStr(2) : kDefaultUniqueIdTable;
    RunAtPosition(call.m_position,
                  [&] { result.SetInteger(GetRunDataSource()->DoCommand("GetUid", key1, key2, table)); });
}

void CSspEngine::CheckUseDataSourceTooLate(const CSspCall& call) const
{
    if (m_runDataSource != nullptr)
        RaiseCatalogText(kMsgUseDataSourceTooLate, call.m_position);
}

void CSspEngine::CallApp(CSspCall& call, CSspValue& result)
{
    TheSspApp().AppCall(m_urlDirectory, call, result);
    if (EqualsNoCase(call.m_member, "UseDataSource"))
        CheckUseDataSourceTooLate(call);
}

void CSspEngine::CallServer(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    if (EqualsNoCase(member, "GetUniqueID"))
        return GetUniqueId(call, result);
    if (EqualsNoCase(member, "CurrentUrlPath")) {
        call.m_member = "UrlPath";
        return CallLocal(call, result);
    }
    if (EqualsNoCase(member, "CurrentUrl")) {
        call.m_member = "Url";
        return CallLocal(call, result);
    }
    if (EqualsNoCase(member, "error")) {
        call.m_member = "error";
        if (m_response != nullptr)
            m_response->CallMember(call, result);
        return;
    }
    TheSspApp().ServerCall(call, result);
    if (EqualsNoCase(call.m_member, "UseDataSource"))
        CheckUseDataSourceTooLate(call);
}
