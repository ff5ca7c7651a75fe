// COdbcStatement: one ODBC statement on a COdbcConnection (see odbc_connection.h for the ownership
// rules). It runs SQL directly or prepared with bound parameters, describes result columns with
// their types mapped onto the script value's type codes, fetches rows and reads columns, long ones
// in chunks. A result whose columns all have a fixed or bounded size can be read through bound
// buffers a block of rows per fetch (BindResult); the readers then take the current row's values
// from the buffers. Every statement starts with the default query time-out of 15 seconds.
#pragma once

#include "database/odbc_column.h"
#include "database/odbc_connection.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

constexpr int kDefaultQueryTimeout = 15;

// Maps an ODBC 3 type code onto the codes the script value uses: date 91 -> 9, timestamp 93 -> 11,
// time 92 -> 12 (kept as text), BIGINT -> decimal 3 with scale 0 (a 64-bit count must not wrap in
// a 32-bit integer), TINYINT and BIT -> SMALLINT 5 (so they read as integers); every other code is
// kept. The scale is changed where the mapping says so.
int MapOdbcType(SQLSMALLINT odbcType, SQLSMALLINT& scale);

class COdbcStatement
{
public:
    explicit COdbcStatement(COdbcConnection& connection);
    ~COdbcStatement();
    COdbcStatement(const COdbcStatement&) = delete;
    COdbcStatement& operator=(const COdbcStatement&) = delete;

    // False once the connection was closed under the statement; every call then throws
    // "not connected" (state 08003).
    bool IsAttached() const;

    void SetQueryTimeout(int seconds);
    int QueryTimeout() const { return m_timeout; }
    // Asks for a static (scrollable) cursor for the next execution, so FetchFirst can go back to
    // the first row. Returns false when the driver offers only forward cursors.
    [[nodiscard]] bool RequestScrollableCursor();

    // SQL_NO_DATA from an UPDATE or DELETE counts as success.
    void ExecDirect(const std::string& sql);
    void Prepare(const std::string& sql);
    void Execute();

    // Parameters for the next Execute, numbered from 1; values are copied and kept until
    // ResetParameters or the statement ends.
    void BindNull(int index, SQLSMALLINT sqlType);
    void BindText(int index, std::string_view text, SQLSMALLINT sqlType = SQL_VARCHAR, SQLSMALLINT digits = 0);
    void BindBinary(int index, std::string_view bytes);
    // sqlType is the column's own type, so a server that types its parameters (PostgreSQL) sees
    // the type it compares with or stores into; a time stamp bound as SQL_TYPE_DATE sends its date.
    void BindInteger(int index, int64_t value, SQLSMALLINT sqlType = SQL_BIGINT);
    void BindDouble(int index, double value);
    void BindTimestamp(int index, const SQL_TIMESTAMP_STRUCT& value, SQLSMALLINT sqlType = SQL_TYPE_TIMESTAMP);
    void ResetParameters();

    // Catalogue: the columns of a table (SQLColumns); empty parts are passed as null.
    void Columns(const std::string& catalog, const std::string& schema, const std::string& table);
    // Catalogue: the primary-key columns of a table (SQLPrimaryKeys); column 4 is the name.
    void PrimaryKeys(const std::string& catalog, const std::string& schema, const std::string& table);

    int ResultColumnCount();
    COdbcColumn DescribeColumn(int column);  // 1-based
    // Rows changed by the last INSERT, UPDATE or DELETE (-1 when the driver can't tell).
    SQLLEN RowCount();

    // One result column read through a bound buffer: SQL_C_SBIGINT, SQL_C_DOUBLE,
    // SQL_C_TYPE_TIMESTAMP, or SQL_C_CHAR with room for width bytes and the terminating NUL.
    struct BoundColumn
    {
        SQLSMALLINT cType = SQL_C_CHAR;
        size_t width = 0;
    };
    static constexpr SQLULEN kBlockRows = 64;
    // Binds the first columns of the result, in order, and fetches kBlockRows rows per driver call
    // from the next fetch on; every column then must be read with the reader of its C type. A text
    // longer than its buffer widens the buffer and reads the block again, so values are never cut.
    // Only a scrollable cursor can read a block again: on another one, and for an empty list,
    // the statement reads row by row through SQLGetData (false). A statement keeps its binding for
    // the next run of its text; the same list again costs no driver call.
    bool BindResult(std::vector<BoundColumn> columns);

    // Moves to the next row; false at the end of the result.
    [[nodiscard]] bool Fetch();
    // Moves back to the first row of a scrollable cursor; false when the result is empty.
    [[nodiscard]] bool FetchFirst();
    // Readers of the current row's column (1-based); each returns false for NULL. Text and binary
    // are read whole, in chunks that double while the driver reports truncation.
    bool GetText(int column, std::string& out);
    bool GetBinary(int column, std::string& out);
    bool GetInteger(int column, int64_t& out);
    bool GetDouble(int column, double& out);
    bool GetTimestamp(int column, SQL_TIMESTAMP_STRUCT& out);

    // Closes the open cursor, keeping the statement for another run.
    void CloseCursor();

