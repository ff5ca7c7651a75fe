// End-to-end tests of request dispatch: a real listener and server-thread pool with the dispatcher
// installed, over an installation folder (with its own default database) of the test's own, asked
// by curl, Python's http.client and, for requests no client library would send, a raw socket.
#include "webserver/request_dispatcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "database/odbc_connection.h"
#include "database/odbc_setup.h"
#include "database/odbc_statement.h"
#include "foundation/server_config.h"
#include "foundation/server_settings.h"
#include "language/ssp_app.h"
#include "network/tls_server.h"
#include "platform/file_system.h"
#include "tests/network/net_test_support.h"
#include "tests/network/test_certificates.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"
#include "tests/webserver/http_reply.h"
#include "webserver/listener_thread.h"
#include "webserver/server_thread.h"

namespace {

using namespace std::chrono_literals;

std::string SourceFile(const std::string& relative)
{
    const char* root = std::getenv("TW_SOURCE_DIR");
    return std::string(root != nullptr ? root : ".") + "/" + relative;
}

class DispatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetProgramDirectory(m_install.Path());
        std::filesystem::create_directories(m_install.Path() + "/webroot/script");
        std::filesystem::create_directories(m_install.Path() + "/webroot/log");
        CServerConfig& config = TheServerConfig();
        config.m_mimeMap = {{"html", "text/html"},
                            {"htm", "text/html"},
                            {"gif", "image/gif"},
                            {"txt", "text/plain"},
                            {"tws", "text/plain"}};
        config.m_mimeTextEncoding.clear();
        config.m_maxUpload = 1;
        config.m_logHttp = 0;
        config.m_tcpipAddress = 0;
    }

    void TearDown() override
    {
        StopServing();
        FreeTlsCredentials();
        TheServerConfig().m_mimeMap.clear();
        TheServerConfig().m_logHttp = 0;
        TheServerConfig().m_sessionTimeout = 0;
        TheSspApp().RemoveAll();
    }

    // The port of the plain listener, which starts with the first request: a test sets the
    // configuration and the hooks before any server thread reads them, as the server program
    // does before it starts its listeners.
    int Port()
    {
        // Requests of a test may start from several threads at once.
        std::lock_guard guard(m_listenerLock);
        if (!m_listener) {
            m_listener = std::make_shared<CListenerThread>(m_pool, "127.0.0.1", 0, false);
            EXPECT_TRUE(m_listener->Start());
            EXPECT_TRUE(m_listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
        }
        return m_listener->GetPort();
    }

    std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(Port()) + path; }

    // Ends the listeners and the server threads; a test that changes a setting or a hook between
    // requests stops them first, and the next request starts them again.
    void StopServing()
    {
        std::lock_guard guard(m_listenerLock);
        for (auto* listener : {&m_listener, &m_secureListener}) {
            if (*listener) {
                (*listener)->Stop();
                EXPECT_TRUE((*listener)->WaitForExit(30000));
                listener->reset();
            }
        }
        m_pool.StopAll();
    }

    std::string WebFile(const std::string& relative, const std::string& bytes) const
    {
        const std::string path = m_install.Path() + "/webroot/" + relative;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // What a peer program wrote to its standard output.
    std::string Output(const std::vector<std::string>& arguments)
    {
        const std::string path = m_install.Path() + "/peer" + std::to_string(++m_peers) + ".out";
        RunProgram(arguments, path);
        return ReadFile(path);
    }

    HttpReply Curl(const std::string& path)
    {
        return HttpReply::Parse(Output({"curl", "-s", "-i", "--path-as-is", "--max-time", "20", Url(path)}));
    }

    // Sends bytes as they are; returns everything up to the server's close.
    std::string Raw(const std::string& bytes, bool halfClose = false)
    {
        CTestClient client(Port());
        client.SendText(bytes);
        if (halfClose)
            shutdown(client.Fd(), SHUT_WR);
        std::string reply = client.ReadUntilClosed(10s);
        EXPECT_TRUE(client.closed) << "the server did not close the connection";
        return reply;
    }

    // A secure listener on the same pool with a certificate for "localhost"; returns its port.
    std::string StartSecureListener()
    {
        const std::string work = m_install.Path() + "/work";
        const std::string certs = m_install.Path() + "/certs";
        std::filesystem::create_directories(work);
        std::filesystem::create_directories(certs);
        CTestCertificates make(work);
        EXPECT_TRUE(make.MakeSelfSigned("server", "/CN=localhost", "0x0102"));
        EXPECT_TRUE(make.Install("server", certs + "/server.pem"));
        EXPECT_EQ(InitTlsCredentials("localhost", "localhost", "0102"), 1);
        m_caFile = make.CertificatePath("server");
        m_secureListener = std::make_shared<CListenerThread>(m_pool, "127.0.0.1", 0, true);
        EXPECT_TRUE(m_secureListener->Start());
        EXPECT_TRUE(m_secureListener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
        return std::to_string(m_secureListener->GetPort());
    }

    // The installation's own SQLite database (data source "tw3", made from data/tw3sqlite.sql) as
    // every page's data source.
    void UseDefaultDatabase()
    {
        const std::string& install = m_install.Path();
        std::filesystem::create_directories(install + "/data");
        std::filesystem::copy_file(SourceFile("data/tw3sqlite.sql"), install + "/data/tw3sqlite.sql");
        UseInstallationOdbcIni(install);
        std::string error;
        ASSERT_TRUE(WriteDefaultOdbcIni(install, error)) << error;
        ASSERT_TRUE(CreateDefaultDatabase(install, error)) << error;
        TheServerConfig().m_dbOdbcConnectString = "ODBC;DSN=tw3";
        ASSERT_TRUE(TheSspApp().SetDefaultDataSource());
    }

    std::vector<std::string> GeneratedFiles() const
    {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(m_install.Path() + "/tmp", ignored))
            names.push_back(entry.path().filename().string());
        return names;
    }

    CLogCapture m_log;
    TempFolder m_install{"tw-dispatch"};
    std::shared_ptr<CRequestDispatcher> m_dispatcher = std::make_shared<CRequestDispatcher>();
    CServerThreadPool m_pool{m_dispatcher};
    std::mutex m_listenerLock;  // guards both listeners
    std::shared_ptr<CListenerThread> m_listener;
    std::shared_ptr<CListenerThread> m_secureListener;
    std::string m_caFile;
    std::atomic<int> m_peers{0};
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string RandomBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    std::mt19937 random(7);
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

TEST_F(DispatchTest, FilesGoOutWithTheirTypeAndOnlyWhenRegular)
{
    WebFile("img/a.gif", std::string("GIF89a\0\xff", 8));
    WebFile("notes.txt", "plain text\r\n");
    WebFile("data.xyz", "?");
    TheServerConfig().m_mimeTextEncoding = "utf-8";
    HttpReply reply = Curl("/img/a.gif");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.Header("Content-Type"), "image/gif");
    EXPECT_EQ(reply.body, std::string("GIF89a\0\xff", 8));
    EXPECT_EQ(reply.Header("Expires"), "<none>");
    reply = Curl("/notes.txt");
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(reply.Header("Content-Length"), "12");
    EXPECT_EQ(reply.body, "plain text\r\n");
    EXPECT_EQ(Curl("/data.xyz").Header("Content-Type"), "application/octet-stream");

    // A folder or a FIFO is answered with the error page at once, never a hang.
    std::filesystem::create_directories(m_install.Path() + "/webroot/folder.htm");
    ASSERT_EQ(mkfifo((m_install.Path() + "/webroot/pipe.htm").c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(Contains(Curl("/folder.htm").body, "/folder.htm : Error [21]: Is a directory"));
    EXPECT_TRUE(Contains(Curl("/pipe.htm").body, "/pipe.htm : Error [19]: No such device"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(DispatchTest, LargeFilesAndPagesArriveWholeOverHttpAndHttps)
{
    const std::string bytes = RandomBytes(10 * 1024 * 1024);
    WebFile("big/file.bin", bytes);
    std::string table;
    for (int row = 0; table.size() < 3 * CSspResponse::kSpillSize; ++row)
        table += "<tr><td>" + std::to_string(row) + "</td></tr>\r\n";
    WebFile("table.twp", table);

    const std::string received = m_install.Path() + "/received.bin";
    EXPECT_EQ(Output({"/usr/bin/python3", SourceFile("tests/webserver/data/download_peer.py"), std::to_string(Port()),
                      "/big/file.bin", received}),
              "200 application/octet-stream 10485760\n");
    EXPECT_TRUE(ReadFile(received) == bytes) << "the body differs from the file";

    const std::string port = StartSecureListener();
    for (const auto& [path, expected] : {std::pair{"/big/file.bin", bytes}, std::pair{"/table.twp", table}}) {
        Output({"curl", "-s", "--max-time", "20", "--cacert", m_caFile, "-o", received,
                "https://localhost:" + port + path});
        EXPECT_TRUE(ReadFile(received) == expected) << path << " arrived changed over TLS";
    }
}

TEST_F(DispatchTest, FolderUrlsAreRedirected)
{
    WebFile("app/index.twp", "app");
    HttpReply reply = Curl("/app");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 301");
    EXPECT_EQ(reply.Header("Location"), "/app/");
    EXPECT_EQ(reply.Header("Content-Length"), "0");
    EXPECT_EQ(reply.body, "");
    reply = Curl("/app/");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 302 Moved Temporarily");
    EXPECT_EQ(reply.Header("Location"), "/app/index.twp");
    EXPECT_EQ(Curl("/other/").Header("Location"), "/other/index.html");
    EXPECT_EQ(HttpReply::Parse(Raw("GET\r\n\r\n")).Header("Location"), "/");
    // A path that opens with several slashes would name another host in the Location.
    EXPECT_EQ(HttpReply::Parse(Raw("GET //3232235777 HTTP/1.0\r\n\r\n")).Header("Location"), "/3232235777/");
    EXPECT_EQ(HttpReply::Parse(Raw("GET /\\/evil/ HTTP/1.0\r\n\r\n")).Header("Location"), "/evil/index.html");

    // A folder outside the web root that holds an index.twp: the redirect must not tell.
    std::filesystem::create_directories(m_install.Path() + "/outside");
    std::ofstream(m_install.Path() + "/outside/index.twp") << "secret";
    EXPECT_EQ(Curl("/../outside/").Header("Location"), "/../outside/index.html");
}

TEST_F(DispatchTest, UnsafeAddressesScriptsAndLogFilesAreRefused)
{
    WebFile("b.twp", "page b");
    WebFile("script/daily.tws", "task source");
    WebFile("app/Script/x.TWS", "task source");
    WebFile("log/day01.txt", "log entry");
    const std::string invalid = "Invalid HTTP address.";
    const std::string script = ".tws files in a script folder are system files.";
    const std::string log = "Log files are system files.";
    const std::pair<std::string, std::string> refused[] = {
        {"/a/../b.twp", invalid},      {"/x//y.htm", invalid},        {"/../outside/index.twp", invalid},
        {"/script/daily.tws", script}, {"/app/Script/x.TWS", script}, {"/./script/daily.tws", script},
        {"/log/day01.txt", log},       {"/LOG/day01.txt", log},       {"/./log/day01.txt", log},
    };
    for (const auto& [path, text] : refused) {
        const HttpReply reply = Curl(path);
        EXPECT_EQ(reply.statusLine, "HTTP/1.0 403 Forbidden") << path;
        EXPECT_TRUE(Contains(reply.body, text)) << path << ": " << reply.body;
    }
    // Paths that curl would not send as they are.
    EXPECT_TRUE(Contains(Raw("GET /a\\b.htm HTTP/1.0\r\n\r\n"), invalid));
    EXPECT_TRUE(Contains(Raw("GET script/daily.tws HTTP/1.0\r\n\r\n"), script));
    EXPECT_TRUE(Contains(Raw("GET log/day01.txt HTTP/1.0\r\n\r\n"), log));

    WebFile("script/readme.txt", "readable");
    WebFile("other/x.tws", "plain file");
    EXPECT_EQ(Curl("/script/readme.txt").body, "readable");
    EXPECT_EQ(Curl("/other/x.tws").body, "plain file");
}

TEST_F(DispatchTest, PagesAreRunAndTheirOutputFilesRemoved)
{
    WebFile("hello.twp", "<html>\r\n<body>Hello</body>\r\n</html>\r\n");
    WebFile("empty.twp", "");
    std::string table;
    for (int row = 0; table.size() < 200000; ++row)
        table += "<tr><td>row " + std::to_string(row) + "</td></tr>\r\n";
    WebFile("table.twp", table);

    HttpReply reply = Curl("/hello.twp");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.Header("Content-Type"), "text/html");
    EXPECT_EQ(reply.body, "<html>\r\n<body>Hello</body>\r\n</html>\r\n");
    reply = Curl("/empty.twp");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.Header("Content-Length"), "0");
    EXPECT_EQ(reply.body, "");
    EXPECT_TRUE(Contains(Curl("/EMPTY.TWP").body, "[/EMPTY.TWP]. No such file")) << "file names keep their case";

    // Several at once: each thread writes its own output file.
    std::vector<std::future<std::string>> pending;
    for (int i = 0; i < 8; ++i)
        pending.push_back(std::async(std::launch::async, [this] { return Curl("/table.twp").body; }));
    for (auto& body : pending)
        EXPECT_TRUE(body.get() == table) << "a large page arrived changed";
    ASSERT_TRUE(WaitFor([this] { return GeneratedFiles().empty(); })) << "left behind: " << GeneratedFiles().front();
}

TEST_F(DispatchTest, PagesReadUploadsAndCallFunctionsOfOtherFiles)
{
    WebFile("app/lib.twp", "<!--{ function hello(who) return 'hello ' + arg.who; endfunction }-->lib text");
    WebFile("app/up.twp", "<!--{ file f('request.doc'); file lib('lib.twp');\n"
                          "write lib.hello(f.name) + '|' + f.size + '|'; write f.data; lib.sspRun(); }-->");
    const std::string sent = m_install.Path() + "/sent.bin";
    const std::string bytes("a\0b\r\n", 5);
    std::ofstream(sent, std::ios::binary) << bytes;
    HttpReply reply = HttpReply::Parse(
        Output({"curl", "-s", "-i", "-H", "Expect:", "-F", "doc=@" + sent + ";filename=..", Url("/app/up.twp")}));
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.body, "hello __|5|" + bytes + "lib text");
}

TEST_F(DispatchTest, FormsPostingToAUrlWithAQueryRunThePageAndReadBothFieldSets)
{
    WebFile("app/edit.twp",
            "<!--{ write Request.id + '|' + Request.title + '|' + Request.Url + '|' + Request.UrlFull; }-->");
    const std::string url = Url("/app/edit.twp?id=100&title=old");
    HttpReply posted = HttpReply::Parse(Output({"curl", "-s", "-i", "--max-time", "20", "-d", "title=new", url}));
    EXPECT_EQ(posted.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(posted.body, "100|new|/app/edit.twp|/app/edit.twp?id=100&title=old");

    // A form with an upload posts a multipart body to the same kind of address.
    WebFile("app/attach.twp", "<!--{ file f('request.doc'); write Request.id + '|' + f.name + '|' + f.size; }-->");
    const std::string sent = m_install.Path() + "/attached.txt";
    std::ofstream(sent, std::ios::binary) << "four";
    HttpReply uploaded = HttpReply::Parse(Output(
        {"curl", "-s", "-i", "--max-time", "20", "-H", "Expect:", "-F", "doc=@" + sent, Url("/app/attach.twp?id=7")}));
    EXPECT_EQ(uploaded.body, "7|attached.txt|4");

    // A missing page behind a query answers with the site's error page, not the disk path of a
    // file named after the whole URL.
    WebFile("error.twp", "<!--{ write 'app error: ' + To.html2(Response.error); }-->");
    HttpReply missing =
        HttpReply::Parse(Output({"curl", "-s", "-i", "--max-time", "20", "-d", "a=1", Url("/app/gone.twp?id=1")}));
    EXPECT_TRUE(Contains(missing.body, "app error: ")) << missing.body;
    EXPECT_FALSE(Contains(missing.body, "gone.twp?id=1")) << missing.body;
}

TEST_F(DispatchTest, FailedPagesGetTheApplicationErrorPageElseTheBuiltInOne)
{
    WebFile("bad.twp", "before <!--{ }--x");
    HttpReply reply = Curl("/bad.twp");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 500 Internal Server Error");
    EXPECT_TRUE(Contains(reply.body, "/bad.twp (1,17): <br>\r\nbefore &lt;!--{ }--x<br>\r\n<br>\r\nShould be }--&gt;"
                                     "<br>\r\n<br>\r\nAdditional error: "))
        << reply.body;
    EXPECT_TRUE(Contains(reply.body, "[/error.twp]")) << reply.body;

    WebFile("error.twp", "<h1>Sorry</h1>");
    reply = Curl("/bad.twp");
    EXPECT_EQ(reply.body, "<h1>Sorry</h1>");
    EXPECT_EQ(reply.Header("Expires"), reply.Header("Date"));
    EXPECT_EQ(Curl("/a/../x.htm").body, "<h1>Sorry</h1>") << "refusals use the error page too";

    WebFile("error.twp", "oops <!--{");
    reply = Curl("/bad.twp");
    // Found at the end of the error page, its own error names that page and its last line.
    EXPECT_TRUE(Contains(reply.body, "Should be }--&gt;<br>\r\n<br>\r\nAdditional error: /error.twp (1,10): <br>\r\n"
                                     "oops &lt;!--{<br>\r\n<br>\r\nMissing }--"))
        << reply.body;
}

TEST_F(DispatchTest, ScriptsSetHeadersCookiesAndRedirects)
{
    WebFile("go.twp",
            "before<!--{ Response.setCookie('sid', 'a b', '/'); Response.Redirect('/next.twp?x=1'); }-->after");
    HttpReply reply = Curl("/go.twp");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 302 Moved Temporarily");
    EXPECT_EQ(reply.Header("Location"), "/next.twp?x=1");
    EXPECT_EQ(reply.Header("Set-Cookie"), "sid=a+b; path=/");
    EXPECT_EQ(reply.body, "");

    // A redirect inside an expression lets the page run on; what it writes, or its failure,
    // must not follow the redirect on the same connection.
    const std::string redirectOnly = "HTTP/1.0 302 Moved Temporarily\r\nLocation: /to.htm\r\nContent-Length: 0\r\n\r\n";
    WebFile("on.twp",
            "before<!--{ Local.x = Response.Redirect('/to.htm'); Local.y = Response.Redirect('/b'); }-->after");
    EXPECT_EQ(Raw("GET /on.twp HTTP/1.0\r\n\r\n"), redirectOnly);
    WebFile("late.twp", "<!--{ Local.x = Response.Redirect('/to.htm'); error 'late'; }-->");
    EXPECT_EQ(Raw("GET /late.twp HTTP/1.0\r\n\r\n"), redirectOnly);

    WebFile("head.twp", "junk<!--{ Response.clear(); Response.Expires(60); Response.ContentType('text/plain');\n"
                        "Response.Charset('latin1'); Response.AddHeader('X-App: 3'); Response.setCookie('n', '1');\n"
                        "}-->x--{ Response.content }--");
    reply = Curl("/head.twp");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain; charset=latin1");
    EXPECT_EQ(reply.Header("X-App"), "3");
    EXPECT_EQ(reply.Header("Set-Cookie"), "n=1");
    EXPECT_NE(reply.Header("Expires"), "<none>");
    EXPECT_NE(reply.Header("Expires"), reply.Header("Date"));
    EXPECT_EQ(reply.body, "xx");
}

TEST_F(DispatchTest, ALogonCookieBringsTheBrowserBackToItsSession)
{
    TheServerConfig().m_sessionTimeout = 600;
    WebFile("logon.twp", "<!--{ write Session.logon(Request.user); Session.SetVar('visits', 1); }-->");
    WebFile("visit.twp", "<!--{ Session.validate; Session.SetVar('visits', Session.visits + 1);\n"
                         "write Session.visits + ' ' + Session.IsValid; }-->");
    WebFile("logoff.twp", "<!--{ write Session.Logoff; }-->");
    const std::string jar = m_install.Path() + "/cookies.txt";
    auto browse = [&](const std::string& path) {
        return HttpReply::Parse(Output({"curl", "-s", "-i", "--max-time", "20", "-b", jar, "-c", jar, Url(path)}));
    };

    HttpReply reply = browse("/visit.twp");
    EXPECT_TRUE(Contains(reply.body, "Your browser did not send your Session ID.")) << reply.body;

    reply = browse("/logon.twp?user=al%20ice");
    EXPECT_EQ(reply.body, "1");
    const std::string cookie = reply.Header("Set-Cookie");
    EXPECT_EQ(cookie.rfind("sspSessionID=", 0), 0u) << cookie;
    EXPECT_TRUE(Contains(cookie, "-al+ice-")) << cookie;
    // Out of reach of the page's script and of requests that other sites start.
    EXPECT_TRUE(cookie.ends_with("; path=/; HttpOnly; SameSite=Lax")) << cookie;

    EXPECT_EQ(browse("/visit.twp").body, "2 1");
    EXPECT_EQ(browse("/visit.twp").body, "3 1");
    const std::vector<std::string> rows = TheSspApp().GetSessionRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].substr(0, 17), "al ice\n127.0.0.1\n");

    EXPECT_EQ(browse("/logoff.twp").body, "1");
    reply = browse("/visit.twp");
    EXPECT_TRUE(Contains(reply.body, "has been terminated. Please log on again.")) << reply.body;
    EXPECT_TRUE(Contains(reply.body, " - al ice)")) << reply.body;

    // A session begun over HTTPS is sent back over HTTPS only.
    const std::string port = StartSecureListener();
    reply = HttpReply::Parse(Output({"curl", "-s", "-i", "--max-time", "20", "--cacert", m_caFile,
                                     "https://localhost:" + port + "/logon.twp?user=bob"}));
    EXPECT_TRUE(reply.Header("Set-Cookie").ends_with("; path=/; HttpOnly; SameSite=Lax; Secure"))
        << reply.Header("Set-Cookie");
}

TEST_F(DispatchTest, ThePagesOwnErrorPageComesFirstAndReadsTheMessage)
{
    WebFile("error.twp", "Application: --{ Response.error }--");
    WebFile("app/mine.twp", "Mine: --{ Response.error }--");
    WebFile("app/own.twp", "<!--{ Local.setErrorFile('mine.twp'); error 'boom'; }-->");
    WebFile("app/plain.twp", "<!--{ error 'bang'; }-->");
    HttpReply reply = Curl("/app/own.twp");
    EXPECT_EQ(reply.body.rfind("Mine: ", 0), 0U) << reply.body;
    EXPECT_TRUE(Contains(reply.body, "boom")) << reply.body;
    reply = Curl("/app/plain.twp");
    EXPECT_EQ(reply.body.rfind("Application: ", 0), 0U) << reply.body;
    EXPECT_TRUE(Contains(reply.body, "bang")) << reply.body;

    // An error page that redirects has answered: nothing may follow its redirect.
    WebFile("error.twp", "<!--{ Response.Redirect('/sorry.html'); }-->");
    const std::string raw = Raw("GET /app/plain.twp HTTP/1.0\r\n\r\n");
    EXPECT_EQ(raw, "HTTP/1.0 302 Moved Temporarily\r\nLocation: /sorry.html\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(DispatchTest, EachApplicationHasItsOwnErrorPage)
{
    WebFile("error.twp", "Root: --{ Response.error }--");
    WebFile("bugs/error.twp", "Bugs: --{ Response.error }--");
    WebFile("bugs/init.twp", "<!--{ App.Init(); }-->registered");
    WebFile("bugs/sub/bad.twp", "<!--{ error 'bang'; }-->");
    WebFile("other/init.twp", "<!--{ App.Init(); }-->registered");
    WebFile("other/bad.twp", "<!--{ error 'boom'; }-->");
    EXPECT_EQ(Curl("/bugs/sub/bad.twp").body, "Root: bang") << "no application registered yet";

    EXPECT_EQ(Curl("/bugs/init.twp").body, "registered");
    EXPECT_EQ(Curl("/bugs/sub/bad.twp").body, "Bugs: bang");
    EXPECT_EQ(Curl("/bugs/a/../x.htm").body, "Bugs: Invalid HTTP address.") << "refusals too";
    EXPECT_TRUE(Contains(Curl("/BUGS/none.twp").body, "Bugs: ")) << "the root is found without regard to case";
    EXPECT_EQ(Curl("/bad.twp").body.rfind("Root: ", 0), 0U) << "pages outside the application";

    // An application without an error page of its own gets the built-in page, naming the one missing.
    EXPECT_EQ(Curl("/other/init.twp").body, "registered");
    const std::string body = Curl("/other/bad.twp").body;
    EXPECT_TRUE(Contains(body, "boom<br>\r\n<br>\r\nAdditional error: ")) << body;
    EXPECT_TRUE(Contains(body, "[/other/error.twp]")) << body;
}

// Rows of the installation's own SQLite database (data source "tw3"), added and listed by pages.
TEST_F(DispatchTest, PagesAddAndListRowsOfTheDefaultDatabase)
{
    ASSERT_NO_FATAL_FAILURE(UseDefaultDatabase());

    WebFile("registry/add.twp", "<!--{ sql a = insert into tw3_registry (reg_user, reg_section, reg_key, reg_value)\n"
                                "  values ('System', 'UniqueID', Request.key, Request.value);\n"
                                "a.execute(); }-->added --{ Request.key }--");
    WebFile("registry/list.twp", "<table>\r\n<!--{ sql r = select reg_key, reg_value from tw3_registry\n"
                                 "  where reg_section = 'UniqueID' order by reg_key;\n"
                                 "while (r.fetch() = 1) }--><tr><td>--{ r.reg_key }--</td><td>--{ r.reg_value }--"
                                 "</td></tr>\r\n<!--{ endwhile }--></table>");
    EXPECT_EQ(Curl("/registry/list.twp").body, "<table>\r\n</table>");
    EXPECT_EQ(Curl("/registry/add.twp?key=notes&value=7").body, "added notes");
    EXPECT_EQ(Curl("/registry/add.twp?key=bugs&value=it%27s").body, "added bugs");
    const HttpReply reply = Curl("/registry/list.twp");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.body, "<table>\r\n<tr><td>bugs</td><td>it's</td></tr>\r\n<tr><td>notes</td><td>7</td></tr>\r\n"
                          "</table>");

    // A row that is there already: the driver's text, the statement and the data source.
    const std::string failed = Curl("/registry/add.twp?key=bugs&value=1").body;
    EXPECT_TRUE(Contains(failed, " SQL a:INSERT INTO tw3_registry (reg_user, reg_section, reg_key, reg_value) "
                                 "VALUES (?, ?, ?, ?)"))
        << failed;
    EXPECT_TRUE(Contains(failed, "DSN:tw3")) << failed;
}

// Files kept in a column of the default database, downloaded by the URLs that pages link them by.
class AttachmentDispatchTest : public DispatchTest
{
protected:
    void SetUp() override
    {
        DispatchTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(UseDefaultDatabase());
        COdbcConnection connection;
        connection.Open("DSN=tw3");
        connection.ExecuteSQL("CREATE TABLE files (id INTEGER PRIMARY KEY, body BLOB)");
        COdbcStatement insert(connection);
        insert.Prepare("INSERT INTO files (id, body) VALUES (1, ?)");
        insert.BindBinary(1, m_picture);
        insert.Execute();
        TheServerConfig().m_sessionTimeout = 20;
        // As the server program does at its start: the key that signs attachment IDs.
        ASSERT_EQ(TheServerConfig().EnsureFileIdSecret(), 1);
    }
    void TearDown() override
    {
        DispatchTest::TearDown();
        TheServerConfig().m_encryptFileId = 1;
        TheServerConfig().m_dbAccessSerialize = 0;
    }

    // A file of every byte value, NUL and 0xFF included, larger than a page kept in memory.
    const std::string m_picture = RandomBytes(100000) + std::string("\0\xFF\0\xFF", 4);
};

TEST_F(AttachmentDispatchTest, PlainUrlsServeColumnsByteForByte)
{
    TheServerConfig().m_encryptFileId = 0;
    HttpReply reply = Curl("/app/FileDB/files/id/1/body/picture.gif");
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.Header("Content-Type"), "image/gif") << "typed by the file name's extension";
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(m_picture.size()));
    EXPECT_TRUE(reply.body == m_picture) << "the bytes differ; got " << reply.body.size();

    // A failure goes out as an error page, without the output file's type.
    reply = Curl("/app/FileDB/files/id/2/body/x.gif");
    EXPECT_TRUE(Contains(reply.body, "The attachment has already been deleted")) << reply.body;
    EXPECT_TRUE(Contains(reply.Header("Content-Type"), "text/html"));
    EXPECT_TRUE(WaitFor([&] { return GeneratedFiles().empty(); }))
        << "output files are removed; left: " << GeneratedFiles().size();
}

