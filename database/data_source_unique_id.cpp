// Unique IDs: the "GetUid" command of a data source. The next key of a table is kept as decimal
// text in a counter row of the registry table (reg_user 'System', reg_section 'UniqueID', reg_key
// the table's name). Handing one out reads the row and writes it back one higher with an UPDATE
// that only matches while the row still holds what was read, so that servers, threads and
// connections sharing the database never hand out the same number: whoever loses the race finds no
// row to update and tries again.
#include "database/data_source.h"

#include "database/dyn_bind_set.h"
#include "database/sql_injection_guard.h"
#include "database/system_tables.h"
#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/ssp_exception.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

namespace {

constexpr int kUniqueIdAttempts = 20;
constexpr auto kUniqueIdPause = std::chrono::milliseconds(100);
// The first key of a table that has none, and what a counter out of range starts again from.
constexpr int kFirstId = 100;
constexpr int kLargestId = 1000000000;
constexpr int kMsgUniqueIdFailed = 46;  // "Failed to get a unique ID for table: "

// The four columns of a registry table in the order the set binds them; the value is the last.
struct RegistryColumns
{
    const char* names[4];
    const char* filter;  // followed by the quoted table name
};

constexpr RegistryColumns kLowerCaseColumns = {{"reg_user", "reg_section", "reg_key", "reg_value"},
                                               "reg_user = 'System' AND reg_section = 'UniqueID' AND reg_key = '"};
constexpr RegistryColumns kCapitalColumns = {{"REG_USER", "REG_SECTION", "REG_KEY", "REG_VALUE"},
                                             "REG_USER = 'System' AND REG_SECTION = 'UniqueID' AND REG_KEY = '"};
constexpr int kValueColumn = 3;

// The registry tables of the older schemas (names beginning "QV3", "QV4" or "QV5") spell their
// columns in capitals.
const RegistryColumns& ColumnsOf(std::string_view registry)
{
    for (std::string_view prefix : {"QV5", "QV4", "QV3"})
        if (StartsWithNoCase(registry, prefix))
            return kCapitalColumns;
    return kLowerCaseColumns;
}

CSspValue Text(std::string_view text)
{
    CSspValue value;
    value.SetString(std::string(text));
    return value;
}

std::string FailureText(std::string_view reason, const std::string& table)
{
    return std::string(reason) + " \r\n" + CMessageCatalog::Text(kMsgUniqueIdFailed) + table + ".";
}

}  // namespace

int CDataSource::GetUniqueIdRetry(const std::string& table, const std::string& idColumn, const std::string& registry)
{
    int id = -1;
    for (int attempt = 0; attempt < kUniqueIdAttempts; ++attempt) {
        id = GetUniqueId(table, idColumn, registry);
        if (id >= 1)
            return id;
        std::this_thread::sleep_for(kUniqueIdPause);
    }
    return id;
}

int CDataSource::GetUniqueId(const std::string& table, const std::string& idColumn, const std::string& registry)
{
    // The registry table's name goes into the statement as it stands.
    if (!IsSqlName(registry, true))
        throw CSspException("Failed to open table: " + registry, kNoPosition);
    const RegistryColumns& columns = ColumnsOf(registry);
    std::string key = table;
    CSspValue::EscapeSqlQuotes(key);

    CDynBindSet set(&m_database);
    set.AddTable(registry);
    for (const char* name : columns.names)
        set.AddColumn(name);
    set.SetFilter(columns.filter + key + "'");
    try {
        if (!set.Open())
            throw CSspException("Failed to open table: " + registry, kNoPosition);
        int id = 0;
        if (!StoreCounter(set, table, idColumn, id)) {
            set.Close();
            throw CSspException(FailureText("Updating registry table failed.", table), kNoPosition);
        }
        return id;
    } catch (const CDbException& error) {
        // Another writer changed the counter between the read and the update, or made the row
        // that this attempt was about to make: the next attempt reads what it wrote.
        if (error.RetCode() == kDbNoRowsAffected || m_database.Traits().IsUniqueViolation(error))
            return -1;
        // Left to the command's handler, which closes the connection so that the next hand-out
        // from the pool reconnects.
        if (m_database.Traits().IsLostConnection(error))
            throw;
        // A new database without the server's own tables: say which and how to create them.
        throw CSspException(
            FailureText(WithMissingSystemTableHint(error.ErrorText(), error, m_database.Traits(), m_connect, registry),
                        table),
            kNoPosition);
    }
}

bool CDataSource::StoreCounter(CDynBindSet& set, const std::string& table, const std::string& idColumn, int& id)
{
    int64_t next;
    if (set.IsEOF()) {
        set.AddNew();
        set.SetFieldValue(0, Text("System"));
        set.SetFieldValue(1, Text("UniqueID"));
        set.SetFieldValue(2, Text(table));
        const int largest = GetMaxId(table, idColumn);
        next = largest == 0 || largest == CSspValue::kIntegerNull ? kFirstId : int64_t{largest} + 1;
    } else {
        set.Edit();
        next = ParseInt32(set.GetColumnValue(kValueColumn)->ToString());
    }
    if (next < 1 || next > kLargestId)
        next = kFirstId;
    id = static_cast<int>(next);
    set.SetFieldValue(kValueColumn, Text(std::to_string(id + 1)));
    return set.Update();
}

int CDataSource::GetMaxId(const std::string& table, const std::string& idColumn)
{
    // Names that could not be written into the statement count as a table that cannot be read.
    if (IsSqlName(table, true) && IsSqlName(idColumn)) {
        try {
            CDynBindSet set(&m_database);
            set.AddTable(table);
            set.AddColumn("MAX(" + idColumn + ")");
            if (set.Open({}, CDynBindSet::kReadOnly)) {
                if (set.IsEOF())
                    return 0;
                const CSspValue* largest = set.GetColumnValue(0);
                return largest->IsNull()
                           ? 0
                           : static_cast<int>(std::clamp<std::int64_t>(largest->ToInt64(), INT_MIN, INT_MAX));
            }
        } catch (const CDbException&) {
            // Reported below like a set that did not open.
        }
    }
    TheLog().WriteLine("Failed to open table %s", table.c_str());
    return 0;
}
