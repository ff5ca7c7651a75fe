#include "network/tcp_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/network/net_test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TcpSocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_listening.Listen("127.0.0.1", 0), 1);
        m_port = m_listening.GetLocalPort();
    }

    // A new client, accepted into `server`.
    std::unique_ptr<CTestClient> Connect(CTcpSocket& server)
    {
        auto client = std::make_unique<CTestClient>(m_port);
        EXPECT_EQ(m_listening.Accept(server), 1);
        return client;
    }

    // ReadLine's result and the stored text, which must be zero-terminated at the stored length.
    static std::pair<int, std::string> Line(CTcpSocket& socket, int capacity = 4096)
    {
        std::string buffer(static_cast<size_t>(capacity), 'x');
        int length = -99;
        const int result = socket.ReadLine(buffer.data(), capacity, &length);
        EXPECT_EQ(buffer[static_cast<size_t>(length)], '\0');
        return {result, buffer.substr(0, static_cast<size_t>(length))};
    }
    using Result = std::pair<int, std::string>;

    size_t TimeOutLines() const
    {
        size_t count = 0;
        for (const std::string& entry : m_log.Entries())
            count += entry.find("Timeout receiving on socket") != std::string::npos;
        return count;
    }

    CLogCapture m_log;
    CTcpSocket m_listening;
    int m_port = 0;
};

// Uppercases what passes through it: shows that reads, writes and the close use the layer.
class CUppercaseLayer : public CSocketLayer
{
public:
    explicit CUppercaseLayer(int& shutdowns) : m_shutdowns(shutdowns) {}
    int Read(CTcpSocket& socket, char* buffer, int size) override
    {
        return Upper(buffer, socket.RecvRaw(buffer, size));
    }
    int ReadArrived(CTcpSocket& socket, char* buffer, int size) override
    {
        const int received = socket.TryRecvRaw(buffer, size);
        return received < 0 && errno == EAGAIN ? kNothingArrived : Upper(buffer, received);
    }
    int Write(CTcpSocket& socket, const char* data, int length) override
    {
        std::string upper(data, static_cast<size_t>(length));
        for (char& c : upper)
            c = static_cast<char>(std::toupper(c));
        return socket.SendAllRaw(upper.data(), length);
    }
    void Shutdown(CTcpSocket&) override { ++m_shutdowns; }

private:
    static int Upper(char* buffer, int received)
    {
        for (int i = 0; i < received; ++i)
            buffer[i] = static_cast<char>(std::toupper(buffer[i]));
        return received;
    }
    int& m_shutdowns;
};

