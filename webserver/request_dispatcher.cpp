#include "webserver/request_dispatcher.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "language/ssp_app.h"
#include "language/ssp_engine.h"
#include "network/tcp_socket.h"
#include "platform/file_system.h"
#include "platform/message_thread.h"
#include "webserver/ssp_request.h"

namespace {

constexpr int kMsgUploadTooLarge = 16;
constexpr int kMsgNoContentLength = 17;
constexpr int kMsgRequestHeader = 162;
constexpr int kMsgHtmlGenerated = 163;

constexpr const char* kInvalidAddress = "Invalid HTTP address.";
constexpr const char* kAddressTooLong = "HTTP address too long: a request line may hold at most 4095 bytes.";
constexpr const char* kScriptFolderRefused =
    ".tws files in a script folder are system files. They are not accessible from a web browser. ";
constexpr const char* kLogFolderRefused = "Log files are system files. They are not accessible from a web browser. ";

// The request's folder as the root application sees it: lower-cased, with a leading '/' and
// without "." segments, so that "script/x.tws" or "/./log/day01.txt" cannot pass the folder
// checks that "/script/x.tws" and "/log/day01.txt" fail.
std::string NormalizedFolder(const CSspRequest& request)
{
    std::string folder = LowerAscii(request.GetUrlFolder());
    if (folder.empty() || folder.front() != '/')
        folder.insert(folder.begin(), '/');
    for (std::size_t dot = folder.find("/./"); dot != std::string::npos; dot = folder.find("/./"))
        folder.erase(dot, 2);
    return folder;
}

bool IsScriptFile(const CSspRequest& request, const std::string& folder)
{
    return folder.find("/script/") != std::string::npos && EqualsNoCase(request.GetExtension(), "tws");
}

// The day log files lie in the web root's "log" folder.
bool IsInLogFolder(const std::string& folder)
{
    return folder.compare(0, 5, "/log/") == 0;
}

bool IsGeneratedExtension(std::string_view extension)
{
    if (extension.empty() || extension.size() > CRequestDispatcher::kMaxGeneratedExtension)
        return false;
    for (char c : extension) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// The root URL of the application that the request's folder belongs to, below which its
// "error.twp" lies; "/" when no application registered a root that covers the folder. The root
// is copied under the list lock, which keeps the entry alive while it is read.
std::string ApplicationRootOf(const CSspRequest& request)
{
    CSspApp& app = TheSspApp();
    std::string root;
    {
        std::lock_guard guard(app.ListLock());
        if (const CSspAppEntry* entry = app.FindApp(request.GetUrlFolder()))
            root = entry->GetRoot();
    }
    // A root is the URL folder of the page that registered it, so it starts and ends with "/";
    // anything else would not name a folder of the web root.
    if (root.empty() || root.front() != '/' || !CRequestDispatcher::IsSafeUrlPath(root))
        return "/";
    if (root.back() != '/')
        root += '/';
    return root;
}

// Raises the serving thread's priority to the highest for one page run; restores it afterwards.
// Without the right to raise it, the run goes on at normal priority.
class CPriorityBoost
{
public:
    explicit CPriorityBoost(bool wanted) : m_thread(static_cast<id_t>(CurrentThreadId()))
    {
        if (!wanted)
            return;
        errno = 0;
        m_previous = getpriority(PRIO_PROCESS, m_thread);
        m_raised = errno == 0 && setpriority(PRIO_PROCESS, m_thread, -20) == 0;
    }
    ~CPriorityBoost()
    {
        if (m_raised)
            setpriority(PRIO_PROCESS, m_thread, m_previous);
    }
    CPriorityBoost(const CPriorityBoost&) = delete;
    CPriorityBoost& operator=(const CPriorityBoost&) = delete;

private:
    id_t m_thread;
    int m_previous = 0;
    bool m_raised = false;
};

// A page that could not be run because its file is not there is "not found"; any other failure
// of a run is the server's.
const char* RunFailureStatus(const CSspRequest& request)
{
    struct stat info
    {};
    if (!request.IsAttachment() && stat(request.GetFilePath().c_str(), &info) != 0 &&
        (errno == ENOENT || errno == ENOTDIR))
        return CSspResponse::kStatusNotFound;
    return CSspResponse::kStatusServerError;
}

bool WantsPriorityBoost(const CSspRequest& request)
{
    const CTcpSocket* connection = request.GetConnection();
    return connection != nullptr && connection->GetPeer().sin_addr.s_addr == TheServerConfig().m_tcpipAddress &&
           request.GetBrowserType() == "Navigator" && request.GetBrowserVersionMajor() <= 5;
}

// The Location of a redirect that the server makes from the request's own path. A browser reads a
// Location that opens with two or more slashes or backslashes as another host's address: "GET
// //3232235777" must not send the client to 192.168.1.1. The opening run is written as one slash.
std::string LocationOnThisServer(std::string_view path)
{
    const size_t rest = path.find_first_not_of("/\\");
    return "/" + std::string(rest == std::string_view::npos ? "" : path.substr(rest));
}

}  // namespace

void CRequestDispatcher::ServeConnection(CServerThread& thread)
{
    CTcpSocket& connection = thread.GetConnection();
    // A connection whose waits could not be bounded is closed unanswered (the socket logged why).
    if (!connection.SetTimeout(kConnectionTimeoutSeconds))
        return;
    CSspRequest request(&connection);
    const int parseResult = request.Parse();
    // Cut by the pool to make room for a newer client: the connection is gone.
    if (!thread.SetRequestReceived())
        return;
    // A client that reads the response slower than a request body may come is cut as one that
    // sends so, rather than hold the thread for the connection's time-out on each send.
    const CRequestTimeLimits limits;
    connection.SetMinimumSendRate(limits.minBytesPerWindow, limits.rateWindowSeconds);
    thread.SetStatusText(request.GetFullUrl().c_str());
    if (request.GetMethod().find("twConsole.") != std::string::npos) {
        if (m_consoleCommand)
            m_consoleCommand(thread, request.GetMethod(), request.GetFullUrl());
        return;
    }
    DispatchRequest(thread, request, parseResult);
}

void CRequestDispatcher::LogHangPosition(CServerThread& thread)
{
    thread.CurrentEngine().Visit([](const CSspEngine& engine) { engine.LogHangPosition(); });
}

void CRequestDispatcher::DispatchRequest(CServerThread& thread, CSspRequest& request, int parseResult)
{
    CTcpSocket& connection = thread.GetConnection();
    const bool logHttp = TheServerConfig().m_logHttp != 0;
    std::string logLine;
    if (logHttp) {
        logLine = connection.GetPeerAddress() + " " + PrintableForLog(request.GetFullUrl()) + " [" +
                  std::to_string(thread.GetThreadId()) + "]";
        TheLog().WriteLine("%s", logLine.c_str());
    }
    if (m_echo) {
        m_echo(std::string(CMessageCatalog::Text(kMsgRequestHeader)) + request.GetAllHeaders() +
               CMessageCatalog::Text(kMsgHtmlGenerated));
    }
    connection.DrainInput();

    switch (parseResult) {
    case CSspRequest::kParseOk: Route(thread, request); break;
    case CSspRequest::kParseInvalidAddress:
        SendErrorPage(thread, request, kInvalidAddress, nullptr, CSspResponse::kStatusBadRequest);
        break;
    case CSspRequest::kParseAddressTooLong:
        SendErrorPage(thread, request, kAddressTooLong, nullptr, CSspResponse::kStatusUriTooLong);
        break;
    case CSspRequest::kParseTooLarge: {
        char text[160];
        std::snprintf(text, sizeof text, CMessageCatalog::Format(kMsgUploadTooLarge), TheServerConfig().m_maxUpload);
        SendErrorPage(thread, request, text, nullptr, CSspResponse::kStatusTooLarge);
        break;
    }
    case CSspRequest::kParseBroken: break;
    case CSspRequest::kParseNoContentLength:
        SendErrorPage(thread, request, CMessageCatalog::Text(kMsgNoContentLength), nullptr,
                      CSspResponse::kStatusLengthRequired);
        break;
    case CSspRequest::kParseNoMemory:
        SendErrorPage(thread, request, CMessageCatalog::Text(kMsgOutOfMemory), nullptr,
                      CSspResponse::kStatusServerError);
        break;
    default: SendErrorPage(thread, request, "Server Error.", nullptr, CSspResponse::kStatusServerError); break;
    }
    if (logHttp)
        TheLog().WriteLine("%s sent.", logLine.c_str());
}

void CRequestDispatcher::Route(CServerThread& thread, CSspRequest& request)
{
    request.GetFields().Parse();
    CSspResponse response(&thread.GetConnection());
    Prepare(response, request);
    const std::string& urlPath = request.GetUrlPath();
    const std::string& extension = request.GetExtension();
    const std::string folder = NormalizedFolder(request);

    if (request.IsAttachment()) {
        RunPage(thread, request);
    } else if (urlPath.empty() || (extension.empty() && urlPath.back() != '/')) {
        response.SendRedirect(LocationOnThisServer(urlPath + "/"), true);
    } else if (urlPath.back() == '/') {
        // Only a path that may be mapped is looked at on disk: a client must not learn through
        // the choice of redirect whether a file exists outside the web root.
        const bool pageExists =
            IsSafeUrlPath(urlPath) && access((request.GetFilePath() + "index.twp").c_str(), F_OK) == 0;
        response.SendRedirect(LocationOnThisServer(urlPath + (pageExists ? "index.twp" : "index.html")), false);
    } else if (!IsSafeUrlPath(urlPath)) {
        SendErrorPage(thread, request, kInvalidAddress, nullptr, CSspResponse::kStatusForbidden);
    } else if (IsScriptFile(request, folder)) {
        SendErrorPage(thread, request, kScriptFolderRefused, nullptr, CSspResponse::kStatusForbidden);
    } else if (IsInLogFolder(folder)) {
        SendErrorPage(thread, request, kLogFolderRefused, nullptr, CSspResponse::kStatusForbidden);
    } else if (EqualsNoCase(extension, "twp")) {
        RunPage(thread, request);
    } else {
        response.Send(request.GetFilePath());
    }
}

void CRequestDispatcher::RunPage(CServerThread& thread, CSspRequest& request)
{
    const CPriorityBoost boost(WantsPriorityBoost(request));
    CSspResponse response(&thread.GetConnection());
    Prepare(response, request);
    response.SetOutputPath(PageOutputPath(thread.GetThreadId(), request.IsAttachment(), request.GetExtension()));

    CSspEngine engine;
    int result;
    {
        CCurrentEngine::Scope current(thread.CurrentEngine(), engine);
        engine.SetRunTimeLimit(TheServerConfig().m_pageRunTimeLimit);
        CSspRunArgs args;
        args.filePath = request.GetFilePath();
        args.urlPath = request.GetUrlPath();
        args.request = &request;
        args.response = &response;
        result = request.IsAttachment() ? engine.ServeDbAttachment(args) : engine.Run(args);
    }
    switch (result) {
    case kRunCompleted:
    case kRunReturned:
        if (request.IsAttachment())
            response.MarkDatabaseFile(request.GetUrlPath());
        response.CloseAndSend();
        break;
    case kRunFailed:
        // A page that redirected inside an expression and failed later has answered already;
        // the browser has gone on to the redirect's target. A page whose client left while it
        // waited for its turn was not run, and nobody is there to read an error page.
        if (!response.HasAnswered() && !engine.WasAbandoned())
            SendErrorPage(thread, request, engine.ErrorText(), &engine, RunFailureStatus(request));
        break;
    default:
        // Redirected: the page's redirect is the answer. Stopped: the debugger ended the run.
        break;
    }
}

void CRequestDispatcher::SendErrorPage(CServerThread& thread, CSspRequest& request, std::string_view message,
                                       const CSspEngine* failed, const char* status)
{
    CSspResponse response(&thread.GetConnection());
    Prepare(response, request);
    response.SetOutputPath(TemporaryFolder() + "/err" + std::to_string(thread.GetThreadId()) + ".html");
    response.SetErrorText(message.empty() ? std::string("No error message.") : CSspResponse::WithoutWebRoot(message));
    response.SetExpires(0);
    response.SetStatus(status);

    std::string urlPath;
    std::string filePath;
    if (failed != nullptr && !failed->ErrorFileUrl().empty() && !failed->ErrorFilePath().empty()) {
        urlPath = failed->ErrorFileUrl();
        filePath = failed->ErrorFilePath();
    } else {
        urlPath = ApplicationRootOf(request) + "error.twp";
        filePath = GetProgramDirectory() + "/webroot" + urlPath;
    }

    CSspEngine engine;
    int result;
    {
        CCurrentEngine::Scope current(thread.CurrentEngine(), engine);
        engine.SetRunTimeLimit(TheServerConfig().m_pageRunTimeLimit);
        CSspRunArgs args;
        args.filePath = filePath;
        args.urlPath = urlPath;
        args.request = &request;
        args.response = &response;
        result = engine.Run(args);
    }
    if (result == kRunCompleted || result == kRunReturned) {
        response.CloseAndSend();
        return;
    }
    // A redirect from the error page has answered already; a second response would trail it.
    if (response.HasAnswered())
        return;
    std::string text(message);
    if (result == kRunFailed)
        text += "\r\n\r\nAdditional error: " + engine.ErrorText();
    text = CSspResponse::WithoutWebRoot(text);
    HtmlEscape(text, true);
    response.SendPlainErrorPage(text);
}

void CRequestDispatcher::Prepare(CSspResponse& response, const CSspRequest& request) const
{
    response.SetEcho(EchoHook());
    response.SetHeadOnly(EqualsNoCase(request.GetMethod(), "HEAD"));
}

std::string CRequestDispatcher::TemporaryFolder()
{
    const std::string install = GetProgramDirectory();
    const std::string folder = install + "/tmp";
    return CreateDirectoryIfMissing(folder) ? folder : install;
}

std::string CRequestDispatcher::PageOutputPath(pid_t threadId, bool attachment, std::string_view extension)
{
    std::string path = TemporaryFolder() + "/dyn" + std::to_string(threadId);
    if (!attachment)
        return path + ".html";
    // The extension becomes part of a file name: anything but a short run of letters and digits
    // could leave the folder or clash with another thread's file.
    if (IsGeneratedExtension(extension))
        path.append(".").append(extension);
    return path;
}

bool CRequestDispatcher::IsSafeUrlPath(std::string_view urlPath)
{
    return urlPath.find("..") == std::string_view::npos && urlPath.find("//") == std::string_view::npos &&
           urlPath.find('\\') == std::string_view::npos;
}
