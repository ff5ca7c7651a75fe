#include "console/database_setup.h"

#include "console/odbc_admin.h"
#include "database/odbc_connection.h"
#include "database/odbc_statement.h"
#include "foundation/ascii_text.h"
#include "platform/file_system.h"

namespace {

// Where "key=" begins in the connect string, found without regard to case; npos when absent.
std::size_t FindKey(const std::string& key, const std::string& connect)
{
    return LowerAscii(connect).find(LowerAscii(key) + "=");
}

}  // namespace

CDatabaseSetup::CDatabaseSetup(std::string installDir) : m_installDir(std::move(installDir))
{}

CDatabaseSetup& TheDatabaseSetup()
{
    static CDatabaseSetup setup(GetProgramDirectory());
    return setup;
}

int CDatabaseSetup::DetectSchemaVersion()
{
    const std::string data = m_installDir + "/data/";
    m_schemaVersion = FileExists(data + "tw2.db") || FileExists(data + "tw2pgsql.sql") ? 2 : 3;
    return m_schemaVersion;
}

std::string CDatabaseSetup::GetRegistryTableName() const
{
    return m_schemaVersion == 2 ? "tw2_registry" : "tw3_registry";
}

std::string CDatabaseSetup::SqliteScriptPath() const
{
    return m_installDir + "/data/tw3sqlite.sql";
}

std::string CDatabaseSetup::PostgresScriptPath() const
{
    return m_installDir + "/data/tw3pgsql.sql";
}

std::string CDatabaseSetup::GetConnectionValue(const std::string& key, const std::string& connect)
{
    const std::size_t at = FindKey(key, connect);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + key.size() + 1;
    const std::size_t end = connect.find(';', start);
    return connect.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string CDatabaseSetup::SetConnectionValue(const std::string& key, const std::string& connect,
                                               const std::string& value)
{
    const std::size_t at = FindKey(key, connect);
    if (at != std::string::npos) {
        const std::size_t start = at + key.size() + 1;
        const std::size_t end = connect.find(';', start);
        const std::string after = end == std::string::npos ? "" : connect.substr(end);
        return connect.substr(0, at) + key + "=" + value + after;
    }
    std::string extended = connect;
    if (!extended.empty() && extended.back() != ';')
        extended += ';';
    return extended + key + "=" + value + ";";
}

int CDatabaseSetup::TableExists(COdbcConnection& database, const std::string& table, CDatabaseSetupUi& ui)
{
    try {
        COdbcStatement statement(database);
        statement.ExecDirect("SELECT * FROM " + table);
        return 0;
    } catch (const CDbException& failure) {
        if (failure.HasState("S0002") || failure.HasState("42S02") || database.Traits().IsMissingTable(failure))
            return 1;
        ui.ShowError(failure.ErrorText());
        return 2;
    }
}

int CDatabaseSetup::CheckAccessDatabase(COdbcConnection& database, const std::string& connect,
                                        CDatabaseSetupUi& ui) const
{
    const std::string table = GetRegistryTableName();
    if (table.empty())
        return 2;
    const int exists = TableExists(database, table, ui);
    if (exists == 1 && DataSourceKind(m_installDir, GetConnectionValue("DSN", connect)) == "SQLite")
        ui.ShowInformation("Table " + table + " is not found in \n" + DatabaseFileOf(m_installDir, connect) + "\n\n" +
                           "Click the Create Default button to see if this problem goes away.\nIf not, you should "
                           "re-install this program. \n");
    return exists;
}

bool CDatabaseSetup::CheckServerDatabase(COdbcConnection& database, const std::string& connect,
                                         CDatabaseSetupUi& ui) const
{
    const std::string kind = DataSourceKind(m_installDir, GetConnectionValue("DSN", connect));
    if (kind == "PostgreSQL") {
        std::string name = GetConnectionValue("DATABASE", connect);
        if (name.empty())
            name = "default";
        return ui.CreateTables(database, connect, "database: " + name + " user: " + GetConnectionValue("UID", connect),
                               PostgresScriptPath());
    }
    if (kind == "SQLite")
        return ui.CreateTables(database, connect, "database: " + DatabaseFileOf(m_installDir, connect),
                               SqliteScriptPath());
    ui.ShowInformation(
        "System failed to detect the type of your database.\nPlease load the script for your database using the "
        "Load button.");
    return ui.CreateTables(database, connect, "", "");
}

std::string CDatabaseSetup::TrialConnectString(const std::string& dsn) const
{
    std::string trial = "DSN=" + dsn;
    std::string user;
    if (ReadOdbcIniValue(m_installDir, dsn, "LastUser", user))
        trial += ";UID=" + user;
    return trial;
}

std::string CDatabaseSetup::StoredConnectString(const COdbcConnection& database)
{
    std::string connect = "ODBC;" + database.CompletedConnectString();
    if (GetConnectionValue("FRL", connect) == "F")
        connect = SetConnectionValue("FRL", connect, "T");
    return connect;
}

int CDatabaseSetup::CheckDataSource(std::string& connect, CDatabaseSetupUi& ui)
{
    const std::string specify = "Specify a data source to store your data. To store them in " + DefaultDatabaseFile() +
                                " that comes with this program, click Create Default then click OK.";
    std::string dsn = GetConnectionValue("DSN", connect);
    std::string prompt = dsn.empty() ? specify : "";
    const std::string defaultDsn = GetConnectionValue("DSN", DefaultConnectString());
    for (;;) {
        if (!prompt.empty() && !ui.ChooseDataSource(dsn, defaultDsn, prompt))
            return 0;
        const std::string trial = TrialConnectString(dsn);
        COdbcConnection database;
        try {
            database.Open(trial);
        } catch (const CDbException& failure) {
            prompt = failure.HasState("IM002") ? "Data source " + dsn +
                                                     " not found. Please create or select another one for this "
                                                     "program to store your data."
                                               : failure.ErrorText();
            if (prompt.empty())
                prompt = specify;
            continue;
        }
        try {
            const int tables = CheckAccessDatabase(database, trial, ui);
            if (tables == 0 || (tables == 1 && CheckServerDatabase(database, trial, ui))) {
                connect = StoredConnectString(database);
                database.Close();
                return 1;
            }
            database.Close();
            prompt = specify;
        } catch (const CDbException& failure) {
            prompt = failure.ErrorText();
        }
    }
}
