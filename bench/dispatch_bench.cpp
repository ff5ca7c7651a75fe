// Requests per second through the whole web server: listener, pool, request parsing, dispatch and
// response, for a 1 KB static file and for a page that writes a table of 100 rows. The site lives
// in a temporary installation folder of its own. Load comes from wrk, 64 clients that each open a
// new connection per request.
//
// Usage: dispatch_bench [seconds]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/table_page.h"
#include "bench/wrk_runner.h"
#include "foundation/log.h"
#include "foundation/server_config.h"
#include "network/tcp_socket.h"
#include "platform/file_system.h"
#include "webserver/listener_thread.h"
#include "webserver/request_dispatcher.h"
#include "webserver/server_thread.h"

namespace {

// One request through a plain socket: the figures count only if the page really is the table.
std::string Fetch(int port, const std::string& path)
{
    CTcpSocket client;
    std::string reply;
    if (client.Connect("127.0.0.1", port) != 1 || client.Send(("GET " + path + " HTTP/1.0\r\n\r\n").c_str()) != 1)
        return reply;
    char chunk[4096];
    for (int got; (got = client.Recv(chunk, sizeof chunk)) > 0;)
        reply.append(chunk, static_cast<size_t>(got));
    return reply;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    std::string site = (std::filesystem::temp_directory_path() / "tw-dispatch-bench-XXXXXX").string();
    if (mkdtemp(site.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    SetProgramDirectory(site);
    std::filesystem::create_directories(site + "/webroot");
    WriteFile(site + "/webroot/static.html", std::string(1024, 'x'));
    WriteFile(site + "/webroot/table.twp", kTablePage);
    TheServerConfig().m_mimeMap = {{"html", "text/html"}};
    TheLog().SetCallbackMode(
        [](std::string_view entry) { std::fprintf(stderr, "%.*s", static_cast<int>(entry.size()), entry.data()); });

    CServerThreadPool pool(std::make_shared<CRequestDispatcher>());
    auto listener = std::make_shared<CListenerThread>(pool, "127.0.0.1", 0, false);
    if (!listener->Start() || !listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds)) {
        std::fprintf(stderr, "listener did not start\n");
        return 2;
    }
    const std::string page = Fetch(listener->GetPort(), "/table.twp");
    if (!IsTablePage(page)) {
        std::fprintf(stderr, "the table page did not come out as expected:\n%s\n", page.c_str());
        return 2;
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(listener->GetPort());
    const std::string staticReport = RunWrk(base + "/static.html", seconds);
    const std::string pageReport = RunWrk(base + "/table.twp", seconds);
    // The installed default: every page run holds the application lock, so runs take turns.
    TheServerConfig().m_dbAccessSerialize = 1;
    const std::string serializedReport = RunWrk(base + "/table.twp", seconds);
    listener->Stop();
    if (!listener->WaitForExit(30000))
        std::fprintf(stderr, "the listener did not stop within 30 s\n");
    pool.StopAll();
    std::filesystem::remove_all(site);

    std::fputs(staticReport.c_str(), stdout);
    std::fputs(pageReport.c_str(), stdout);
    std::fputs(serializedReport.c_str(), stdout);
    std::printf("1 KB static file: %.0f requests/s\n", RequestsPerSecond(staticReport));
    std::printf("page with a 100-row table: %.0f requests/s\n", RequestsPerSecond(pageReport));
    std::printf("the same with DbAccessSerialize on: %.0f requests/s\n", RequestsPerSecond(serializedReport));
    std::printf("(%d wrk clients, Connection: close)\n", kWrkClients);
    return 0;
}
