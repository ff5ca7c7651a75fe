#include "database/odbc_connection.h"

#include "database/odbc_setup.h"
#include "database/odbc_statement.h"
#include "foundation/ascii_text.h"
#include "foundation/number_parse.h"

#include <sqlext.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

bool IsWordByte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether a plain statement may change a table's columns: it holds a word that does so. Only whole
// words count, so a column such as created_at or dropoff keeps the connection's caches.
bool MayChangeTables(std::string_view sql)
{
    static constexpr std::string_view kWords[] = {"ALTER", "CREATE", "DROP", "RENAME"};
    for (std::string_view word : kWords) {
        for (auto from = sql.begin();;) {
            auto found = std::search(from, sql.end(), word.begin(), word.end(),
                                     [](char a, char b) { return ToUpperAscii(a) == b; });
            if (found == sql.end())
                break;
            const auto after = found + static_cast<std::ptrdiff_t>(word.size());
            if ((found == sql.begin() || !IsWordByte(found[-1])) && (after == sql.end() || !IsWordByte(*after)))
                return true;
            from = found + 1;
        }
    }
    return false;
}

}  // namespace

std::shared_ptr<COdbcEnvironment> COdbcEnvironment::Get()
{
    // Built on first use, shared by every connection; a connection that lives in a static object
    // keeps it alive past this holder's destruction at exit.
    static std::shared_ptr<COdbcEnvironment> environment(new COdbcEnvironment());
    return environment;
}

COdbcEnvironment::COdbcEnvironment()
{
    TuneSqliteLibrary();
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_henv);
    if (!OdbcSucceeded(rc))
        throw CDbException::Own("HY001", "Failed to allocate the ODBC environment.");
    rc = SQLSetEnvAttr(m_henv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!OdbcSucceeded(rc)) {
        CDbException error = CDbException::FromHandle(SQL_HANDLE_ENV, m_henv, rc, "SQLSetEnvAttr");
        SQLFreeHandle(SQL_HANDLE_ENV, m_henv);
        throw error;
    }
}

COdbcEnvironment::~COdbcEnvironment()
{
    SQLFreeHandle(SQL_HANDLE_ENV, m_henv);
}

std::unique_lock<std::mutex> COdbcEnvironment::ConnectTurn(const std::string& connect)
{
    {
        const std::lock_guard guard(m_alongsideLock);
        if (m_alongside.contains(connect))
            return {};
    }
    return std::unique_lock(m_connectLock);
}

void COdbcEnvironment::NoteConnectsAlongside(const std::string& connect)
{
    const std::lock_guard guard(m_alongsideLock);
    m_alongside.insert(connect);
}

COdbcConnection::COdbcConnection()
    : m_env(COdbcEnvironment::Get()), m_traits(&CDbmsTraits::ForDbms("")),
      m_statements(std::make_shared<StatementList>())
{}

COdbcConnection::~COdbcConnection()
{
    try {
        Close();
    } catch (const CDbException&) {
        // The handles are freed all the same; the owner that cares calls Close itself first.
    }
}

CDbException COdbcConnection::LastError(SQLRETURN rc, std::string_view call) const
{
    return CDbException::FromHandle(SQL_HANDLE_DBC, m_hdbc, rc, call);
}

void COdbcConnection::Open(const std::string& connect)
{
    if (IsOpen())
        return;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, m_env->Handle(), &hdbc);
    if (!OdbcSucceeded(rc))
        throw CDbException::FromHandle(SQL_HANDLE_ENV, m_env->Handle(), rc, "SQLAllocHandle");

    std::string completed(4096, '\0');
    SQLSMALLINT length = 0;
    {
        const std::unique_lock turn = m_env->ConnectTurn(connect);
        rc = SQLDriverConnect(hdbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connect.c_str())), SQL_NTS,
                              reinterpret_cast<SQLCHAR*>(completed.data()), static_cast<SQLSMALLINT>(completed.size()),
                              &length, SQL_DRIVER_NOPROMPT);
    }
    if (!OdbcSucceeded(rc)) {
        CDbException error = CDbException::FromHandle(SQL_HANDLE_DBC, hdbc, rc, "SQLDriverConnect");
        SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
        throw error;
    }
    completed.resize(std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), completed.size() - 1));
    m_hdbc = hdbc;
    m_completed = std::move(completed);
    m_traits = &CDbmsTraits::ForDbms(GetInfoText(SQL_DBMS_NAME));
    if (m_traits->connectsAlongside)
        m_env->NoteConnectsAlongside(connect);
    if (!m_traits->lockWaitStatement.empty() &&
        ParseInt32(GetConnectValue(m_completed, m_traits->lockWaitAttribute)) <= 0)
        ExecuteOwn(std::string(m_traits->lockWaitStatement));
}