TEST_F(AttachmentDispatchTest, PagesLinkFilesByEncryptedIds)
{
    WebFile("app/link.twp", "/--{ To.fileUrl('files', 'id', '1', 'body', 'picture.gif') }--");
    const std::string url = Curl("/app/link.twp").body;
    ASSERT_EQ(url.rfind("/fileInDB/", 0), 0U) << url;
    HttpReply reply = Curl(url);
    EXPECT_EQ(reply.Header("Content-Type"), "image/gif");
    EXPECT_TRUE(reply.body == m_picture) << "the bytes differ; got " << reply.body.size();

    EXPECT_TRUE(Contains(Curl("/app/FileDB/files/id/1/body/x.gif").body,
                         "The server expects an encrypted attachment file URL."));
}

TEST_F(AttachmentDispatchTest, DownloadsHoldTheApplicationLockWhenRunsAreSerialized)
{
    TheServerConfig().m_encryptFileId = 0;
    auto download = [this] { return Curl("/FileDB/files/id/1/body/picture.gif").body; };
    std::unique_lock lock(TheSspApp().ApplicationLock());

    // Without serialising, nothing waits for the lock.
    EXPECT_TRUE(download() == m_picture);

    StopServing();
    TheServerConfig().m_dbAccessSerialize = 1;
    auto waiting = std::async(std::launch::async, download);
    EXPECT_EQ(waiting.wait_for(500ms), std::future_status::timeout) << "the download must wait for the lock";
    lock.unlock();
    EXPECT_TRUE(waiting.get() == m_picture);
}

