// The application state without a database: application entries, the App and Server objects as
// scripts see them, the settings and task members, files and mail.
#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "language/ssp_app.h"
#include "platform/file_system.h"
#include "script_runner.h"
#include "tests/database/test_databases.h"
#include "tests/support/log_capture.h"
#include "tests/support/silent_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Scripts run against the process's application state, which each test starts empty.
class AppObjectTest : public ScriptTest
{
protected:
    AppObjectTest()
    {
        TheSspApp().RemoveAll();
        TheServerConfig().ClearTasks();
    }
    ~AppObjectTest() override
    {
        TheSspApp().RemoveAll();
        TheSspApp().SetMailQueue({});
        TheServerConfig().ClearTasks();
    }
};

TEST(ServerInstance, EachApplicationStateDrawsANumberOfItsOwn)
{
    // Made within the same second, as by a quick restart: a number from the clock would repeat.
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    std::set<int> drawn;
    for (int i = 0; i < 4; ++i) {
        CSspApp app(config);
        EXPECT_GE(app.GetServerInstance(), 0);
        drawn.insert(app.GetServerInstance());
    }
    EXPECT_EQ(drawn.size(), 4u);
}

TEST(ListLock, LookupsDoNotWaitForADatabaseServerThatDoesNotAnswer)
{
    SilentServer server;
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    config.m_sessionTimeout = 600;
    CSspApp app(config);
    app.SetDataSourceForPath(testdb::PgConnectTo(server.Port()), "/");
    app.InitApp("/bugs/");
    const std::string id = app.NewSession("alice", "127.0.0.1", "/bugs/")->GetId();

    std::thread connecting([&app] {
        try {
            app.GetDataSource("/bugs/x.twp");
            ADD_FAILURE() << "a server that never answered was connected to";
        } catch (const CSspException&) {
        }
    });
    if (!server.WaitAccepted(std::chrono::seconds(30))) {
        server.Stop();
        connecting.join();
        FAIL() << "the driver never connected";
    }

    // While the connect waits: the session lookup of a request, the App and Server objects.
    auto lookups = std::async(std::launch::async, [&app, &id] {
        const bool found = app.FindSession(id) != nullptr;
        CSspCall isValid;
        isValid.m_member = "IsValid";
        CSspValue valid;
        app.AppCall("/bugs/", isValid, valid);
        CSspCall appInfo;
        appInfo.m_member = "AppInfo";
        CSspValue info;
        app.ServerCall(appInfo, info);
        return found && valid.m_integer == 1 && info.ToString() == "/bugs/; ";
    });
    const bool answered = lookups.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    server.Stop();
    connecting.join();
    EXPECT_TRUE(answered) << "the lookups waited for the connect";
    EXPECT_TRUE(lookups.get());
}

TEST(ListLock, LookupsDoNotWaitForAServerMemberThatTakesLong)
{
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    config.m_sessionTimeout = 600;
    config.m_emSmtpServer = "smtp.example";
    config.m_emAdminEmail = "admin@example";
    CSspApp app(config);
    const std::string id = app.NewSession("alice", "127.0.0.1", "/")->GetId();
    // An outbox on a disk that hangs: the mail is being written until the test lets it go.
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    app.SetMailQueue([&](const std::string&, const std::string&, const std::string&) {
        entered.set_value();
        released.wait();
        return true;
    });
    auto mailing = std::async(std::launch::async, [&app] {
        CSspCall call;
        call.m_member = "SendMail";
        for (const char* text : {"a@x", "s", "c"})
            call.m_args.emplace_back().SetString(text);
        CSspValue result;
        app.ServerCall(call, result);
        return result.m_integer;
    });
    entered.get_future().wait();

    auto lookups = std::async(std::launch::async, [&app, &id] {
        CSspCall setVar;
        setVar.m_member = "SetVar";
        for (const char* text : {"visits", "7"})
            setVar.m_args.emplace_back().SetString(text);
        CSspValue ignored;
        app.ServerCall(setVar, ignored);
        CSspCall read;
        read.m_member = "visits";
        CSspValue visits;
        app.ServerCall(read, visits);
        return app.FindSession(id) != nullptr && visits.ToString() == "7";
    });
    const bool answered = lookups.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    release.set_value();
    EXPECT_TRUE(answered) << "the session look-up and the server variables waited for the mail";
    EXPECT_TRUE(lookups.get());
    EXPECT_EQ(mailing.get(), 1);
}

