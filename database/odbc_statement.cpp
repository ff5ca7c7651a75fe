#include "database/odbc_statement.h"

#include <algorithm>
#include <cstring>

#include "database/running_statement.h"

namespace {

// A catalogue argument: an empty part is passed as null, which means "any".
SQLCHAR* CatalogPart(const std::string& text)
{
    return text.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

SQLSMALLINT CatalogLength(const std::string& text)
{
    return static_cast<SQLSMALLINT>(text.empty() ? 0 : SQL_NTS);
}

}  // namespace

int MapOdbcType(SQLSMALLINT odbcType, SQLSMALLINT& scale)
{
    switch (odbcType) {
    case SQL_TYPE_DATE: return SQL_DATE;
    case SQL_TYPE_TIMESTAMP: return SQL_TIMESTAMP;
    case SQL_TYPE_TIME: return SQL_VARCHAR;
    case SQL_BIGINT: scale = 0; return SQL_DECIMAL;
    case SQL_TINYINT:
    case SQL_BIT: return SQL_SMALLINT;
    default: return odbcType;
    }
}

COdbcStatement::COdbcStatement(COdbcConnection& connection) : m_list(connection.m_statements)
{
    if (!connection.IsOpen())
        throw CDbException::Own("08003", "Not connected to the database.");
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, connection.Handle(), &m_hstmt);
    if (!OdbcSucceeded(rc))
        throw connection.LastError(rc, "SQLAllocHandle");
    try {
        SetQueryTimeout(kDefaultQueryTimeout);
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_STMT, m_hstmt);
        throw;
    }
    std::lock_guard guard(m_list->lock);
    m_list->open.push_back(this);
}

COdbcStatement::~COdbcStatement()
{
    // The handle is freed under the list lock too, so a Close on another thread can't disconnect
    // between this statement leaving the list and its handle going.
    std::lock_guard listGuard(m_list->lock);
    auto& open = m_list->open;
    open.erase(std::remove(open.begin(), open.end(), this), open.end());
    std::lock_guard guard(m_lock);
    if (m_hstmt != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, m_hstmt);
}

void COdbcStatement::Detach()
{
    std::lock_guard guard(m_lock);
    m_detached.store(true, std::memory_order_release);
    if (m_hstmt != SQL_NULL_HSTMT) {
        SQLFreeHandle(SQL_HANDLE_STMT, m_hstmt);
        m_hstmt = SQL_NULL_HSTMT;
    }
    m_parameters.clear();
}

bool COdbcStatement::IsAttached() const
{
    std::lock_guard guard(m_lock);
    return m_hstmt != SQL_NULL_HSTMT;
}

SQLHSTMT COdbcStatement::CheckedHandle() const
{
    if (m_hstmt == SQL_NULL_HSTMT)
        ThrowDetached();
    return m_hstmt;
}

void COdbcStatement::ThrowDetached()
{
    throw CDbException::Own("08003", "Not connected to the database: the connection was closed.");
}

void COdbcStatement::Throw(SQLRETURN rc, std::string_view call) const
{
    throw CDbException::FromHandle(SQL_HANDLE_STMT, m_hstmt, rc, call);
}

void COdbcStatement::Check(SQLRETURN rc, std::string_view call) const
{
    if (!OdbcSucceeded(rc))
        Throw(rc, call);
}

void COdbcStatement::SetQueryTimeout(int seconds)
{
    std::lock_guard guard(m_lock);
    SQLRETURN rc =
        SQLSetStmtAttr(CheckedHandle(), SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(std::max(seconds, 0))), SQL_IS_UINTEGER);
    m_timeout = seconds;
    // A driver without time-outs says so with HYC00 (not supported); statements then simply run
    // without one, as they would on that database anyway.
    if (!OdbcSucceeded(rc)) {
        CDbException error = CDbException::FromHandle(SQL_HANDLE_STMT, m_hstmt, rc, "SQLSetStmtAttr");
        if (!error.HasState("HYC00")) {
            error.AppendErrorText(" for SetQueryTimeout");
            throw error;
        }
    }
}

bool COdbcStatement::RequestScrollableCursor()
{
    std::lock_guard guard(m_lock);
    SQLRETURN rc =
        SQLSetStmtAttr(CheckedHandle(), SQL_ATTR_CURSOR_TYPE,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_CURSOR_STATIC)), SQL_IS_UINTEGER);
    if (!OdbcSucceeded(rc))
        return false;
    // A driver may substitute another cursor type (01S02) instead of refusing.
    SQLULEN type = SQL_CURSOR_FORWARD_ONLY;
    if (!OdbcSucceeded(SQLGetStmtAttr(m_hstmt, SQL_ATTR_CURSOR_TYPE, &type, SQL_IS_UINTEGER, nullptr)))
        return false;
    return type != SQL_CURSOR_FORWARD_ONLY;
}

