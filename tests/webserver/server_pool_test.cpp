#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/server_config.h"
#include "foundation/server_settings.h"
#include "foundation/ssp_date_time.h"
#include "network/tls_server.h"
#include "platform/file_system.h"
#include "tests/network/net_test_support.h"
#include "tests/network/test_certificates.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_folder.h"
#include "webserver/listener_thread.h"
#include "webserver/server_thread.h"

namespace {

using namespace std::chrono_literals;

// Serves the first line of a request head and answers "<thread id> <status text>|<line>". Some
// lines make it act as a page would:
// - "hold": the request is being served; the answer waits for one more line from the client.
// - "slow": the body is still on its way: one more line is read before the request counts as
//   received, so the pool may cut the connection meanwhile.
// - "big": the answer is kBigAnswer bytes, more than a client that does not read can take in.
// With `hang` set it ignores its connection until released, like a page run stuck in a driver.
// With `cutEndsAfter` set, a thread whose connection was cut takes that long to end, as on a
// machine under heavy load.
class CLineHandler : public CConnectionHandler
{
public:
    static constexpr std::size_t kBigAnswer = 64 << 20;

    std::atomic<int> holding{0};
    std::atomic<int> hangReports{0};
    std::atomic<int> hanging{0};
    std::atomic<int> dropped{0};
    bool hang = false;
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
        EXPECT_EQ(connection.SetTimeout(30), 1);
        thread.SetStatusText("GET /x");
        char line[256];
        if (connection.ReadLine(line, sizeof line) < 0)
            return;
        const std::string request = line;
        // The rest of the head, up to its empty line; the console's Disconnect ends with the close.
        while (connection.ReadLine(line, sizeof line) > 0) {
        }
        {
            std::lock_guard served(m_lock);
            m_lastStatus = thread.GetStatusText();
            m_served.push_back(request);
        }
        // A request cut by the pool meanwhile shows in what its client receives.
        if (request != "slow")
            static_cast<void>(thread.SetRequestReceived());
        if (request == "hold" || request == "slow") {
            ++holding;
            const int more = connection.ReadLine(line, sizeof line);
            --holding;
            if (!thread.SetRequestReceived() || more < 0) {
                ++dropped;
                std::this_thread::sleep_for(cutEndsAfter);
                return;
            }
        }
        const std::string answer =
            request == "big" ? std::string(kBigAnswer, 'x')
                             : std::to_string(thread.GetThreadId()) + " " + thread.GetStatusText() + "|" + request;
        // The client checks what arrives.
        static_cast<void>(connection.Send(answer.data(), static_cast<int>(answer.size())));
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
    std::vector<std::string> Served()
    {
        std::lock_guard guard(m_lock);
        return m_served;
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
    std::vector<std::string> m_served;
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

bool Contains(const std::string& text, std::string_view part)
{
    return text.find(part) != std::string::npos;
}

// Sets the connection wait limit before the pool's supervisor thread starts reading it, and puts
// the default back once that thread has ended.
class CWaitLimitSetting
{
public:
    explicit CWaitLimitSetting(int seconds) { TheServerConfig().m_connectionWaitLimit = seconds; }
    ~CWaitLimitSetting() { TheServerConfig().m_connectionWaitLimit = kDefault; }
    CWaitLimitSetting(const CWaitLimitSetting&) = delete;
    CWaitLimitSetting& operator=(const CWaitLimitSetting&) = delete;

    static inline const int kDefault = GetServerSetting(SettingId::kConnectionWaitLimit).defaultNumber;
};

class ServerPoolTest : public ::testing::Test
{
protected:
    explicit ServerPoolTest(int waitLimit = CWaitLimitSetting::kDefault) : m_waitLimit(waitLimit) {}
    ~ServerPoolTest() override
    {
        for (auto& listener : m_listeners) {
            listener->Stop();
            EXPECT_TRUE(listener->WaitForExit(30000));
        }
        m_handler->Release();
        m_pool.StopAll();
        // Only now: the threads that ran a TLS handshake keep state in the credentials' library
        // until they end.
        FreeTlsCredentials();
    }

    std::shared_ptr<CListenerThread> StartListener(int port = 0, bool secure = false,
                                                   std::size_t capacity = CConnectionReception::AffordableConnections())
    {
        auto listener = std::make_shared<CListenerThread>(m_pool, "127.0.0.1", port, secure, capacity);
        EXPECT_TRUE(listener->Start());
        m_listeners.push_back(listener);
        return listener;
    }
    int StartedPort(bool secure = false, std::size_t capacity = CConnectionReception::AffordableConnections())
    {
        auto listener = StartListener(0, secure, capacity);
        EXPECT_TRUE(listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
        return listener->GetPort();
    }
    // `count` clients whose requests keep a thread each, all sending `request` but the last, which
    // sends `last`; empty when not every one came to serve its request.
    std::vector<std::unique_ptr<CTestClient>> HoldThreads(int port, int count, const std::string& request,
                                                          const std::string& last)
    {
        std::vector<std::unique_ptr<CTestClient>> held;
        for (int i = 0; i < count; ++i)
            held.push_back(Send(port, i + 1 < count ? request : last));
        if (!WaitFor([&] { return m_handler->holding == count; }))
            held.clear();
        return held;
    }
    std::vector<std::unique_ptr<CTestClient>> HoldEveryThread(int port, const std::string& last = "hold")
    {
        return HoldThreads(port, CServerThreadPool::kMaxThreads, "hold", last);
    }
    static std::unique_ptr<CTestClient> Send(int port, const std::string& line)
    {
        auto client = std::make_unique<CTestClient>(port);
        client->SendText(line + "\r\n\r\n");
        return client;
    }
    static std::string Ask(int port, const std::string& line) { return Send(port, line)->ReadUntilClosed(30s); }

    CWaitLimitSetting m_waitLimit;  // first, so that it outlives the pool
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

    ASSERT_TRUE(WaitFor([&] { return !m_handler->LastThread()->IsBusy(); }));
    EXPECT_EQ(Ask(port, "two"), id + " GET /x (http)|two");
    ASSERT_TRUE(WaitFor([&] { return !m_handler->LastThread()->IsBusy(); }));
    EXPECT_EQ(m_handler->LastStatus(), "GET /x (http)");

    // A secure listener's connection is a TLS one, and the status text tells the kind.
    TempFolder install("tw-pool");
    SetProgramDirectory(install.Path());
    CTestCertificates make(install.Path());
    ASSERT_TRUE(make.MakeSelfSigned("server", "/CN=localhost", "0x0102"));
    std::filesystem::create_directories(install.Path() + "/certs");
    ASSERT_TRUE(make.Install("server", install.Path() + "/certs/server.pem"));
    ASSERT_EQ(InitTlsCredentials("localhost", "localhost", "0102"), 1);
    RunProgram({"curl", "-sk", "--max-time", "20", "https://127.0.0.1:" + std::to_string(StartedPort(true)) + "/"});
    EXPECT_EQ(m_handler->Served().back(), "GET / HTTP/1.1");
    EXPECT_EQ(m_handler->LastStatus(), "GET /x (https)");
    EXPECT_EQ(std::to_string(m_handler->LastThread()->GetThreadId()), id);
    EXPECT_EQ(m_pool.GetThreadCount(), 1);
}

TEST_F(ServerPoolTest, ConnectionsBeyondTheThreadsWaitTheirTurnAndAreServedInOrder)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldEveryThread(port);
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));