TEST(AppEntries, LongestRootWinsWithoutRegardToCase)
{
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    CSspApp app(config);
    EXPECT_EQ(app.FindApp("/bugs/"), nullptr);

    app.InitApp("/bugs/");
    app.InitApp("/");
    app.InitApp("/bugs/sub/");  // covered by /bugs/: no entry of its own
    ASSERT_NE(app.FindApp("/BUGS/sub/"), nullptr);
    EXPECT_EQ(app.FindApp("/BUGS/sub/")->GetRoot(), "/bugs/");
    EXPECT_EQ(app.FindApp("/other/")->GetRoot(), "/");
    EXPECT_EQ(app.FindApp("")->GetRoot(), "/") << "an empty path counts as /";
    EXPECT_EQ(app.AppInfo(), "/bugs/; /; ");

    app.RemoveAll();
    EXPECT_EQ(app.FindApp("/"), nullptr);
    EXPECT_EQ(app.AppInfo(), "");
}

TEST_F(AppObjectTest, AppNeedsInitAndKeepsVariablesAcrossRuns)
{
    EXPECT_EQ(RunAt("/bugs/list.twp", "write App.IsValid;"), "");
    EXPECT_EQ(sink.output, "0");
    EXPECT_EQ(RunAt("/bugs/list.twp", "write App.count;"), CMessageCatalog::Text(79));

    EXPECT_EQ(RunAt("/bugs/index.twp", "App.Init(); App.SetVar('Count', 3); write App.IsValid;"), "");
    EXPECT_EQ(sink.output, "1");
    // Another page below the root, in other letter case, sees the same application.
    EXPECT_EQ(RunAt("/BUGS/admin/edit.twp", "write App.count + 1; write App.VarExist('COUNT'); "
                                            "write App.Var('none', 'dflt');"),
              "");
    EXPECT_EQ(sink.output, "41dflt");
    EXPECT_EQ(RunAt("/bugs/x.twp", "write App.Var('none');"), std::string(CMessageCatalog::Text(77)) + "none");
    EXPECT_EQ(RunAt("/bugs/x.twp", "App.UseDataSource('ODBC');"), "Invalid ODBC connection string");
    EXPECT_EQ(RunAt("/bugs/x.twp", "App.UseDataSource('a', 'b');"), "Missing parameter.");
    EXPECT_EQ(RunAt("/other/x.twp", "write App.IsValid;"), "");
    EXPECT_EQ(sink.output, "0");
}

TEST_F(AppObjectTest, ServerVariablesAndPageValues)
{
    EXPECT_EQ(RunAt("/a/p.twp", "Server.SetVar('Hits', 5);"), "");
    EXPECT_EQ(RunAt("/b/q.twp", "write Server.hits * 2; write Server.VarExist('HITS'); write Server.Var('no', 'd');"),
              "");
    EXPECT_EQ(sink.output, "101d");
    EXPECT_EQ(RunAt("/b/q.twp", "write Server.nothing;"), std::string(CMessageCatalog::Text(78)) + "nothing");
    EXPECT_EQ(RunAt("/b/q.twp", "Server.UseDataSource('a', 'b');"), "Missing parameter.");
    EXPECT_EQ(RunAt("/b/sub/q.twp", "write Server.CurrentUrl; write '|'; write Server.CurrentUrlPath;"), "");
    EXPECT_EQ(sink.output, "/b/sub/q.twp|/b/sub/");
}

TEST_F(AppObjectTest, UseDataSourceKeepsEachValueInItsOwnAttribute)
{
    // The page's own path gets the connect string; the hand-out fails, but the data source it
    // made stays in the pool with the string it was given.
    EXPECT_NE(RunAt("/q/p.twp", "Local.UseDataSource('tw3_none', 'me', 'x;DSN=evil'); write Local.dbType;"), "");
    auto rows = TheSspApp().Pool().Describe();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].connect, "DSN=tw3_none;UID=me;PWD={x;DSN=evil}");
}

TEST_F(AppObjectTest, SettingsAndTaskMembers)
{
    CServerConfig& config = TheServerConfig();
    config.m_generalOrganizationName = "Acme";
    config.m_emSmtpPort = "2525";
    config.m_sessionTimeout = 30;
    EXPECT_EQ(RunAt("/t.tws", "write Server.OrgName; write Server.smtpport; write Server.SessionTimeout;"), "");
    EXPECT_EQ(sink.output, "Acme252530");

    const std::string missing = CMessageCatalog::Text(26);
    EXPECT_EQ(RunAt("/t.tws", "write Server.EmailSenderEnabled;"), missing);
    EXPECT_EQ(RunAt("/t.tws", "Server.SetVar('Task4Script', 'x');"), missing);

    config.SetDefaultTasks();
    config.GetTask(2)->SetEnabled(true);
    EXPECT_EQ(RunAt("/t.tws", "write Server.EmailSenderEnabled; write Server.EmailSenderInterval; write '|'; "
                              "write Server.TaskEnabled('deadline REMINDER'); write Server.TaskEnabled('System'); "
                              "write '|'; write Server.Task3Name;"),
              "");
    EXPECT_EQ(sink.output, "010|10|Deadline Reminder");

    // A task script set by a script changes the running configuration, not the server variables.
    EXPECT_EQ(RunAt("/t.tws", "Server.SetVar('importerSCRIPT', '/srv/import.tws'); write Server.ImporterScript; "
                              "write Server.VarExist('ImporterScript');"),
              "");
    EXPECT_EQ(sink.output, "/srv/import.tws0");
    EXPECT_EQ(config.GetTask(1)->GetScript(), "/srv/import.tws");
}

