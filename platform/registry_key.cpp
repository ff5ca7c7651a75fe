#include "platform/registry_key.h"

#include "platform/file_descriptor.h"
#include "platform/file_system.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

namespace {

// One line of the settings file. Lines that are not values (comments, blank or malformed lines)
// are kept verbatim so that a rewrite loses nothing an administrator typed.
struct SettingsLine
{
    std::string text;  // the line without its line end
    std::string name;  // empty when the line is no value
};

// The blanks around a name and a value: a line's own end is split off before, and any other
// byte may belong to a value.
bool IsSpaceOrTab(char c)
{
    return c == ' ' || c == '\t';
}

std::string FoldName(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::string_view TrimSpacesAndTabs(std::string_view text)
{
    while (!text.empty() && IsSpaceOrTab(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpaceOrTab(text.back()))
        text.remove_suffix(1);
    return text;
}

bool IsUsableName(std::string_view name)
{
    if (name.empty() || name.front() == '#' || IsSpaceOrTab(name.front()) || IsSpaceOrTab(name.back()))
        return false;
    return name.find_first_of("=\r\n") == std::string_view::npos;
}

// Splits the file into lines (LF or CR LF) and names the value lines. The name is the text before
// the first '=' without surrounding blanks; the value is everything after it.
std::vector<SettingsLine> ParseLines(std::string_view content)
{
    std::vector<SettingsLine> lines;
    while (!content.empty()) {
        size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        SettingsLine parsed{std::string(line), {}};
        std::string_view lead = TrimSpacesAndTabs(line);
        size_t eq = line.find('=');
        if (!lead.empty() && lead.front() != '#' && eq != std::string_view::npos)
            parsed.name = std::string(TrimSpacesAndTabs(line.substr(0, eq)));
        lines.push_back(std::move(parsed));
    }
    return lines;
}

// Blanks around '=' and at the end of a line are layout an administrator typed, not part of the
// value ("GeneralTcpipAddress = 127.0.0.1 "); a value that really begins or ends with a blank is
// written with that blank escaped.
std::string_view ValueText(const SettingsLine& line)
{
    return TrimSpacesAndTabs(std::string_view(line.text).substr(line.text.find('=') + 1));
}

// A later line of the same name wins, as it would for anyone reading the file from the top.
std::unordered_map<std::string, std::string> CollectValues(const std::vector<SettingsLine>& lines)
{
    std::unordered_map<std::string, std::string> values;
    for (const SettingsLine& line : lines)
        if (!line.name.empty())
            values[FoldName(line.name)] = CRegistryKey::UnescapeValue(ValueText(line));
    return values;
}

std::vector<std::string> CollectNames(const std::vector<SettingsLine>& lines)
{
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (const SettingsLine& line : lines)
        if (!line.name.empty() && seen.insert(FoldName(line.name)).second)
            names.push_back(line.name);
    return names;
}

// Every line of a changed name takes the new value, so the file cannot disagree with itself;
// a name the file lacks is appended.
void ApplyChange(std::vector<SettingsLine>& lines, const std::string& name, const std::string& value)
{
    std::string folded = FoldName(name);
    bool found = false;
    for (SettingsLine& line : lines) {
        if (!line.name.empty() && FoldName(line.name) == folded) {
            line.text = line.name + "=" + CRegistryKey::EscapeValue(value);
            found = true;
        }
    }
    if (!found)
        lines.push_back({name + "=" + CRegistryKey::EscapeValue(value), name});
}

std::string JoinLines(const std::vector<SettingsLine>& lines)
{
    std::string content;
    for (const SettingsLine& line : lines) {
        content += line.text;
        content += '\n';
    }
    return content;
}

std::string ParentDirectory(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The first write of an installation creates its settings folder, as creating the key did.
int MakeDirectories(const std::string& dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    std::string parent = ParentDirectory(dir);
    if (parent != dir) {
        if (int err = MakeDirectories(parent))
            return err;
    }
    if (mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

int LockFile(int fd, int operation)
{
    while (flock(fd, operation) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// A descriptor of the settings file locked with `operation`. A writer replaces the file by rename,
// so a lock won on a file that has since been replaced guards nothing: then open the new one.
// The holders of the lock only read or write one small file, so the waits are short.
class LockedSettingsFile
{
public:
    ~LockedSettingsFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    // 0, or an errno; ENOENT only when `create` is false and the file does not exist.
    int Acquire(const std::string& path, bool create, int operation)
    {
        for (;;) {
            int flags = O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0);
            m_fd = open(path.c_str(), flags, 0640);
            if (m_fd < 0)
                return errno;
            if (int err = LockFile(m_fd, operation))
                return err;
            struct stat named;
            if (fstat(m_fd, &m_stat) != 0)
                return errno;
            if (stat(path.c_str(), &named) == 0 && named.st_ino == m_stat.st_ino && named.st_dev == m_stat.st_dev)
                return 0;
            close(m_fd);
            m_fd = -1;
        }
    }
    int Fd() const { return m_fd; }
    const struct stat& Stat() const { return m_stat; }

private:
    int m_fd = -1;
    struct stat m_stat
    {};
};

// Writes `content` into a new file beside `path`, flushes it and renames it over `path`, so that
// readers see the old file or the new one and a crash leaves one of them whole. The new file keeps
// the owner of the old one where it may, and mode 0640: it holds passwords.
int ReplaceFile(const std::string& path, std::string_view content, const struct stat& old)
{
    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = 0;
    if (fchmod(fd, 0640) != 0)
        err = errno;
    if (!err && (old.st_uid != geteuid() || old.st_gid != getegid()))
        (void)!fchown(fd, old.st_uid, old.st_gid);
    if (!err && !WriteAll(fd, content))
        err = errno;
    if (!err && fsync(fd) != 0)
        err = errno;
    if (close(fd) != 0 && !err)
        err = errno;
    if (!err && rename(temp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err) {
        unlink(temp.c_str());
        return err;
    }
    int dirFd = open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return 0;
}

}  // namespace

std::string GetSettingsFilePath()
{
    const char* path = std::getenv("TW_SETTINGS_FILE");
    if (path && *path)
        return path;
    return GetProgramDirectory() + "/etc/settings.conf";
}

CRegistryKey::CRegistryKey(std::string filePath) : m_path(std::move(filePath))
{}

CRegistryKey::~CRegistryKey() = default;

bool CRegistryKey::Open()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return OpenLocked();
}

bool CRegistryKey::OpenLocked()
{
    if (m_open)
        return true;
    LockedSettingsFile file;
    int err = file.Acquire(m_path, false, LOCK_SH);
    if (err == ENOENT) {
        m_values.clear();
        m_names.clear();
        m_open = true;
        return true;
    }
    std::string content;
    if (!err)
        err = ReadAll(file.Fd(), content);
    if (err) {
        Fail(err);
        return false;
    }
    const std::vector<SettingsLine> lines = ParseLines(content);
    m_values = CollectValues(lines);
    m_names = CollectNames(lines);
    m_open = true;
    return true;
}

int CRegistryKey::Close()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_batchDepth > 0) {
        m_closeAfterBatch = true;
        return 1;
    }
    m_open = false;
    m_values.clear();
    return 1;
}

bool CRegistryKey::IsOpen() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_open;
}

bool CRegistryKey::ReadString(std::string_view name, std::string& value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!OpenLocked())
        return false;
    auto it = m_values.find(FoldName(name));
    if (it == m_values.end())
        return false;
    value = it->second;
    return true;
}

bool CRegistryKey::WriteString(std::string_view name, std::string_view value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    bool usable = IsUsableName(name);
    if (!usable)
        Fail(EINVAL);
    if (!usable || !OpenLocked()) {
        if (m_batchDepth > 0)
            m_batchFailed = true;
        return false;
    }
    if (m_batchDepth > 0) {
        m_pending.emplace_back(std::string(name), std::string(value));
        m_values[FoldName(name)] = std::string(value);
        return true;
    }
    return CommitLocked({{std::string(name), std::string(value)}});
}

std::vector<std::string> CRegistryKey::GetNames()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!OpenLocked())
        return {};
    return m_names;
}

