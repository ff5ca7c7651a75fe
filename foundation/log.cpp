#include "foundation/log.h"

#include "platform/file_descriptor.h"
#include "platform/file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::string_view kLineEnd = "\r\n";

int OpenForAppend(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660);
}

// Empties a day file left over from last month once it has grown past the limit. The check is
// repeated under an exclusive lock so that two writers never both empty it, losing the first
// one's fresh entry.
void EmptyIfOverLimit(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || status.st_size <= CLog::kDayFileLimit)
        return;
    if (flock(fd, LOCK_EX) != 0)
        return;
    if (fstat(fd, &status) == 0 && status.st_size > CLog::kDayFileLimit)
        (void)ftruncate(fd, 0);
    flock(fd, LOCK_UN);
}

std::string TimeStamp(std::time_t now, struct tm& local)
{
    localtime_r(&now, &local);
    char stamp[32];
    std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    return std::string(stamp, length);
}

std::string DayFileName(const struct tm& local)
{
    char name[16];
    std::snprintf(name, sizeof name, "day%02d.txt", local.tm_mday);
    return name;
}

void WriteToStandardError(std::string_view stampedEntry)
{
    // Standard error is the log's last resort: a failure there has nowhere left to be told.
    static_cast<void>(WriteAll(STDERR_FILENO, stampedEntry));
}

}  // namespace

void CLog::SetFileMode(std::string baseFolder)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_sink = Sink::File;
    m_baseFolder = std::move(baseFolder);
}

void CLog::SetEventLogMode()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_sink = Sink::EventLog;
}

void CLog::SetCallbackMode(Callback callback)
{
    auto shared = std::make_shared<const Callback>(std::move(callback));
    std::lock_guard<std::mutex> guard(m_lock);
    m_sink = Sink::Callback;
    m_callback = std::move(shared);
}

void CLog::WriteLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    FormatAndDispatch(true, format, arguments);
    va_end(arguments);
}

void CLog::Write(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    FormatAndDispatch(false, format, arguments);
    va_end(arguments);
}

void CLog::FormatAndDispatch(bool lineEnd, const char* format, va_list arguments)
{
    if (format == nullptr)
        return;
    // A format too long for an entry is logged as it stands, cut, rather than formatted.
    if (std::strlen(format) > kMaxEntry) {
        WriteText(format, lineEnd);
        return;
    }
    char buffer[kMaxEntry + kLineEnd.size() + 1];
    int length = std::vsnprintf(buffer, kMaxEntry + 1, format, arguments);
    if (length < 0)
        length = 0;
    std::size_t used = std::min(static_cast<std::size_t>(length), kMaxEntry);
    if (lineEnd) {
        std::memcpy(buffer + used, kLineEnd.data(), kLineEnd.size());
        used += kLineEnd.size();
    }
    Dispatch(std::string_view(buffer, used));
}

void CLog::WriteText(std::string_view text, bool lineEnd)
{
    std::string entry(text.substr(0, kMaxEntry));
    if (lineEnd)
        entry += kLineEnd;
    Dispatch(entry);
}

void CLog::BeginCapture()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_capturing = true;
    m_captured.clear();
}

std::string CLog::TakeCapture()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_capturing = false;
    return std::exchange(m_captured, std::string());
}

void CLog::Dispatch(std::string_view entry)
{
    Sink sink;
    std::shared_ptr<const Callback> callback;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        sink = m_sink;
        callback = m_callback;
        if (m_capturing && m_captured.size() + entry.size() <= kMaxCapture)
            m_captured += entry;
    }
    switch (sink) {
    case Sink::EventLog: WriteToEventLog(entry); break;
    case Sink::Callback:
        if (callback && *callback)
            (*callback)(entry);
        break;
    case Sink::File: WriteToFile(entry); break;
    }
}

bool CLog::WriteToFile(std::string_view entry, std::time_t now)
{
    struct tm local
    {};
    std::string stamped = TimeStamp(now, local);
    stamped += entry;

    std::string base;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        base = m_baseFolder;
    }
    if (base.empty()) {
        WriteToStandardError(stamped);
        return false;
    }

    const std::string name = DayFileName(local);
    const std::string logFolder = base + "/log";
    int fd = OpenForAppend(logFolder + "/" + name);
    if (fd < 0 && CreateDirectoryIfMissing(logFolder))
        fd = OpenForAppend(logFolder + "/" + name);
    if (fd < 0)
        fd = OpenForAppend(base + "/" + name);
    CFileDescriptor file(fd);
    if (fd < 0) {
        WriteToStandardError(stamped);
        return false;
    }
    EmptyIfOverLimit(fd);
    // On an O_APPEND descriptor a single write() lands as one piece, so entries of several
    // processes never interleave.
    if (!WriteAll(fd, stamped)) {
        WriteToStandardError(stamped);
        return false;
    }
    return true;
}

std::string CLog::DayFilePath(const std::string& baseFolder, std::time_t now)
{
    struct tm local
    {};
    localtime_r(&now, &local);
    return baseFolder + "/log/" + DayFileName(local);
}

void CLog::WriteToEventLog(std::string_view entry)
{
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(kEventSource, LOG_PID, LOG_DAEMON); });
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r'))
        entry.remove_suffix(1);
    syslog(LOG_ERR, "%s error: %.*s", kEventSource, static_cast<int>(entry.size()), entry.data());
}

CLog& TheLog()
{
    static CLog* const log = new CLog();
    return *log;
}

std::string PrintableForLog(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return out;
}
