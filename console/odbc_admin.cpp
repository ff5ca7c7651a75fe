#include "console/odbc_admin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "console/database_setup.h"
#include "console/text_file.h"
#include "database/odbc_connection.h"
#include "database/odbc_setup.h"
#include "database/odbc_statement.h"
#include "foundation/ascii_text.h"
#include "platform/file_system.h"

namespace {

constexpr std::size_t kMaxIniValue = 256;

bool IsSectionLine(const std::string& line, std::string* name = nullptr)
{
    const std::string text(TrimWhiteAscii(line));
    if (text.size() < 2 || text.front() != '[' || text.back() != ']')
        return false;
    if (name)
        *name = TrimWhiteAscii(std::string_view(text).substr(1, text.size() - 2));
    return true;
}

bool SplitEntry(const std::string& line, std::string& key, std::string& value)
{
    const std::string text(TrimWhiteAscii(line));
    if (text.empty() || text[0] == '#' || text[0] == ';')
        return false;
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos)
        return false;
    key = TrimWhiteAscii(std::string_view(text).substr(0, equals));
    value = TrimWhiteAscii(std::string_view(text).substr(equals + 1));
    return true;
}

bool IsOneLine(const std::string& text)
{
    return text.find_first_of("\r\n") == std::string::npos;
}

// Debian registers drivers by file name only; the installation's file names them by full path.
std::string ResolveDriverLibrary(const std::string& library)
{
    if (library.empty() || library.find('/') != std::string::npos)
        return library;
    const std::string found = FindOdbcDriverLibrary(library);
    return found.empty() ? library : found;
}

// A SQLite database file opens with this header; the driver would take any other file for a
// database it cannot read, and report a less telling error.
bool IsSqliteDatabaseFile(const std::string& path)
{
    static constexpr char kHeader[] = "SQLite format 3";
    char start[sizeof kHeader] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(start, sizeof start) && std::equal(start, start + sizeof start, kHeader);
}

// A driver can be used only when the library its definition names lies on this system; the
// system's registry may list drivers whose package is gone.
bool DriverLibraryInstalled(const COdbcIniFile& file, const std::string& driver)
{
    std::string library;
    if (!file.Get(driver, "Driver", library))
        return false;
    struct stat info
    {};
    return stat(ResolveDriverLibrary(library).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The journal mode of a SQLite connection's database ("delete", "wal" ...).
std::string JournalMode(COdbcConnection& connection)
{
    COdbcStatement statement(connection);
    statement.ExecDirect("PRAGMA journal_mode");
    std::string mode;
    if (statement.Fetch())
        statement.GetText(1, mode);
    return mode;
}

}  // namespace

bool COdbcIniFile::Load(const std::string& path)
{
    m_lines.clear();
    struct stat info
    {};
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errno = EACCES;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        m_lines.push_back(line);
    }
    return true;
}

bool COdbcIniFile::Save(const std::string& path) const
{
    std::string text;
    for (const std::string& line : m_lines)
        text += line + "\n";
    return ReplaceTextFile(path, text, 0640);
}

std::vector<std::string> COdbcIniFile::SectionNames() const
{
    std::vector<std::string> names;
    std::string name;
    for (const std::string& line : m_lines)
        if (IsSectionLine(line, &name))
            names.push_back(name);
    return names;
}

bool COdbcIniFile::FindSection(const std::string& section, std::size_t& first, std::size_t& end) const
{
    std::string name;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (!IsSectionLine(m_lines[i], &name) || !EqualsNoCase(name, section))
            continue;
        first = i + 1;
        end = first;
        while (end < m_lines.size() && !IsSectionLine(m_lines[end]))
            ++end;
        return true;
    }
    return false;
}

bool COdbcIniFile::HasSection(const std::string& section) const
{
    std::size_t first, end;
    return FindSection(section, first, end);
}