void CRegistryKey::BeginBatch()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_batchDepth;
}

bool CRegistryKey::EndBatch()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_batchDepth == 0 || --m_batchDepth > 0)
        return true;
    std::vector<Change> changes;
    changes.swap(m_pending);
    bool result;
    if (m_batchFailed) {
        // All or nothing: the snapshot holds writes that will never reach the file.
        m_batchFailed = false;
        m_open = false;
        m_values.clear();
        result = false;
    } else {
        result = changes.empty() || CommitLocked(changes);
    }
    if (m_closeAfterBatch) {
        m_closeAfterBatch = false;
        m_open = false;
        m_values.clear();
    }
    return result;
}

int CRegistryKey::RemoveLeftoverFiles()
{
    char* resolved = realpath(m_path.c_str(), nullptr);
    const std::string path = resolved ? resolved : m_path;
    std::free(resolved);
    LockedSettingsFile file;
    const int err = file.Acquire(path, false, LOCK_EX);
    // Without the file there is no writer to wait for, but there may be leftovers all the same.
    if (err != 0 && err != ENOENT)
        return 0;
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return RemoveTemporaryLeftovers(ParentDirectory(path), name + ".");
}

bool CRegistryKey::CommitLocked(const std::vector<Change>& changes)
{
    // Replace the file a symbolic link points to, not the link, so an administrator's link survives.
    char* resolved = realpath(m_path.c_str(), nullptr);
    std::string path = resolved ? resolved : m_path;
    std::free(resolved);
    int err = MakeDirectories(ParentDirectory(path));
    LockedSettingsFile file;
    if (!err)
        err = file.Acquire(path, true, LOCK_EX);
    std::string content;
    if (!err)
        err = ReadAll(file.Fd(), content);
    std::vector<SettingsLine> lines;
    if (!err) {
        lines = ParseLines(content);
        for (const Change& change : changes)
            ApplyChange(lines, change.first, change.second);
        err = ReplaceFile(path, JoinLines(lines), file.Stat());
    }
    if (err) {
        // The snapshot may hold values that never reached the file: read it again next time.
        m_open = false;
        m_values.clear();
        Fail(err);
        return false;
    }
    m_values = CollectValues(lines);
    m_names = CollectNames(lines);
    m_open = true;
    return true;
}