    std::vector<std::unique_ptr<CTestClient>> waiting;
    for (const char* line : {"w1", "w2", "w3"}) {
        waiting.push_back(Send(port, line));
        ASSERT_TRUE(WaitFor([&] { return m_pool.WaitingCount() == waiting.size(); }));
    }
    EXPECT_EQ(m_handler->Served().size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));

    // The first thread to end its request serves the waiting ones itself, oldest first.
    held.front()->SendText("go\r\n");
    EXPECT_TRUE(Contains(held.front()->ReadUntilClosed(5s), "|hold"));
    std::string id;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        const std::string answer = waiting[i]->ReadUntilClosed(5s);
        EXPECT_TRUE(Contains(answer, "|w" + std::to_string(i + 1))) << answer;
        if (i == 0)
            id = answer.substr(0, answer.find(' '));
        EXPECT_EQ(answer.substr(0, answer.find(' ')), id) << "one thread took them one after the other";
    }
    EXPECT_EQ(m_pool.WaitingCount(), 0U);
    EXPECT_EQ(m_pool.GetThreadCount(), CServerThreadPool::kMaxThreads);
    EXPECT_EQ(m_handler->dropped, 0) << "a request being served is never cut to make room";
    EXPECT_FALSE(m_log.Contains("503"));
}

