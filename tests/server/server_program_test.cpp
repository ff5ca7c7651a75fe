// twServer end to end: the real program in a temporary installation, asked with curl, raw sockets
// and openssl-made certificates, stopped through its stop event and through signals.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "database/odbc_connection.h"
#include "network/tcp_socket.h"
#include "platform/named_objects.h"
#include "tests/mail/smtp_peer.h"
#include "tests/network/net_test_support.h"
#include "tests/network/test_certificates.h"
#include "tests/server/server_process.h"
#include "tests/support/ci.h"
#include "tests/support/run_program.h"
#include "tests/support/wait_for.h"

namespace {

using namespace std::chrono_literals;

// Sends `text` as one console command would, ends the sending side and returns the reply.
std::string Ask(int port, const std::string& text)
{
    CTestClient client(port);
    client.SendText(text);
    shutdown(client.Fd(), SHUT_WR);
    return client.ReadUntilClosed(10s);
}

class ServerProgramTest : public ::testing::Test
{
protected:
    // Starts the server as a normal program and returns its HTTP port (0 when it did not listen).
    int StartNormal(const std::string& settings = "", const char* option = "-NormalApp")
    {
        m_install.WriteSettings(settings);
        if (!m_server.Start(m_install, {option}))
            return 0;
        const std::set<int> ports = m_server.WaitUntilRunning(m_install, 1);
        return ports.empty() ? 0 : *ports.begin();
    }

    int Curl(const std::vector<std::string>& arguments, const std::string& output)
    {
        std::vector<std::string> command{"curl", "-sS", "--max-time", "20", "-o", output};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return RunProgram(command, m_install.Path() + "/curl.err");
    }
    std::string Fetch(int port, const std::string& path, const std::vector<std::string>& options = {})
    {
        const std::string output = m_install.Path() + "/fetched";
        std::vector<std::string> arguments = options;
        arguments.push_back("http://127.0.0.1:" + std::to_string(port) + path);
        return Curl(arguments, output) == 0 ? ReadWholeFile(output)
                                            : "curl failed: " + ReadWholeFile(m_install.Path() + "/curl.err");
    }

