#include "language/file_output_sink.h"

#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "platform/file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kMsgFailedToCreateOutput = 67;  // "Failed to create output file."

}  // namespace

CFileOutputSink::CFileOutputSink(std::string path) : m_path(std::move(path)) {}

CFileOutputSink::~CFileOutputSink()
{
    if (!m_opened)
        return;
    if (m_fd >= 0)
        ::close(m_fd);
    ::unlink(m_path.c_str());
}

bool CFileOutputSink::OpenOutputFile()
{
    if (m_opened)
        return m_fd >= 0;
    if (m_openFailed)
        return false;
    // The output may hold anything a page shows its user; no other account needs to read it.
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        int error = errno;
        m_openFailed = true;
        TheLog().WriteLine("%s [%s]. %s", CMessageCatalog::Text(kMsgFailedToCreateOutput), m_path.c_str(),
                           GetSystemErrorText(error).c_str());
        return false;
    }
    m_opened = true;
    return true;
}

void CFileOutputSink::Write(std::string_view text)
{
    if (text.empty() || m_writeFailed)
        return;
    if (!m_opened && !OpenOutputFile())
        return;
    if (m_fd < 0)
        return;  // closed
    m_buffer.append(text);
    if (m_buffer.size() >= kBufferSize)
        Flush();
}

void CFileOutputSink::CloseOutput()
{
    if (m_fd < 0)
        return;
    Flush();
    ::close(m_fd);
    m_fd = -1;
}

void CFileOutputSink::Flush()
{
    std::string_view rest = m_buffer;
    while (!rest.empty() && !m_writeFailed) {
        ssize_t written = ::write(m_fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A full disk must not pass silently: the page would be cut short without a word.
            int error = written < 0 ? errno : ENOSPC;
            m_writeFailed = true;
            TheLog().WriteLine("Failed to write output file [%s]. %s", m_path.c_str(),
                               GetSystemErrorText(error).c_str());
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    m_buffer.clear();
}
