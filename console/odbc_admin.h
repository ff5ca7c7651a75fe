// The installation's ODBC administration for twConsole: the data sources of
// <install>/etc/odbc.ini (which the server's driver manager reads), the drivers of
// <install>/etc/odbcinst.ini together with those the system has registered, creating and changing
// a data source, telling the kind of database behind one, and compacting a SQLite database file.
#pragma once

#include <string>
#include <utility>
#include <vector>

// An ini file of the driver manager, kept line by line so that an administrator's comments and
// order survive the console's changes. Section and key names compare without regard to case.
class COdbcIniFile
{
public:
    // A missing file is an empty one; false (errno kept) only when it exists and can't be read.
    [[nodiscard]] bool Load(const std::string& path);
    // Replaces the file through a temporary name. False with errno on failure.
    [[nodiscard]] bool Save(const std::string& path) const;

    std::vector<std::string> SectionNames() const;
    bool HasSection(const std::string& section) const;
    // 1 when the key exists (value filled), else 0.
    int Get(const std::string& section, const std::string& key, std::string& value) const;
    // Adds the section and the key as needed.
    void Set(const std::string& section, const std::string& key, const std::string& value);
    std::vector<std::pair<std::string, std::string>> Entries(const std::string& section) const;

private:
    // The line range [first, end) of a section's body; false when it does not exist.
    bool FindSection(const std::string& section, std::size_t& first, std::size_t& end) const;
    std::vector<std::string> m_lines;
};

struct CDataSourceInfo
{
    std::string name;
    std::string driver;  // the driver the data source names, as the list shows it
};

std::string OdbcIniPath(const std::string& installDir);
std::string OdbcInstIniPath(const std::string& installDir);
// The system's driver registry; TW_SYSTEM_ODBCINST names another file.
std::string SystemOdbcInstIniPath();

// The system data sources of the installation, in file order. False with `error` when the file
// can't be read.
[[nodiscard]] bool LoadSystemDataSources(const std::string& installDir, std::vector<CDataSourceInfo>& sources,
                                         std::string& error);
// The installation's drivers, then those only the system has registered; a driver whose library
// is not on this system is left out.
std::vector<std::string> LoadOdbcDrivers(const std::string& installDir);

// Adds or replaces the data source `name` for `driver` with the attributes given (the driver's
// definition is copied into the installation first when only the system had it). A name or value
// holding a line end or brackets is refused. False with `error` on failure.
[[nodiscard]] bool WriteSystemDataSource(const std::string& installDir, const std::string& name,
                                         const std::string& driver,
                                         const std::vector<std::pair<std::string, std::string>>& attributes,
                                         std::string& error);

// The attributes a new data source of `driver` starts with (database file, server, port ...).
std::vector<std::pair<std::string, std::string>>
SuggestedAttributes(const std::string& driver, const std::string& installDir, const std::string& defaultFile);

// "SQLite" for a file database, "PostgreSQL" for a server database, "" when the driver of the
// data source `name` (trimmed, compared without regard to case) is neither or it doesn't exist.
std::string DataSourceKind(const std::string& installDir, const std::string& name);
// The kind of a driver from a text that names or describes it.
std::string DriverKind(const std::string& driverText);
std::string DescribeDriver(const std::string& installDir, const std::string& driver);

// A value of data source `dsn` in odbc.ini, at most 256 bytes: 1 when read, else 0.
int ReadOdbcIniValue(const std::string& installDir, const std::string& dsn, const std::string& key, std::string& value);

// The SQLite database file that a connect string reaches: its DBQ or, for a SQLite data source,
// its Database attribute or that of the data source's definition. "" when there is none.
std::string DatabaseFileOf(const std::string& installDir, const std::string& connect);

// Compacts a SQLite database file into `destination` (empty: the source itself) through a
// temporary copy made by VACUUM INTO and a rename. True on success; `error` says why not.
[[nodiscard]] bool CompactDatabaseFile(std::string source, std::string destination, std::string* error = nullptr);
