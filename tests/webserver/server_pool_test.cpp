#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/ssp_date_time.h"
#include "tests/network/net_test_support.h"
#include "webserver/listener_thread.h"
#include "webserver/server_thread.h"

namespace {

using namespace std::chrono_literals;

// Reads one line and answers "<thread id> <status text>|<line>". With `hang` set it ignores its
// connection until released, like a page run stuck in a driver. The line is the request: the
// thread tells the pool it has it once read, or at once with `serving` set (a connection whose
// request has arrived and is being served, which the pool must never cut to make room). With
// `cutEndsAfter` set, a thread whose connection was cut takes that long to end, as on a machine
// under heavy load.
class CLineHandler : public CConnectionHandler
{
public:
    std::atomic<int> reading{0};
    std::atomic<int> hangReports{0};
    std::atomic<int> hanging{0};
    std::atomic<int> dropped{0};
    bool hang = false;
    std::atomic<bool> serving{false};
    std::chrono::milliseconds cutEndsAfter{0};

    void ServeConnection(CServerThread& thread) override
    {
        std::unique_lock guard(m_lock);
        m_lastThread = std::static_pointer_cast<CServerThread>(thread.shared_from_this());
        if (hang) {
            ++hanging;
            m_changed.wait(guard, [this] { return m_released; });
            return;
        }
        guard.unlock();
        CTcpSocket& connection = thread.GetConnection();
        connection.SetTimeout(30);
        thread.SetStatusText("GET /x");
        {
            std::lock_guard statusGuard(m_lock);
            m_lastStatus = thread.GetStatusText();
        }
        if (serving)
            thread.SetRequestReceived();
        char line[256];
        ++reading;
        const int result = connection.ReadLine(line, sizeof line);
        --reading;
        if (!thread.SetRequestReceived()) {
            ++dropped;
            std::this_thread::sleep_for(cutEndsAfter);
            return;
        }
        if (result >= 0)
            connection.Send((std::to_string(thread.GetThreadId()) + " " + thread.GetStatusText() + "|" + line).c_str());
    }
    void LogHangPosition(CServerThread&) override
    {
        ++hangReports;
        throw std::runtime_error("no engine to ask");
    }

    std::string LastStatus()
    {
        std::lock_guard guard(m_lock);
        return m_lastStatus;
    }
    std::shared_ptr<CServerThread> LastThread()
    {
        std::lock_guard guard(m_lock);
        return m_lastThread.lock();
    }
    void Release()
    {
        std::lock_guard guard(m_lock);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_released = false;
    std::weak_ptr<CServerThread> m_lastThread;
    std::string m_lastStatus;
};

int CountEntries(const CLogCapture& log, std::string_view text)
{
    int count = 0;
    for (const std::string& entry : log.Entries())
        count += entry.find(text) != std::string::npos ? 1 : 0;
    return count;
}

// The sum of the numbers that follow `text` in the log's entries.
int SumOfCounts(const CLogCapture& log, std::string_view text)
{
    int sum = 0;
    for (const std::string& entry : log.Entries()) {
        const size_t found = entry.find(text);
        if (found != std::string::npos)
            sum += std::stoi(entry.substr(found + text.size()));
    }
    return sum;
}

class ServerPoolTest : public ::testing::Test
{
protected:
    ~ServerPoolTest() override
    {
        for (auto& listener : m_listeners) {
            listener->Stop();
            listener->WaitForExit(30000);
        }
        m_handler->Release();
        m_pool.StopAll();
    }