    CServerInstall m_install;
    CServerProcess m_server;
};

TEST_F(ServerProgramTest, ServesTheSampleSiteAndStopsThroughItsEvent)
{
    const int port = StartNormal();
    ASSERT_NE(port, 0) << m_server.Output();

    const std::string redirect = Fetch(port, "/", {"-i"});
    EXPECT_NE(redirect.find("302 Moved Temporarily"), std::string::npos) << redirect;
    EXPECT_NE(redirect.find("Location: /index.twp"), std::string::npos) << redirect;
    const std::string index = Fetch(port, "/", {"-L"});
    EXPECT_NE(index.find("Tarnwick Server 3 is running"), std::string::npos) << index;
    EXPECT_NE(index.find("<code>/index.twp</code> from 127.0.0.1"), std::string::npos) << index;
    EXPECT_NE(index.find("<tr class=\"even\"><td>8</td><td>64</td><td>256</td></tr>"), std::string::npos) << index;
    EXPECT_NE(index.find("its settings table holds 0 rows."), std::string::npos) << "read from the default database";
    EXPECT_EQ(index.find("<!--{"), std::string::npos) << "no statement reaches the browser";
    const std::string about = Fetch(port, "/about.html", {"-i"});
    EXPECT_NE(about.find("Content-Type: text/html"), std::string::npos) << about;
    EXPECT_NE(about.find(ReadWholeFile(m_install.Path() + "/webroot/about.html")), std::string::npos);
    // The program plugs the mail objects into the interpreter: a page reads the mail store.
    m_install.WriteFile("mail/box/20240101-000000.eml", "Subject: stored mail\r\n\r\nbody\r\n");
    m_install.WriteFile(
        "webroot/mail.twp",
        "<!--{ email_in m; m.SetVar('Address', 'box'); while (m.FetchMail()) write m.subject; endwhile }-->");
    const std::string mail = Fetch(port, "/mail.twp");
    EXPECT_NE(mail.find("stored mail"), std::string::npos) << mail;
    const std::string failed = Fetch(port, "/fails.twp", {"-i"});
    EXPECT_NE(failed.find("HTTP/1.0 500 Internal Server Error"), std::string::npos) << failed;
    EXPECT_NE(failed.find("<pre>The total of 10 was refused on purpose.</pre>"), std::string::npos) << failed;
    EXPECT_EQ(failed.find("never sent"), std::string::npos);

    // The default database was made at the first start, from the installation's own files.
    EXPECT_TRUE(std::filesystem::exists(m_install.Path() + "/data/tw3.db"));
    EXPECT_NE(ReadWholeFile(m_install.Path() + "/etc/odbc.ini").find("Database=" + m_install.Path() + "/data/tw3.db"),
              std::string::npos);

    ASSERT_TRUE(CStopEvent::Exists(m_install.StopEventPath()));
    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output();
    EXPECT_FALSE(std::filesystem::exists(m_install.StopEventPath())) << "the event ends with the wait";
    const std::string log = m_install.LogText();
    for (const char* line :
         {"Tarnwick Server starting up...", "Version=2;Root=", ";SerializeDB=yes;ThreadOwnConn=no;DsIdleClose=no",
          "http://127.0.0.1:0; domain name=127.0.0.1", "Tarnwick Server ended."})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST_F(ServerProgramTest, ASecondInstanceIsRefusedAndSigtermStopsTheFirst)
{
    const int port = StartNormal();
    ASSERT_NE(port, 0) << m_server.Output();
    CServerProcess second;
    ASSERT_TRUE(second.Start(m_install, {"-normalapp"}));
    EXPECT_EQ(second.WaitForExit(), 1);
    const std::string log = m_install.LogText();
    const std::size_t refused = log.find("A Tarnwick Server 3 is already running.");
    ASSERT_NE(refused, std::string::npos) << log;
    EXPECT_NE(log.find("Tarnwick Server ended.", refused), std::string::npos) << log;
    // The second instance left the first one's event and port alone.
    EXPECT_TRUE(CStopEvent::Exists(m_install.StopEventPath()));
    EXPECT_NE(Fetch(port, "/about.html").find("About this site"), std::string::npos);

    ASSERT_TRUE(m_server.Signal(SIGTERM));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output();
    // Once the first has ended, the lock is free again; one that is killed leaves its lock to the
    // kernel and its socket file to the next server, which replaces it.
    CServerProcess third;
    ASSERT_TRUE(third.Start(m_install, {"-normalapp"}));
    EXPECT_FALSE(third.WaitUntilRunning(m_install, 1).empty()) << m_install.LogText();
    ASSERT_TRUE(third.Signal(SIGKILL));
    third.WaitForExit();
    ASSERT_TRUE(std::filesystem::exists(m_install.StopEventPath()));
    CServerProcess fourth;
    ASSERT_TRUE(fourth.Start(m_install, {"-normalapp"}));
    EXPECT_FALSE(fourth.WaitUntilRunning(m_install, 1).empty()) << m_install.LogText();
    ASSERT_TRUE(fourth.Signal(SIGINT));
    EXPECT_EQ(fourth.WaitForExit(), 0);
}

TEST_F(ServerProgramTest, AStopThatComesWhileStartingIsHonoured)
{
    // The signal is pending before the program runs a single instruction of its own; it is
    // delivered the moment the program catches it, long before the services have started.
    m_install.WriteSettings("");
    ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}, {}, {}, {SIGTERM}));
    ASSERT_TRUE(m_server.Signal(SIGTERM));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output();
    const std::string log = m_install.LogText();
    const std::size_t started = log.find("http://127.0.0.1:0; domain name=");
    ASSERT_NE(started, std::string::npos) << "the start went on to its end: " << log;
    EXPECT_NE(log.find("Tarnwick Server ended.", started), std::string::npos) << log;
}

TEST_F(ServerProgramTest, AFailedStartEndsWithStatusOne)
{
    // Without a database connection the server cannot start.
    m_install.WriteSettings("DbOdbcConnectString=\n");
    ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}));
    EXPECT_EQ(m_server.WaitForExit(), 1) << m_server.Output() << m_install.LogText();
    EXPECT_NE(m_install.LogText().find("Please run Tarnwick Console to set up the database connection first."),
              std::string::npos)
        << m_install.LogText();

    // A port that another program holds.
    CTcpSocket taken;
    ASSERT_EQ(taken.Listen("127.0.0.1", 0), 1);
    m_install.WriteSettings("GeneralTcpipPort=" + std::to_string(taken.GetLocalPort()) + "\n");
    CServerProcess blocked;
    ASSERT_TRUE(blocked.Start(m_install, {"-normalapp"}));
    EXPECT_EQ(blocked.WaitForExit(), 1);
    EXPECT_NE(m_install.LogText().find("Web server failed to start."), std::string::npos) << m_install.LogText();
    EXPECT_FALSE(std::filesystem::exists(m_install.StopEventPath()));

    // A file of someone else's where the stop event goes: nothing starts that could not be stopped.
    m_install.WriteSettings("");
    m_install.WriteFile("tmp/twServer3stopEvent.sock", "not a socket");
    CServerProcess eventless;
    ASSERT_TRUE(eventless.Start(m_install, {"-normalapp"}));
    EXPECT_EQ(eventless.WaitForExit(), 1);
    EXPECT_NE(m_install.LogText().find("Failed to create twServer3stopEvent"), std::string::npos);
    EXPECT_NE(eventless.Output().find("Tarnwick Server did not start. Failed to create twServer3stopEvent\n"),
              std::string::npos)
        << eventless.Output();
    EXPECT_EQ(ReadWholeFile(m_install.StopEventPath()), "not a socket");
}