void COdbcStatement::ExecDirect(const std::string& sql)
{
    std::lock_guard guard(m_lock);
    const CRunningStatement::Execution running(CheckedHandle());
    SQLRETURN rc = SQLExecDirect(m_hstmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                                 static_cast<SQLINTEGER>(sql.size()));
    ResetBlock();
    if (rc != SQL_NO_DATA)
        Check(rc, "SQLExecDirect");
}

void COdbcStatement::Prepare(const std::string& sql)
{
    std::lock_guard guard(m_lock);
    Check(SQLPrepare(CheckedHandle(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                     static_cast<SQLINTEGER>(sql.size())),
          "SQLPrepare");
}

void COdbcStatement::Execute()
{
    std::lock_guard guard(m_lock);
    const CRunningStatement::Execution running(CheckedHandle());
    SQLRETURN rc = SQLExecute(m_hstmt);
    ResetBlock();
    if (rc != SQL_NO_DATA)
        Check(rc, "SQLExecute");
}

void COdbcStatement::BindBuffer(int index, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN columnSize,
                                SQLSMALLINT digits, std::string bytes, SQLLEN indicator)
{
    std::lock_guard guard(m_lock);
    SQLHSTMT hstmt = CheckedHandle();
    Parameter& parameter = m_parameters.emplace_back();
    parameter.bytes = std::move(bytes);
    parameter.indicator = indicator;
    // A zero-length text still needs a valid address; the string's own buffer serves.
    SQLRETURN rc =
        SQLBindParameter(hstmt, static_cast<SQLUSMALLINT>(index), SQL_PARAM_INPUT, cType, sqlType, columnSize, digits,
                         parameter.bytes.data(), static_cast<SQLLEN>(parameter.bytes.size()), &parameter.indicator);
    Check(rc, "SQLBindParameter");
}

void COdbcStatement::BindNull(int index, SQLSMALLINT sqlType)
{
    BindBuffer(index, SQL_C_CHAR, sqlType, 1, 0, std::string(), SQL_NULL_DATA);
}

void COdbcStatement::BindText(int index, std::string_view text, SQLSMALLINT sqlType, SQLSMALLINT digits)
{
    SQLLEN length = static_cast<SQLLEN>(text.size());
    BindBuffer(index, SQL_C_CHAR, sqlType, std::max<SQLULEN>(text.size(), 1), digits, std::string(text), length);
}

void COdbcStatement::BindBinary(int index, std::string_view bytes)
{
    SQLLEN length = static_cast<SQLLEN>(bytes.size());
    BindBuffer(index, SQL_C_BINARY, SQL_LONGVARBINARY, std::max<SQLULEN>(bytes.size(), 1), 0, std::string(bytes),
               length);
}

void COdbcStatement::BindInteger(int index, int64_t value, SQLSMALLINT sqlType)
{
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    BindBuffer(index, SQL_C_SBIGINT, sqlType, 19, 0, std::move(bytes), sizeof value);
}

void COdbcStatement::BindDouble(int index, double value)
{
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    BindBuffer(index, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, std::move(bytes), sizeof value);
}

void COdbcStatement::BindTimestamp(int index, const SQL_TIMESTAMP_STRUCT& value, SQLSMALLINT sqlType)
{
    if (sqlType == SQL_TYPE_DATE) {
        // A date goes as a date structure: some drivers store a time stamp's text in a DATE column.
        SQL_DATE_STRUCT date{value.year, value.month, value.day};
        std::string bytes(sizeof date, '\0');
        std::memcpy(bytes.data(), &date, sizeof date);
        BindBuffer(index, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 10, 0, std::move(bytes), sizeof date);
        return;
    }
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    BindBuffer(index, SQL_C_TYPE_TIMESTAMP, sqlType, 19, 0, std::move(bytes), sizeof value);
}

void COdbcStatement::ResetParameters()
{
    std::lock_guard guard(m_lock);
    Check(SQLFreeStmt(CheckedHandle(), SQL_RESET_PARAMS), "SQLFreeStmt");
    m_parameters.clear();
}

void COdbcStatement::Columns(const std::string& catalog, const std::string& schema, const std::string& table)
{
    std::lock_guard guard(m_lock);
    SQLRETURN rc;
    do {
        rc = SQLColumns(CheckedHandle(), CatalogPart(catalog), CatalogLength(catalog), CatalogPart(schema),
                        CatalogLength(schema), CatalogPart(table), CatalogLength(table), nullptr, 0);
    } while (rc == SQL_STILL_EXECUTING);
    Check(rc, "SQLColumns");
}

void COdbcStatement::PrimaryKeys(const std::string& catalog, const std::string& schema, const std::string& table)
{
    std::lock_guard guard(m_lock);
    SQLRETURN rc;
    do {
        rc = SQLPrimaryKeys(CheckedHandle(), CatalogPart(catalog), CatalogLength(catalog), CatalogPart(schema),
                            CatalogLength(schema), CatalogPart(table), CatalogLength(table));
    } while (rc == SQL_STILL_EXECUTING);
    Check(rc, "SQLPrimaryKeys");
}

int COdbcStatement::ResultColumnCount()
{
    std::lock_guard guard(m_lock);
    SQLSMALLINT count = 0;
    Check(SQLNumResultCols(CheckedHandle(), &count), "SQLNumResultCols");
    return count;
}

COdbcColumn COdbcStatement::DescribeColumn(int column)
{
    std::lock_guard guard(m_lock);
    SQLCHAR name[256] = {};
    SQLSMALLINT nameLength = 0, nullable = SQL_NULLABLE_UNKNOWN;
    COdbcColumn result;
    Check(SQLDescribeCol(CheckedHandle(), static_cast<SQLUSMALLINT>(column), name, sizeof name, &nameLength,
                         &result.odbcType, &result.precision, &result.scale, &nullable),
          "SQLDescribeCol");
    result.name.assign(reinterpret_cast<const char*>(name),
                       std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(nameLength, 0)), sizeof name - 1));
    SQLCHAR typeName[128] = {};
    SQLSMALLINT typeNameLength = 0;
    // Only a description: a driver that can't name the type leaves it empty.
    if (OdbcSucceeded(SQLColAttribute(CheckedHandle(), static_cast<SQLUSMALLINT>(column), SQL_DESC_TYPE_NAME, typeName,
                                      sizeof typeName, &typeNameLength, nullptr)))
        result.typeName = reinterpret_cast<const char*>(typeName);
    result.sqlType = MapOdbcType(result.odbcType, result.scale);
    result.nullable = nullable != SQL_NO_NULLS;
    return result;
}