class ServerPoolShortWaitTest : public ServerPoolTest
{
protected:
    ServerPoolShortWaitTest() : ServerPoolTest(1) {}
};

TEST_F(ServerPoolShortWaitTest, AConnectionThatWaitsPastTheLimitIsAnsweredServiceUnavailable)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldEveryThread(port);
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));

    constexpr int kBurst = 20;
    std::vector<std::unique_ptr<CTestClient>> refused;
    for (int i = 0; i < kBurst; ++i)
        refused.push_back(Send(port, "late"));
    const auto start = std::chrono::steady_clock::now();
    for (auto& client : refused) {
        const std::string answer = client->ReadUntilClosed(10s);
        EXPECT_EQ(answer.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0U) << answer;
        EXPECT_TRUE(Contains(answer, "\r\nRetry-After: 10\r\n")) << answer;
        EXPECT_TRUE(Contains(answer, "The server is busy.")) << answer;
        EXPECT_TRUE(client->closed);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms) << "not before the limit";
    EXPECT_EQ(m_handler->Served().size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));
    for (auto& client : held)
        client->SendText("go\r\n");
    for (auto& client : held)
        client->ReadUntilClosed(5s);
    m_pool.StopAll();
    EXPECT_LE(CountEntries(m_log, "Service Unavailable\" after waiting"), 3) << "a line a second at most";
    EXPECT_EQ(SumOfCounts(m_log, "Answered since the last such line: "), kBurst);
}

TEST_F(ServerPoolTest, ClientsThatHaveNotSentAWholeHeadHoldNoThread)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<CTestClient>(port));
        if (i % 2 == 1)
            idle.back()->SendText("GET /slowly HTTP/1.0\r\nX-Trickle: ");
    }
    EXPECT_TRUE(Contains(Ask(port, "newcomer"), "|newcomer"));
    EXPECT_EQ(m_pool.GetThreadCount(), 1);
    idle.back()->SendText("a\r\n\r\n");
    EXPECT_TRUE(Contains(idle.back()->ReadUntilClosed(5s), "|GET /slowly HTTP/1.0"))
        << "a head that comes in pieces is served once whole";
}

TEST_F(ServerPoolTest, AtItsCapacityTheListenerClosesTheOldestConnectionThatHasSentNoWholeHead)
{
    constexpr std::size_t kCapacity = 20;
    const int port = StartedPort(false, kCapacity);
    std::vector<std::unique_ptr<CTestClient>> idle;
    for (std::size_t i = 0; i < kCapacity; ++i)
        idle.push_back(std::make_unique<CTestClient>(port));
    EXPECT_TRUE(Contains(Ask(port, "newcomer"), "|newcomer"));
    idle.front()->ReadUntilClosed(5s);
    EXPECT_TRUE(idle.front()->closed) << "the oldest made room";
    idle.back()->SendText("late\r\n\r\n");
    EXPECT_TRUE(Contains(idle.back()->ReadUntilClosed(5s), "|late")) << "the others are still there";
    EXPECT_TRUE(m_log.Contains("were closed to make room for new ones."));
}

