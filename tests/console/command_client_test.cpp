// The console's command client against a peer on loopback: what it sends arrives whole, and a
// connection the server cut off fails without a line in the log, which the console would show
// as a message box. Against the real twServer: the commands' replies, on the client's own
// thread, and a client destroyed while a silent peer holds its command.
#include "console/command_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "console/console_config.h"
#include "tests/console/console_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/silent_server.h"
#include "tests/support/wait_for.h"

namespace {

class CommandClientTest : public ::testing::Test
{
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

class ServerCommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The default tasks, enabled, as the console's settings sheet would store them.
        m_install.WriteSettings("");
        CConsoleConfig config(m_install.Path() + "/etc/settings.conf", m_install.Path());
        ASSERT_TRUE(config.Load());
        for (std::size_t i = 0; i < config.GetTaskCount(); ++i)
            config.GetTask(i)->SetEnabled(true);
        ASSERT_EQ(config.Save(), 1);
        ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}));
        const std::set<int> ports = m_server.WaitUntilRunning(m_install, 1);
        ASSERT_FALSE(ports.empty()) << m_server.Output();
        m_port = *ports.begin();
    }
    void TearDown() override
    {
        // A server that ends between the two calls needs no stop.
        if (CStopEvent::Exists(m_install.StopEventPath()))
            static_cast<void>(CStopEvent::Set(m_install.StopEventPath()));
    }

    CServerInstall m_install;
    CServerProcess m_server;
    int m_port = 0;
};

TEST_F(ServerCommandTest, TheClientBringsTheServersReplyFromItsOwnThread)
{
    CCommandClient client;
    std::promise<std::pair<CCommandReply, std::thread::id>> answered;
    ASSERT_TRUE(client.Start("127.0.0.1", m_port, CConsoleCommand::GetTask(), [&answered](CCommandReply reply) {
        answered.set_value({std::move(reply), std::this_thread::get_id()});
    }));
    auto [reply, thread] = answered.get_future().get();
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(reply.status, CCommandReply::Status::kDone);
    ASSERT_EQ(reply.lines.size(), 8u) << "the web servers and the six tasks";
    EXPECT_EQ(reply.lines[0].rfind("0*Web Server*", 0), 0u) << reply.lines[0];
    EXPECT_EQ(reply.lines[7].rfind("7*", 0), 0u) << "the blank line ends the reply, not the connection's end";

    // The next command may start as soon as the reply is in.
    std::promise<CCommandReply> requests;
    ASSERT_TRUE(client.Start("127.0.0.1", m_port, CConsoleCommand::GetReq(),
                             [&requests](CCommandReply reply) { requests.set_value(std::move(reply)); }));
    const CCommandReply listed = requests.get_future().get();
    ASSERT_FALSE(listed.lines.empty());
    EXPECT_EQ(listed.lines.back().rfind("watermark*", 0), 0u) << listed.lines.back();
}

TEST_F(ServerCommandTest, RunNowSaysWhyATaskDoesNotRunAndTheServerRunsOneThatCan)
{
    CTcpSocket socket;
    const CCommandReply tasks = RunConsoleCommand(socket, "127.0.0.1", m_port, CConsoleCommand::GetTask());
    ASSERT_EQ(tasks.status, CCommandReply::Status::kDone);
    int task = 0;
    for (const std::string& line : tasks.lines)
        if (line.find("*Deadline Reminder*") != std::string::npos)
            task = std::stoi(line);
    ASSERT_NE(task, 0);
    const CCommandReply missing = RunConsoleCommand(socket, "127.0.0.1", m_port, CConsoleCommand::RunNow(task));
    EXPECT_EQ(missing.status, CCommandReply::Status::kDone);
    ASSERT_EQ(missing.lines.size(), 1u);
    EXPECT_EQ(missing.lines[0],
              "The script " + m_install.Path() + "/webroot/script/dueRem.tws of Deadline Reminder does not exist.");
    m_install.WriteFile("webroot/script/dueRem.tws", "log 'reminded';");
    const CCommandReply reply = RunConsoleCommand(socket, "127.0.0.1", m_port, CConsoleCommand::RunNow(task));
    EXPECT_EQ(reply.status, CCommandReply::Status::kDone);
    EXPECT_TRUE(reply.lines.empty()) << "nothing said: the task runs";
    EXPECT_TRUE(WaitFor([this] { return m_install.LogText().find("dueRem.tws") != std::string::npos; },
                        std::chrono::seconds(10)))
        << m_install.LogText();
}

TEST(CommandClientLifeTest, AClosedPortFailsToConnectAndAPeerThatNeverAnswersIsToldApart)
{
    CLogCapture log;
    CTcpSocket socket;
    const int closed = CListeningPort().Port();
    const CCommandReply reply = RunConsoleCommand(socket, "127.0.0.1", closed, CConsoleCommand::GetTask());
    EXPECT_EQ(reply.status, CCommandReply::Status::kConnectFailed);

    // The console shows every log line in a message box: a server that does not answer is the
    // command's result, not a bare line about a socket.
    const std::size_t connectLines = log.Entries().size();
    SilentServer silent;
    CConsoleCommand command = CConsoleCommand::GetTask();
    command.timeoutSeconds = 1;
    const CCommandReply unanswered = RunConsoleCommand(socket, "127.0.0.1", silent.Port(), command);
    EXPECT_EQ(unanswered.status, CCommandReply::Status::kNoAnswer);
    EXPECT_EQ(log.Entries().size(), connectLines) << log.Entries().back();
}

TEST(CommandClientLifeTest, OneCommandAtATimeAndDestroyingTheClientCutsItsWaitShort)
{
    // The peer takes the connection and never answers.
    CListeningPort silent;
    ASSERT_NE(silent.Port(), 0);
    std::atomic<int> answers = 0;
    auto client = std::make_unique<CCommandClient>();
    ASSERT_TRUE(client->Start("127.0.0.1", silent.Port(), CConsoleCommand::GetTask(),
                              [&answers](CCommandReply) { ++answers; }));
    EXPECT_TRUE(client->Busy());
    EXPECT_FALSE(client->Start("127.0.0.1", silent.Port(), CConsoleCommand::GetReq(), [&answers](CCommandReply) {
        ++answers;
    })) << "a second command waits for the first";
    const auto destroying = std::chrono::steady_clock::now();
    client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - destroying, std::chrono::seconds(kCommandTimeoutSeconds))
        << "the wait for the silent peer was cut, not sat out";
    EXPECT_EQ(answers, 0) << "no reply is handed to an owner that has gone";
}

}  // namespace