SQLLEN COdbcStatement::RowCount()
{
    std::lock_guard guard(m_lock);
    SQLLEN count = -1;
    Check(SQLRowCount(CheckedHandle(), &count), "SQLRowCount");
    return count;
}

bool COdbcStatement::BindResult(std::vector<BoundColumn> columns)
{
    std::lock_guard guard(m_lock);
    CheckedHandle();
    if (!m_scrollable)
        columns.clear();
    // Buffers that an earlier run widened stay wide: the same long values would widen them again.
    const bool same = columns.size() == m_result.size() &&
                      std::equal(columns.begin(), columns.end(), m_result.begin(),
                                 [](const BoundColumn& wanted, const ResultBuffer& bound) {
                                     return wanted.cType == bound.column.cType && wanted.width <= bound.column.width;
                                 });
    if (same)
        return !m_result.empty();
    Unbind();
    if (columns.empty())
        return false;
    for (const BoundColumn& column : columns)
        m_result.push_back({column, 0, {}, {}});
    m_rowStatus.assign(kBlockRows, SQL_ROW_NOROW);
    try {
        BindBuffers();
        Check(SQLSetStmtAttr(m_hstmt, SQL_ATTR_ROW_STATUS_PTR, m_rowStatus.data(), 0), "SQLSetStmtAttr");
        Check(SQLSetStmtAttr(m_hstmt, SQL_ATTR_ROWS_FETCHED_PTR, &m_rowsFetched, 0), "SQLSetStmtAttr");
        Check(SQLSetStmtAttr(m_hstmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kBlockRows), 0),
              "SQLSetStmtAttr");
    } catch (const CDbException&) {
        Unbind();
        throw;
    }
    return true;
}