    std::shared_ptr<CListenerThread> StartListener(int port = 0, bool secure = false)
    {
        auto listener = std::make_shared<CListenerThread>(m_pool, "127.0.0.1", port, secure);
        EXPECT_TRUE(listener->Start());
        m_listeners.push_back(listener);
        return listener;
    }
    int StartedPort(bool secure = false)
    {
        auto listener = StartListener(0, secure);
        EXPECT_TRUE(listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
        return listener->GetPort();
    }
    // Clients that each keep a thread serving their request, one per thread of the pool; empty
    // when not every thread came to read its request.
    std::vector<std::unique_ptr<CTestClient>> HoldEveryThread(int port)
    {
        m_handler->serving = true;
        std::vector<std::unique_ptr<CTestClient>> held;
        for (int i = 0; i < CServerThreadPool::kMaxThreads; ++i)
            held.push_back(std::make_unique<CTestClient>(port));
        if (!WaitFor([&] { return m_handler->reading == CServerThreadPool::kMaxThreads; }))
            held.clear();
        return held;
    }
    bool LastThreadIdle()
    {
        auto thread = m_handler->LastThread();
        return thread && !thread->IsBusy();
    }

    static std::string Ask(int port, const std::string& line)
    {
        CTestClient client(port);
        client.SendText(line + "\r\n");
        return client.ReadUntilClosed(30s);
    }

    CLogCapture m_log;
    std::shared_ptr<CLineHandler> m_handler = std::make_shared<CLineHandler>();
    CServerThreadPool m_pool{m_handler};
    std::vector<std::shared_ptr<CListenerThread>> m_listeners;
};

TEST_F(ServerPoolTest, AnIdleThreadServesTheNextConnection)
{
    EXPECT_EQ(m_pool.StopAll(), 0) << "nothing served yet";
    const int port = StartedPort();
    const std::string first = Ask(port, "one");
    const std::string id = first.substr(0, first.find(' '));
    EXPECT_EQ(first, id + " GET /x (http)|one");
    EXPECT_EQ(access(("/proc/self/task/" + id).c_str(), F_OK), 0) << "the number is a thread of this process";

    ASSERT_TRUE(WaitFor([&] { return LastThreadIdle(); }));
    EXPECT_EQ(Ask(port, "two"), id + " GET /x (http)|two");
    ASSERT_TRUE(WaitFor([&] { return LastThreadIdle(); }));
    EXPECT_EQ(m_handler->LastStatus(), "GET /x (http)");
    // A secure listener's connection is a TLS one: the plain client fails its handshake, and the
    // status text tells the kind.
    EXPECT_EQ(Ask(StartedPort(true), "three"), "");
    EXPECT_EQ(m_handler->LastStatus(), "GET /x (https)");
    EXPECT_EQ(std::to_string(m_handler->LastThread()->GetThreadId()), id);
    EXPECT_EQ(m_pool.GetThreadCount(), 1);
}

TEST_F(ServerPoolTest, FiftyConnectionsBeingServedFillThePoolAndTheNextIsRefused)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldEveryThread(port);
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));

    CTestClient refused(port);
    EXPECT_EQ(refused.ReadUntilClosed(5s), "");
    EXPECT_TRUE(refused.closed);
    EXPECT_TRUE(
        m_log.Contains("New connection request denied: all 50 server threads are serving requests. Refused since "
                       "the last such line: 1."));
    EXPECT_FALSE(m_log.Contains("ODBC"));
    EXPECT_EQ(m_handler->dropped, 0) << "a connection being served is never cut to make room";

    held.front()->SendText("done\r\n");
    EXPECT_NE(held.front()->ReadUntilClosed(5s).find("|done"), std::string::npos);
    // The freed thread turns idle just after its client sees the close; until then the pool refuses.
    EXPECT_TRUE(WaitFor([&] { return Ask(port, "again").find("|again") != std::string::npos; }));
    EXPECT_EQ(m_pool.GetThreadCount(), CServerThreadPool::kMaxThreads);
}

TEST_F(ServerPoolTest, RefusalsOfABurstMakeOneLineWithTheirCount)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldEveryThread(port);
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));

    constexpr int kBurst = 20;
    for (int i = 0; i < kBurst; ++i) {
        CTestClient refused(port);
        refused.ReadUntilClosed(5s);
        ASSERT_TRUE(refused.closed);
    }
    // The first refusal is told at once; the rest of the burst waits for the next line, which the
    // stop writes at the latest.
    EXPECT_EQ(CountEntries(m_log, "New connection request denied"), 1);
    for (auto& client : held)
        client->SendText("done\r\n");
    for (auto& client : held)
        client->ReadUntilClosed(5s);
    m_pool.StopAll();
    EXPECT_LE(CountEntries(m_log, "New connection request denied"), 3)
        << "a line a second at most, not one per refusal";
    EXPECT_EQ(SumOfCounts(m_log, "Refused since the last such line: "), kBurst);
}