int COdbcIniFile::Get(const std::string& section, const std::string& key, std::string& value) const
{
    std::size_t first, end;
    if (!FindSection(section, first, end))
        return 0;
    std::string name, text;
    for (std::size_t i = first; i < end; ++i)
        if (SplitEntry(m_lines[i], name, text) && EqualsNoCase(name, key)) {
            value = text;
            return 1;
        }
    return 0;
}

void COdbcIniFile::Set(const std::string& section, const std::string& key, const std::string& value)
{
    std::size_t first, end;
    if (!FindSection(section, first, end)) {
        if (!m_lines.empty() && !TrimWhiteAscii(m_lines.back()).empty())
            m_lines.emplace_back();
        m_lines.push_back("[" + section + "]");
        m_lines.push_back(key + "=" + value);
        return;
    }
    std::string name, text;
    for (std::size_t i = first; i < end; ++i)
        if (SplitEntry(m_lines[i], name, text) && EqualsNoCase(name, key)) {
            m_lines[i] = name + "=" + value;
            return;
        }
    // After the section's last entry, before the blank lines that separate it from the next.
    std::size_t at = end;
    while (at > first && TrimWhiteAscii(m_lines[at - 1]).empty())
        --at;
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at), key + "=" + value);
}

std::vector<std::pair<std::string, std::string>> COdbcIniFile::Entries(const std::string& section) const
{
    std::vector<std::pair<std::string, std::string>> entries;
    std::size_t first, end;
    if (!FindSection(section, first, end))
        return entries;
    std::string name, text;
    for (std::size_t i = first; i < end; ++i)
        if (SplitEntry(m_lines[i], name, text))
            entries.emplace_back(name, text);
    return entries;
}

std::string OdbcIniPath(const std::string& installDir)
{
    return installDir + "/etc/odbc.ini";
}

std::string OdbcInstIniPath(const std::string& installDir)
{
    return installDir + "/etc/odbcinst.ini";
}

std::string SystemOdbcInstIniPath()
{
    const char* configured = std::getenv("TW_SYSTEM_ODBCINST");
    return configured && *configured ? configured : "/etc/odbcinst.ini";
}

bool LoadSystemDataSources(const std::string& installDir, std::vector<CDataSourceInfo>& sources, std::string& error)
{
    sources.clear();
    COdbcIniFile file;
    if (!file.Load(OdbcIniPath(installDir))) {
        error = GetSystemErrorText(errno) + " " + OdbcIniPath(installDir);
        return false;
    }
    for (const std::string& name : file.SectionNames()) {
        // [ODBC] holds the driver manager's own options, not a data source.
        if (EqualsNoCase(name, "ODBC"))
            continue;
        CDataSourceInfo source{name, ""};
        file.Get(name, "Driver", source.driver);
        sources.push_back(source);
    }
    return true;
}

std::vector<std::string> LoadOdbcDrivers(const std::string& installDir)
{
    std::vector<std::string> drivers;
    for (const std::string& path : {OdbcInstIniPath(installDir), SystemOdbcInstIniPath()}) {
        COdbcIniFile file;
        if (!file.Load(path))
            continue;
        for (const std::string& name : file.SectionNames()) {
            if (EqualsNoCase(name, "ODBC") || !DriverLibraryInstalled(file, name))
                continue;
            bool known = false;
            for (const std::string& driver : drivers)
                known = known || EqualsNoCase(driver, name);
            if (!known)
                drivers.push_back(name);
        }
    }
    return drivers;
}