TEST_F(ServerProgramTest, AFailedStartSaysWhyOnItsTerminal)
{
    CTcpSocket taken;
    ASSERT_EQ(taken.Listen("127.0.0.1", 0), 1);
    const std::string port = std::to_string(taken.GetLocalPort());
    m_install.WriteSettings("GeneralTcpipPort=" + port + "\n");
    CServerProcess blocked;
    ASSERT_TRUE(blocked.Start(m_install, {"-normalapp"}));
    EXPECT_EQ(blocked.WaitForExit(), 1);
    const std::string said = blocked.Output();
    EXPECT_EQ(said.rfind("Tarnwick Server did not start. Failed to bind to 127.0.0.1:" + port +
                             ". Another program uses this address and port; \"ss -ltnp\" shows which.\n",
                         0),
              0u)
        << said;
    EXPECT_EQ(said.find("Version=2"), std::string::npos) << "the configuration lines are no reason: " << said;
    EXPECT_EQ(said.find('\r'), std::string::npos) << said;

    // Settings that cannot be read: the reason names the settings file.
    const std::string settings = m_install.Path() + "/etc/settings.conf";
    std::filesystem::remove(settings);
    std::filesystem::create_directory(settings);
    CServerProcess unreadable;
    ASSERT_TRUE(unreadable.Start(m_install, {"-normalapp"}));
    EXPECT_EQ(unreadable.WaitForExit(), 1);
    EXPECT_NE(unreadable.Output().find("Is a directory when accessing the settings file " + settings +
                                       ".\nFailed to load settings\n"),
              std::string::npos)
        << unreadable.Output();
}

TEST_F(ServerProgramTest, SettingsTypedByHandStartTheServerAndOddFlagsAndUnknownNamesAreLogged)
{
    const int port = StartNormal(
        " GeneralTcpipAddress = 127.0.0.1 \nLogHttp=1\nGeneralTcpPort=8080\nPageRunTimeLimt=5\nShoeSize=9\n");
    ASSERT_NE(port, 0) << m_server.Output() << m_install.LogText();
    EXPECT_NE(Fetch(port, "/about.html").find("About this site"), std::string::npos);
    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output();
    const std::string log = m_install.LogText();
    const std::string line = "Setting LogHttp ignored: its value [1] is neither \"yes\" nor \"no\"; it stays off.";
    const std::size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << "one line per start: " << log;
    EXPECT_EQ(log.find("/about.html ["), std::string::npos) << "HTTP traffic stays unlogged: " << log;
    for (const char* unknown :
         {"unknown setting GeneralTcpPort (GeneralTcpipPort?)\r\n",
          "unknown setting PageRunTimeLimt (PageRunTimeLimit?)\r\n", "unknown setting ShoeSize\r\n"})
        EXPECT_NE(log.find(unknown), std::string::npos) << unknown << log;
    EXPECT_EQ(log.find("unknown setting LogHttp"), std::string::npos) << log;
}

