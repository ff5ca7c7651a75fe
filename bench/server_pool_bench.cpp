// Connections per second through listener, pool and server threads with a trivial handler:
// each connection reads the request head, drains and sends a fixed response, then closes.
// Load comes from wrk, 64 clients that each open a new connection per request.
//
// Usage: server_pool_bench [seconds]   (exit code 1 when the figure is below the target)

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/wrk_runner.h"
#include "webserver/listener_thread.h"
#include "webserver/server_thread.h"

namespace {

constexpr double kTargetPerSecond = 30000;

class CTrivialHandler : public CConnectionHandler
{
public:
    std::atomic<long> m_served{0};

    void ServeConnection(CServerThread& thread) override
    {
        m_served.fetch_add(1, std::memory_order_relaxed);
        CTcpSocket& connection = thread.GetConnection();
        if (!connection.SetTimeout(60))
            return;
        char line[4096];
        int length;
        while ((length = connection.ReadLine(line, sizeof line)) > 0 || length == -1) {
        }
        if (length != 0)
            return;
        connection.DrainInput();
        static const char kResponse[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nok\n";
        // wrk counts the answers that fail.
        static_cast<void>(connection.Send(kResponse, sizeof kResponse - 1));
    }
};

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    auto handler = std::make_shared<CTrivialHandler>();
    CServerThreadPool pool(handler);
    auto listener = std::make_shared<CListenerThread>(pool, "127.0.0.1", 0, false);
    if (!listener->Start() || !listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds)) {
        std::fprintf(stderr, "listener did not start\n");
        return 2;
    }
    const std::string report = RunWrk("http://127.0.0.1:" + std::to_string(listener->GetPort()) + "/", seconds);
    listener->Stop();
    if (!listener->WaitForExit(30000))
        std::fprintf(stderr, "the listener did not stop within 30 s\n");
    const int threads = pool.GetThreadCount();
    pool.StopAll();

    std::fputs(report.c_str(), stdout);
    const double perSecond = RequestsPerSecond(report);
    std::printf("connections served: %ld on %d server threads\n", handler->m_served.load(), threads);
    std::printf("connections per second: %.0f (target %.0f, %d clients, Connection: close)\n", perSecond,
                kTargetPerSecond, kWrkClients);
    return perSecond >= kTargetPerSecond ? 0 : 1;
}
