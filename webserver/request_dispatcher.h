// CRequestDispatcher is what a server thread does with one connection: read the request, decide
// between redirect, refusal, page run, database attachment and static file, answer, and leave the
// connection to the thread to close. twServer and twStudio install the same handler in their
// pools and differ only by two hooks: twServer answers the console's commands, twStudio echoes
// what a request received and produced to its debugger.
//
// Every failure ends in an HTML page (the failed page's own error page, else the application's
// "error.twp", else the built-in page) with the status that says what happened: 404 for a file or
// page that is not there, 403 for a refused path, 400, 411 or 413 for a request the server does not
// take, 500 for a page that failed while it ran. A request that could not be read, a console
// command that nobody answers and a page whose client left while it waited for its turn close
// their connections without a reply. What the client is shown names files by their place below
// the web root.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

#include "webserver/server_thread.h"
#include "webserver/ssp_response.h"

class CSspEngine;
class CSspRequest;

class CRequestDispatcher : public CConnectionHandler
{
public:
    // Bounds every wait for the peer while a connection is served.
    static constexpr int kConnectionTimeoutSeconds = 60;
    // The longest extension that a generated attachment file takes over from its URL.
    static constexpr std::size_t kMaxGeneratedExtension = 16;

    // Answers a console command on the thread's connection: the request's method (which holds
    // "twConsole.") and its argument (the request's URL). Runs whatever the parse result was.
    using ConsoleCommandHook =
        std::function<void(CServerThread& thread, const std::string& method, const std::string& argument)>;

    // Hooks are set before the pool serves its first connection and never changed afterwards.
    // twServer: without this hook a console command is closed without reply, as twStudio does.
    void SetConsoleCommandHook(ConsoleCommandHook hook) { m_consoleCommand = std::move(hook); }
    // twStudio: receives the request head, every piece of page output and each response head.
    void SetEchoHook(CEchoHook hook) { m_echo = std::move(hook); }

    void ServeConnection(CServerThread& thread) override;
    void LogHangPosition(CServerThread& thread) override;

    // Acts on a parsed (or failed) request; `parseResult` is CSspRequest::Parse's.
    void DispatchRequest(CServerThread& thread, CSspRequest& request, int parseResult);
    // Runs the request's page (or serves its database attachment) and sends the output.
    void RunPage(CServerThread& thread, CSspRequest& request);
    // Answers `message` with `status` and the failed run's own error page, else the application's
    // "error.twp", else the built-in page; `failed` may be null.
    void SendErrorPage(CServerThread& thread, CSspRequest& request, std::string_view message, const CSspEngine* failed,
                       const char* status);

    // The folder of generated files: <install>/tmp, created when missing; the installation
    // folder itself when it cannot be.
    static std::string TemporaryFolder();
    // The output file of a page run on thread `threadId`: "dyn<id>.html"; an attachment's takes
    // the URL's extension when that is 1 to kMaxGeneratedExtension letters or digits, else none.
    static std::string PageOutputPath(pid_t threadId, bool attachment, std::string_view extension);
    // True when a URL path may be mapped to a file: it holds no "..", "//" nor "\".
    static bool IsSafeUrlPath(std::string_view urlPath);

private:
    void Route(CServerThread& thread, CSspRequest& request);
    // Readies a response to `request`: echoed in twStudio, head only for HEAD.
    void Prepare(CSspResponse& response, const CSspRequest& request) const;
    const CEchoHook* EchoHook() const { return m_echo ? &m_echo : nullptr; }

    ConsoleCommandHook m_consoleCommand;
    CEchoHook m_echo;
};
