#include "database/odbc_setup.h"

#include "database/odbc_connection.h"
#include "database/sqlite_block_cache.h"
#include "foundation/ascii_text.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace {

bool FileExists(const std::string& path)
{
    struct stat info
    {};
    return stat(path.c_str(), &info) == 0;
}

// Writes a whole file through a temporary name, so a crash never leaves half an ini file.
bool WriteNewFile(const std::string& path, const std::string& content, std::string& error)
{
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out) {
            error = "Failed to write " + temporary;
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "Failed to create " + path;
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

void UseInstallationOdbcIni(const std::string& installDir)
{
    std::string etc = installDir + "/etc";
    setenv("ODBCSYSINI", etc.c_str(), 1);
    setenv("ODBCINI", (etc + "/odbc.ini").c_str(), 1);
}

std::string FindOdbcDriverLibrary(std::string_view fileName)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    // Debian keeps drivers in /usr/lib/<multiarch triple>/odbc; other systems in /usr/lib*/odbc.
    std::vector<fs::path> folders = {"/usr/lib/odbc", "/usr/lib64/odbc", "/usr/local/lib/odbc"};
    for (const auto& entry : fs::directory_iterator("/usr/lib", ec))
        if (entry.is_directory(ec))
            folders.push_back(entry.path() / "odbc");
    for (const fs::path& folder : folders) {
        fs::path candidate = folder / fileName;
        if (fs::exists(candidate, ec))
            return candidate.string();
    }
    return {};
}

bool WriteDefaultOdbcIni(const std::string& installDir, std::string& error)
{
    std::string etc = installDir + "/etc";
    std::error_code ec;
    std::filesystem::create_directories(etc, ec);
    if (ec) {
        error = "Failed to create " + etc + ": " + ec.message();
        return false;
    }
    std::string drivers = etc + "/odbcinst.ini";
    if (!FileExists(drivers)) {
        std::string library = FindOdbcDriverLibrary("libsqlite3odbc.so");
        if (library.empty()) {
            error = "The SQLite ODBC driver (libsqlite3odbc.so) is not installed.";
            return false;
        }
        // Threading=0: the driver manager adds no lock of its own around the driver's calls. The
        // driver is safe on separate connections, and a connection here serves one run at a time;
        // a manager lock would make runs on connections of their own wait for each other.
        if (!WriteNewFile(drivers,
                          "[SQLite3]\nDescription=SQLite ODBC driver\nDriver=" + library +
                              "\nUsageCount=1\nThreading=0\n",
                          error))
            return false;
    }
    std::string sources = etc + "/odbc.ini";
    if (!FileExists(sources)) {
        // Timeout: how long a connection waits for another one's write lock on the file (ms),
        // the same as the default query time-out.
        std::string content = "[tw3]\nDescription=Tarnwick Server 3 default database\nDriver=SQLite3\n"
                              "Database=" +
                              installDir + "/data/tw3.db\nTimeout=15000\n";
        if (!WriteNewFile(sources, content, error))
            return false;
    }
    return true;
}

void TuneSqliteLibrary()
{
    static const bool tuned = [] {
        // The library that the driver links; loading it first makes it the one the driver gets,
        // and it stays loaded for the process's life.
        void* library = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_GLOBAL);
        if (library == nullptr)
            return false;
        using ConfigFunction = int (*)(int, ...);
        auto config = reinterpret_cast<ConfigFunction>(dlsym(library, "sqlite3_config"));
        // The numbers of SQLITE_CONFIG_MULTITHREAD, SQLITE_CONFIG_MALLOC and SQLITE_CONFIG_MEMSTATUS
        // in its interface.
        constexpr int kConfigMultiThread = 2;
        constexpr int kConfigMalloc = 4;
        constexpr int kConfigMemStatus = 9;
        // No lock of the library's own around every call on a connection (several hundred for one
        // page of rows): a connection here is used by one thread at a time, a run's own or the
        // shared one while the application lock serialises the runs, and a statement's calls
        // are kept from its connection's closing by the statement's own lock. Refused
        // (harmlessly) when the library was started already.
        if (config == nullptr || config(kConfigMultiThread) != 0 || config(kConfigMemStatus, 0) != 0)
            return false;
        // The driver's copies of every value of a result come from the library's allocator.
        return config(kConfigMalloc, &CSqliteBlockCache::Methods()) == 0;
    }();
    (void)tuned;
}

void RunSqlScript(COdbcConnection& connection, std::string_view script)
{
    std::string statement;
    std::istringstream lines{std::string(script)};
    std::string line;
    while (std::getline(lines, line)) {
        std::string_view text = TrimRightWhiteAscii(line);
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string_view::npos || text.substr(first, 2) == "--")
            continue;
        bool ends = text.back() == ';';
        if (ends)
            text.remove_suffix(1);
        if (!statement.empty())
            statement += '\n';
        statement += text;
        if (ends) {
            connection.ExecuteSQL(statement);
            statement.clear();
        }
    }
    if (!TrimRightWhiteAscii(statement).empty())
        connection.ExecuteSQL(statement);
}

bool CreateDefaultDatabase(const std::string& installDir, std::string& error)
{
    std::string database = installDir + "/data/tw3.db";
    if (FileExists(database))
        return true;
    std::ifstream in(installDir + "/data/tw3sqlite.sql", std::ios::binary);
    if (!in) {
        error = "Failed to open " + installDir + "/data/tw3sqlite.sql";
        return false;
    }
    std::ostringstream script;
    script << in.rdbuf();
    try {
        COdbcConnection connection;
        connection.Open(std::string(kDefaultConnectString));
        // The write-ahead log lets pages read while another writes, and writers queue on the busy
        // time-out; the file keeps the journal mode for every later connection.
        connection.ExecuteSQL("PRAGMA journal_mode = WAL");
        RunSqlScript(connection, script.str());
        connection.Close();
    } catch (const CDbException& failure) {
        // Leave no half-made database behind: the next start tries again from the script.
        std::remove(database.c_str());
        error = "Failed to create " + database + ": " + failure.ErrorText();
        return false;
    }
    return true;
}