TEST_F(TcpSocketTest, ReadLineFollowsTheLineEndRules)
{
    CTcpSocket server;
    auto client = Connect(server);
    ASSERT_TRUE(client->SendText("GET / HTTP/1.0\r\n\r\na\rb\r\na\nb\r\nx\r\r\ny\r\n"));
    EXPECT_EQ(Line(server), Result(14, "GET / HTTP/1.0"));
    EXPECT_EQ(Line(server), Result(0, ""));
    // A CR not followed by LF is dropped with the byte after it; a lone LF is kept.
    EXPECT_EQ(Line(server), Result(1, "a"));
    EXPECT_EQ(Line(server), Result(3, "a\nb"));
    EXPECT_EQ(Line(server), Result(3, "x\ny"));

    // CR and LF in different segments, each sent once the reader has taken the one before, so that
    // each comes in a read of its own.
    auto sender = std::async(std::launch::async, [&] {
        for (const char* piece : {"GE", "T /\r", "\n"}) {
            if (!client->WaitUntilRead(server.GetHandle()))
                return;
            client->SendText(piece);
        }
    });
    EXPECT_EQ(Line(server), Result(5, "GET /"));
    sender.get();

    std::string longLine(5000, 'q');
    for (size_t i = 0; i < longLine.size(); ++i)
        longLine[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(client->SendText(longLine + "\r\npartial"));
    EXPECT_EQ(Line(server), Result(-1, longLine.substr(0, 4095)));
    EXPECT_EQ(Line(server), Result(905, longLine.substr(4095)));
    shutdown(client->Fd(), SHUT_WR);
    EXPECT_EQ(Line(server), Result(-3, "partial"));
}

TEST_F(TcpSocketTest, TimeOutsEndSilentWaitsAndLateDataIsStillRead)
{
    CTcpSocket server;
    auto client = Connect(server);
    ASSERT_EQ(server.SetTimeout(1), 1);
    const auto started = Clock::now();
    EXPECT_EQ(Line(server).first, -2);
    EXPECT_GE(Clock::now() - started, 900ms);
    EXPECT_TRUE(m_log.Contains("Timeout receiving on socket"));

    // Sent while the reader waits for it.
    const pid_t reader = gettid();
    auto sender = std::async(std::launch::async, [&] {
        if (WaitUntilBlockedIn(reader, BlockingCall::Poll))
            client->SendText("late\r\n");
    });
    EXPECT_EQ(Line(server), Result(4, "late"));

    // A receive that waits for the peer's answer before it receives: bounded the same way, and
    // what comes while it waits is taken whole.
    char answer[16];
    const size_t timeOutsBefore = TimeOutLines();
    EXPECT_EQ(server.RecvRawWhenReady(answer, sizeof answer), -1);
    EXPECT_EQ(TimeOutLines(), timeOutsBefore + 1);
    auto answering = std::async(std::launch::async, [&] {
        if (WaitUntilBlockedIn(reader, BlockingCall::Poll))
            client->SendText("answer");
    });
    EXPECT_EQ(server.RecvRawWhenReady(answer, sizeof answer), 6);
    EXPECT_EQ(std::string(answer, 6), "answer");
    answering.get();

    // A wait for more than the first part of an answer: one receive takes both parts, and the
    // waits after it end at the first byte again.
    ASSERT_TRUE(client->SendText("abc"));
    auto rest = std::async(std::launch::async, [&] {
        if (WaitUntilBlockedIn(reader, BlockingCall::Poll))
            client->SendText("defgh");
    });
    EXPECT_EQ(server.RecvRawWhenReady(answer, sizeof answer, 6), 8);
    EXPECT_EQ(std::string(answer, 8), "abcdefgh");
    rest.get();
    ASSERT_TRUE(client->SendText("i"));
    EXPECT_EQ(server.RecvRawWhenReady(answer, sizeof answer), 1);
}

TEST_F(TcpSocketTest, CloseFromAnotherThreadWakesTheOwnerWhoAloneFreesTheDescriptor)
{
    CTcpSocket server;
    auto client = Connect(server);
    const int handle = server.Detach();
    std::promise<pid_t> attached;
    std::promise<int> openAfterWake;
    auto reader = std::async(std::launch::async, [&] {
        server.Attach(handle);  // this thread owns the connection from here
        attached.set_value(gettid());
        const int result = Line(server).first;
        openAfterWake.set_value(fcntl(handle, F_GETFD));
        server.Close();
        return result;
    });
    EXPECT_TRUE(WaitUntilBlockedIn(attached.get_future().get(), BlockingCall::Receive));

    const auto started = Clock::now();
    EXPECT_EQ(server.Close(), 1);
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready) << "a blocked read was not woken";
    EXPECT_LT(Clock::now() - started, 500ms);
    EXPECT_LT(reader.get(), 0);
    EXPECT_NE(openAfterWake.get_future().get(), -1) << "another thread's close must not free the number";
    EXPECT_EQ(fcntl(handle, F_GETFD), -1);
    EXPECT_EQ(server.Close(), 1) << "closing twice is harmless";
}