TEST_F(ServerProgramTest, ConsoleCommandsAnswerOverTheHttpPort)
{
    const std::string script = m_install.Path() + "/webroot/script/ping.tws";
    m_install.WriteFile("webroot/script/ping.tws", "log 'ping task ran';");
    // Large enough that its sending stalls while the client does not read.
    {
        std::ofstream(m_install.Path() + "/webroot/big.bin");
        std::filesystem::resize_file(m_install.Path() + "/webroot/big.bin", 64 << 20);
    }
    std::string tasks = "FQDN=tracker.test\nTaskCount=6\n";
    const char* names[] = {"Email Sender", "Ping", "Two", "Three", "Four", "Five"};
    for (int i = 0; i < 6; ++i) {
        const std::string prefix = "Task0" + std::to_string(i + 1);
        tasks += prefix + "Name=" + names[i] + "\n" + prefix + "Enabled=" + (i == 1 ? "yes" : "no") + "\n" + prefix +
                 "Script=" + (i == 0 ? std::string("none") : script) + "\n" + prefix + "Interval=60\n";
    }
    const int port = StartNormal(tasks);
    ASSERT_NE(port, 0) << m_server.Output();

    std::string reply;
    // The enabled task shows its next run once the background thread runs.
    ASSERT_TRUE(WaitFor([&] {
        reply = Ask(port, "twConsole.GetTask\r\n\r\n");
        return reply.find("3*Ping*Run " + script + " every 60 minute(s)*Stopped") == std::string::npos;
    }));
    EXPECT_EQ(reply.rfind("0*Web Server*http://tracker.test:0*", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\n1*Secure Web Server*https://tracker.test*Disabled\r\n"
                         "2*Email Sender*Outgoing email server not set yet*Disabled\r\n"
                         "3*Ping*Run " +
                         script + " every 60 minute(s)*"),
              std::string::npos)
        << reply;
    EXPECT_NE(reply.find("4*Two*Run " + script + " every 60 minute(s)*Disabled\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.substr(reply.size() - 4), "\r\n\r\n");

    EXPECT_EQ(Ask(port, "twConsole.RunNow 4\r\n\r\n"), "No enabled task has the number 4.\r\n\r\n")
        << "a task that will not run says why";
    EXPECT_EQ(Ask(port, "twConsole.RunNow 3\r\n\r\n"), "\r\n") << "an empty reply: the task runs";
    EXPECT_TRUE(WaitFor([&] { return m_install.LogText().find("ping task ran") != std::string::npos; }))
        << m_install.LogText();

    // A download that stalls because its client does not read: GetReq lists it, the asking
    // connection not, and Disconnect cuts it.
    CTestClient stalled(port);
    stalled.SendText("GET /big.bin HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] {
        reply = Ask(port, "twConsole.GetReq\r\n\r\n");
        return reply.find("*/big.bin (http)\r\n") != std::string::npos;
    })) << reply;
    ASSERT_EQ(reply.rfind("127.0.0.1*", 0), 0u) << reply;
    const std::size_t firstLineEnd = reply.find("\r\n");
    EXPECT_EQ(reply.find("watermark*", firstLineEnd), firstLineEnd + 2) << "one request line only: " << reply;
    EXPECT_EQ(reply.substr(reply.size() - 4), "\r\n\r\n");
    const std::string threadId = reply.substr(10, reply.find('*', 10) - 10);

    EXPECT_EQ(Ask(port, "twConsole.Disconnect " + threadId + "\r\n"), "");
    const std::string received = stalled.ReadUntilClosed(20s);
    EXPECT_TRUE(stalled.closed || stalled.reset);
    EXPECT_LT(received.size(), std::size_t{64} << 20) << "the download was cut short";
    EXPECT_TRUE(WaitFor([&] { return Ask(port, "twConsole.GetReq\r\n\r\n").rfind("watermark*", 0) == 0; }));

    // A command of no known name gets no reply, and the server goes on serving.
    EXPECT_EQ(Ask(port, "twConsole.Shutdown\r\n\r\n"), "");
    EXPECT_NE(Fetch(port, "/about.html").find("About this site"), std::string::npos);
    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output() << m_install.LogText();
}

TEST_F(ServerProgramTest, MailFromPagesLeavesThroughTheEmailSender)
{
    SmtpPeer peer;
    m_install.WriteFile(
        "webroot/send.twp",
        "<!--{ email_out m; m.SetVar('to', 'a@x.test'); m.SetVar('subject', 'From a page');"
        "m.SetVar('content', 'Hello'); write m.Send(); write Server.SendMail('b@x.test', 'Notice', 'Text'); }-->");
    // The Email Sender enabled, the other default tasks there but off.
    std::string settings = "EmSmtpServer=127.0.0.1\nEmSmtpPort=" + std::to_string(peer.Port()) +
                           "\nEmAdminEmail=admin@site.test\nTaskCount=6\n";
    for (int i = 1; i <= 6; ++i) {
        const std::string prefix = "Task0" + std::to_string(i);
        settings += prefix + "Name=" + (i == 1 ? "Email Sender" : "Task") + "\n" + prefix +
                    "Enabled=" + (i == 1 ? "yes" : "no") + "\n" + prefix + "Script=none\n" + prefix + "Interval=60\n";
    }
    const int port = StartNormal(settings);
    ASSERT_NE(port, 0) << m_server.Output();
    EXPECT_EQ(Fetch(port, "/send.twp"), "11");
    EXPECT_TRUE(peer.Messages().empty()) << "pages only fill the outbox";

    EXPECT_EQ(Ask(port, "twConsole.RunNow 2\r\n\r\n"), "\r\n");
    ASSERT_TRUE(WaitFor([&] { return m_install.LogText().find("Email Sender ended.") != std::string::npos; }, 20s))
        << m_install.LogText();
    const std::vector<SmtpPeer::Message> sent = peer.Messages();
    ASSERT_EQ(sent.size(), 2u) << m_install.LogText();
    EXPECT_EQ(sent[0].to + "|" + sent[1].to, "a@x.test|b@x.test");
    EXPECT_EQ(sent[1].from, "admin@site.test");
    EXPECT_NE(sent[0].data.find("Subject: From a page\r\n"), std::string::npos) << sent[0].data;
    EXPECT_TRUE(std::filesystem::is_empty(m_install.Path() + "/mail/outbox"));
    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output();
}

