// Connections per second through listener, pool and server threads with a trivial handler:
// each connection reads the request head, drains and sends a fixed response, then closes.
// Load comes from wrk, 64 clients that each open a new connection per request.
//
// Usage: server_pool_bench [seconds]   (exit code 1 when the figure is below the target)

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "webserver/listener_thread.h"
#include "webserver/server_thread.h"

extern char** environ;

namespace {

constexpr double kTargetPerSecond = 30000;
constexpr int kClients = 64;

class CTrivialHandler : public CConnectionHandler {
 public:
  std::atomic<long> m_served{0};

  void ServeConnection(CServerThread& thread) override {
    m_served.fetch_add(1, std::memory_order_relaxed);
    CTcpSocket& connection = thread.GetConnection();
    connection.SetTimeout(60);
    char line[4096];
    int length;
    while ((length = connection.ReadLine(line, sizeof line)) > 0 || length == -1) {
    }
    if (length != 0) return;
    connection.DrainInput();
    static const char kResponse[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nok\n";
    connection.Send(kResponse, sizeof kResponse - 1);
  }
};

// Runs wrk and returns its report.
std::string RunWrk(int port, int seconds) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const std::string clients = std::to_string(kClients);
  const std::string duration = std::to_string(seconds) + "s";
  std::vector<std::string> args = {"wrk", "-t8", "-c" + clients, "-d" + duration, "-H", "Connection: close", url};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe(out) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t child;
  const int spawned = posix_spawnp(&child, "wrk", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string report;
  if (spawned == 0) {
    char chunk[4096];
    ssize_t got;
    while ((got = read(out[0], chunk, sizeof chunk)) > 0) report.append(chunk, static_cast<size_t>(got));
    int status;
    waitpid(child, &status, 0);
  } else {
    std::fprintf(stderr, "cannot run wrk: %s\n", std::strerror(spawned));
  }
  close(out[0]);
  return report;
}

double RequestsPerSecond(const std::string& report) {
  const size_t at = report.find("Requests/sec:");
  if (at == std::string::npos) return 0;
  return std::strtod(report.c_str() + at + std::strlen("Requests/sec:"), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  auto handler = std::make_shared<CTrivialHandler>();
  CServerThreadPool pool(handler);
  auto listener = std::make_shared<CListenerThread>(pool, "127.0.0.1", 0, false);
  if (!listener->Start() || !listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds)) {
    std::fprintf(stderr, "listener did not start\n");
    return 2;
  }
  const std::string report = RunWrk(listener->GetPort(), seconds);
  listener->Stop();
  listener->WaitForExit(30000);
  const int threads = pool.GetThreadCount();
  pool.StopAll();

  std::fputs(report.c_str(), stdout);
  const double perSecond = RequestsPerSecond(report);
  std::printf("connections served: %ld on %d server threads\n", handler->m_served.load(), threads);
  std::printf("connections per second: %.0f (target %.0f, %d clients, Connection: close)\n", perSecond,
              kTargetPerSecond, kClients);
  return perSecond >= kTargetPerSecond ? 0 : 1;
}