TEST_F(ServerPoolTest, ConnectionsWithoutARequestMakeRoomForANewClientOldestFirst)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> silent;
    for (int i = 0; i < CServerThreadPool::kMaxThreads; ++i) {
        silent.push_back(std::make_unique<CTestClient>(port));
        ASSERT_TRUE(WaitFor([&] { return m_handler->reading == i + 1; })) << "connections are handed over in order";
    }
    // Every thread waits for a request: the newcomer takes the thread of the one that has waited
    // longest, and is answered.
    const std::string answer = Ask(port, "newcomer");
    EXPECT_NE(answer.find("|newcomer"), std::string::npos) << answer;
    silent.front()->ReadUntilClosed(5s);
    EXPECT_TRUE(silent.front()->closed) << "the longest waiting connection was closed to make room";
    EXPECT_EQ(m_handler->dropped, 1);
    EXPECT_TRUE(
        m_log.Contains("connections that had not sent a complete request were closed to make room. Closed since "
                       "the last such line: 1."));

    // The newcomer's thread turns idle just after its client sees the close; once a silent client
    // takes it, the next newcomer takes the thread of the second oldest. The others are still there
    // and are served.
    const std::shared_ptr<CServerThread> newcomers = m_handler->LastThread();
    ASSERT_TRUE(WaitFor([&] { return !newcomers->IsBusy(); }));
    silent.push_back(std::make_unique<CTestClient>(port));
    ASSERT_TRUE(WaitFor([&] { return m_handler->reading == CServerThreadPool::kMaxThreads; }));
    EXPECT_NE(Ask(port, "again").find("|again"), std::string::npos);
    silent[1]->ReadUntilClosed(5s);
    EXPECT_TRUE(silent[1]->closed);
    silent.back()->SendText("late\r\n");
    EXPECT_NE(silent.back()->ReadUntilClosed(5s).find("|late"), std::string::npos);
    EXPECT_EQ(m_pool.GetThreadCount(), CServerThreadPool::kMaxThreads);
}

TEST_F(ServerPoolTest, AConnectionIsCutForANewcomerOnlyOnceItHasWaitedAWhileForItsRequest)
{
    m_handler->serving = true;
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held;
    for (int i = 0; i < CServerThreadPool::kMaxThreads - 1; ++i)
        held.push_back(std::make_unique<CTestClient>(port));
    ASSERT_TRUE(WaitFor([&] { return m_handler->reading == CServerThreadPool::kMaxThreads - 1; }));
    // The last thread gets a connection whose request has not come yet, as in a TLS handshake.
    m_handler->serving = false;
    const auto arrived = std::chrono::steady_clock::now();
    CTestClient young(port);
    ASSERT_TRUE(WaitFor([&] { return m_handler->reading == CServerThreadPool::kMaxThreads; }));

    // No thread turns idle: the newcomer is served once the young connection may be cut, not before.
    EXPECT_NE(Ask(port, "newcomer").find("|newcomer"), std::string::npos);
    EXPECT_GE(std::chrono::steady_clock::now() - arrived,
              std::chrono::milliseconds(CServerThreadPool::kCutAfterMilliseconds));
    young.ReadUntilClosed(5s);
    EXPECT_TRUE(young.closed);
    EXPECT_EQ(m_handler->dropped, 1);
}

class SlowCutTest : public ServerPoolTest
{
protected:
    // Fills the pool with clients that send nothing, whose threads end slowly once cut.
    void FillWithSilentClients(std::chrono::milliseconds cutEndsAfter)
    {
        m_handler->cutEndsAfter = cutEndsAfter;
        m_port = StartedPort();
        for (int i = 0; i < CServerThreadPool::kMaxThreads; ++i) {
            m_silent.push_back(std::make_unique<CTestClient>(m_port));
            ASSERT_TRUE(WaitFor([&] { return m_handler->reading == i + 1; }));
        }
    }
    // Only the oldest was cut: the second oldest is still served.
    void ExpectOneCut()
    {
        EXPECT_EQ(m_handler->dropped, 1);
        m_silent.front()->ReadUntilClosed(5s);
        EXPECT_TRUE(m_silent.front()->closed);
        m_silent[1]->SendText("kept\r\n");
        EXPECT_NE(m_silent[1]->ReadUntilClosed(5s).find("|kept"), std::string::npos);
    }

    int m_port = 0;
    std::vector<std::unique_ptr<CTestClient>> m_silent;
};

TEST_F(SlowCutTest, ANewcomerWaitsForTheThreadOfTheOneConnectionCutForIt)
{
    // Longer than a second, the wait after which the pool once cut a second connection.
    ASSERT_NO_FATAL_FAILURE(FillWithSilentClients(1500ms));
    EXPECT_NE(Ask(m_port, "newcomer").find("|newcomer"), std::string::npos);
    ExpectOneCut();
}