void CRegistryKey::Fail(int err)
{
    m_lastErrno = err;
}

int CRegistryKey::GetLastErrno() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lastErrno;
}

std::string CRegistryKey::DescribeLastFailure() const
{
    const int err = GetLastErrno();
    if (err == EACCES || err == EPERM)
        return GetSystemErrorText(err) + " Current user needs to be granted access to the settings file " + m_path +
               ".";
    return GetSystemErrorText(err) + " when accessing the settings file " + m_path + ".";
}

std::string CRegistryKey::EscapeValue(std::string_view value)
{
    std::string escaped;
    escaped.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        const bool atEnd = i == 0 || i + 1 == value.size();
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case ' ': escaped += atEnd ? "\\x20" : " "; break;
        case '\t': escaped += atEnd ? "\\x09" : "\t"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

// "\x20" and "\x09" are a blank and a tab that the writer kept from being trimmed. A backslash
// before any other character, or at the end, stands for itself, so a path typed by hand with
// single backslashes survives.
std::string CRegistryKey::UnescapeValue(std::string_view text)
{
    std::string value;
    value.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && (text.substr(i, 4) == "\\x20" || text.substr(i, 4) == "\\x09")) {
            value += text[i + 3] == '0' ? ' ' : '\t';
            i += 3;
            continue;
        }
        if (c == '\\' && i + 1 < text.size()) {
            char next = text[i + 1];
            if (next == '\\' || next == 'n' || next == 'r') {
                value += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
                ++i;
                continue;
            }
        }
        value += c;
    }
    return value;
}
