#include "console/server_log_mark.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "foundation/log.h"

namespace {

long long FileSize(const std::string& path)
{
    struct stat info
    {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

std::string ReadFrom(const std::string& path, long long offset)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    in.seekg(offset);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

CServerLogMark::CServerLogMark(std::string webRoot) : m_webRoot(std::move(webRoot))
{
    m_dayFile = CLog::DayFilePath(m_webRoot, std::time(nullptr));
    m_size = FileSize(m_dayFile);
}

std::string CServerLogMark::TextSince() const
{
    // A day file over its limit is emptied by the next writer: then all of it is new.
    const long long size = FileSize(m_dayFile);
    std::string text = ReadFrom(m_dayFile, size >= m_size ? m_size : 0);
    // After midnight the server writes to the next day's file.
    const std::string today = CLog::DayFilePath(m_webRoot, std::time(nullptr));
    if (today != m_dayFile)
        text += ReadFrom(today, 0);
    std::string lines;
    for (char c : text)
        if (c != '\r')
            lines += c;
    while (!lines.empty() && lines.back() == '\n')
        lines.pop_back();
    if (lines.size() > kMaxShown)
        lines.erase(0, lines.size() - kMaxShown);
    return lines;
}
