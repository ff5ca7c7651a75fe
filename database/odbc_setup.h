// The installation's own ODBC set-up. The embedded default database is data source "tw3": SQLite
// through the SQLite ODBC driver over <install>/data/tw3.db, defined in <install>/etc/odbc.ini
// (with the driver in <install>/etc/odbcinst.ini), which ODBCSYSINI and ODBCINI point at. The
// server program calls these at start-up; the tests call them on a temporary installation.
#pragma once

#include <string>
#include <string_view>

// The default connect string of an installation (without "ODBC;").
inline constexpr std::string_view kDefaultConnectString = "DSN=tw3";

// Points the driver manager at <install>/etc for data sources and drivers. Call before the first
// connection of the process.
void UseInstallationOdbcIni(const std::string& installDir);

// The full path of an ODBC driver library in the system's driver folders, "" when none is found.
std::string FindOdbcDriverLibrary(std::string_view fileName);

// Writes <install>/etc/odbcinst.ini and <install>/etc/odbc.ini defining "tw3" when they don't
// exist yet; an administrator's files are never overwritten. False with a reason on failure.
[[nodiscard]] bool WriteDefaultOdbcIni(const std::string& installDir, std::string& error);

// Creates <install>/data/tw3.db, in write-ahead-log journal mode, with the tables of
// <install>/data/tw3sqlite.sql when the database file does not exist yet. Needs UseInstallationOdbcIni and WriteDefaultOdbcIni first.
[[nodiscard]] bool CreateDefaultDatabase(const std::string& installDir, std::string& error);

// Switches off the SQLite library's allocation counts before the SQLite driver first starts the
// library (COdbcEnvironment calls it once, before the first connection). The counts are kept under
// one process-wide mutex taken on every allocation, where runs on connections of their own would
// queue; nothing here reads them. Does nothing when the library is not installed.
void TuneSqliteLibrary();

// Runs a table-creation script: statements end with ";" at the end of a line; lines that begin
// with "--" are comments. Throws CDbException for the first statement that fails.
class COdbcConnection;
void RunSqlScript(COdbcConnection& connection, std::string_view script);