TEST_F(TcpSocketTest, DrainInputLetsABigResponseReachASlowReaderWithoutAReset)
{
    CTcpSocket server;
    auto client = Connect(server);
    ASSERT_TRUE(client->SendText("GET / HTTP/1.0\r\n\r\n"));
    // More unread input than the socket's own buffer holds, so some stays in the kernel.
    auto sender = std::async(std::launch::async, [&] { return client->SendText(std::string(131072, 'j')); });
    EXPECT_EQ(Line(server).first, 14);
    EXPECT_EQ(Line(server).first, 0);
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    int pending = 0;
    ioctl(server.GetHandle(), FIONREAD, &pending);
    ASSERT_GT(pending, 0);

    server.DrainInput();
    ioctl(server.GetHandle(), FIONREAD, &pending);
    EXPECT_EQ(pending, 0);
    // Far more than the send buffers hold: the timed send has to wait for the reader.
    ASSERT_EQ(server.SetTimeout(10), 1);
    std::string response(4 << 20, '\0');
    for (size_t i = 0; i < response.size(); ++i)
        response[i] = static_cast<char>(i * 7 + i / 4096);
    // The reader starts once the send waits for room.
    const pid_t writer = gettid();
    auto reader = std::async(std::launch::async, [&] {
        WaitUntilBlockedIn(writer, BlockingCall::Poll);
        return client->ReadUntilClosed(10s);
    });
    ASSERT_EQ(server.Send(response.data(), static_cast<int>(response.size())), 1);
    server.Close();
    EXPECT_TRUE(reader.get() == response);
    EXPECT_FALSE(client->reset);
    EXPECT_TRUE(client->closed);
}

TEST_F(TcpSocketTest, APeerThatReadsBelowTheMinimumRateFailsTheSendBeforeItsTimeOut)
{
    CTcpSocket server;
    auto client = Connect(server);
    ASSERT_EQ(server.SetTimeout(30), 1);
    // More than the buffers between the two take in a window: the peer reads nothing at all.
    server.SetMinimumSendRate(64 << 20, 1);
    EXPECT_EQ(server.SendWaitingSince(), Clock::time_point::max());
    std::atomic<bool> sawWait{false};
    auto watcher = std::async(std::launch::async, [&] {
        sawWait = WaitFor([&] { return server.SendWaitingSince() != Clock::time_point::max(); });
    });
    const std::string response(64 << 20, 'r');
    const auto start = Clock::now();
    EXPECT_EQ(server.Send(response.data(), static_cast<int>(response.size())), 0);
    EXPECT_LT(Clock::now() - start, 10s) << "cut by the rate, not by the time-out";
    watcher.get();
    EXPECT_TRUE(sawWait) << "the wait for the reader was marked for other threads to see";
    EXPECT_EQ(server.SendWaitingSince(), Clock::time_point::max());
    EXPECT_TRUE(m_log.Contains("Response to 127.0.0.1 was read slower than 67108864 bytes in 1 seconds; connection "
                               "closed."));
    EXPECT_FALSE(m_log.Contains("Timeout sending on socket"));
}

TEST_F(TcpSocketTest, ANewConnectionStartsWithoutTheLastOnesInputOrLayer)
{
    CTcpSocket server;
    auto first = Connect(server);
    int shutdowns = 0;
    server.SetLayer(std::make_unique<CUppercaseLayer>(shutdowns));
    ASSERT_TRUE(first->SendText("one\r\ntwo\r\n"));
    EXPECT_EQ(Line(server).second, "ONE");  // "TWO" waits in the buffer
    EXPECT_EQ(server.Send("reply"), 1);

    // Attaching the next connection ends the first one, through its layer.
    auto second = Connect(server);
    EXPECT_EQ(first->ReadUntilClosed(5s), "REPLY");
    EXPECT_EQ(shutdowns, 1);
    EXPECT_EQ(server.GetLayer(), nullptr);
    ASSERT_TRUE(second->SendText("three\r\n"));
    EXPECT_EQ(Line(server).second, "three");
}

int g_factoryShutdowns = 0;
std::unique_ptr<CSocketLayer> MakeUppercaseLayer()
{
    return std::make_unique<CUppercaseLayer>(g_factoryShutdowns);
}