bool WriteSystemDataSource(const std::string& installDir, const std::string& name, const std::string& driver,
                           const std::vector<std::pair<std::string, std::string>>& attributes, std::string& error)
{
    const bool usableName = !name.empty() && IsOneLine(name) && name.find_first_of("[]=") == std::string::npos;
    bool usableValues = IsOneLine(driver) && driver.find_first_of("[]") == std::string::npos;
    for (const auto& [key, value] : attributes)
        usableValues = usableValues && !key.empty() && IsOneLine(key) && IsOneLine(value) &&
                       key.find_first_of("[]=") == std::string::npos;
    if (!usableName || !usableValues) {
        error = "A data source name, attribute or value can't hold line ends, brackets or '=' in its name.";
        return false;
    }
    if (!CreateDirectoryIfMissing(installDir + "/etc")) {
        error = GetSystemErrorText(errno) + " " + installDir + "/etc";
        return false;
    }
    COdbcIniFile installed;
    if (!installed.Load(OdbcInstIniPath(installDir))) {
        error = GetSystemErrorText(errno) + " " + OdbcInstIniPath(installDir);
        return false;
    }
    if (!installed.HasSection(driver)) {
        COdbcIniFile system;
        if (!system.Load(SystemOdbcInstIniPath()) || !DriverLibraryInstalled(system, driver)) {
            error = "The ODBC driver " + driver + " is not installed.";
            return false;
        }
        for (auto [key, value] : system.Entries(driver)) {
            if (EqualsNoCase(key, "Driver") || EqualsNoCase(key, "Setup"))
                value = ResolveDriverLibrary(value);
            installed.Set(driver, key, value);
        }
        if (!installed.Save(OdbcInstIniPath(installDir))) {
            error = GetSystemErrorText(errno) + " " + OdbcInstIniPath(installDir);
            return false;
        }
    }
    COdbcIniFile sources;
    if (!sources.Load(OdbcIniPath(installDir))) {
        error = GetSystemErrorText(errno) + " " + OdbcIniPath(installDir);
        return false;
    }
    sources.Set(name, "Driver", driver);
    for (const auto& [key, value] : attributes)
        if (!EqualsNoCase(key, "Driver") && !EqualsNoCase(key, "DSN"))
            sources.Set(name, key, value);
    if (!sources.Save(OdbcIniPath(installDir))) {
        error = GetSystemErrorText(errno) + " " + OdbcIniPath(installDir);
        return false;
    }
    return true;
}

std::string DriverKind(const std::string& driver)
{
    if (ContainsNoCase(driver, "sqlite"))
        return "SQLite";
    if (ContainsNoCase(driver, "postgres") || ContainsNoCase(driver, "psqlodbc"))
        return "PostgreSQL";
    return {};
}

std::vector<std::pair<std::string, std::string>>
SuggestedAttributes(const std::string& driver, const std::string& installDir, const std::string& defaultFile)
{
    const std::string kind = DriverKind(DescribeDriver(installDir, driver));
    if (kind == "SQLite")
        return {{"Description", "Tarnwick Server 3 database"},
                {"Database", defaultFile.empty() ? "" : installDir + "/data/" + defaultFile},
                {"Timeout", "15000"}};
    if (kind == "PostgreSQL")
        return {{"Description", "Tarnwick Server 3 database"},
                {"Servername", "127.0.0.1"},
                {"Port", "5432"},
                {"Database", ""},
                {"Username", ""},
                {"Password", ""}};
    return {{"Description", ""}};
}

// A driver's name with its description and library as the driver registries give them, which
// tell the product also when the name does not.
std::string DescribeDriver(const std::string& installDir, const std::string& driver)
{
    std::string description = driver;
    for (const std::string& path : {OdbcInstIniPath(installDir), SystemOdbcInstIniPath()}) {
        COdbcIniFile file;
        if (!file.Load(path) || !file.HasSection(driver))
            continue;
        for (const char* key : {"Description", "Driver"}) {
            std::string value;
            if (file.Get(driver, key, value))
                description += " " + value;
        }
        break;
    }
    return description;
}

std::string DataSourceKind(const std::string& installDir, const std::string& name)
{
    const std::string wanted(TrimWhiteAscii(name));
    std::vector<CDataSourceInfo> sources;
    std::string error;
    if (!LoadSystemDataSources(installDir, sources, error))
        return {};
    for (const CDataSourceInfo& source : sources)
        if (EqualsNoCase(source.name, wanted))
            return DriverKind(DescribeDriver(installDir, source.driver));
    return {};
}

