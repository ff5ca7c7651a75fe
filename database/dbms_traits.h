// CDbmsTraits: every choice that depends on the database product, in one table keyed by the name
// the driver reports as SQL_DBMS_NAME. The data source uses it to recognise a lost connection,
// the recordset code to pick how it learns column descriptions, the set-up code to recognise a
// missing table, and the statement translation for the operator spellings.
#pragma once

#include <span>
#include <string>
#include <string_view>

class CDbException;
struct COdbcColumn;

// How the recordset code learns the columns of a table before it writes a row.
enum class ColumnInfoPath
{
    ProbeQuery,  // run the SELECT with the filter "1 = 2" and describe its result
    Catalog,     // ask the catalogue (SQLColumns)
};

// How the catalogue stores a name that was written without quotes.
enum class CatalogCase
{
    AsWritten,  // kept (or compared without regard to case)
    Lower,      // folded to lower case
    Upper,      // folded to upper case
};

struct CDbmsTraits
{
    std::string_view dbmsName;                               // as SQL_DBMS_NAME reports it; "" for the fallback row
    std::span<const std::string_view> lostConnectionStates;  // besides the common ones
    std::span<const std::string_view> missingTableStates;
    std::span<const std::string_view> uniqueViolationStates;
    // For drivers that report every engine error under one state (SQLite: HY000), the start of the
    // message that tells a missing table or a unique violation; "" where the state suffices.
    std::string_view missingTableText;
    std::string_view uniqueViolationText;
    // Error-text prefixes (compared without regard to case) that mean the server can't be reached,
    // and the one that asks for the driver's long-column work-around.
    std::string_view connectFailurePrefix;
    std::string_view longColumnsPrefix;
    std::string_view concatOperator;  // joins two texts
    std::string_view caseBlindLike;   // LIKE that ignores letter case
    ColumnInfoPath columnInfo;
    CatalogCase catalogCase = CatalogCase::AsWritten;
    // The driver reports a CHAR or VARCHAR column above a length as long text (the SQLite driver
    // and psqlODBC do so above 255), where the other products report the declared string type.
    bool reportsLongVarchar = false;
    // Ends a transaction that a plain "BEGIN" statement opened while autocommit was on, where the
    // driver's own rollback leaves such a transaction alone (the SQLite driver does); "" where the
    // driver ends it. Its failure when no transaction is open is expected.
    std::string_view statementRollback = {};
    // The driver describes a prepared statement's result as it was when the statement was
    // prepared, also after another connection changed the table (the SQLite driver does): a
    // statement whose columns follow the table's ("*") is then not kept prepared for reuse.
    bool describesPreparedColumnsOnce = false;
    // The hidden column that tells a row from its equals where a table has no primary key (SQLite's
    // rowid, PostgreSQL's ctid), and the type its value is cast to when compared; "" where the
    // product has none, so a row without a key cannot be changed alone.
    std::string_view rowIdentity = {};
    std::string_view rowIdentityType = {};
    // Time stamps are stored as the text "yyyy-mm-dd hh:mm:ss", the form the product's own date
    // functions and the {ts} literal give: the SQLite driver would add ".000" to a bound time stamp,
    // which no comparison with a literal of the same time then matches.
    bool timestampsAsText = false;
    // The statement that begins a transaction where the driver's own begin (autocommit off) does
    // not fit; "" to switch autocommit off. SQLite's driver begins a deferred transaction, whose
    // first write must upgrade a read lock and fails at once, without waiting, when another writer
    // holds the file: "BEGIN IMMEDIATE" takes the write lock first, waiting the busy time-out.
    std::string_view beginTransaction = {};
    // Where the product locks a file rather than rows: the connect-string attribute through which
    // the driver waits for another writer's lock (milliseconds), and the statement that sets such
    // a wait on a connection whose attribute is missing or 0, so no connection fails at once on a
    // lock that another request holds for a moment.
    std::string_view lockWaitAttribute = {};
    std::string_view lockWaitStatement = {};
    // The driver's connect leaves the process's locale alone, so it may run beside other connects.
    // Connects to the other products take turns: psqlODBC sets LC_CTYPE on every connect.
    bool connectsAlongside = false;

    // The row for a DBMS name (compared without regard to case); the fallback row when unknown.
    static const CDbmsTraits& ForDbms(std::string_view dbmsName);
    static std::span<const CDbmsTraits> All();

    // Whether the failure means the connection is gone: a lost-connection state of this DBMS or
    // of every DBMS, or an invalid handle.
    bool IsLostConnection(const CDbException& error) const;
    // A table or column name as the catalogue functions (SQLColumns, SQLPrimaryKeys) must be asked
    // for it: folded as the DBMS folds unquoted names; a name in double quotes loses its quotes.
    std::string CatalogName(std::string_view name) const;
    bool IsMissingTable(const CDbException& error) const;
    // The value type of a described column: the mapped ODBC type, except that a column the schema
    // declares as CHAR or VARCHAR stays a string where the driver reports it as long text, so
    // scripts compute with its texts as they do on every other product.
    int ValueType(const COdbcColumn& column) const;
    bool IsUniqueViolation(const CDbException& error) const;

    // Checks made before the DBMS is known (a failed connect): any row's connect-failure prefix,
    // and "08001" (unable to establish a connection).
    static bool IsConnectFailure(const CDbException& error);
    // Any row's long-column prefix at the start of the error text.
    static bool NeedsLongColumnsWorkaround(const CDbException& error);
};