    // Statements from COdbcConnection::TakePrepared: whether this one was kept from an earlier
    // run (a failure may then mean that the DBMS dropped it: run the text on a new one), and
    // whether its cursor is scrollable.
    bool WasReused() const { return m_reused; }
    bool IsScrollable() const { return m_scrollable; }
    // Gives a prepared statement back to its connection for the next run of its text: the cursor
    // is closed and the time-out is the default again. A statement that is not a prepared one,
    // or whose connection is gone, is freed instead.
    static void Recycle(std::unique_ptr<COdbcStatement> statement);

private:
    friend class COdbcConnection;
    // Called by the connection, under its statement-list lock, before it disconnects.
    void Detach();
    SQLHSTMT CheckedHandle() const;
    [[noreturn]] static void ThrowDetached();
    [[noreturn]] void Throw(SQLRETURN rc, std::string_view call) const;
    void Check(SQLRETURN rc, std::string_view call) const;
    // The readers through SQLGetData, for a column that is not bound.
    [[nodiscard]] bool GetChunked(int column, SQLSMALLINT cType, std::string& out);
    [[nodiscard]] bool GetFixed(int column, SQLSMALLINT cType, void* target, SQLLEN size);
    // A bound value of a fixed-size type into target; false for NULL.
    [[nodiscard]] bool CopyBoundFixed(int column, const char* bound, SQLLEN indicator, void* target, size_t size) const;
    void Unbind();
    void BindBuffers();
    void ResetBlock();
    // Fetches a block, widens text buffers too narrow for a value in it and fetches it again.
    [[nodiscard]] bool FetchBlock(SQLSMALLINT orientation);
    [[nodiscard]] bool WidenBuffers();
    // The current row's value of a bound column read as cType; null when the column is not bound.
    // Inline: a page reads every column of every row through it.
    const char* BoundValue(int column, SQLSMALLINT cType, SQLLEN& indicator) const;
    [[noreturn]] void ThrowUnreadable(SQLSMALLINT boundType, SQLSMALLINT cType) const;
    void BindBuffer(int index, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN columnSize, SQLSMALLINT digits,
                    std::string bytes, SQLLEN indicator);

    struct ResultBuffer
    {
        BoundColumn column;
        size_t stride = 0;         // column.width, +1 for text's terminating NUL
        std::vector<char> values;  // kBlockRows values of stride bytes each
        std::vector<SQLLEN> indicators;
    };

    struct Parameter
    {
        std::string bytes;
        SQLLEN indicator = 0;
    };

    // Guards m_hstmt against Detach from another thread while a call is running. Reads of the
    // bound buffers use no handle and take no lock; they look at m_detached instead.
    mutable std::recursive_mutex m_lock;
    SQLHSTMT m_hstmt = SQL_NULL_HSTMT;
    std::atomic<bool> m_detached{false};
    std::shared_ptr<COdbcConnection::StatementList> m_list;
    std::deque<Parameter> m_parameters;  // deque: bound addresses stay put as it grows
    int m_timeout = 0;
    // Set by COdbcConnection::TakePrepared.
    std::string m_preparedSql;
    bool m_scrollRequested = false;
    bool m_scrollable = false;
    bool m_reused = false;
    // Bound result columns and the block last fetched into them.
    std::vector<ResultBuffer> m_result;
    std::vector<SQLUSMALLINT> m_rowStatus;
    SQLULEN m_rowsFetched = 0;
    SQLULEN m_blockRow = 0;   // the current row within the block
    SQLLEN m_blockStart = 1;  // the block's first row, counted from 1 in the result
};

inline const char* COdbcStatement::BoundValue(int column, SQLSMALLINT cType, SQLLEN& indicator) const
{
    if (column < 1 || static_cast<size_t>(column) > m_result.size())
        return nullptr;
    const ResultBuffer& buffer = m_result[static_cast<size_t>(column) - 1];
    // Read without the lock: the buffers are the statement's own and Detach leaves them alone, but
    // a statement whose connection is gone answers nothing, as every call that needs the handle.
    // A block can't be read again through SQLGetData on every driver: the reader must match.
    if (m_detached.load(std::memory_order_acquire) || buffer.column.cType != cType || m_rowsFetched == 0)
        ThrowUnreadable(buffer.column.cType, cType);
    indicator = buffer.indicators[m_blockRow];
    return buffer.values.data() + buffer.stride * m_blockRow;
}

inline bool COdbcStatement::GetText(int column, std::string& out)
{
    SQLLEN indicator = 0;
    const char* bound = BoundValue(column, SQL_C_CHAR, indicator);
    if (bound == nullptr)
        return GetChunked(column, SQL_C_CHAR, out);
    if (indicator == SQL_NULL_DATA) {
        out.clear();
        return false;
    }
    // Appending to the emptied text copies without the overlap checks of an assignment.
    out.clear();
    out.append(bound, static_cast<size_t>(indicator));
    return true;
}

inline bool COdbcStatement::GetInteger(int column, int64_t& out)
{
    SQLLEN indicator = 0;
    if (const char* bound = BoundValue(column, SQL_C_SBIGINT, indicator))
        return CopyBoundFixed(column, bound, indicator, &out, sizeof out);
    SQLBIGINT value = 0;
    if (!GetFixed(column, SQL_C_SBIGINT, &value, sizeof value))
        return false;
    out = value;
    return true;
}

inline bool COdbcStatement::CopyBoundFixed(int column, const char* bound, SQLLEN indicator, void* target,
                                           size_t size) const
{
    if (indicator == SQL_NULL_DATA)
        return false;
    std::memcpy(target, bound, std::min(size, m_result[static_cast<size_t>(column) - 1].column.width));
    return true;
}