TEST_F(DispatchTest, BrokenRequestsGetTheirErrorPage)
{
    // A control byte refuses the address before any redirect rule could echo it.
    const std::string reply = Raw(std::string("GET /ab\x01 HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(reply.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0U);
    EXPECT_TRUE(Contains(reply, "Invalid HTTP address."));
    const std::string unmeasured = Raw("POST /x.twp HTTP/1.0\r\n\r\n");
    EXPECT_EQ(unmeasured.rfind("HTTP/1.0 411 Length Required\r\n", 0), 0U);
    EXPECT_TRUE(Contains(unmeasured, "Content-Length missing from your HTTP request."));
    const std::string tooLarge = Raw("POST /x.twp HTTP/1.0\r\nContent-Length: 5000000\r\n\r\n");
    EXPECT_EQ(tooLarge.rfind("HTTP/1.0 413 Request Entity Too Large\r\n", 0), 0U);
    EXPECT_TRUE(Contains(tooLarge, "The amount of data you sent has exceeded the limit of 1 MB."));
    EXPECT_EQ(Raw("GET /x.htm HTTP/1.0\r\nHost: a", true), "") << "a cut request gets no reply";

    StopServing();
    TheServerConfig().m_logHttp = 1;
    Raw("GET /y\n.htm?a=1 HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(WaitFor([this] { return m_log.Contains("127.0.0.1 /y?.htm?a=1 [") && m_log.Contains("] sent."); }))
        << "LogHttp writes a line before and after, and control bytes show as '?'";
    // A header too long to keep is logged; the line feeds in it must not start lines of the
    // client's making in the day file.
    Raw("GET /x.htm HTTP/1.0\r\nX: a\n2026-12-09 13:10:01 Administrator logon from 10.0.0.1 accepted\n" +
        std::string(4100, 'A') + "\r\n\r\n");
    ASSERT_TRUE(WaitFor([this] { return m_log.Contains("Long header [X: a?2026-12-09 13:10:01 Administrator"); }));
    for (const std::string& entry : m_log.Entries()) {
        const std::string text = entry.substr(0, entry.find_last_not_of("\r\n") + 1);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "an entry of more than one line: " << entry;
    }
}

TEST_F(DispatchTest, ErrorAnswersSayWhatHappenedAndNameFilesBelowTheWebRoot)
{
    WebFile("error.twp", "Sorry: --{ Response.error }--");
    WebFile("fails.twp", "before <!--{ }--x");
    WebFile("gone.twp", "<!--{ Response.AddHeader('Status: 410 Gone'); }-->gone");
    WebFile("app/error.twp", "<!--{ Response.AddHeader('Status: 200 OK'); }-->All is well: --{ Response.error }--");
    WebFile("app/fails.twp", "before <!--{ }--x");
    WebFile("script/daily.tws", "task");
    const std::pair<std::string, std::string> answers[] = {
        {"/favicon.ico", "HTTP/1.0 404 Not Found"},
        {"/missing.twp", "HTTP/1.0 404 Not Found"},
        {"/script/daily.tws", "HTTP/1.0 403 Forbidden"},
        {"/fails.twp", "HTTP/1.0 500 Internal Server Error"},
        {"/gone.twp", "HTTP/1.0 410 Gone"},
    };
    for (const auto& [path, status] : answers) {
        const HttpReply reply = Curl(path);
        EXPECT_EQ(reply.statusLine, status) << path;
        EXPECT_FALSE(Contains(reply.body, m_install.Path())) << path << ": " << reply.body;
        EXPECT_EQ(reply.Header("Status"), "<none>") << "a page's status line is no header of its own";
    }
    EXPECT_TRUE(Contains(Curl("/favicon.ico").body, "/favicon.ico : Error [2]: No such file or directory"));
    EXPECT_TRUE(Contains(Curl("/fails.twp").body, "Sorry: /fails.twp (1,17): "));
    WebFile("app/init.twp", "<!--{ App.Init(); }-->registered");
    EXPECT_EQ(Curl("/app/init.twp").body, "registered");
    const HttpReply own = Curl("/app/fails.twp");
    EXPECT_EQ(own.statusLine, "HTTP/1.0 200 OK") << "the error page's own status wins";
    EXPECT_TRUE(Contains(own.body, "All is well: /app/fails.twp (1,17): ")) << own.body;
}

// The head of a response with its Date line taken out, which differs between two answers.
std::string HeadWithoutDate(const std::string& raw)
{
    std::string head = raw.substr(0, raw.find("\r\n\r\n") + 4);
    for (const char* name : {"Date: ", "Expires: "}) {
        const std::size_t line = head.find(name);
        if (line != std::string::npos)
            head.erase(line, head.find("\r\n", line) + 2 - line);
    }
    return head;
}

TEST_F(DispatchTest, HeadGetsTheHeadThatGetWouldGetAndNoBody)
{
    WebFile("a.txt", "hello, world");
    WebFile("page.twp", "<!--{ Response.setCookie('c', 'v'); }-->page --{ Request.x }--");
    WebFile("broken.twp", "<!--{ error 'broken page'; }-->");
    for (const std::string path : {"/a.txt", "/page.twp?x=query", "/broken.twp", "/missing.htm"}) {
        const std::string get = Raw("GET " + path + " HTTP/1.0\r\n\r\n");
        const std::string head = Raw("HEAD " + path + " HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(HttpReply::Parse(get).complete) << path;
        EXPECT_FALSE(HttpReply::Parse(get).body.empty()) << path;
        EXPECT_EQ(HeadWithoutDate(head), HeadWithoutDate(get)) << path;
        EXPECT_EQ(HttpReply::Parse(head).body, "") << path;
    }
    EXPECT_EQ(HttpReply::Parse(Raw("GET /page.twp?x=query HTTP/1.0\r\n\r\n")).body, "page query");
    // curl's own HEAD reads the length it announces as the length of nothing to come.
    const HttpReply reply = HttpReply::Parse(Output({"curl", "-s", "-I", "--max-time", "20", Url("/a.txt")}));
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.Header("Content-Length"), "12");
}

// Pages that run without end, under the application lock that every page run takes.
class RunawayPageTest : public DispatchTest
{
protected:
    void SetUp() override
    {
        DispatchTest::SetUp();
        TheServerConfig().m_dbAccessSerialize = 1;
        WebFile("loop.twp", "<!--{ Local.n = 0; while (1) Local.n = Local.n + 1; endwhile }-->never");
        WebFile("quick.twp", "quick --{ 1 + 1 }--");
    }
    void TearDown() override
    {
        DispatchTest::TearDown();
        TheServerConfig().m_dbAccessSerialize = 0;
        TheServerConfig().m_pageRunTimeLimit = GetServerSetting(SettingId::kPageRunTimeLimit).defaultNumber;
    }

    std::future<std::string> Start(const std::string& path)
    {
        return std::async(std::launch::async, [this, path] { return Curl(path).body; });
    }
    // The id of the thread that runs `url`, from the console's request list; 0 while none does.
    int ThreadServing(const std::string& url) const
    {
        const std::string list = m_pool.FormatRequestList(nullptr);
        const std::size_t line = list.find("*" + url + " (http)");
        if (line == std::string::npos)
            return 0;
        const std::size_t start = list.rfind("\r\n", line);
        const std::size_t id = list.find('*', start == std::string::npos ? 0 : start + 2) + 1;
        return std::stoi(list.substr(id));
    }
};

TEST_F(RunawayPageTest, APageOverTheTimeLimitFailsReleasesTheLockAndRollsBack)
{
    ASSERT_NO_FATAL_FAILURE(UseDefaultDatabase());
    TheServerConfig().m_pageRunTimeLimit = 1;
    WebFile("insert-and-loop.twp",
            "<!--{ Local.BeginTransaction(); sql a = insert into tw3_registry (reg_user, reg_section, reg_key, "
            "reg_value) values ('System', 'UniqueID', 'looped', '1'); a.execute();\n"
            "while (1) endwhile }-->");
    WebFile("count.twp", "<!--{ sql r = select count(*) as n from tw3_registry where reg_key = 'looped'; r.fetch(); "
                         "}-->rows --{ r.n }--");
    auto looping = Start("/insert-and-loop.twp");
    ASSERT_TRUE(WaitFor([this] { return ThreadServing("/insert-and-loop.twp") != 0; }));
    // Waits for the lock that the looping page holds until its limit ends it.
    auto waiting = Start("/quick.twp");
    const std::string failed = looping.get();
    EXPECT_TRUE(Contains(failed, "The page exceeded the time limit of 1 seconds and was ended.")) << failed;
    EXPECT_EQ(waiting.get(), "quick 2");
    EXPECT_EQ(Curl("/count.twp").body, "rows 0") << "the open transaction was rolled back";
}

TEST_F(RunawayPageTest, AStatementStillRunningAtTheTimeLimitIsCancelled)
{
    ASSERT_NO_FATAL_FAILURE(UseDefaultDatabase());
    TheServerConfig().m_pageRunTimeLimit = 1;
    // Counts without end: only a cancel ends the statement.
    WebFile("endless.twp", "<!--{ sql c = 'WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) "
                           "SELECT count(*) AS k FROM n'; c.execute(); }-->never");
    const auto start = std::chrono::steady_clock::now();
    const std::string failed = Curl("/endless.twp").body;
    EXPECT_TRUE(Contains(failed, "The page exceeded the time limit of 1 seconds and was ended.")) << failed;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "well before the statement's own time-out";
    EXPECT_EQ(Curl("/quick.twp").body, "quick 2") << "the lock was given back";
}

TEST_F(RunawayPageTest, ARunWhoseClientLeftWhileItWaitedForItsTurnIsNotRun)
{
    WebFile("mark.twp", "<!--{ Server.SetVar('marked', 'ran'); }-->marked");
    WebFile("read.twp", "--{ Server.Var('marked', 'not run') }--");
    // Every run waits for its turn while the test holds the lock.
    std::unique_lock lock(TheSspApp().ApplicationLock());
    {
        CTestClient client(Port());
        client.SendText("GET /mark.twp HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(WaitFor([this] { return ThreadServing("/mark.twp") != 0; }));
    }
    EXPECT_TRUE(WaitFor([this] { return ThreadServing("/mark.twp") == 0; })) << "dropped while its turn had not come";
    lock.unlock();
    EXPECT_EQ(Curl("/read.twp").body, "not run");
}

TEST_F(RunawayPageTest, DisconnectEndsTheRunOfItsThreadAtTheNextStatement)
{
    TheServerConfig().m_pageRunTimeLimit = 0;
    auto looping = Start("/loop.twp");
    int thread = 0;
    ASSERT_TRUE(WaitFor([&] { return (thread = ThreadServing("/loop.twp")) != 0; }));
    auto waiting = Start("/quick.twp");
    EXPECT_EQ(m_pool.DisconnectById(thread), 1);
    EXPECT_EQ(looping.get(), "") << "the connection was cut";
    EXPECT_EQ(waiting.get(), "quick 2") << "the ended run gave the lock back";
}

TEST_F(RunawayPageTest, StoppingThePoolEndsLoopingAndWaitingPagesWithoutAbandoningAThread)
{
    TheServerConfig().m_pageRunTimeLimit = 0;
    auto looping = Start("/loop.twp");
    ASSERT_TRUE(WaitFor([this] { return ThreadServing("/loop.twp") != 0; }));
    auto waiting = Start("/quick.twp");
    ASSERT_TRUE(WaitFor([this] { return ThreadServing("/quick.twp") != 0; }));
    EXPECT_EQ(m_pool.StopAll(), 0) << "every thread ended within its wait";
    EXPECT_FALSE(m_log.Contains("Failed to wait for server thread to exit"));
    looping.get();
    waiting.get();
}

TEST_F(DispatchTest, ConsoleCommandsReachOnlyTheServerHook)
{
    EXPECT_EQ(Raw("twConsole.GetReq\r\n\r\n"), "") << "without the hook nobody answers";
    StopServing();
    std::mutex lock;
    std::vector<std::string> commands;
    m_dispatcher->SetConsoleCommandHook(
        [&](CServerThread& thread, const std::string& method, const std::string& argument) {
            {
                std::lock_guard guard(lock);
                commands.push_back(method + "|" + argument + "|" + thread.GetStatusText());
            }
            EXPECT_EQ(thread.GetConnection().Send("answer\r\n\r\n"), 1);
        });
    EXPECT_EQ(Raw("twConsole.GetReq\r\n\r\n"), "answer\r\n\r\n");
    EXPECT_EQ(Raw("twConsole.Disconnect 1234\r\n", true), "answer\r\n\r\n") << "answered whatever the parse said";
    std::lock_guard guard(lock);
    EXPECT_EQ(commands,
              (std::vector<std::string>{"twConsole.GetReq|| (http)", "twConsole.Disconnect|1234|1234 (http)"}));
}

TEST_F(DispatchTest, EchoHookSeesRequestOutputAndResponseHead)
{
    std::mutex lock;
    std::string echoed;
    m_dispatcher->SetEchoHook([&](std::string_view text) {
        std::lock_guard guard(lock);
        echoed += text;
    });
    WebFile("p.twp", "page text");
    Raw("GET /p.twp HTTP/1.0\r\nX-Test: 1\r\n\r\n");
    std::lock_guard guard(lock);
    EXPECT_EQ(echoed.rfind("-------------------- Request Header --------------------\r\nGET /p.twp HTTP/1.0\r\n"
                           "X-Test: 1\r\n-------------------- HTML Generated ---------------------\r\npage text"
                           "\r\n-------------------- Response Header --------------------\r\nHTTP/1.0 200 OK\r\n",
                           0),
              0U)
        << echoed;
}

TEST_F(DispatchTest, GeneratedFileNamesTakeOnlyPlainExtensions)
{
    const std::string folder = m_install.Path() + "/tmp";
    EXPECT_EQ(CRequestDispatcher::PageOutputPath(5, false, "twp"), folder + "/dyn5.html");
    EXPECT_EQ(CRequestDispatcher::PageOutputPath(5, true, "Abcdefgh12345678"), folder + "/dyn5.Abcdefgh12345678");
    for (const char* extension : {"", "Abcdefgh123456789", "x/../../y", "tar.gz", "p f"})
        EXPECT_EQ(CRequestDispatcher::PageOutputPath(5, true, extension), folder + "/dyn5") << extension;
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "a file where the folder should be";
    EXPECT_EQ(CRequestDispatcher::TemporaryFolder(), m_install.Path());
}

}  // namespace
