#include "platform/named_objects.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace {

class NamedObjectsTest : public ::testing::Test
{
protected:
    std::string EventPath() const { return m_folder.Path() + "/twServer3stopEvent.sock"; }

    TempFolder m_folder{"tw-named"};
};

TEST_F(NamedObjectsTest, OneHolderOfTheSingleInstanceLockAtATime)
{
    CSingleInstanceLock first;
    ASSERT_EQ(first.Acquire(m_folder.Path(), "twServer3EnsureSingle"), CSingleInstanceLock::kAcquired);
    EXPECT_TRUE(first.IsHeld());
    // flock conflicts between separate opens of the file, in this process as in another.
    CSingleInstanceLock second;
    EXPECT_EQ(second.Acquire(m_folder.Path(), "twServer3EnsureSingle"), CSingleInstanceLock::kHeldElsewhere);
    EXPECT_FALSE(second.IsHeld());
    CSingleInstanceLock other;
    EXPECT_EQ(other.Acquire(m_folder.Path(), "twConsole3EnsureSingle"), CSingleInstanceLock::kAcquired);

    first.Release();
    EXPECT_EQ(second.Acquire(m_folder.Path(), "twServer3EnsureSingle"), CSingleInstanceLock::kAcquired);
    EXPECT_EQ(access((m_folder.Path() + "/twServer3EnsureSingle.lock").c_str(), F_OK), 0);

    CSingleInstanceLock nowhere;
    EXPECT_EQ(nowhere.Acquire(m_folder.Path() + "/missing", "x"), CSingleInstanceLock::kFailed);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(NamedObjectsTest, TheEventExistsWhileCreatedAndStaysSetOnceSet)
{
    EXPECT_FALSE(CStopEvent::Exists(EventPath()));
    EXPECT_FALSE(CStopEvent::Set(EventPath()));

    CStopEvent event;
    // Bound but not listening (a server still starting): the path is taken, the event not there.
    ASSERT_TRUE(event.Bind(EventPath()));
    EXPECT_FALSE(CStopEvent::Exists(EventPath()));
    EXPECT_FALSE(CStopEvent::Set(EventPath()));
    ASSERT_TRUE(event.Listen());
    struct stat info;
    ASSERT_EQ(stat(EventPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(event.Wait(30), CStopEvent::kTimeout);
    // Asking whether the event exists connects and writes nothing: that must not stop the server.
    EXPECT_TRUE(CStopEvent::Exists(EventPath()));
    EXPECT_EQ(event.Wait(30), CStopEvent::kTimeout);

    // Set before anyone waits: the wait that begins later ends at once, and so does every later one.
    EXPECT_TRUE(CStopEvent::Set(EventPath()));
    EXPECT_EQ(event.Wait(5000), CStopEvent::kSet);
    EXPECT_EQ(event.Wait(0), CStopEvent::kSet);

    event.Close();
    EXPECT_NE(access(EventPath().c_str(), F_OK), 0) << "the socket file goes with the event";
    EXPECT_FALSE(CStopEvent::Exists(EventPath()));
}

TEST_F(NamedObjectsTest, IdlePeersNeitherSetNorBlockTheEvent)
{
    CStopEvent event;
    ASSERT_TRUE(event.Create(EventPath()));
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", EventPath().c_str());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        idle.push_back(fd);
    }
    EXPECT_EQ(event.Wait(50), CStopEvent::kTimeout);
    EXPECT_TRUE(CStopEvent::Set(EventPath()));
    EXPECT_EQ(event.Wait(5000), CStopEvent::kSet);
    for (int fd : idle)
        close(fd);
}

TEST_F(NamedObjectsTest, APathLongerThanASocketAddressStillWorks)
{
    std::string folder = m_folder.Path();
    while (folder.size() < 150) {
        folder += "/installation-folder";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    }
    const std::string path = folder + "/twServer3stopEvent.sock";
    CStopEvent event;
    ASSERT_TRUE(event.Create(path));
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    EXPECT_TRUE(CStopEvent::Exists(path));
    EXPECT_TRUE(CStopEvent::Set(path));
    EXPECT_EQ(event.Wait(5000), CStopEvent::kSet);
    event.Close();
    EXPECT_FALSE(CStopEvent::Exists(path));
}

}  // namespace