void COdbcConnection::DetachStatements(bool keepPrepared)
{
    std::lock_guard guard(m_statements->lock);
    std::vector<COdbcStatement*> kept;
    for (COdbcStatement* statement : m_statements->open) {
        const bool isPrepared =
            keepPrepared &&
            std::any_of(m_statements->prepared.begin(), m_statements->prepared.end(),
                        [statement](const std::unique_ptr<COdbcStatement>& idle) { return idle.get() == statement; });
        if (isPrepared)
            kept.push_back(statement);
        else
            statement->Detach();
    }
    m_statements->open = std::move(kept);
}

void COdbcConnection::DropPrepared()
{
    std::vector<std::unique_ptr<COdbcStatement>> dropped;
    {
        std::lock_guard guard(m_statements->lock);
        dropped.swap(m_statements->prepared);
    }
}

const std::vector<COdbcColumn>* COdbcConnection::FindProbe(const std::string& sql) const
{
    auto found = m_probes.find(sql);
    return found == m_probes.end() ? nullptr : &found->second;
}

void COdbcConnection::KeepProbe(const std::string& sql, std::vector<COdbcColumn> columns)
{
    m_probes[sql] = std::move(columns);
}

std::unique_ptr<COdbcStatement> COdbcConnection::TakePrepared(const std::string& sql, bool scrollable, bool fresh)
{
    if (!fresh) {
        std::lock_guard guard(m_statements->lock);
        auto& prepared = m_statements->prepared;
        for (auto it = prepared.rbegin(); it != prepared.rend(); ++it) {
            if ((*it)->m_preparedSql == sql && (*it)->m_scrollRequested == scrollable) {
                std::unique_ptr<COdbcStatement> statement = std::move(*it);
                prepared.erase(std::next(it).base());
                statement->m_reused = true;
                return statement;
            }
        }
    }
    auto statement = std::make_unique<COdbcStatement>(*this);
    statement->m_scrollRequested = scrollable;
    statement->m_scrollable = scrollable && statement->RequestScrollableCursor();
    statement->Prepare(sql);
    // A select list that follows the table would come back as it was when prepared.
    if (!m_traits->describesPreparedColumnsOnce || sql.find('*') == std::string::npos)
        statement->m_preparedSql = sql;
    return statement;
}

void COdbcConnection::Close()
{
    // Kept statements hold the list that they live in: dropped even when not connected, so
    // neither outlives the connection.
    DropPrepared();
    ForgetProbes();
    if (!IsOpen())
        return;
    DetachStatements(false);
    SQLRETURN rc = SQLDisconnect(m_hdbc);
    std::optional<CDbException> failure;
    if (!OdbcSucceeded(rc)) {
        failure = LastError(rc, "SQLDisconnect");
        // A disconnect refused inside a transaction would leave the handle unusable and unfreeable:
        // roll back and try once more, so a broken or busy link is always let go.
        SQLEndTran(SQL_HANDLE_DBC, m_hdbc, SQL_ROLLBACK);
        SQLDisconnect(m_hdbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, m_hdbc);
    m_hdbc = SQL_NULL_HDBC;
    m_ownTransaction = false;
    m_completed.clear();
    m_traits = &CDbmsTraits::ForDbms("");
    m_ranPlainStatements = false;
    if (failure)
        throw *failure;
}

std::string COdbcConnection::GetInfoText(SQLUSMALLINT infoType, size_t bufferSize) const
{
    if (!IsOpen())
        throw CDbException::Own("08003", "Not connected to the database.");
    std::string value(std::max<size_t>(bufferSize, 2), '\0');
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetInfo(m_hdbc, infoType, value.data(), static_cast<SQLSMALLINT>(value.size()), &length);
    if (!OdbcSucceeded(rc))
        throw LastError(rc, "SQLGetInfo");
    value.resize(std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), value.size() - 1));
    return value;
}

bool COdbcConnection::SupportsTransactions() const
{
    if (!IsOpen())
        return false;
    SQLUSMALLINT capable = SQL_TC_NONE;
    SQLRETURN rc = SQLGetInfo(m_hdbc, SQL_TXN_CAPABLE, &capable, sizeof capable, nullptr);
    return OdbcSucceeded(rc) && capable != SQL_TC_NONE;
}

SQLRETURN COdbcConnection::SetAutoCommit(bool on)
{
    if (!IsOpen())
        return SQL_INVALID_HANDLE;
    SQLULEN value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    return SQLSetConnectAttr(m_hdbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER);
}

