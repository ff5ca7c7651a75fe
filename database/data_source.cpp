#include "database/data_source.h"
#include "database/system_tables.h"
#include "foundation/ascii_text.h"

#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_exception.h"
#include "platform/message_thread.h"

#include <sqlext.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// Room for a catalogue format or a literal plus the texts put into it.
std::string FormatBuffer(size_t inserted)
{
    return std::string(512 + inserted, '\0');
}

void FitTo(std::string& text, int length)
{
    text.resize(std::min(static_cast<size_t>(std::max(length, 0)), text.size() - 1));
}

// The text for a failed connect: a missing data source, an unreachable server, or just the driver's.
std::string OpenFailureText(const CDbException& error, const std::string& dsn)
{
    std::string message;
    if (error.HasState("IM002")) {
        message = FormatBuffer(dsn.size());
        FitTo(message, std::snprintf(message.data(), message.size(), CMessageCatalog::Format(kMsgDataSourceNotFound),
                                     dsn.c_str()));
    } else if (CDbmsTraits::IsConnectFailure(error))
        message = CMessageCatalog::Text(kMsgConnectFailed);
    return message + " " + error.ErrorText();
}

constexpr size_t kOdbcPrefixLength = 5;  // "ODBC;"

}  // namespace

std::string UseDataSourceConnect(const CSspCall& call)
{
    if (call.ParamCount() == 1) {
        std::string text = call.GetParamStr(0);
        if (text.size() < kOdbcPrefixLength)
            throw CSspException("Invalid ODBC connection string", call.m_position);
        return text.substr(kOdbcPrefixLength);
    }
    if (call.ParamCount() == 3)
        return MakeDsnConnectString(call.GetParamStr(0), call.GetParamStr(1), call.GetParamStr(2));
    RaiseCatalogText(kMsgMissingParameter, call.m_position);
}

CDataSource::CDataSource(std::string connect, int64_t now)
    : m_connect(std::move(connect)), m_traits(&CDbmsTraits::ForDbms("")), m_lastUse(now)
{}

CDataSource::~CDataSource()
{
    try {
        DoCommand("Close");
    } catch (const CSspException&) {
        // The connection's handles are freed even when the driver complains; nobody is left to tell.
    }
}

int CDataSource::DoCommand(std::string_view command, const std::string& a1, const std::string& a2,
                           const std::string& a3, TransactionOwner owner)
{
    std::lock_guard guard(m_lock);
    if (EqualsNoCase(command, "Open")) {
        try {
            Open();
        } catch (const CDbException& error) {
            throw CSspException(OpenFailureText(error, GetConnectValue(m_connect, "DSN")), kNoPosition);
        }
        return 1;
    }
    int result = 1;
    try {
        if (EqualsNoCase(command, "GetUid"))
            RunOnLiveConnection([&] { result = GetUniqueIdRetry(a1, a2, a3); });
        else if (EqualsNoCase(command, "ExecuteSQL"))
            RunOnLiveConnection([&] { m_database.ExecuteSQL(a1); });
        else
            RunCommand(command, owner, result);
    } catch (const CDbException& error) {
        ThrowMapped(error);
    }
    return result;
}

void CDataSource::RunCommand(std::string_view command, TransactionOwner owner, int& result)
{
    result = 1;
    if (EqualsNoCase(command, "Close"))
        Close();
    else if (EqualsNoCase(command, "CloseIfNoOneUsesIt")) {
        if (m_useCount == 0)
            Close();
    } else if (EqualsNoCase(command, "GetDbmsInfo"))
        GetDbmsInfo();
    else if (EqualsNoCase(command, "BeginTrans"))
        BeginTrans(owner);
    else if (EqualsNoCase(command, "CommitTrans"))
        CommitTrans(owner);
    else if (EqualsNoCase(command, "Rollback"))
        Rollback(owner);
    else
        throw CSspException("Bad datasource command: [" + std::string(command) + "]", kNoPosition);
}

void CDataSource::RunOnLiveConnection(const std::function<void()>& send)
{
    try {
        send();
    } catch (const CDbException& error) {
        if (!ReconnectKeptLocked(error))
            throw;
        send();
    }
    m_kept = false;
}

bool CDataSource::ReconnectIfKeptBroke(const CDbException& error)
{
    std::lock_guard guard(m_lock);
    return ReconnectKeptLocked(error);
}

bool CDataSource::ReconnectKeptLocked(const CDbException& error)
{
    // Another run that shares the data source may be using the connection: only a run that has it
    // to itself may replace it.
    if (!m_kept.exchange(false) || m_useCount > 1 || !m_traits->IsLostConnection(error))
        return false;
    const bool inTransaction = m_inTransaction;
    const TransactionOwner owner = m_transactionOwner;
    try {
        Close();
    } catch (const CSspException&) {
        // The broken connection's handles are freed all the same.
    }
    try {
        Open();
        if (inTransaction)
            BeginTrans(owner);
    } catch (const CDbException&) {
        return false;
    } catch (const CSspException&) {
        return false;
    }
    return true;
}