TEST_F(TcpSocketTest, ATlsConnectionTakesItsLayerFromTheFactoryAndFailsWithoutOne)
{
    // No factory installed in this program: nothing may leave in plain text.
    CTcpSocket refused;
    refused.SetTls(true);
    auto plainClient = Connect(refused);
    ASSERT_TRUE(plainClient->SendText("hello\r\n"));
    EXPECT_EQ(refused.Send("secret"), 0);
    char buffer[16];
    EXPECT_EQ(refused.Recv(buffer, sizeof buffer), -1);
    EXPECT_TRUE(m_log.Contains("No TLS support for a secure connection."));
    refused.Close();
    EXPECT_EQ(plainClient->ReadUntilClosed(5s), "");

    CTcpSocket::SetTlsLayerFactory(MakeUppercaseLayer);
    CTcpSocket secure;
    secure.SetTls(true);
    auto client = Connect(secure);
    EXPECT_EQ(secure.GetLayer(), nullptr) << "the layer is made on the first read or write";
    ASSERT_TRUE(client->SendText("abc\r\n"));
    EXPECT_EQ(Line(secure), Result(3, "ABC"));
    EXPECT_EQ(secure.Send("reply"), 1);
    secure.Close();
    CTcpSocket::SetTlsLayerFactory(nullptr);
    EXPECT_EQ(client->ReadUntilClosed(5s), "REPLY");
    EXPECT_EQ(g_factoryShutdowns, 1);
}