SQLRETURN COdbcConnection::BeginTransaction()
{
    if (m_traits->beginTransaction.empty())
        return SetAutoCommit(false);
    ExecuteOwn(std::string(m_traits->beginTransaction));
    m_ownTransaction = true;
    return SQL_SUCCESS;
}

void COdbcConnection::EndTransaction(SQLSMALLINT completion)
{
    if (!IsOpen())
        throw CDbException::Own("08003", "Not connected to the database.");
    if (std::exchange(m_ownTransaction, false)) {
        if (completion != SQL_COMMIT) {
            ExecuteOwn("ROLLBACK");
            return;
        }
        try {
            ExecuteOwn("COMMIT");
        } catch (const CDbException&) {
            // A commit that failed leaves the transaction open; it must not stay so.
            try {
                ExecuteOwn("ROLLBACK");
            } catch (const CDbException&) {
                // The commit's failure is the one to report.
            }
            throw;
        }
        return;
    }
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_hdbc, completion);
    if (OdbcSucceeded(rc)) {
        SetAutoCommit(true);
        return;
    }
    CDbException failure = LastError(rc, "SQLEndTran");
    if (completion == SQL_COMMIT)
        SQLEndTran(SQL_HANDLE_DBC, m_hdbc, SQL_ROLLBACK);
    SetAutoCommit(true);
    throw failure;
}

void COdbcConnection::ResetForReuse()
{
    if (!IsOpen())
        throw CDbException::Own("08003", "Not connected to the database.");
    // The idle prepared statements hold no cursor and no data of the run: they serve the next one.
    DetachStatements(true);
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_hdbc, SQL_ROLLBACK);
    if (!OdbcSucceeded(rc))
        throw LastError(rc, "SQLEndTran");
    rc = SetAutoCommit(true);
    if (!OdbcSucceeded(rc))
        throw LastError(rc, "SQLSetConnectAttr");
    // A transaction begun by a statement (the script's own, or the begin statement) is not ended by
    // the driver's rollback above.
    const bool statementBegun = std::exchange(m_ranPlainStatements, false) || std::exchange(m_ownTransaction, false);
    if (statementBegun && !m_traits->statementRollback.empty()) {
        try {
            ExecuteOwn(std::string(m_traits->statementRollback));
        } catch (const CDbException&) {
            // No transaction was open: the usual case.
        }
    }
}

void COdbcConnection::Commit()
{
    EndTransaction(SQL_COMMIT);
}

void COdbcConnection::Rollback()
{
    EndTransaction(SQL_ROLLBACK);
}

void COdbcConnection::ExecuteSQL(const std::string& sql)
{
    m_ranPlainStatements = true;
    if (MayChangeTables(sql)) {
        DropPrepared();
        ForgetProbes();
    }
    try {
        ExecuteOwn(sql);
    } catch (const CDbException&) {
        ForgetProbes();  // it may have failed on a table that changed
        throw;
    }
}

void COdbcConnection::ExecuteOwn(const std::string& sql)
{
    COdbcStatement statement(*this);
    statement.ExecDirect(sql);
    // Drain every result so drivers that run batches finish them before the statement goes.
    while (true) {
        SQLRETURN rc = SQLMoreResults(statement.CheckedHandle());
        if (rc == SQL_NO_DATA)
            break;
        if (!OdbcSucceeded(rc))
            statement.Check(rc, "SQLMoreResults");
    }
}

std::string QuoteConnectValue(std::string_view value)
{
    if (value.find(';') == std::string_view::npos && (value.empty() || value.front() != '{'))
        return std::string(value);
    std::string quoted = "{";
    for (char c : value) {
        quoted += c;
        if (c == '}')
            quoted += '}';
    }
    quoted += '}';
    return quoted;
}

std::string MakeDsnConnectString(std::string_view dsn, std::string_view uid, std::string_view pwd)
{
    return "DSN=" + QuoteConnectValue(dsn) + ";UID=" + QuoteConnectValue(uid) + ";PWD=" + QuoteConnectValue(pwd);
}

std::string GetConnectValue(std::string_view connect, std::string_view key)
{
    std::string needle(key);
    needle += '=';
    size_t start = connect.find(needle);
    if (start == std::string_view::npos)
        return {};
    start += needle.size();
    if (start < connect.size() && connect[start] == '{') {
        std::string value;
        for (size_t i = start + 1; i < connect.size(); ++i) {
            if (connect[i] == '}') {
                if (i + 1 < connect.size() && connect[i + 1] == '}') {
                    value += '}';
                    ++i;
                    continue;
                }
                return value;
            }
            value += connect[i];
        }
        return value;
    }
    size_t end = connect.find(';', start);
    return std::string(connect.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}