TEST_F(ServerPoolTest, ARequestThatIsSlowToArriveIsCutForAWaitingClientOnceItHasTakenAWhile)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldEveryThread(port, "slow");
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));

    const auto arrived = std::chrono::steady_clock::now();
    EXPECT_TRUE(Contains(Ask(port, "newcomer"), "|newcomer"));
    EXPECT_GE(std::chrono::steady_clock::now() - arrived,
              std::chrono::milliseconds(CServerThreadPool::kCutAfterMilliseconds));
    held.back()->ReadUntilClosed(5s);
    EXPECT_TRUE(held.back()->closed || held.back()->reset) << "the slow request made room";
    EXPECT_EQ(m_handler->dropped, 1);
    EXPECT_TRUE(m_log.Contains("too slowly were closed to make room. Closed since the last such line: 1."));
    held.front()->SendText("go\r\n");
    EXPECT_TRUE(Contains(held.front()->ReadUntilClosed(5s), "|hold")) << "requests being served are kept";
}

TEST_F(ServerPoolTest, AClientThatDoesNotReadItsAnswerIsCutForAWaitingClient)
{
    const int port = StartedPort();
    const int others = CServerThreadPool::kMaxThreads - 1;
    std::vector<std::unique_ptr<CTestClient>> held = HoldThreads(port, others, "hold", "hold");
    ASSERT_EQ(held.size(), static_cast<size_t>(others));
    // Its answer fills every buffer between the two, and the send waits for it to read.
    std::unique_ptr<CTestClient> stalled = Send(port, "big");
    ASSERT_TRUE(WaitFor([&] { return m_handler->Served().size() == CServerThreadPool::kMaxThreads; }));

    EXPECT_TRUE(Contains(Ask(port, "newcomer"), "|newcomer"));
    const std::string partial = stalled->ReadUntilClosed(10s);
    EXPECT_LT(partial.size(), CLineHandler::kBigAnswer) << "cut before its answer was whole";
    EXPECT_TRUE(stalled->closed || stalled->reset);
    EXPECT_TRUE(m_log.Contains("too slowly were closed to make room."));
}

TEST_F(ServerPoolTest, TheConsolesCommandsAreServedWhileEveryThreadIsBusy)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldEveryThread(port);
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));
    EXPECT_TRUE(Contains(Ask(port, "twConsole.GetReq"), "|twConsole.GetReq"));
    // The console's Disconnect ends with the close, not with an empty line.
    CTestClient disconnect(port);
    disconnect.SendText("twConsole.Disconnect 1\r\n");
    shutdown(disconnect.Fd(), SHUT_WR);
    EXPECT_TRUE(Contains(disconnect.ReadUntilClosed(5s), "|twConsole.Disconnect 1"));
    EXPECT_EQ(m_pool.GetThreadCount(), CServerThreadPool::kMaxThreads) << "the console's thread is not counted";
    EXPECT_EQ(m_pool.WaitingCount(), 0U);
}

TEST_F(ServerPoolTest, ANewcomerWaitsForTheThreadOfTheOneConnectionCutForIt)
{
    // The cut thread takes longer to end than a waiting client would wait for a second cut.
    m_handler->cutEndsAfter = 1500ms;
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldThreads(port, CServerThreadPool::kMaxThreads, "slow", "slow");
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));
    EXPECT_TRUE(Contains(Ask(port, "newcomer"), "|newcomer"));
    EXPECT_EQ(m_handler->dropped, 1) << "one waiting client costs one slow one";
    held[1]->SendText("rest of it\r\n");
    EXPECT_TRUE(Contains(held[1]->ReadUntilClosed(5s), "|slow"));
}

