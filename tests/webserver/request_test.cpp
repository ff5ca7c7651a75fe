#include "webserver/ssp_request.h"

#include "foundation/log.h"
#include "foundation/server_config.h"
#include "foundation/ssp_exception.h"
#include "network/tcp_socket.h"
#include "platform/file_system.h"
#include "tests/support/temp_folder.h"
#include "tests/webserver/request_call.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string SourceFile(const std::string& relative)
{
    const char* root = std::getenv("TW_SOURCE_DIR");
    return std::string(root != nullptr ? root : ".") + "/" + relative;
}

// Entries of the process log, collected for the checks of one test.
class LogCapture
{
public:
    LogCapture()
    {
        TheLog().SetCallbackMode([this](std::string_view entry) {
            std::lock_guard lock(m_lock);
            m_entries.emplace_back(entry);
        });
    }
    ~LogCapture()
    {
        TheLog().SetCallbackMode([](std::string_view) {});
    }

    bool Contains(const std::string& text)
    {
        std::lock_guard lock(m_lock);
        for (const std::string& entry : m_entries) {
            if (entry.find(text) != std::string::npos)
                return true;
        }
        return false;
    }
    // The entries that hold `text`; all of them for "".
    int Count(const std::string& text)
    {
        std::lock_guard lock(m_lock);
        int count = 0;
        for (const std::string& entry : m_entries)
            count += entry.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_entries;
};

// A real client (Python or curl) talks to a listening socket of ours; the test accepts its
// connection, parses the request, replies and waits for the client to end.
class RequestPeerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_listener.Listen("127.0.0.1", 0), 1);
        m_port = std::to_string(m_listener.GetLocalPort());
        TheServerConfig().m_maxUpload = 1;
    }

    std::string WriteFile(const std::string& name, const std::string& bytes)
    {
        const std::string path = m_folder.Path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Sends `bytes` exactly as they are, through a Python socket.
    int ServeRaw(const std::string& bytes, const std::string& mode = "whole", int headSeconds = 60)
    {
        return Serve({"/usr/bin/python3", SourceFile("tests/webserver/data/raw_peer.py"), m_port,
                      WriteFile("request.bin", bytes), mode},
                     headSeconds);
    }

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + m_port + path; }

    int Serve(std::vector<std::string> arguments, int headSeconds = 60)
    {
        const pid_t peer = Spawn(arguments);
        if (peer <= 0) {
            ADD_FAILURE() << "could not start " << arguments[0];
            return 99;
        }
        pollfd waiting{m_listener.GetHandle(), POLLIN, 0};
        if (poll(&waiting, 1, 20000) != 1 || m_listener.Accept(m_connection) != 1) {
            ADD_FAILURE() << arguments[0] << " did not connect";
            kill(peer, SIGKILL);
            waitpid(peer, nullptr, 0);
            return 99;
        }
        EXPECT_EQ(m_connection.SetTimeout(20), 1);
        m_request = std::make_unique<CSspRequest>(&m_connection);
        CRequestTimeLimits limits = m_limits;
        limits.requestSeconds = headSeconds;
        m_request->SetTimeLimits(limits);
        const int result = m_request->Parse();
        m_connection.DrainInput();
        // The peer checks what arrives.
        static_cast<void>(m_connection.Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"));
        m_connection.Close();
        int status = 0;
        waitpid(peer, &status, 0);
        m_peerExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    pid_t Spawn(const std::vector<std::string>& arguments)
    {
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const std::string output = m_folder.Path() + "/peer.out";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return error == 0 ? pid : -1;
    }

    // Time limits for the next Serve, but for requestSeconds, which Serve is given.
    CRequestTimeLimits m_limits;

    CSspRequest& Request() { return *m_request; }

    std::string Field(const std::string& name)
    {
        std::string value = "<absent>";
        m_request->GetField(name, value);
        return value;
    }

    TempFolder m_folder;
    CTcpSocket m_listener;
    CTcpSocket m_connection;
    std::string m_port;
    std::unique_ptr<CSspRequest> m_request;
    int m_peerExit = -1;
};

TEST_F(RequestPeerTest, GetFromHttpClient)
{
    ASSERT_EQ(
        Serve({"/usr/bin/python3", SourceFile("tests/webserver/data/client_peer.py"), m_port, "GET",
               "/a/b.twp?x=1&y=%20two+words", "-", "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)",
               "Cookie: a=1; b=x%20y; =ignored; SID=s=1", "Referer: http://example.test/from.twp"}),
        CSspRequest::kParseOk);
    EXPECT_EQ(m_peerExit, 0);
    EXPECT_EQ(Request().GetMethod(), "GET");
    EXPECT_EQ(Request().GetUrlPath(), "/a/b.twp");
    EXPECT_EQ(Request().GetFullUrl(), "/a/b.twp?x=1&y=%20two+words");
    EXPECT_EQ(Request().GetExtension(), "twp");
    EXPECT_EQ(Request().GetUrlFolder(), "/a/");
    EXPECT_EQ(Request().GetFilePath(), GetProgramDirectory() + "/webroot/a/b.twp");
    EXPECT_FALSE(Request().IsAttachment());
    EXPECT_EQ(Request().GetHost(), "127.0.0.1:" + m_port);
    EXPECT_EQ(Request().GetReferer(), "http://example.test/from.twp");
    EXPECT_EQ(Request().GetBrowserType(), "MSIE");
    EXPECT_EQ(Request().GetBrowserVersionMajor(), 6);
    EXPECT_EQ(Request().GetBrowserVersionMinor(), 0);
    EXPECT_EQ(Request().GetCookie("a"), "1");
    EXPECT_EQ(Request().GetCookie("b"), "x y");
    EXPECT_EQ(Request().GetCookie("SID"), "s=1");
    EXPECT_EQ(Request().GetCookie("sid"), "");
    EXPECT_EQ(Request().GetCookie(""), "");
    EXPECT_EQ(Request().GetAllHeaders().rfind("GET /a/b.twp?x=1&y=%20two+words HTTP/1.1\r\nHost: 127.0.0.1:", 0), 0U);
    EXPECT_NE(Request().GetAllHeaders().find("\r\nReferer: http://example.test/from.twp\r\n"), std::string::npos);

    Request().GetFields().Parse();
    EXPECT_EQ(Field("x"), "1");
    EXPECT_EQ(Field("Y"), "two words");

    // The script object's view of the same request.
    EXPECT_EQ(InvokeRequest(Request(), "IpAddress").m_text, "127.0.0.1");
    EXPECT_EQ(InvokeRequest(Request(), "Protocol").m_text, "http");
    EXPECT_EQ(InvokeRequest(Request(), "Url").m_text, "/a/b.twp");
    EXPECT_EQ(InvokeRequest(Request(), "UrlFull").m_text, "/a/b.twp?x=1&y=%20two+words");
    EXPECT_EQ(InvokeRequest(Request(), "UrlPath").m_text, "/a/");
    EXPECT_EQ(InvokeRequest(Request(), "Host").m_text, "127.0.0.1:" + m_port);
    EXPECT_EQ(InvokeRequest(Request(), "AllHeaders").m_text, Request().GetAllHeaders());
    EXPECT_EQ(InvokeRequest(Request(), "BrowserType").m_text, "MSIE");
    EXPECT_EQ(InvokeRequest(Request(), "BrowserVerMajor").m_integer, 6);
    EXPECT_EQ(InvokeRequest(Request(), "getCookie", {"b"}).m_text, "x y");
    EXPECT_EQ(InvokeRequest(Request(), "y").m_text, "two words");
    try {
        InvokeRequest(Request(), "Missing");
        ADD_FAILURE() << "an unknown member raised nothing";
    } catch (const CSspException& error) {
        EXPECT_EQ(error.GetMessage(),
                  "Missing is not a request function nor a form field in: http://example.test/from.twp");
        EXPECT_EQ(error.GetPosition(), kCallPosition);
    }
}

TEST_F(RequestPeerTest, PostMapsThePathBeforeTheQueryAndReadsQueryAndBodyFields)
{
    const std::string body = "a=1&b=2&A=3&x=body#c=4";
    ASSERT_EQ(ServeRaw("post /a/b.twp?x=1&id=100&a=q HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                       "Content-Length: " +
                       std::to_string(body.size()) +
                       "\r\n"
                       "User-Agent: Mozilla/4.75 [en] (X11; U)\r\n\r\n" +
                       body),
              CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetUrlPath(), "/a/b.twp");
    EXPECT_EQ(Request().GetFullUrl(), "/a/b.twp?x=1&id=100&a=q");
    EXPECT_EQ(Request().GetExtension(), "twp");
    EXPECT_EQ(Request().GetFilePath(), GetProgramDirectory() + "/webroot/a/b.twp");
    EXPECT_EQ(Request().GetBrowserType(), "Navigator");
    EXPECT_EQ(Request().GetBrowserVersionMajor(), 4);
    EXPECT_EQ(Request().GetBrowserVersionMinor(), 7);
    EXPECT_FALSE(Request().GetFields().IsMultipart());
    EXPECT_EQ(Request().GetFields().GetBody(), body);
    Request().GetFields().Parse();
    // The body's fields win over the query's, also over a repeated body field; the query adds
    // only what the body lacks.
    EXPECT_EQ(Field("a"), "1\n3");
    EXPECT_EQ(Field("b"), "2");
    EXPECT_EQ(Field("c"), "<absent>");
    EXPECT_EQ(Field("x"), "body");
    EXPECT_EQ(Field("id"), "100");
    EXPECT_EQ(InvokeRequest(Request(), "Url").m_text, "/a/b.twp");
    EXPECT_EQ(InvokeRequest(Request(), "UrlFull").m_text, "/a/b.twp?x=1&id=100&a=q");
    EXPECT_EQ(InvokeRequest(Request(), "id").m_text, "100");
}

TEST_F(RequestPeerTest, BodyUpToTheUploadLimitIsAccepted)
{
    const std::string body(1048576, '\xff');
    ASSERT_EQ(Serve({"curl", "-s", "-H", "Expect:", "-H", "Content-Type: application/octet-stream", "--data-binary",
                     "@" + WriteFile("body.bin", body), Url("/limit.twp")}),
              CSspRequest::kParseOk);
    EXPECT_EQ(m_peerExit, 0);
    EXPECT_EQ(Request().GetFields().GetBody().size(), body.size());
    EXPECT_EQ(Request().GetFields().GetBody(), body);
}

TEST_F(RequestPeerTest, BodyOverTheLimitOrWithoutLengthIsRefused)
{
    EXPECT_EQ(ServeRaw("POST /a.twp HTTP/1.0\r\nContent-Length: 1048577\r\n\r\n" + std::string(1048577, 'x')),
              CSspRequest::kParseTooLarge);
    EXPECT_EQ(Request().GetFields().GetBodyCapacity(), 0U);
    EXPECT_EQ(ServeRaw("POST /a.twp HTTP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\nx"),
              CSspRequest::kParseTooLarge);
    EXPECT_EQ(ServeRaw("POST /a.twp HTTP/1.0\r\nContent-Length: 18446744073709551617\r\n\r\nx"),
              CSspRequest::kParseTooLarge);
    EXPECT_EQ(ServeRaw("POST /a.twp HTTP/1.0\r\nHost: h\r\n\r\nx=1"), CSspRequest::kParseNoContentLength);
    // A length that is no number, or a negative one, says no more than a missing header.
    for (const char* length : {"-1", "-99999999999999999999999", "abc", "", "- 5", "+-3"}) {
        EXPECT_EQ(ServeRaw(std::string("POST /a.twp HTTP/1.0\r\nContent-Length: ") + length + "\r\n\r\nx=1"),
                  CSspRequest::kParseNoContentLength)
            << length;
    }
    EXPECT_EQ(ServeRaw("POST /a.twp HTTP/1.0\r\nContent-Length: +3\r\n\r\nx=1"), CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetFields().GetBody(), "x=1");
    // The limit is computed in 64 bits: 4096 MB must not wrap around to 0.
    TheServerConfig().m_maxUpload = 4096;
    EXPECT_EQ(ServeRaw("POST /a.twp HTTP/1.0\r\nContent-Length: 3\r\n\r\nx=1"), CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetFields().GetBody(), "x=1");
    // Other methods read no body.
    EXPECT_EQ(ServeRaw("PUT /a.twp HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n"), CSspRequest::kParseOk);
}

TEST_F(RequestPeerTest, TruncatedBodyOrHeadIsBroken)
{
    EXPECT_EQ(ServeRaw("POST /a.twp HTTP/1.0\r\nContent-Length: 100\r\n\r\n" + std::string(50, 'x'), "half-close"),
              CSspRequest::kParseBroken);
    EXPECT_EQ(ServeRaw("GET /a.twp HTTP/1.0\r\nHost: h\r\n", "half-close"), CSspRequest::kParseBroken);
    // An empty first line ends the head at once.
    EXPECT_EQ(ServeRaw("\r\nGET /a.twp HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetMethod(), "");
    EXPECT_EQ(Request().GetUrlPath(), "");
}

TEST_F(RequestPeerTest, CurlMultipartUploadComesBackExact)
{
    // NUL and 0xFF bytes, blank lines and the start of curl's delimiter must not end the file.
    std::string data("\0\xff\r\n\r\n\0\r\n--------------------------0123\r\n", 41);
    for (int i = 0; i < 70000; ++i)
        data += static_cast<char>(i * 7);
    const std::string file = WriteFile("upload.bin", data);
    ASSERT_EQ(Serve({"curl", "-s", "-H", "Expect:", "-F", "tag=red", "-F", "tag=blue", "-F", "note=  x  ", "-F",
                     "file=@" + file + ";filename=C:\\My Files\\a b.txt", Url("/up.twp")}),
              CSspRequest::kParseOk);
    EXPECT_EQ(m_peerExit, 0);
    EXPECT_TRUE(Request().GetFields().IsMultipart());
    Request().GetFields().Parse();
    EXPECT_EQ(Field("tag"), "red\nblue");
    EXPECT_EQ(Field("note"), "x");
    EXPECT_EQ(Field("file"), "C:\\My Files\\a b.txt");
    std::string fileName;
    std::vector<unsigned char> block;
    ASSERT_EQ(Request().GetFields().GetUploadedFile("file", fileName, block), CRequestFields::kUploadOk);
    EXPECT_EQ(fileName, "a_b.txt");
    EXPECT_EQ(block.size(), data.size());
    EXPECT_TRUE(std::string(block.begin(), block.end()) == data);
}

TEST_F(RequestPeerTest, LongHeaderLineIsLoggedAndSkippedWhole)
{
    LogCapture log;
    // From its 4096th byte on, the long line reads like a header of its own; it must stay part of
    // the skipped line.
    const std::string longLine = "X-Long: " + std::string(4087, 'a') + "Host: forged";
    ASSERT_EQ(longLine.find("Host"), 4095U);
    ASSERT_EQ(ServeRaw("GET /x.htm HTTP/1.0\r\n" + longLine + std::string(900, 'b') + "\r\nVia: proxy\r\n\r\n"),
              CSspRequest::kParseOk);
    EXPECT_TRUE(log.Contains("Long header [X-Long: aaaa"));
    EXPECT_EQ(Request().GetHost(), "");
    EXPECT_EQ(Request().GetVia(), "proxy");
    EXPECT_EQ(Request().GetAllHeaders(), "GET /x.htm HTTP/1.0\r\nVia: proxy\r\n");

    // A request line that long is refused whole: the header after it must not pass for the
    // request line.
    ASSERT_EQ(ServeRaw("GET /x.twp?q=" + std::string(5000, 'q') + " HTTP/1.0\r\nHost: a.example\r\n\r\n"),
              CSspRequest::kParseAddressTooLong);
    EXPECT_TRUE(log.Contains("Request line too long [GET /x.twp?q=qqqq"));
    EXPECT_EQ(Request().GetMethod(), "");
    EXPECT_EQ(Request().GetHost(), "a.example");
}

TEST_F(RequestPeerTest, HeadOverItsBoundsIsBroken)
{
    std::string manyLines = "GET /a.htm HTTP/1.0\r\n";
    for (int i = 0; i < 100; ++i)
        manyLines += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(ServeRaw(manyLines + "\r\n"), CSspRequest::kParseBroken);

    std::string bigHead = "GET /a.htm HTTP/1.0\r\n";
    for (int i = 0; i < 20; ++i)
        bigHead += "X-Long: " + std::string(4000, 'v') + "\r\n";
    EXPECT_EQ(ServeRaw(bigHead + "\r\n"), CSspRequest::kParseBroken);

    // Each line is far shorter than the buffer, but together they are too many bytes.
    std::string endlessLine = "GET /a.htm HTTP/1.0\r\nX: " + std::string(70000, 'v') + "\r\n\r\n";
    EXPECT_EQ(ServeRaw(endlessLine), CSspRequest::kParseBroken);

    std::string justUnder = "GET /a.htm HTTP/1.0\r\n";
    for (int i = 0; i < 98; ++i)
        justUnder += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(ServeRaw(justUnder + "\r\n"), CSspRequest::kParseOk);
}

TEST_F(RequestPeerTest, SlowHeadIsCutAtTheDeadline)
{
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ServeRaw("GET /a.htm HTTP/1.0\r\nX-Slow: " + std::string(40, 's') + "\r\n\r\n", "slow:0.2", 2),
              CSspRequest::kParseBroken);
    // Every byte came well within the socket's 20-second wait; only the head's deadline ends it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(log.Contains("Timeout receiving on socket"));
}

TEST_F(RequestPeerTest, AClientThatSendsNothingIsDroppedAfterTheFirstByteLimitWithoutALogLine)
{
    LogCapture log;
    m_limits.firstByteSeconds = 1;
    EXPECT_EQ(ServeRaw("", "silent", 30), CSspRequest::kParseBroken);
    EXPECT_EQ(log.Count(""), 0) << "browsers open spare connections; they are no error";
    // A client that does send gets the rest of the request's time for its head.
    EXPECT_EQ(ServeRaw("GET /a.htm HTTP/1.0\r\nX-Slow: " + std::string(8, 's') + "\r\n\r\n", "slow:0.05", 30),
              CSspRequest::kParseOk);
}

TEST_F(RequestPeerTest, ABodyPastTheDeadlineGoesOnOnlyAtTheMinimumRate)
{
    LogCapture log;
    m_limits.rateWindowSeconds = 1;
    m_limits.minBytesPerWindow = 1000;
    const std::string head = "POST /a.twp HTTP/1.0\r\nContent-Length: ";
    // About 5000 bytes a second: the body outlasts the 1-second deadline and still arrives whole.
    const std::string body(8000, 'b');
    ASSERT_EQ(ServeRaw(head + std::to_string(body.size()) + "\r\n\r\n" + body, "paced:500:0.1", 1),
              CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetFields().GetBody(), body);
    EXPECT_FALSE(log.Contains("connection closed"));

    // About 250 bytes a second: cut at the deadline, and said once.
    const std::string trickle(3000, 't');
    EXPECT_EQ(ServeRaw(head + std::to_string(trickle.size()) + "\r\n\r\n" + trickle, "paced:50:0.2", 1),
              CSspRequest::kParseBroken);
    EXPECT_EQ(log.Count("Request body from 127.0.0.1 came slower than 1000 bytes in 1 seconds; connection closed."), 1);
}

TEST_F(RequestPeerTest, HeadReadsItsQueryAsGetDoes)
{
    ASSERT_EQ(ServeRaw("HEAD /a/b.twp?x=1&y=2 HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetUrlPath(), "/a/b.twp");
    EXPECT_EQ(Request().GetExtension(), "twp");
    Request().GetFields().Parse();
    EXPECT_EQ(Field("x"), "1");
    EXPECT_EQ(Field("y"), "2");
}

TEST_F(RequestPeerTest, ControlBytesInTheUrlAreRefused)
{
    EXPECT_EQ(ServeRaw(std::string("GET /x.twp\0.gif HTTP/1.0\r\n\r\n", 28)), CSspRequest::kParseInvalidAddress);
    EXPECT_EQ(Request().GetFilePath(), "");
    EXPECT_EQ(ServeRaw("GET /x\nLocation: http://evil/ HTTP/1.0\r\n\r\n"), CSspRequest::kParseInvalidAddress);
    EXPECT_EQ(ServeRaw("GET /x.twp%00.gif HTTP/1.0\r\n\r\n"), CSspRequest::kParseInvalidAddress);
    EXPECT_EQ(ServeRaw("GET /a/%0a HTTP/1.0\r\n\r\n"), CSspRequest::kParseInvalidAddress);
    EXPECT_EQ(ServeRaw("POST /x.twp?\x7f HTTP/1.0\r\nContent-Length: 0\r\n\r\n"), CSspRequest::kParseInvalidAddress);
    // Encoded line breaks in a query are form data, and "%zz" is no encoded byte.
    EXPECT_EQ(ServeRaw("GET /a.twp?t=a%0D%0Ab HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
    Request().GetFields().Parse();
    EXPECT_EQ(Field("t"), "a\r\nb");
    EXPECT_EQ(ServeRaw("GET /100%zz.htm HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
}

TEST_F(RequestPeerTest, ExtensionAndAttachmentFollowThePathSegments)
{
    EXPECT_EQ(ServeRaw("GET /a.b/c HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetExtension(), "");
    EXPECT_EQ(ServeRaw("GET /a.b\\c HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
    EXPECT_EQ(Request().GetExtension(), "");
    EXPECT_EQ(Request().GetFilePath(), GetProgramDirectory() + "/webroot/a.b/c");
    EXPECT_EQ(ServeRaw("GET /x/fileDB/t/1/c.doc HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
    EXPECT_TRUE(Request().IsAttachment());
    EXPECT_EQ(Request().GetFilePath(), "");
    EXPECT_EQ(Request().GetExtension(), "doc");
    EXPECT_EQ(ServeRaw("GET /x/FileDBs/c.doc HTTP/1.0\r\n\r\n"), CSspRequest::kParseOk);
    EXPECT_FALSE(Request().IsAttachment());
}

TEST(RequestTest, WithoutConnection)
{
    CSspRequest request(nullptr);
    EXPECT_EQ(request.Parse(), CSspRequest::kParseNoConnection);
    EXPECT_EQ(request.GetUrlFolder(), "/");
    EXPECT_EQ(CSspRequest::MapUrlToFile(""), GetProgramDirectory() + "/webroot");
    EXPECT_EQ(CSspRequest::MapUrlToFile("a/b.htm"), GetProgramDirectory() + "/webroot/a/b.htm");
}

}  // namespace