TEST_F(ServerProgramTest, ANewPostgresDatabaseSaysWhichTableIsMissingAndHowToMakeIt)
{
    const char* pg = std::getenv("TW_PG_CONNECT");
    if (pg == nullptr || *pg == '\0') {
        if (InCi())
            FAIL() << "TW_PG_CONNECT is not set: the PostgreSQL test server did not start";
        GTEST_SKIP() << "no PostgreSQL test server (TW_PG_CONNECT unset)";
    }
    // A database as new as an administrator's: a schema of its own, without the server's tables.
    const std::string schema = "tw_newsite_" + std::to_string(getpid());
    COdbcConnection admin;
    admin.Open(pg);
    admin.ExecuteSQL("CREATE SCHEMA " + schema);
    const std::string use =
        "Local.UseDataSource('ODBC;" + std::string(pg) + ";ConnSettings=SET search_path TO " + schema + "'); ";
    m_install.WriteFile("webroot/new/bug.twp", "<!--{ " + use + "write Local.GetUniqueID('bugs', 'id'); }-->");
    m_install.WriteFile("webroot/new/settings.twp",
                        "<!--{ " + use + "sql s = SELECT reg_value FROM tw3_registry; write s.reg_value; }-->");
    const int port = StartNormal("DbOdbcConnectString=ODBC;" + std::string(pg) + "\n");
    ASSERT_NE(port, 0) << m_server.Output() << m_install.LogText();

    const std::string database = GetConnectValue(pg, "Database");
    const std::string hint = "has no table QV30_REGISTRY, where Tarnwick Server keeps data of its own. Create the "
                             "server's tables on the Database page of Tarnwick Console, or run psql -d " +
                             database + " -f " + m_install.Path() + "/data/tw3pgsql.sql.";
    const std::string page = Fetch(port, "/new/bug.twp");
    EXPECT_NE(page.find("The data source [" + database + "] " + hint), std::string::npos) << page;
    EXPECT_NE(page.find("Failed to get a unique ID for table: bugs."), std::string::npos) << page;
    const std::string settings = Fetch(port, "/new/settings.twp");
    EXPECT_NE(settings.find("has no table tw3_registry, where Tarnwick Server keeps data of its own."),
              std::string::npos)
        << settings;
    admin.ExecuteSQL("DROP SCHEMA " + schema + " CASCADE");
    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output();
}

class SecureServerTest : public ServerProgramTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::filesystem::create_directory(m_work));
        ASSERT_TRUE(m_make.MakeSelfSigned("ca", "/O=Tarnwick/CN=Tarnwick Test CA", "0x01"));
        ASSERT_TRUE(m_make.MakeSigned("server", "/O=Tarnwick/CN=localhost", "0x0A1B2C3D4E", "ca"));
        ASSERT_TRUE(m_make.Install("server", m_install.Path() + "/certs/server.pem", {"ca"}));
    }

    const std::string m_work = m_install.Path() + "/work";
    CTestCertificates m_make{m_work};
};