TEST_F(SlowCutTest, ANewcomerIsRefusedRatherThanCutASecondConnectionWhenTheFirstDoesNotEndInTime)
{
    // The cut thread's end comes after the room wait, however soon it notices the cut.
    ASSERT_NO_FATAL_FAILURE(
        FillWithSilentClients(std::chrono::milliseconds(CServerThreadPool::kRoomWaitMilliseconds + 1000)));
    EXPECT_EQ(Ask(m_port, "newcomer"), "");
    EXPECT_TRUE(m_log.Contains("New connection request denied"));
    ExpectOneCut();
}

TEST_F(ServerPoolTest, StopAllCutsConnectionsBeingServedAndGivesUpOnAHungThread)
{
    const int port = StartedPort();
    CTestClient reading(port);
    ASSERT_TRUE(WaitFor([&] { return m_handler->reading == 1; }));
    EXPECT_EQ(m_pool.StopAll(), 0);
    reading.ReadUntilClosed(1s);
    EXPECT_TRUE(reading.closed);
    EXPECT_EQ(m_pool.GetThreadCount(), 0);

    m_handler->hang = true;
    CTestClient stuck(port);
    ASSERT_TRUE(WaitFor([&] { return m_handler->hanging == 1; }));
    std::weak_ptr<CServerThread> hung = m_handler->LastThread();
    EXPECT_EQ(m_pool.StopAll(), -1);
    EXPECT_TRUE(
        m_log.Contains("Failed to wait for server thread to exit. Make sure your ODBC driver is thread-safe and "
                       "that its calls return when their connection is closed."));
    EXPECT_EQ(m_handler->hangReports, 1);
    EXPECT_TRUE(m_log.Contains("Failed to dump debug information."));
    m_handler->Release();
    EXPECT_TRUE(WaitFor([&] { return hung.expired(); })) << "the given-up thread should end and free itself";
}

TEST_F(ServerPoolTest, AThreadThatHasEndedIsPassedOverAndAFailedHandOverFreesIt)
{
    CTcpSocket listening;
    ASSERT_EQ(listening.Listen("127.0.0.1", 0), 1);
    CTestClient first(listening.GetLocalPort());
    CTcpSocket accepted;
    ASSERT_EQ(listening.Accept(accepted), 1);
    std::shared_ptr<CServerThread> thread = m_pool.AssignConnection(accepted);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(accepted.GetHandle(), -1) << "the connection moved to the thread";
    thread->PostQuit();
    ASSERT_TRUE(thread->WaitForExit(5000));
    ASSERT_FALSE(thread->Post(CServerThread::kServeRequest));
    thread->AbandonConnection();
    EXPECT_FALSE(thread->IsBusy());
    first.ReadUntilClosed(1s);
    EXPECT_TRUE(first.closed);

    CTestClient second(listening.GetLocalPort());
    ASSERT_EQ(listening.Accept(accepted), 1);
    std::shared_ptr<CServerThread> next = m_pool.AssignConnection(accepted);
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, thread);
    ASSERT_TRUE(next->Post(CServerThread::kServeRequest));
    second.SendText("two\r\n");
    EXPECT_NE(second.ReadUntilClosed(5s).find("|two"), std::string::npos);
}

TEST_F(ServerPoolTest, AThreadThatEndsARequestServesTheConnectionWaitingAtItsListenerItself)
{
    CTcpSocket listening;
    ASSERT_EQ(listening.Listen("127.0.0.1", 0), 1);
    const int port = listening.GetLocalPort();
    auto source = std::make_shared<CAcceptSource>(listening, false);
    CTestClient first(port);
    CTestClient second(port);
    CTcpSocket accepted;
    ASSERT_EQ(listening.Accept(accepted), 1);
    std::shared_ptr<CServerThread> thread = m_pool.AssignConnection(accepted, source);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->Post(CServerThread::kServeRequest));
    const std::string id = std::to_string(thread->GetThreadId());
    first.SendText("one\r\n");
    second.SendText("two\r\n");
    EXPECT_EQ(first.ReadUntilClosed(5s), id + " GET /x (http)|one");
    EXPECT_EQ(second.ReadUntilClosed(5s), id + " GET /x (http)|two") << "nobody but the thread accepted it";
    ASSERT_TRUE(WaitFor([&] { return !thread->IsBusy(); })) << "nothing more waits";

    // Once the listener has closed its source, waiting connections are left to the listener.
    CTestClient third(port);
    CTestClient fourth(port);
    ASSERT_EQ(listening.Accept(accepted), 1);
    ASSERT_EQ(m_pool.AssignConnection(accepted, source), thread);
    source->Close();
    ASSERT_TRUE(thread->Post(CServerThread::kServeRequest));
    third.SendText("three\r\n");
    EXPECT_EQ(third.ReadUntilClosed(5s), id + " GET /x (http)|three");
    ASSERT_TRUE(WaitFor([&] { return !thread->IsBusy(); }));
    EXPECT_EQ(listening.TryAccept(accepted), 1) << "the fourth client still waits to be accepted";
    EXPECT_EQ(m_pool.GetThreadCount(), 1);
}

