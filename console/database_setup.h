// CDatabaseSetup: twConsole's check that the connect string it stores for the server reaches a
// data source that opens and holds the application's settings table, looping through the
// data-source dialog until one does or the administrator gives up. The dialogs themselves are the
// GUI's (CDatabaseSetupUi), so the checks run the same behind the windows and in tests.
#pragma once

#include <string>

class COdbcConnection;

// What the checks ask of the administrator.
class CDatabaseSetupUi
{
public:
    virtual ~CDatabaseSetupUi() = default;
    // The data-source dialog opened on `dsn` (in: the current one, out: the chosen one) with the
    // default data source and a hint; false when cancelled.
    [[nodiscard]] virtual bool ChooseDataSource(std::string& dsn, const std::string& defaultDsn,
                                                const std::string& hint) = 0;
    // The table-creation dialog for `database` (reached by `connect`), its caption line and its
    // script ("" for none); true when it ended with OK.
    [[nodiscard]] virtual bool CreateTables(COdbcConnection& database, const std::string& connect,
                                            const std::string& caption, const std::string& scriptPath) = 0;
    // An information box, and a box for a database error.
    virtual void ShowInformation(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;
};

class CDatabaseSetup
{
public:
    explicit CDatabaseSetup(std::string installDir);

    // 3, or 2 when the installation still has a version 2 database (data/tw2.db or
    // data/tw2pgsql.sql).
    int DetectSchemaVersion();
    int GetSchemaVersion() const { return m_schemaVersion; }
    void ClearSchemaVersion() { m_schemaVersion = 0; }
    std::string GetRegistryTableName() const;
    std::string SqliteScriptPath() const;
    std::string PostgresScriptPath() const;
    static std::string DefaultConnectString() { return "ODBC;DSN=tw3"; }
    static std::string DefaultDatabaseFile() { return "tw3.db"; }
    const std::string& InstallDir() const { return m_installDir; }

    // 0 when "SELECT * FROM <table>" opens, 1 when the table is missing, else 2 after showing
    // the error through `ui`.
    [[nodiscard]] static int TableExists(COdbcConnection& database, const std::string& table, CDatabaseSetupUi& ui);

    // The text after "key=" (found without regard to case) up to the next ";"; "" when absent.
    static std::string GetConnectionValue(const std::string& key, const std::string& connect);
    // Replaces the value of key, or appends "key=value;" (after a ";" when needed).
    static std::string SetConnectionValue(const std::string& key, const std::string& connect, const std::string& value);

    // 0 when the settings table exists, 1 when it is missing (told about for a SQLite data
    // source), 2 when it can't be told.
    [[nodiscard]] int CheckAccessDatabase(COdbcConnection& database, const std::string& connect,
                                          CDatabaseSetupUi& ui) const;
    // The table-creation dialog with the script of the data source's kind: true when it ended OK.
    [[nodiscard]] bool CheckServerDatabase(COdbcConnection& database, const std::string& connect,
                                           CDatabaseSetupUi& ui) const;
    // Loops until `connect` (in and out) names a working data source: 1, or 0 when cancelled.
    [[nodiscard]] int CheckDataSource(std::string& connect, CDatabaseSetupUi& ui);

    // The connect string for a chosen data source: "DSN=<dsn>", with ";UID=" and the data
    // source's LastUser when it has one.
    std::string TrialConnectString(const std::string& dsn) const;
    // After a successful check: the driver's completed connect string with "ODBC;" in front and
    // an FRL of F turned into T.
    static std::string StoredConnectString(const COdbcConnection& database);

private:
    std::string m_installDir;
    int m_schemaVersion = 0;
};

CDatabaseSetup& TheDatabaseSetup();