TEST_F(TcpSocketTest, SocketErrorsCanBeKeptOutOfTheLogButTimeOutsCannot)
{
    // A peer that resets the connection (a zero linger time makes close send RST).
    const auto resetBy = [](std::unique_ptr<CTestClient>& client) {
        const linger abort{1, 0};
        setsockopt(client->Fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        client.reset();
    };
    char buffer[16];
    CTcpSocket quiet;
    quiet.SetLogSocketErrors(false);
    auto client = Connect(quiet);  // attaching keeps the choice
    resetBy(client);
    EXPECT_EQ(quiet.Recv(buffer, sizeof buffer), -1);
    EXPECT_EQ(quiet.Send("after the reset", -1), 0);
    EXPECT_FALSE(m_log.Contains("Socket error"));

    client = Connect(quiet);
    ASSERT_EQ(quiet.SetTimeout(1), 1);
    EXPECT_EQ(quiet.Recv(buffer, sizeof buffer), -1);
    EXPECT_TRUE(m_log.Contains("Timeout receiving on socket"));

    CTcpSocket logged;
    client = Connect(logged);
    resetBy(client);
    EXPECT_EQ(logged.Recv(buffer, sizeof buffer), -1);
    EXPECT_TRUE(m_log.Contains("Socket error [" + std::to_string(ECONNRESET) + "] when receiving."));
}

TEST_F(TcpSocketTest, ConnectAndListenLogTheirFailuresAndMakeCloseOnExecDescriptors)
{
    CTcpSocket taken;
    EXPECT_EQ(taken.Listen("127.0.0.1", m_port), 0);
    EXPECT_TRUE(m_log.Contains("Failed to bind to 127.0.0.1:" + std::to_string(m_port) +
                               ". Another program uses this address and port; \"ss -ltnp\" shows which."));
    CTcpSocket foreign;
    EXPECT_EQ(foreign.Listen("192.0.2.1", 0), 0);
    EXPECT_TRUE(m_log.Contains("Failed to bind to 192.0.2.1:0. No network interface of this computer has the address"));
    CTcpSocket malformed;
    EXPECT_EQ(malformed.Listen("127.0.0.300", 80), 0);
    EXPECT_TRUE(m_log.Contains("Failed to bind to 127.0.0.300:80. [127.0.0.300] is not an IPv4 address."));
    EXPECT_NE(taken.GetHandle(), -1) << "a failed listen keeps its socket until closed";

    CTcpSocket outgoing;
    EXPECT_EQ(outgoing.Connect("10.0.0.300", 25), 0);
    EXPECT_TRUE(m_log.Contains("[10.0.0.300] is an invalid IP address"));
    EXPECT_EQ(outgoing.Connect("no-such-host.invalid", 25), 0);
    EXPECT_TRUE(m_log.Contains("[no-such-host.invalid] not found"));
    const int freePort = [] {
        CTcpSocket probe;
        return probe.Listen("127.0.0.1", 0) ? probe.GetLocalPort() : 0;
    }();
    EXPECT_EQ(outgoing.Connect("127.0.0.1", freePort), 0);
    EXPECT_TRUE(m_log.Contains("Failed to connect to 127.0.0.1:" + std::to_string(freePort)));
    EXPECT_EQ(outgoing.SetTimeout(5), 0);
    EXPECT_TRUE(m_log.Contains("Failed to set non-blocking mode"));

    ASSERT_EQ(outgoing.Connect("127.0.0.1", m_port), 1);
    CTcpSocket accepted;
    ASSERT_EQ(m_listening.Accept(accepted), 1);
    EXPECT_EQ(accepted.GetPeerAddress(), "127.0.0.1");
    for (int handle : {m_listening.GetHandle(), outgoing.GetHandle(), accepted.GetHandle()})
        EXPECT_NE(fcntl(handle, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(TcpSocketTest, AConnectThatIsNeverAnsweredEndsAtItsTimeOut)
{
    // A listener that accepts nothing with a backlog of 0: once its queue holds a connection the
    // kernel drops further SYNs, as a host behind a silent firewall would.
    const int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(full, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(full, 0), 0);
    socklen_t length = sizeof address;
    getsockname(full, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    std::vector<std::unique_ptr<CTcpSocket>> queued;
    Clock::time_point start;
    int result = 1;
    // Fill the queue; the first connect that hangs is the one under test.
    for (int i = 0; i < 8 && result == 1; ++i) {
        queued.push_back(std::make_unique<CTcpSocket>());
        start = Clock::now();
        result = queued.back()->Connect("127.0.0.1", port, 1);
    }
    const auto took = Clock::now() - start;
    close(full);
    ASSERT_EQ(result, 0) << "every connect was answered; the kernel did not drop SYNs";
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s) << "the connect waited past its time-out";
}

TEST_F(TcpSocketTest, TryAcceptTakesOnlyAWaitingConnectionAndAcceptWaitsForOne)
{
    CTcpSocket accepted;
    EXPECT_EQ(m_listening.TryAccept(accepted), 0) << "nothing waits, and the call must not block";
    EXPECT_EQ(errno, EAGAIN);
    CTestClient waiting(m_port);
    ASSERT_EQ(m_listening.TryAccept(accepted), 1);
    EXPECT_EQ(accepted.GetPeerAddress(), "127.0.0.1");
    // The server's connections take a time-out at once; without one they block.
    EXPECT_NE(fcntl(accepted.GetHandle(), F_GETFL) & O_NONBLOCK, 0);
    ASSERT_EQ(accepted.SetTimeout(0), 1);
    EXPECT_EQ(fcntl(accepted.GetHandle(), F_GETFL) & O_NONBLOCK, 0);
    int noDelay = 0;
    socklen_t length = sizeof noDelay;
    ASSERT_EQ(getsockopt(accepted.GetHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    EXPECT_NE(noDelay, 0) << "a response's sends must not wait for the peer's delayed acknowledgements";

    // Accept on the non-blocking listening socket still waits until a client comes.
    auto later = std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(100ms);
        return std::make_unique<CTestClient>(m_port);
    });
    EXPECT_EQ(m_listening.Accept(accepted), 1);
    EXPECT_EQ(fcntl(accepted.GetHandle(), F_GETFL) & O_NONBLOCK, 0) << "Accept gives a blocking connection";
    later.get();
}

}  // namespace
