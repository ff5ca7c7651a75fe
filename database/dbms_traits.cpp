#include "database/dbms_traits.h"

#include "database/db_exception.h"
#include "database/odbc_statement.h"
#include "foundation/ascii_text.h"

#include <array>
#include <sqlext.h>

namespace {

using States = std::string_view;

bool HasAnyState(const CDbException& error, std::span<const std::string_view> states)
{
    for (std::string_view state : states)
        if (error.HasState(state))
            return true;
    return false;
}

// "08S01" (communication link failure) means a lost connection whatever the DBMS.
constexpr std::array<States, 1> kCommonLost = {"08S01"};

// SQLite is a file, not a server: nothing but the common state can mean a lost connection. Its
// driver reports every engine error as HY000 (the native code is SQLite's own, 19 for any
// constraint), so the message is what tells a missing table or a duplicate key.
constexpr std::array<States, 1> kSqliteMissingTable = {"42S02"};
constexpr std::array<States, 1> kSqliteUnique = {"23000"};

// A backend ended by the administrator or a server shut-down reports 57P01..57P03 on its last
// message; psqlODBC reports a dead socket as 08S01, or 08003 once it knows the link is gone.
constexpr std::array<States, 5> kPgLost = {"57P01", "57P02", "57P03", "08003", "08006"};
constexpr std::array<States, 1> kPgMissingTable = {"42P01"};
constexpr std::array<States, 1> kPgUnique = {"23505"};

// Drivers of the older products speak ODBC 2 states (S0002) as well as ODBC 3 ones.
constexpr std::array<States, 2> kOdbcMissingTable = {"42S02", "S0002"};
constexpr std::array<States, 1> kOdbcUnique = {"23000"};
// Oracle reports "ORA-03114: not connected to ORACLE" with native code 3114.
constexpr std::array<States, 1> kOracleLost = {"3114"};

// The text rows of a DBMS that reports an error by state alone are empty: they recognise nothing.
bool StartsWithKnownText(std::string_view text, std::string_view prefix)
{
    return !prefix.empty() && StartsWithNoCase(text, prefix);
}

constexpr std::array<CDbmsTraits, 6> kTraits = {{
    {.dbmsName = "SQLite",
     .lostConnectionStates = {},
     .missingTableStates = kSqliteMissingTable,
     .uniqueViolationStates = kSqliteUnique,
     .missingTableText = "no such table",
     .uniqueViolationText = "UNIQUE constraint failed",
     .connectFailurePrefix = "",
     .longColumnsPrefix = "",
     .concatOperator = "||",
     .caseBlindLike = "LIKE",
     .columnInfo = ColumnInfoPath::ProbeQuery,
     .reportsLongVarchar = true,
     .statementRollback = "ROLLBACK",
     .describesPreparedColumnsOnce = true,
     .rowIdentity = "rowid",
     .timestampsAsText = true,
     .beginTransaction = "BEGIN IMMEDIATE",
     .lockWaitAttribute = "Timeout",
     .lockWaitStatement = "PRAGMA busy_timeout = 15000",
     .connectsAlongside = true},
    {.dbmsName = "PostgreSQL",
     .lostConnectionStates = kPgLost,
     .missingTableStates = kPgMissingTable,
     .uniqueViolationStates = kPgUnique,
     .missingTableText = "",
     .uniqueViolationText = "",
     .connectFailurePrefix = "",
     .longColumnsPrefix = "",
     .concatOperator = "||",
     .caseBlindLike = "ILIKE",
     .columnInfo = ColumnInfoPath::ProbeQuery,
     .catalogCase = CatalogCase::Lower,
     .reportsLongVarchar = true,
     .rowIdentity = "ctid",
     .rowIdentityType = "tid"},
    {.dbmsName = "Microsoft SQL Server",
     .lostConnectionStates = {},
     .missingTableStates = kOdbcMissingTable,
     .uniqueViolationStates = kOdbcUnique,
     .missingTableText = "",
     .uniqueViolationText = "",
     .connectFailurePrefix = "",
     .longColumnsPrefix = "",
     .concatOperator = "+",
     .caseBlindLike = "LIKE",
     .columnInfo = ColumnInfoPath::ProbeQuery},
    {.dbmsName = "ACCESS",
     .lostConnectionStates = {},
     .missingTableStates = kOdbcMissingTable,
     .uniqueViolationStates = kOdbcUnique,
     .missingTableText = "",
     .uniqueViolationText = "",
     .connectFailurePrefix = "",
     .longColumnsPrefix = "",
     .concatOperator = "&",
     .caseBlindLike = "LIKE",
     .columnInfo = ColumnInfoPath::ProbeQuery},
    {.dbmsName = "Oracle",
     .lostConnectionStates = kOracleLost,
     .missingTableStates = kOdbcMissingTable,
     .uniqueViolationStates = kOdbcUnique,
     .missingTableText = "",
     .uniqueViolationText = "",
     .connectFailurePrefix = "ORA-12203",
     .longColumnsPrefix = "ORA-03127",
     .concatOperator = "||",
     .caseBlindLike = "LIKE",
     .columnInfo = ColumnInfoPath::Catalog,
     .catalogCase = CatalogCase::Upper},
    // Any other product: standard SQL, and the catalogue, which every driver offers.
    {.dbmsName = "",
     .lostConnectionStates = {},
     .missingTableStates = kOdbcMissingTable,
     .uniqueViolationStates = kOdbcUnique,
     .missingTableText = "",
     .uniqueViolationText = "",
     .connectFailurePrefix = "",
     .longColumnsPrefix = "",
     .concatOperator = "||",
     .caseBlindLike = "LIKE",
     .columnInfo = ColumnInfoPath::Catalog},
}};

}  // namespace

