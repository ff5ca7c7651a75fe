#include "platform/file_descriptor.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

CFileDescriptor::~CFileDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool WriteAll(int fd, std::string_view data)
{
    return WriteLoop(data, [fd](std::string_view rest, std::int64_t) { return ::write(fd, rest.data(), rest.size()); });
}

bool WriteAllAt(int fd, std::string_view data, std::int64_t offset)
{
    return WriteLoop(data, [fd, offset](std::string_view rest, std::int64_t done) {
        return ::pwrite(fd, rest.data(), rest.size(), static_cast<off_t>(offset + done));
    });
}

int ReadAll(int fd, std::string& content)
{
    content.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}