TEST_F(SecureServerTest, HttpsServesPagesAndNeverAnswersConsoleCommands)
{
    m_install.WriteSettings("GeneralSslPort=0\nSecurityCertName=localhost\nSecurityCertIssuer=Tarnwick Test CA\n"
                            "SecurityCertSerial=0A1B 2C3D 4E\n");
    ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}));
    const std::set<int> ports = m_server.WaitUntilRunning(m_install, 2);
    ASSERT_EQ(ports.size(), 2u) << m_install.LogText();
    // Both ports were taken free; the plain one is the one that answers plain HTTP.
    int plain = 0;
    int secure = 0;
    for (int port : ports)
        (Ask(port, "GET /about.html HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200", 0) == 0 ? plain : secure) = port;
    ASSERT_NE(plain, 0);
    ASSERT_NE(secure, 0);

    const std::string base = "https://localhost:" + std::to_string(secure);
    const std::vector<std::string> trust{"--cacert", m_make.CertificatePath("ca"), "--resolve",
                                         "localhost:" + std::to_string(secure) + ":127.0.0.1"};
    const std::string page = m_install.Path() + "/page";
    std::vector<std::string> arguments = trust;
    arguments.push_back(base + "/index.twp");
    ASSERT_EQ(Curl(arguments, page), 0) << ReadWholeFile(m_install.Path() + "/curl.err");
    EXPECT_NE(ReadWholeFile(page).find("<td>8</td><td>64</td><td>256</td>"), std::string::npos);

    // The console's commands over TLS: the connection closes without a reply (curl: empty reply).
    arguments = trust;
    arguments.insert(arguments.end(), {"-X", "twConsole.GetTask", base + "/"});
    const std::string reply = m_install.Path() + "/reply";
    EXPECT_EQ(Curl(arguments, reply), 52) << ReadWholeFile(m_install.Path() + "/curl.err");
    EXPECT_EQ(ReadWholeFile(reply), "");
    const std::string tasks = Ask(plain, "twConsole.GetTask\r\n\r\n");
    EXPECT_NE(tasks.find("\r\n1*Secure Web Server*https://127.0.0.1:0*"), std::string::npos) << tasks;
    EXPECT_EQ(tasks.find("Disabled\r\n2*"), std::string::npos) << "the secure server runs: " << tasks;

    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output() << m_install.LogText();
}

TEST_F(SecureServerTest, ACertificateThatIsNotThereStartsNoListener)
{
    m_install.WriteSettings("GeneralSslPort=0\nSecurityCertName=localhost\nSecurityCertIssuer=Tarnwick Test CA\n"
                            "SecurityCertSerial=0A1B 2C3D 4F\n");
    ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}));
    EXPECT_EQ(m_server.WaitForExit(), 1) << m_server.Output() << m_install.LogText();
    const std::string log = m_install.LogText();
    const std::size_t failed = log.find("Failed to initialize SSL.");
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_EQ(m_server.Output().rfind("Tarnwick Server did not start. ", 0), 0u) << m_server.Output();
    EXPECT_NE(m_server.Output().find("Failed to initialize SSL.\n"), std::string::npos) << m_server.Output();
    EXPECT_NE(log.find("https://127.0.0.1:0; certificate=localhost"), std::string::npos) << log;
    // Nothing was started: the stop that follows has nothing to wait for or to log.
    const std::size_t next = log.find('\n', failed) + 1;
    EXPECT_NE(log.substr(next, log.find('\n', next) - next).find("Tarnwick Server ended."), std::string::npos) << log;
}

// Plays the service manager: a datagram socket whose path goes to the program as NOTIFY_SOCKET.
class ServiceManagerPeer
{
public:
    explicit ServiceManagerPeer(const std::string& path) : m_path(path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~ServiceManagerPeer() { close(m_fd); }
    std::string Variable() const { return "NOTIFY_SOCKET=" + m_path; }
    // The next state the program sent, "" when none came within `limit`.
    std::string NextState(std::chrono::milliseconds limit = 20s)
    {
        pollfd entry{m_fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(limit.count())) != 1)
            return "";
        char buffer[512];
        const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }

private:
    std::string m_path;
    int m_fd = -1;
};

TEST_F(ServerProgramTest, AsAServiceItReportsReadyAndStopping)
{
    m_install.WriteSettings("");
    ServiceManagerPeer manager(m_install.Path() + "/notify.sock");
    ASSERT_TRUE(m_server.Start(m_install, {}, {manager.Variable()}));
    EXPECT_EQ(manager.NextState(), "READY=1");
    const std::set<int> ports = m_server.ListeningPorts();
    ASSERT_EQ(ports.size(), 1u) << "listening by the time it is ready";
    EXPECT_NE(Fetch(*ports.begin(), "/about.html").find("About this site"), std::string::npos);
    // The manager stops a service with SIGTERM.
    ASSERT_TRUE(m_server.Signal(SIGTERM));
    EXPECT_EQ(manager.NextState(), "STOPPING=1");
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output() << m_install.LogText();
    EXPECT_NE(m_install.LogText().find("Tarnwick Server system service (systemd) starting up..."), std::string::npos);

    // A start that fails is never reported ready, and ends with status 1.
    CTcpSocket taken;
    ASSERT_EQ(taken.Listen("127.0.0.1", 0), 1);
    m_install.WriteSettings("GeneralTcpipPort=" + std::to_string(taken.GetLocalPort()) + "\n");
    CServerProcess failing;
    ASSERT_TRUE(failing.Start(m_install, {}, {manager.Variable()}));
    EXPECT_EQ(manager.NextState(), "STATUS=Tarnwick Server did not start. Failed to bind to 127.0.0.1:" +
                                       std::to_string(taken.GetLocalPort()) +
                                       ". Another program uses this address and port; \"ss -ltnp\" shows which. "
                                       "Web server failed to start.");
    EXPECT_EQ(manager.NextState(), "STOPPING=1");
    EXPECT_EQ(failing.WaitForExit(), 1);
}

