#include "platform/file_descriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

TEST(WriteLoop, AWriteThatTakesNothingFailsInsteadOfSpinning)
{
    int calls = 0;
    errno = 0;
    EXPECT_FALSE(WriteLoop("abc", [&calls](std::string_view, std::int64_t) -> ssize_t {
        ++calls;
        return calls < 1000 ? 0 : 3;
    }));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(calls, 1);
}

TEST(WriteLoop, ShortWritesContinueAndSignalsAreRetried)
{
    std::string written;
    bool interrupted = false;
    EXPECT_TRUE(WriteLoop("hello, world", [&](std::string_view rest, std::int64_t done) -> ssize_t {
        EXPECT_EQ(static_cast<std::size_t>(done), written.size());
        if (!interrupted) {
            interrupted = true;
            errno = EINTR;
            return -1;
        }
        written.append(rest.substr(0, 5));
        return static_cast<ssize_t>(std::min<std::size_t>(rest.size(), 5));
    }));
    EXPECT_EQ(written, "hello, world");
    EXPECT_TRUE(WriteLoop("", [](std::string_view, std::int64_t) -> ssize_t { return 0; }))
        << "nothing to write is done at once";
}

TEST(FileDescriptor, WritesReachTheFileAndFailuresKeepTheirErrno)
{
    char path[] = "/tmp/tw-file-descriptor-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    {
        CFileDescriptor file(fd);
        ASSERT_TRUE(WriteAll(file.Get(), "0123456789"));
        ASSERT_TRUE(WriteAllAt(file.Get(), "ab", 3));
        ASSERT_TRUE(WriteAll(file.Get(), "!"));  // after the ten bytes: pwrite left the position alone
    }
    const int reader = open(path, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    char text[32] = {};
    EXPECT_EQ(read(reader, text, sizeof text), 11);
    EXPECT_STREQ(text, "012ab56789!");
    close(reader);
    unlink(path);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor was closed with its owner";

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    CFileDescriptor device(full);
    EXPECT_FALSE(WriteAll(device.Get(), "x"));
    EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