TEST(DefaultDataSource, ClampsSessionTimeoutAndNeedsAConnectString)
{
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    CSspApp app(config);
    config.m_sessionTimeout = 2000;
    config.m_dbOdbcConnectString = "ODBC";
    EXPECT_FALSE(app.SetDefaultDataSource());
    EXPECT_EQ(config.m_sessionTimeout, 600);
    config.m_sessionTimeout = 1440;
    config.m_dbOdbcConnectString = "ODBC;DSN=tw3_absent";
    EXPECT_TRUE(app.SetDefaultDataSource());
    EXPECT_EQ(config.m_sessionTimeout, 1440);

    // "/" now leads every page to the configured data source, named without its prefix.
    try {
        app.GetDataSource("/any/page.twp");
        ADD_FAILURE() << "a data source that does not exist was opened";
    } catch (const CSspException& error) {
        EXPECT_EQ(error.GetMessage().find("Data source [tw3_absent] not found."), 0u) << error.GetMessage();
    }
}

TEST_F(AppObjectTest, CopyFileStaysBelowTheWebRoot)
{
    TempFolder install("tw-app");
    SetProgramDirectory(install.Path());
    std::string webroot = install.Path() + "/webroot";
    std::filesystem::create_directories(webroot + "/docs");
    std::ofstream(webroot + "/docs/a.txt") << "new";
    std::ofstream(webroot + "/b.txt") << "old";

    EXPECT_EQ(RunAt("/t.tws", "write Server.CopyFile('/docs/a.txt', '/b.txt'); "
                              "write Server.CopyFile('docs/a.txt', '/docs/../../../c.txt'); "
                              "write Server.CopyFile('/none.txt', '/d.txt');"),
              "");
    EXPECT_EQ(sink.output, "110");
    EXPECT_EQ(ReadFile(webroot + "/b.txt"), "new") << "the destination is overwritten";
    EXPECT_EQ(ReadFile(webroot + "/c.txt"), "new") << "'..' cannot leave the web root";
    EXPECT_FALSE(std::filesystem::exists(install.Path() + "/c.txt"));
    EXPECT_EQ(RunAt("/t.tws", "Server.CopyFile('/b.txt');"), "Missing parameter.");
}

TEST_F(AppObjectTest, LogWritesTheScriptsTextLiterally)
{
    CLogCapture log;
    EXPECT_EQ(RunAt("/t.tws", "write Server.Log('100% %s %n done');"), "");
    EXPECT_EQ(sink.output, "1");
    EXPECT_TRUE(log.Contains("100% %s %n done"));
}

TEST_F(AppObjectTest, SendMailNeedsSettingsArgumentsAndAnOutbox)
{
    CServerConfig& config = TheServerConfig();
    CLogCapture log;
    config.m_emSmtpServer.clear();
    EXPECT_EQ(RunAt("/t.tws", "write Server.SendMail('a@x', 's', 'c');"), "");
    EXPECT_EQ(sink.output, "0");
    EXPECT_TRUE(log.Contains("Please specify SMTP host for notifier to work."));
    config.m_emSmtpServer = "smtp.example";
    config.m_emAdminEmail.clear();
    EXPECT_EQ(RunAt("/t.tws", "write Server.SendMail('a@x', 's', 'c');"), "");
    EXPECT_TRUE(log.Contains("Please set administrator email addresses."));

    config.m_emAdminEmail = "admin@example";
    EXPECT_EQ(RunAt("/t.tws", "write Server.SendMail('a@x', 's');"), "Missing parameter.");
    EXPECT_NE(RunAt("/t.tws", "write Server.SendMail('a@x', 's', 'c');").find("not available"), std::string::npos);

    std::string queued;
    TheSspApp().SetMailQueue([&](const std::string& to, const std::string& subject, const std::string& content) {
        queued = to + "|" + subject + "|" + content;
        return true;
    });
    EXPECT_EQ(RunAt("/t.tws", "write Server.SendMail('a@x', 'Hi', 'Body');"), "");
    EXPECT_EQ(sink.output, "1");
    EXPECT_EQ(queued, "a@x|Hi|Body");
}

}  // namespace