TEST_F(ServerPoolTest, StopAllAnswersWaitingConnectionsCutsTheServedAndGivesUpOnAHungThread)
{
    const int port = StartedPort();
    std::vector<std::unique_ptr<CTestClient>> held = HoldEveryThread(port);
    ASSERT_EQ(held.size(), static_cast<size_t>(CServerThreadPool::kMaxThreads));
    std::unique_ptr<CTestClient> waiting = Send(port, "waiting");
    ASSERT_TRUE(WaitFor([&] { return m_pool.WaitingCount() == 1; }));
    EXPECT_EQ(m_pool.StopAll(), 0);
    EXPECT_EQ(waiting->ReadUntilClosed(5s).rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0U);
    held.front()->ReadUntilClosed(1s);
    EXPECT_TRUE(held.front()->closed);
    EXPECT_EQ(m_pool.GetThreadCount(), 0);

    m_handler->hang = true;
    std::unique_ptr<CTestClient> stuck = Send(port, "stuck");
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

TEST_F(ServerPoolTest, AThreadThatHasEndedIsPassedOverAndAnAbandonedConnectionFreesIt)
{
    const int port = StartedPort();
    EXPECT_TRUE(Contains(Ask(port, "one"), "|one"));
    std::shared_ptr<CServerThread> thread = m_handler->LastThread();
    ASSERT_TRUE(WaitFor([&] { return !thread->IsBusy(); }));
    thread->PostQuit();
    ASSERT_TRUE(thread->WaitForExit(5000));
    EXPECT_TRUE(Contains(Ask(port, "two"), "|two"));
    EXPECT_NE(m_handler->LastThread(), thread);
    EXPECT_EQ(m_pool.GetThreadCount(), 2);

    ASSERT_TRUE(thread->Claim());
    ASSERT_FALSE(thread->Post(CServerThread::kServeRequest));
    thread->AbandonConnection();
    EXPECT_FALSE(thread->IsBusy());
}

TEST_F(ServerPoolTest, RequestListNamesOtherBusyThreadsAndDisconnectCutsOne)
{
    const int port = StartedPort();
    std::unique_ptr<CTestClient> first = Send(port, "hold");
    ASSERT_TRUE(WaitFor([&] { return m_handler->holding == 1; }));
    std::shared_ptr<CServerThread> firstThread = m_handler->LastThread();
    std::unique_ptr<CTestClient> second = Send(port, "hold");
    ASSERT_TRUE(WaitFor([&] { return m_handler->holding == 2; }));
    std::shared_ptr<CServerThread> secondThread = m_handler->LastThread();
    ASSERT_NE(firstThread, secondThread);

    auto line = [](const std::shared_ptr<CServerThread>& thread) {
        return "127.0.0.1*" + std::to_string(thread->GetThreadId()) + "*" +
               CSspDateTime(thread->GetStartTime()).GetDateTimeStr2() + "*GET /x (http)\r\n";
    };
    const std::string all = m_pool.FormatRequestList(nullptr);
    EXPECT_TRUE(Contains(all, line(firstThread))) << all;
    EXPECT_TRUE(Contains(all, line(secondThread))) << all;
    // The thread that answers the console leaves itself out.
    EXPECT_EQ(m_pool.FormatRequestList(firstThread.get()), line(secondThread) + "watermark*2\r\n\r\n");

    EXPECT_EQ(m_pool.DisconnectById(0), 0);
    EXPECT_EQ(m_pool.DisconnectById(secondThread->GetThreadId()), 1);
    EXPECT_EQ(second->ReadUntilClosed(5s), "") << "cut without a reply";
    ASSERT_TRUE(WaitFor([&] { return !secondThread->IsBusy(); }));
    // An idle thread is neither listed nor cut; the watermark still counts it.
    EXPECT_EQ(m_pool.FormatRequestList(nullptr), line(firstThread) + "watermark*2\r\n\r\n");
    EXPECT_EQ(m_pool.DisconnectById(secondThread->GetThreadId()), 0);
    first->SendText("still here\r\n");
    EXPECT_TRUE(Contains(first->ReadUntilClosed(5s), "|hold"));
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
    ASSERT_TRUE(WaitUntilBlockedIn(running->GetThreadId(), BlockingCall::EpollWait));
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
