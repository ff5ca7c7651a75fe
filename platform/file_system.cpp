#include "platform/file_system.h"

#include "platform/directory_listing.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex g_overrideLock;
std::optional<std::string> g_override;  // guarded by g_overrideLock

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The executable's path cut at its second-to-last slash. Read once: the executable does not move.
const std::string& ExecutableGrandparent()
{
    static const std::string directory = [] {
        char buffer[4096];
        ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        std::string path = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
        std::size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return std::string();
        slash = path.rfind('/', slash - 1);
        return slash == std::string::npos ? std::string() : path.substr(0, slash);
    }();
    return directory;
}

}  // namespace

std::string GetProgramDirectory()
{
    {
        std::lock_guard<std::mutex> guard(g_overrideLock);
        if (g_override)
            return *g_override;
    }
    if (const char* fromEnvironment = std::getenv("TW_INSTALL_DIR"); fromEnvironment && *fromEnvironment)
        return WithoutTrailingSlashes(fromEnvironment);
    return ExecutableGrandparent();
}

void SetProgramDirectory(std::string path)
{
    std::lock_guard<std::mutex> guard(g_overrideLock);
    g_override = WithoutTrailingSlashes(std::move(path));
}

bool DirectoryExists(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool FileExists(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool CreateDirectoryIfMissing(const std::string& path)
{
    if (DirectoryExists(path))
        return true;
    // Another thread or process may create it at the same moment; that is success too.
    return mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(path));
}

std::string GetSystemErrorText(int code)
{
    // strerrordesc_np is thread-safe and, unlike strerror_r, tells an unknown code apart.
    const char* text = strerrordesc_np(code);
    std::string result = "Error [" + std::to_string(code) + "]: ";
    result += text ? text : "Unknown error";
    return result;
}

namespace {

// The six characters that mkstemp made of "XXXXXX".
bool IsTemporarySuffix(std::string_view suffix)
{
    if (suffix.size() != 6)
        return false;
    bool word = true;
    for (char c : suffix) {
        const bool lower = c >= 'a' && c <= 'z';
        if (!lower && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9'))
            return false;
        word = word && lower;
    }
    return !word;
}

}  // namespace

int RemoveTemporaryLeftovers(const std::string& folder, std::string_view prefix)
{
    CDirectoryListing listing(folder);
    int removed = 0;
    while (const char* entry = listing.NextName()) {
        const std::string_view name = entry;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix ||
            !IsTemporarySuffix(name.substr(prefix.size())))
            continue;
        const std::string path = folder + "/" + std::string(name);
        struct stat info
        {};
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}