int ReadOdbcIniValue(const std::string& installDir, const std::string& dsn, const std::string& key, std::string& value)
{
    value.clear();
    COdbcIniFile file;
    std::string text;
    if (!file.Load(OdbcIniPath(installDir)) || !file.Get(dsn, key, text) || text.size() > kMaxIniValue)
        return 0;
    value = text;
    return 1;
}

std::string DatabaseFileOf(const std::string& installDir, const std::string& connect)
{
    std::string file = CDatabaseSetup::GetConnectionValue("DBQ", connect);
    if (!file.empty())
        return file;
    const std::string dsn = CDatabaseSetup::GetConnectionValue("DSN", connect);
    const std::string driver = CDatabaseSetup::GetConnectionValue("Driver", connect);
    const bool sqlite = dsn.empty() ? DriverKind(driver) == "SQLite" : DataSourceKind(installDir, dsn) == "SQLite";
    if (!sqlite)
        return {};
    file = CDatabaseSetup::GetConnectionValue("Database", connect);
    if (file.empty() && !dsn.empty()) {
        COdbcIniFile sources;
        if (sources.Load(OdbcIniPath(installDir)))
            sources.Get(dsn, "Database", file);
    }
    return file;
}

bool CompactDatabaseFile(std::string source, std::string destination, std::string* error)
{
    auto fail = [error](std::string text) {
        if (error)
            *error = std::move(text);
        return false;
    };
    source = std::string(TrimWhiteAscii(source));
    destination = std::string(TrimWhiteAscii(destination));
    if (source.empty())
        return fail("No database file to compact.");
    if (destination.empty())
        destination = source;
    struct stat info
    {};
    if (stat(source.c_str(), &info) != 0)
        return fail(errno == ENOENT ? "The database file " + source + " does not exist."
                                    : GetSystemErrorText(errno) + " " + source);
    if (!S_ISREG(info.st_mode))
        return fail(source + " is not a file.");
    if (!IsSqliteDatabaseFile(source))
        return fail(source + " is not a SQLite database.");
    const std::string library = FindOdbcDriverLibrary("libsqlite3odbc.so");
    if (library.empty())
        return fail("The SQLite ODBC driver (libsqlite3odbc.so) is not installed.");

    // The copy is made beside the destination, so the rename that replaces it stays within one
    // file system and is atomic: a reader sees the old file or the compacted one, never a part.
    static std::atomic<int> counter{0};
    const std::size_t slash = destination.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : destination.substr(0, slash == 0 ? 1 : slash);
    const std::string temporary =
        folder + "/.tw3-compact-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".db";
    std::string quoted;
    for (char c : temporary)
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    // NoCreat: a file that went missing meanwhile is an error, not a new empty database.
    auto connectTo = [&library](const std::string& file) {
        return "Driver=" + QuoteConnectValue(library) + ";Database=" + QuoteConnectValue(file) + ";NoCreat=1";
    };
    try {
        COdbcConnection connection;
        connection.Open(connectTo(source));
        connection.ExecuteSQL("VACUUM INTO '" + quoted + "'");
        const bool writeAheadLog = JournalMode(connection) == "wal";
        connection.Close();
        // The copy comes in the rollback journal mode; it keeps the write-ahead log of the source.
        if (writeAheadLog) {
            COdbcConnection copy;
            copy.Open(connectTo(temporary));
            copy.ExecuteSQL("PRAGMA journal_mode = WAL");
            copy.Close();
        }
    } catch (const CDbException& failure) {
        unlink(temporary.c_str());
        return fail(failure.ErrorText());
    }
    chmod(temporary.c_str(), info.st_mode & 07777);
    if (rename(temporary.c_str(), destination.c_str()) != 0) {
        const int code = errno;
        unlink(temporary.c_str());
        return fail(GetSystemErrorText(code) + " " + destination);
    }
    return true;
}