std::span<const CDbmsTraits> CDbmsTraits::All()
{
    return kTraits;
}

const CDbmsTraits& CDbmsTraits::ForDbms(std::string_view dbmsName)
{
    for (const CDbmsTraits& traits : kTraits)
        if (!traits.dbmsName.empty() && EqualsNoCase(traits.dbmsName, dbmsName))
            return traits;
    return kTraits.back();
}

bool CDbmsTraits::IsLostConnection(const CDbException& error) const
{
    return error.RetCode() == SQL_INVALID_HANDLE || HasAnyState(error, kCommonLost) ||
           HasAnyState(error, lostConnectionStates);
}

std::string CDbmsTraits::CatalogName(std::string_view name) const
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        return std::string(name.substr(1, name.size() - 2));
    std::string folded(name);
    for (char& c : folded) {
        if (catalogCase == CatalogCase::Lower && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (catalogCase == CatalogCase::Upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}

bool CDbmsTraits::IsMissingTable(const CDbException& error) const
{
    return HasAnyState(error, missingTableStates) || StartsWithKnownText(error.ErrorText(), missingTableText);
}

int CDbmsTraits::ValueType(const COdbcColumn& column) const
{
    const bool reportedLong = column.odbcType == SQL_LONGVARCHAR || column.odbcType == SQL_WLONGVARCHAR;
    if (!reportsLongVarchar || !reportedLong)
        return column.sqlType;
    for (std::string_view declared : {"varchar", "char", "nvarchar", "nchar", "character"}) {
        if (EqualsNoCase(column.typeName, declared) ||
            (StartsWithNoCase(column.typeName, declared) && column.typeName[declared.size()] == '('))
            return column.odbcType == SQL_LONGVARCHAR ? SQL_VARCHAR : SQL_WVARCHAR;
    }
    return column.sqlType;
}

bool CDbmsTraits::IsUniqueViolation(const CDbException& error) const
{
    return HasAnyState(error, uniqueViolationStates) || StartsWithKnownText(error.ErrorText(), uniqueViolationText);
}

bool CDbmsTraits::IsConnectFailure(const CDbException& error)
{
    if (error.HasState("08001"))
        return true;
    for (const CDbmsTraits& traits : kTraits)
        if (StartsWithKnownText(error.ErrorText(), traits.connectFailurePrefix))
            return true;
    return false;
}

bool CDbmsTraits::NeedsLongColumnsWorkaround(const CDbException& error)
{
    for (const CDbmsTraits& traits : kTraits)
        if (StartsWithKnownText(error.ErrorText(), traits.longColumnsPrefix))
            return true;
    return false;
}