void CDataSource::ThrowMapped(const CDbException& error)
{
    std::string message;
    if (m_traits->IsLostConnection(error)) {
        // Closing lets the next hand-out from the pool reconnect.
        Close();
        message = CMessageCatalog::Text(kMsgConnectionBroken);
    } else if (CDbmsTraits::NeedsLongColumnsWorkaround(error)) {
        message = std::string(CMessageCatalog::Text(kMsgForceLongColumns)) + error.ErrorText();
    } else {
        message = WithMissingSystemTableHint(error.ErrorText().empty() ? error.StateText() : error.ErrorText(), error,
                                             *m_traits, m_connect);
    }
    message += " ODBC data source used: [" + GetConnectValue(m_connect, "DSN") + "].";
    throw CSspException(std::move(message), kNoPosition);
}

void CDataSource::Open()
{
    if (m_database.IsOpen())
        return;
    m_database.Open(m_connect);
    m_openerThread = CurrentThreadId();
    m_traits = &m_database.Traits();
    m_open = true;
}

void CDataSource::Close()
{
    // A transaction can't survive its connection; forgetting it keeps the engine from committing
    // on the next connection what this one already lost.
    m_inTransaction = false;
    m_transactionOwner = nullptr;
    // The connection is let go even when the disconnect fails.
    m_open = false;
    try {
        m_database.Close();
    } catch (const CDbException& error) {
        std::string dsn = GetConnectValue(m_connect, "DSN");
        std::string message = FormatBuffer(dsn.size());
        FitTo(message,
              std::snprintf(message.data(), message.size(),
                            "Error when thread [%d] closes database connection [%s] opened by thread [%d]. "
                            "If problem persists, please set connection idle timeout in Tarnwick Server "
                            "Settings to 0. ",
                            static_cast<int>(CurrentThreadId()), dsn.c_str(), static_cast<int>(m_openerThread)));
        throw CSspException(message + " " + error.ErrorText(), kNoPosition);
    }
}

void CDataSource::GetDbmsInfo()
{
    bool wasOpen = m_database.IsOpen();
    Open();
    if (wasOpen && !m_dbmsName.empty())
        return;
    m_dbmsName = m_database.GetInfoText(SQL_DBMS_NAME, 62);
    m_dbmsVersion = m_database.GetInfoText(SQL_DBMS_VER, 126);
}

void CDataSource::BeginTrans(TransactionOwner owner)
{
    if (m_inTransaction)
        RaiseCatalogText(kMsgNestedTransaction, kNoPosition);
    if (!m_database.SupportsTransactions())
        return;
    SQLRETURN rc = m_database.BeginTransaction();
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO && rc != SQL_NO_DATA) {
        CDbException error = m_database.LastError(rc, "SQLSetConnectAttr");
        std::string message = error.ErrorText();
        // Drivers refuse the switch while a statement is still open (S1011, HY011 in ODBC 3).
        if (error.HasState("S1011") || error.HasState("HY011"))
            message += "\r\nMake sure all SQL objects are closed before calling beginTransaction.";
        throw CSspException(std::move(message), kNoPosition);
    }
    m_inTransaction = true;
    m_transactionOwner = owner;
}

void CDataSource::CommitTrans(TransactionOwner owner)
{
    if (m_inTransaction && m_transactionOwner != owner)
        return;
    m_inTransaction = false;
    m_transactionOwner = nullptr;
    try {
        m_database.Commit();
    } catch (const CDbException& error) {
        if (m_traits->IsLostConnection(error))
            throw;
        throw CSspException(std::string(CMessageCatalog::Text(kMsgCommitFailed)) + " " + error.ErrorText(),
                            kNoPosition);
    }
}

void CDataSource::Rollback(TransactionOwner owner)
{
    if (m_inTransaction && m_transactionOwner != owner)
        return;
    m_inTransaction = false;
    m_transactionOwner = nullptr;
    m_database.Rollback();
}

bool CDataSource::ResetForReuse()
{
    std::lock_guard guard(m_lock);
    m_inTransaction = false;
    m_transactionOwner = nullptr;
    if (!m_database.IsOpen())
        return false;
    try {
        m_database.ResetForReuse();
        return true;
    } catch (const CDbException&) {
        try {
            Close();
        } catch (const CSspException&) {
            // The handles are freed all the same; the data source is dropped either way.
        }
        return false;
    }
}

bool CDataSource::IsInTransactionOf(TransactionOwner owner) const
{
    std::lock_guard guard(m_lock);
    return m_inTransaction && m_transactionOwner == owner;
}

bool CDataSource::IsInTransaction() const
{
    std::lock_guard guard(m_lock);
    return m_inTransaction;
}

std::string CDataSource::GetDbmsName()
{
    DoCommand("GetDbmsInfo");
    std::lock_guard guard(m_lock);
    return m_dbmsName;
}

std::string CDataSource::GetDbmsVersion()
{
    DoCommand("GetDbmsInfo");
    std::lock_guard guard(m_lock);
    return m_dbmsVersion;
}

std::string CDataSource::GetConnectionValue(std::string_view key) const
{
    return GetConnectValue(m_connect, key);
}

bool CDataSource::IsOpen() const
{
    return m_open;
}

void CDataSource::IncUseCount()
{
    ++m_useCount;
}

void CDataSource::DecUseCount()
{
    --m_useCount;
}

int CDataSource::GetUseCount() const
{
    return m_useCount;
}

void CDataSource::SetLastUseTime(int64_t now)
{
    m_lastUse = now;
}

int64_t CDataSource::GetLastUseTime() const
{
    return m_lastUse;
}
