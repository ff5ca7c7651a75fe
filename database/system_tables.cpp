#include "database/system_tables.h"

#include "database/db_exception.h"
#include "database/dbms_traits.h"
#include "database/odbc_connection.h"
#include "foundation/ascii_text.h"
#include "foundation/format_text.h"
#include "foundation/message_catalog.h"
#include "platform/file_system.h"

namespace {

constexpr int kMsgMissingSystemTable = 169;  // "The data source [%s] has no table %s ..."

// The missing table that the error names: the script's counters table (when it has one) or one
// of the system's.
std::string_view NamedTable(std::string_view errorText, std::string_view registry)
{
    if (!registry.empty() && ContainsNoCase(errorText, registry))
        return registry;
    for (std::string_view table : kSystemTables) {
        if (ContainsNoCase(errorText, table))
            return table;
    }
    return {};
}

// How to run the installation's script for the DBMS, as a command an administrator can type.
std::string ScriptCommand(std::string_view dbmsName, std::string_view connect)
{
    const std::string data = GetProgramDirectory() + "/data/";
    const std::string database = GetConnectValue(connect, "Database");
    if (EqualsNoCase(dbmsName, "PostgreSQL"))
        return "psql -d " + (database.empty() ? std::string("<database>") : database) + " -f " + data + "tw3pgsql.sql";
    if (EqualsNoCase(dbmsName, "SQLite"))
        return "sqlite3 " + (database.empty() ? std::string("<database file>") : database) + " < " + data +
               "tw3sqlite.sql";
    return "the statements of " + data + "tw3pgsql.sql with the database's own tool";
}

}  // namespace

std::string WithMissingSystemTableHint(std::string text, const CDbException& error, const CDbmsTraits& traits,
                                       std::string_view connect, std::string_view registry)
{
    if (!traits.IsMissingTable(error))
        return text;
    const std::string_view table = NamedTable(error.ErrorText(), registry);
    if (table.empty())
        return text;
    // A connect string without a data source name names its database instead.
    std::string dsn = GetConnectValue(connect, "DSN");
    if (dsn.empty())
        dsn = GetConnectValue(connect, "Database");
    const std::string command = ScriptCommand(traits.dbmsName, connect);
    return text + " " +
           FormatText(CMessageCatalog::Format(kMsgMissingSystemTable), dsn.c_str(), std::string(table).c_str(),
                      command.c_str());
}