TEST_F(ServerPoolTest, RequestListNamesOtherBusyThreadsAndDisconnectCutsOne)
{
    const int port = StartedPort();
    CTestClient first(port);
    ASSERT_TRUE(WaitFor([&] { return m_handler->reading == 1; }));
    std::shared_ptr<CServerThread> firstThread = m_handler->LastThread();
    CTestClient second(port);
    ASSERT_TRUE(WaitFor([&] { return m_handler->reading == 2; }));
    std::shared_ptr<CServerThread> secondThread = m_handler->LastThread();
    ASSERT_NE(firstThread, secondThread);

    auto line = [](const std::shared_ptr<CServerThread>& thread) {
        return "127.0.0.1*" + std::to_string(thread->GetThreadId()) + "*" +
               CSspDateTime(thread->GetStartTime()).GetDateTimeStr2() + "*GET /x (http)\r\n";
    };
    const std::string all = m_pool.FormatRequestList(nullptr);
    EXPECT_NE(all.find(line(firstThread)), std::string::npos) << all;
    EXPECT_NE(all.find(line(secondThread)), std::string::npos) << all;
    // The thread that answers the console leaves itself out.
    EXPECT_EQ(m_pool.FormatRequestList(firstThread.get()), line(secondThread) + "watermark*2\r\n\r\n");

    EXPECT_EQ(m_pool.DisconnectById(0), 0);
    EXPECT_EQ(m_pool.DisconnectById(secondThread->GetThreadId()), 1);
    EXPECT_EQ(second.ReadUntilClosed(5s), "") << "cut without a reply";
    ASSERT_TRUE(WaitFor([&] { return !secondThread->IsBusy(); }));
    // An idle thread is neither listed nor cut; the watermark still counts it.
    EXPECT_EQ(m_pool.FormatRequestList(nullptr), line(firstThread) + "watermark*2\r\n\r\n");
    EXPECT_EQ(m_pool.DisconnectById(secondThread->GetThreadId()), 0);
    first.SendText("still here\r\n");
    EXPECT_NE(first.ReadUntilClosed(5s).find("|still here"), std::string::npos);
}

TEST_F(ServerPoolTest, ListenersGiveUpOnATakenPortAndStopQuietlyWhenEverTheStopComes)
{
    CTcpSocket taken;
    ASSERT_EQ(taken.Listen("127.0.0.1", 0), 1);
    auto blocked = StartListener(taken.GetLocalPort());
    EXPECT_FALSE(blocked->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
    EXPECT_TRUE(blocked->WaitForExit(5000));
    EXPECT_TRUE(m_log.Contains("Failed to bind to 127.0.0.1:" + std::to_string(taken.GetLocalPort())));
    EXPECT_TRUE(m_log.Contains("Web server failed to start."));

    auto running = StartListener();
    ASSERT_TRUE(running->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
    ASSERT_TRUE(WaitUntilBlockedIn(running->GetThreadId(), BlockingCall::Poll));
    running->Stop();
    ASSERT_TRUE(running->WaitForExit(5000));
    EXPECT_FALSE(m_log.Contains("Listener failed to accept."));
    CTcpSocket again;
    EXPECT_EQ(again.Listen("127.0.0.1", running->GetPort()), 1) << "the port was given back";

    auto early = std::make_shared<CListenerThread>(m_pool, "127.0.0.1", 0, false);
    early->Stop();
    ASSERT_TRUE(early->Start());
    EXPECT_FALSE(early->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
    EXPECT_TRUE(early->WaitForExit(5000));
}

}  // namespace