TEST_F(ServerProgramTest, StartedByHandWithoutTheServiceManagerItSaysHowAndEnds)
{
    m_install.WriteSettings("");
    ASSERT_TRUE(m_server.Start(m_install, {}));
    EXPECT_EQ(m_server.WaitForExit(), 1) << m_server.Output() << m_install.LogText();
    EXPECT_NE(m_server.Output().find("Please use Tarnwick Console to start Tarnwick Server.\nDo not double click on "
                                     "twServer in a file manager to start it: it runs as a system service (systemd), "
                                     "or with -normalapp as a normal program. "),
              std::string::npos)
        << m_server.Output();
    EXPECT_FALSE(std::filesystem::exists(m_install.StopEventPath()));
    // Any letter case of the option runs it as a normal program.
    ASSERT_NE(StartNormal("", "-NORMALAPP"), 0);
    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output() << m_install.LogText();
}

TEST_F(ServerProgramTest, APageThatLoopsIsEndedByTheStopAndNoThreadIsLeft)
{
    // No time limit: only the stop ends the loop, and the page behind it waits for the
    // application lock that the loop holds.
    m_install.WriteFile("webroot/hang.twp", "<!--{ while (1) endwhile }-->");
    m_install.WriteFile("webroot/next.twp", "next --{ 1 }--");
    const int port = StartNormal("PageRunTimeLimit=0\n");
    ASSERT_NE(port, 0) << m_server.Output();
    // The sanitizer build with the whole suite beside it can take seconds to get a page going.
    std::string requests;
    const auto listed = [&](const char* page) {
        return WaitFor(
            [&] {
                requests = Ask(port, "twConsole.GetReq\r\n\r\n");
                return requests.find(page) != std::string::npos;
            },
            20s);
    };
    CTestClient hanging(port);
    hanging.SendText("GET /hang.twp HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(listed("/hang.twp (http)")) << requests << m_server.Output() << m_install.LogText();
    CTestClient waiting(port);
    waiting.SendText("GET /next.twp HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(listed("/next.twp (http)")) << requests << m_server.Output() << m_install.LogText();
    ASSERT_TRUE(m_server.Signal(SIGTERM));
    EXPECT_EQ(m_server.WaitForExit(30s), 0) << m_server.Output();
    const std::string log = m_install.LogText();
    EXPECT_EQ(log.find("Failed to wait for server thread to exit."), std::string::npos) << log;
    EXPECT_EQ(log.find("Background thread failed to terminate."), std::string::npos) << log;
    EXPECT_NE(log.find("Tarnwick Server ended."), std::string::npos) << log;
    // The program tore everything down, as no thread was left: a sanitizer would report here.
    EXPECT_EQ(m_server.Output().find("ERROR"), std::string::npos) << m_server.Output();
}

TEST_F(ServerProgramTest, LeftoversOfAKilledWriterAreRemovedAtTheStartAndNothingElse)
{
    const std::vector<std::string> leftovers = {"etc/settings.conf.Ab12Cd", "etc/settings.conf.QQQQQQ",
                                                "mail/outbox/.new-x8Yz01", "mail/box/.new-000000"};
    const std::vector<std::string> kept = {"etc/settings.conf.backup", "etc/settings.conf.Ab12Cd7",
                                           "etc/other.conf.Ab12Cd",    "mail/outbox/20240101-000000.txt",
                                           "mail/outbox/.new-x8Yz0",   "webroot/.new-x8Yz01",
                                           "etc/settings.conf.Ab-2Cd"};
    for (const auto& file : leftovers)
        m_install.WriteFile(file, "Password=secret\n");
    for (const auto& file : kept)
        m_install.WriteFile(file, "keep\n");
    const int port = StartNormal();
    ASSERT_NE(port, 0) << m_server.Output();
    for (const auto& file : leftovers)
        EXPECT_FALSE(std::filesystem::exists(m_install.Path() + "/" + file)) << file;
    for (const auto& file : kept)
        EXPECT_TRUE(std::filesystem::exists(m_install.Path() + "/" + file)) << file;
    EXPECT_NE(m_install.LogText().find("Removed 4 temporary file(s) left by an interrupted write."), std::string::npos)
        << m_install.LogText();
    ASSERT_TRUE(m_server.Signal(SIGTERM));
    EXPECT_EQ(m_server.WaitForExit(), 0);
}

// Two network namespaces joined by a veth pair: the server's host (10.213.0.1) and another host
// (10.213.0.2). Made in the namespaces themselves, so the machine's own network stays untouched
// and tests running side by side never meet.
class NamespacePair
{
public:
    static constexpr const char* kServerAddress = "10.213.0.1";

    NamespacePair() : m_suffix(std::to_string(getpid())), m_server("tws" + m_suffix), m_remote("twr" + m_suffix) {}
    ~NamespacePair()
    {
        RunProgram({"ip", "netns", "del", m_server});
        RunProgram({"ip", "netns", "del", m_remote});
    }

    bool Create()
    {
        const std::string serverLink = "tw" + m_suffix + "s";
        const std::string remoteLink = "tw" + m_suffix + "r";
        const std::vector<std::vector<std::string>> commands = {
            {"ip", "netns", "add", m_server},
            {"ip", "netns", "add", m_remote},
            {"ip", "link", "add", serverLink, "netns", m_server, "type", "veth", "peer", "name", remoteLink, "netns",
             m_remote},
            {"ip", "-n", m_server, "addr", "add", std::string(kServerAddress) + "/24", "dev", serverLink},
            {"ip", "-n", m_remote, "addr", "add", "10.213.0.2/24", "dev", remoteLink},
            {"ip", "-n", m_server, "link", "set", serverLink, "up"},
            {"ip", "-n", m_server, "link", "set", "lo", "up"},
            {"ip", "-n", m_remote, "link", "set", remoteLink, "up"},
        };
        for (const auto& command : commands)
            if (RunProgram(command) != 0)
                return false;
        return true;
    }

    std::vector<std::string> InServer() const { return {"ip", "netns", "exec", m_server}; }
    std::vector<std::string> InRemote() const { return {"ip", "netns", "exec", m_remote}; }

private:
    std::string m_suffix;
    std::string m_server;
    std::string m_remote;
};

// A raw client run inside a namespace: sends its third argument, ends the sending side and
// prints what comes back (nothing when the connection was reset).
constexpr const char* kRawClient = R"(import socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=10)
s.sendall(sys.argv[3].encode().decode('unicode_escape').encode('latin-1'))
s.shutdown(socket.SHUT_WR)
data = b''
try:
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
except ConnectionResetError:
    pass
sys.stdout.write(data.decode('latin-1'))
)";

TEST_F(ServerProgramTest, AnotherHostsConsoleCommandsAreRefused)
{
    if (getuid() != 0)
        GTEST_SKIP() << "network namespaces need root";
    NamespacePair hosts;
    if (!hosts.Create())
        GTEST_SKIP() << "network namespaces cannot be made here";
    const std::string client = m_install.Path() + "/client.py";
    m_install.WriteFile("client.py", kRawClient);
    auto ask = [&](const std::vector<std::string>& where, const std::string& text) {
        std::vector<std::string> command = where;
        command.insert(command.end(), {"/usr/bin/python3", client, NamespacePair::kServerAddress, "8080", text});
        const std::string output = m_install.Path() + "/client.out";
        return RunProgram(command, output) == 0 ? ReadWholeFile(output) : "client failed: " + ReadWholeFile(output);
    };

    // The namespace is the server's alone, so its port can be fixed.
    m_install.WriteSettings(std::string("GeneralTcpipAddress=") + NamespacePair::kServerAddress +
                            "\nGeneralTcpipPort=8080\n");
    ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}, {}, hosts.InServer()));
    ASSERT_FALSE(m_server.WaitForPorts(1).empty()) << m_install.LogText();

    // The other host reaches the web server, but its console commands are cut without a reply.
    EXPECT_EQ(ask(hosts.InRemote(), "GET /about.html HTTP/1.0\\r\\n\\r\\n").rfind("HTTP/1.0 200 OK", 0), 0u);
    EXPECT_EQ(ask(hosts.InRemote(), "twConsole.GetTask\\r\\n\\r\\n"), "");
    EXPECT_EQ(ask(hosts.InRemote(), "twConsole.GetReq\\r\\n\\r\\n"), "");
    // From the server's own address they are answered.
    EXPECT_EQ(ask(hosts.InServer(), "twConsole.GetTask\\r\\n\\r\\n").rfind("0*Web Server*http://10.213.0.1:8080*", 0),
              0u);
    EXPECT_NE(ask(hosts.InServer(), "twConsole.GetReq\\r\\n\\r\\n").find("watermark*"), std::string::npos);

    ASSERT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
    EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output() << m_install.LogText();
}

}  // namespace
