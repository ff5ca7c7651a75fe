// CFileDescriptor owns an open file descriptor and closes it when it goes out of scope, so that
// every early return of code that opens a file by descriptor lets it go. WriteAll and WriteAllAt
// are the one loop that writes a whole buffer to such a descriptor (settings file, logs, mail
// store, response spool), and ReadAll the one loop that reads a whole file. Sockets have their own
// send loop in the network code.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

class CFileDescriptor
{
public:
    // Takes `fd`, which may be negative (a failed open) and then owns nothing.
    explicit CFileDescriptor(int fd) : m_fd(fd) {}
    ~CFileDescriptor();
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// Writes all of `data` to `fd` at its file position, as often as the kernel needs, again after a
// signal. False with errno set when a write fails; a write that takes no bytes of a non-empty
// buffer fails with EIO rather than being tried for ever.
[[nodiscard]] bool WriteAll(int fd, std::string_view data);
// The same at `offset` of the file (pwrite), leaving the file position alone.
[[nodiscard]] bool WriteAllAt(int fd, std::string_view data, std::int64_t offset);

// Everything from `fd`'s file position to its end, again after a signal; 0, or the errno value of
// a failed read (EISDIR for a folder, EIO for a bad disk block).
[[nodiscard]] int ReadAll(int fd, std::string& content);

// The loop behind WriteAll and WriteAllAt: `write(rest, done)` makes one write(2)-like call for
// `rest`, the part of `data` after the `done` bytes written so far, and returns what it returns.
template <typename Write>
[[nodiscard]] bool WriteLoop(std::string_view data, Write write)
{
    std::int64_t done = 0;
    while (!data.empty()) {
        const ssize_t written = write(data, done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return false;
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
        done += written;
    }
    return true;
}
