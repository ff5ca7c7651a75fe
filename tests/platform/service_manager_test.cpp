#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/temp_folder.h"

namespace {

// Plays the service manager: a datagram socket at $NOTIFY_SOCKET that collects the states sent.
class ServiceManagerTest : public ::testing::Test {
protected:
    ServiceManagerTest()
    {
        m_path = m_folder.Path() + "/notify.sock";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_path.c_str());
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~ServiceManagerTest() override
    {
        unsetenv("NOTIFY_SOCKET");
        close(m_fd);
    }

    std::string NextState()
    {
        pollfd entry{m_fd, POLLIN, 0};
        if (poll(&entry, 1, 5000) != 1)
            return "";
        char buffer[512];
        const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }

    TempFolder m_folder{"tw-notify"};
    std::string m_path;
    int m_fd = -1;
};

TEST_F(ServiceManagerTest, StatesReachTheManagerThatStartedTheProgram)
{
    setenv("NOTIFY_SOCKET", m_path.c_str(), 1);
    EXPECT_TRUE(IsRunByServiceManager());
    EXPECT_TRUE(NotifyServiceReady());
    EXPECT_EQ(NextState(), "READY=1");
    EXPECT_TRUE(NotifyServiceStopping());
    EXPECT_EQ(NextState(), "STOPPING=1");
}

TEST_F(ServiceManagerTest, WithoutAManagerNothingIsSent)
{
    unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(IsRunByServiceManager());
    EXPECT_FALSE(NotifyServiceReady());
    setenv("NOTIFY_SOCKET", "", 1);
    EXPECT_FALSE(IsRunByServiceManager());
    // A manager that went away: the state cannot be delivered, and the caller hears of it.
    setenv("NOTIFY_SOCKET", (m_folder.Path() + "/gone.sock").c_str(), 1);
    EXPECT_FALSE(NotifyServiceStopping());
}

}  // namespace