void COdbcStatement::Unbind()
{
    ResetBlock();
    if (m_result.empty())
        return;
    m_result.clear();
    SQLFreeStmt(m_hstmt, SQL_UNBIND);
    SQLSetStmtAttr(m_hstmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN{1}), 0);
    SQLSetStmtAttr(m_hstmt, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
    SQLSetStmtAttr(m_hstmt, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
}

void COdbcStatement::BindBuffers()
{
    for (size_t i = 0; i < m_result.size(); ++i) {
        ResultBuffer& buffer = m_result[i];
        const size_t size = buffer.column.width + (buffer.column.cType == SQL_C_CHAR ? 1 : 0);
        buffer.stride = size;
        buffer.values.assign(size * kBlockRows, '\0');
        buffer.indicators.assign(kBlockRows, 0);
        Check(SQLBindCol(m_hstmt, static_cast<SQLUSMALLINT>(i + 1), buffer.column.cType, buffer.values.data(),
                         static_cast<SQLLEN>(size), buffer.indicators.data()),
              "SQLBindCol");
    }
}

void COdbcStatement::ResetBlock()
{
    m_rowsFetched = 0;
    m_blockRow = 0;
    m_blockStart = 1;
}

bool COdbcStatement::FetchBlock(SQLSMALLINT orientation)
{
    SQLLEN start = orientation == SQL_FETCH_FIRST ? 1 : m_blockStart + static_cast<SQLLEN>(m_rowsFetched);
    SQLRETURN rc;
    while (true) {
        m_rowsFetched = 0;
        m_blockRow = 0;
        rc = SQLFetchScroll(m_hstmt, orientation, orientation == SQL_FETCH_ABSOLUTE ? start : 0);
        if (rc == SQL_NO_DATA || (OdbcSucceeded(rc) && m_rowsFetched == 0)) {
            m_rowsFetched = 0;
            return false;
        }
        Check(rc, "SQLFetchScroll");
        m_blockStart = start;
        for (SQLULEN row = 0; row < m_rowsFetched; ++row)
            if (m_rowStatus[row] == SQL_ROW_ERROR)
                Throw(SQL_ERROR, "SQLFetchScroll");
        if (!WidenBuffers())
            return true;
        // The same rows again, into the wider buffers.
        orientation = SQL_FETCH_ABSOLUTE;
    }
}

bool COdbcStatement::WidenBuffers()
{
    bool widened = false;
    for (ResultBuffer& buffer : m_result) {
        if (buffer.column.cType != SQL_C_CHAR)
            continue;
        size_t needed = buffer.column.width;
        for (SQLULEN row = 0; row < m_rowsFetched; ++row) {
            const SQLLEN indicator = buffer.indicators[row];
            if (indicator == SQL_NO_TOTAL)
                needed = std::max(needed, buffer.column.width * 2);
            else if (indicator > static_cast<SQLLEN>(buffer.column.width))
                needed = std::max(needed, static_cast<size_t>(indicator));
        }
        if (needed > buffer.column.width) {
            buffer.column.width = needed;
            widened = true;
        }
    }
    if (widened)
        BindBuffers();
    return widened;
}

void COdbcStatement::ThrowUnreadable(SQLSMALLINT boundType, SQLSMALLINT cType) const
{
    if (m_detached.load(std::memory_order_acquire))
        ThrowDetached();
    if (boundType != cType)
        throw CDbException::Own("07006", "The column is bound for another type than it is read as.");
    throw CDbException::Own("24000", "No current row.");
}

bool COdbcStatement::Fetch()
{
    // The next row of the block in hand is found without the driver, so without the lock too.
    if (!m_result.empty() && m_blockRow + 1 < m_rowsFetched) {
        if (m_detached.load(std::memory_order_acquire))
            ThrowDetached();
        ++m_blockRow;
        return true;
    }
    std::lock_guard guard(m_lock);
    // SQLite computes its rows as they are fetched: a fetch may run as long as an execution.
    const CRunningStatement::Execution running(CheckedHandle());
    if (!m_result.empty())
        return FetchBlock(SQL_FETCH_NEXT);
    SQLRETURN rc = SQLFetch(m_hstmt);
    if (rc == SQL_NO_DATA)
        return false;
    Check(rc, "SQLFetch");
    return true;
}

bool COdbcStatement::FetchFirst()
{
    std::lock_guard guard(m_lock);
    const CRunningStatement::Execution running(CheckedHandle());
    if (!m_result.empty())
        return FetchBlock(SQL_FETCH_FIRST);
    SQLRETURN rc = SQLFetchScroll(m_hstmt, SQL_FETCH_FIRST, 0);
    if (rc == SQL_NO_DATA)
        return false;
    Check(rc, "SQLFetchScroll");
    return true;
}

bool COdbcStatement::GetChunked(int column, SQLSMALLINT cType, std::string& out)
{
    std::lock_guard guard(m_lock);
    SQLHSTMT hstmt = CheckedHandle();
    // Character data comes with a terminating NUL in each chunk; binary data does not.
    const size_t terminator = cType == SQL_C_CHAR ? 1 : 0;
    // Most values are short. The first call reads into a small buffer on the stack: a large one
    // would be cleared here and padded to its end by drivers that copy with strncpy, for every
    // column of every row.
    constexpr size_t kShort = 255;
    char shortBuffer[kShort + 1];
    size_t chunk = kShort;
    bool first = true;
    out.clear();
    while (true) {
        const size_t start = out.size();
        if (!first)
            out.resize(start + chunk + terminator);
        char* target = first ? shortBuffer : out.data() + start;
        SQLLEN indicator = 0;
        SQLRETURN rc;
        do {
            rc = SQLGetData(hstmt, static_cast<SQLUSMALLINT>(column), cType, target,
                            static_cast<SQLLEN>(chunk + terminator), &indicator);
        } while (rc == SQL_STILL_EXECUTING);
        if (rc == SQL_NO_DATA) {  // every byte was read by the previous call
            out.resize(start);
            return true;
        }
        if (!OdbcSucceeded(rc))
            Throw(rc, "SQLGetData");
        if (indicator == SQL_NULL_DATA) {
            out.clear();
            return false;
        }
        const bool truncated =
            rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) > chunk);
        const size_t got = truncated ? chunk : static_cast<size_t>(indicator);
        if (first)
            out.assign(shortBuffer, got);
        else
            out.resize(start + got);
        if (!truncated)
            return true;
        first = false;
        // Knowing the rest's length, read it in one more call; otherwise keep doubling.
        chunk = indicator == SQL_NO_TOTAL ? std::max<size_t>(chunk * 2, 4096) : static_cast<size_t>(indicator) - chunk;
    }
}

