// The console's command client against a peer on loopback: what it sends arrives whole, and a
// connection the server cut off fails without a line in the log, which the console would show
// as a message box.
#include "console/command_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>

#include "tests/support/log_capture.h"

namespace {

class CommandClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_listening.Listen("127.0.0.1", 0), 1);
        ASSERT_EQ(ConnectForCommand(m_client, "127.0.0.1", m_listening.GetLocalPort()), 1);
        ASSERT_EQ(m_listening.Accept(m_server), 1);
    }

    CLogCapture m_log;
    CTcpSocket m_listening;
    CTcpSocket m_client;
    CTcpSocket m_server;
};

TEST_F(CommandClientTest, ACommandLongerThanSeveralPiecesArrivesWholeAndInOrder)
{
    std::string command(2 * kCommandSendPiece + 12345, '\0');
    for (std::size_t i = 0; i < command.size(); ++i)
        command[i] = static_cast<char>(i * 31 + i / 7919);
    auto received = std::async(std::launch::async, [this] {
        std::string all;
        char buffer[65536];
        for (int got; (got = m_server.Recv(buffer, sizeof buffer)) > 0;)
            all.append(buffer, static_cast<std::size_t>(got));
        return all;
    });
    EXPECT_EQ(SendCommand(m_client, command), 1);
    m_client.Close();
    EXPECT_TRUE(received.get() == command);
}

TEST_F(CommandClientTest, AConnectionCutByTheServerFailsWithoutALogLine)
{
    // A zero linger time makes the close reset the connection.
    const linger abort{1, 0};
    setsockopt(m_server.GetHandle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(m_server.Detach());
    char line[127];
    EXPECT_EQ(m_client.ReadLine(line, sizeof line), -2);
    EXPECT_EQ(SendCommand(m_client, "twConsole.GetReq\r\n\r\n"), 0);
    EXPECT_TRUE(m_log.Entries().empty()) << m_log.Entries().front();
}

}  // namespace