bool COdbcStatement::GetBinary(int column, std::string& out)
{
    // Binary columns are never bound.
    return GetChunked(column, SQL_C_BINARY, out);
}

bool COdbcStatement::GetFixed(int column, SQLSMALLINT cType, void* target, SQLLEN size)
{
    SQLLEN indicator = 0;
    if (const char* bound = BoundValue(column, cType, indicator))
        return CopyBoundFixed(column, bound, indicator, target, static_cast<size_t>(size));
    std::lock_guard guard(m_lock);
    SQLRETURN rc = SQLGetData(CheckedHandle(), static_cast<SQLUSMALLINT>(column), cType, target, size, &indicator);
    if (rc == SQL_NO_DATA)
        return false;
    Check(rc, "SQLGetData");
    return indicator != SQL_NULL_DATA;
}

bool COdbcStatement::GetDouble(int column, double& out)
{
    return GetFixed(column, SQL_C_DOUBLE, &out, sizeof out);
}

bool COdbcStatement::GetTimestamp(int column, SQL_TIMESTAMP_STRUCT& out)
{
    return GetFixed(column, SQL_C_TYPE_TIMESTAMP, &out, sizeof out);
}

void COdbcStatement::CloseCursor()
{
    std::lock_guard guard(m_lock);
    Check(SQLFreeStmt(CheckedHandle(), SQL_CLOSE), "SQLFreeStmt");
    ResetBlock();
}

void COdbcStatement::Recycle(std::unique_ptr<COdbcStatement> statement)
{
    if (statement == nullptr || statement->m_preparedSql.empty() || !statement->IsAttached())
        return;
    try {
        statement->CloseCursor();
        if (statement->m_timeout != kDefaultQueryTimeout)
            statement->SetQueryTimeout(kDefaultQueryTimeout);
    } catch (const CDbException&) {
        return;
    }
    statement->m_reused = false;
    std::shared_ptr<COdbcConnection::StatementList> list = statement->m_list;
    std::unique_ptr<COdbcStatement> evicted;
    std::lock_guard guard(list->lock);
    // Checked under the list lock: a close on another thread detaches under it too.
    if (!statement->IsAttached()) {
        evicted = std::move(statement);
    } else {
        list->prepared.push_back(std::move(statement));
        if (list->prepared.size() > COdbcConnection::kMaxPrepared) {
            evicted = std::move(list->prepared.front());
            list->prepared.erase(list->prepared.begin());
        }
    }
    // evicted is destroyed after the guard lets go: its destructor takes the list lock.
}
