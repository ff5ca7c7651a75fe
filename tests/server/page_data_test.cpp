// A page's data through the real twServer on SQLite and on PostgreSQL, as a template author meets
// it: rows written by the page and by the functions it calls, statements that change rows, where a
// failed statement is reported, and kept connections across a restart of the database. Runs are
// not serialised, so every run works on a private connection of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "database/odbc_statement.h"
#include "foundation/url_encoding.h"
#include "tests/database/test_databases.h"
#include "tests/server/server_process.h"
#include "tests/support/ci.h"
#include "tests/support/run_program.h"
#include "tests/webserver/http_reply.h"

namespace {

// Starts twServer in install on the database of connect, runs not serialised, with further
// settings lines; its HTTP port.
void StartServer(const CServerInstall& install, CServerProcess& server, const std::string& connect, int& port,
                 const std::string& settings = "")
{
    install.WriteSettings("DbOdbcConnectString=ODBC;" + connect + "\nDbAccessSerialize=no\n" + settings);
    ASSERT_TRUE(server.Start(install, {"-normalapp"}));
    const std::set<int> ports = server.WaitUntilRunning(install, 1);
    ASSERT_EQ(ports.size(), 1u) << server.Output() << install.LogText();
    port = *ports.begin();
}

// The answer to a GET; requests may run at the same time.
HttpReply Fetch(const CServerInstall& install, int port, const std::string& path)
{
    static std::atomic<int> replies{0};
    const std::string output = install.Path() + "/reply" + std::to_string(++replies);
    RunProgram({"curl", "-s", "-i", "--max-time", "60", "http://127.0.0.1:" + std::to_string(port) + path}, output);
    return HttpReply::Parse(ReadWholeFile(output));
}

class PageDataTest : public testdb::BackendTest
{
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_db.Open(Connect());
        m_table = testdb::UniqueTable("page");
    }
    void TearDown() override
    {
        if (m_db.IsOpen())
            m_db.ExecuteSQL("DROP TABLE IF EXISTS " + m_table);
    }

    void Start(const std::string& settings = "") { StartServer(m_install, m_server, Connect(), m_port, settings); }

    // A page below the web root, with "$" standing for the test's table.
    void Page(const std::string& path, std::string text) const
    {
        for (size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at))
            text.replace(at, 1, m_table);
        m_install.WriteFile("webroot/" + path, text);
    }

    HttpReply Get(const std::string& path) const { return Fetch(m_install, m_port, path); }

    int64_t Rows() const { return testdb::RowsSeenByOthers(Connect(), m_table); }
    // Every row in order of id, its columns as the database gives them in text ("NULL" for none).
    std::vector<std::string> RowTexts()
    {
        COdbcStatement statement(m_db);
        statement.ExecDirect("SELECT * FROM " + m_table + " ORDER BY id");
        const int columns = statement.ResultColumnCount();
        std::vector<std::string> rows;
        while (statement.Fetch()) {
            std::string row;
            for (int column = 1; column <= columns; ++column) {
                std::string value;
                row += (statement.GetText(column, value) ? value : "NULL") + "|";
            }
            rows.push_back(row);
        }
        return rows;
    }
    // The rows that match a condition.
    int64_t RowsWhere(const std::string& condition)
    {
        COdbcStatement statement(m_db);
        statement.ExecDirect("SELECT COUNT(*) FROM " + m_table + " WHERE " + condition);
        int64_t count = -1;
        if (statement.Fetch())
            statement.GetInteger(1, count);
        return count;
    }

    CServerInstall m_install;
    CServerProcess m_server;
    int m_port = 0;
    COdbcConnection m_db;
    std::string m_table;
};

// A function of the page and one of another file write and read inside the page's transaction,
// on the page's connection: they neither wait for the page's lock nor miss its rows.
TEST_P(PageDataTest, FunctionsWorkInsideTheirCallersTransaction)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (msg VARCHAR(20))");
    Page("log.twp", "<!--{ Local.BeginTransaction();\n"
                    "sql a = insert into $ (msg) values ('page'); a.execute();\n"
                    "Local.logit('function'); file lib('lib.twp'); lib.logit('file');\n"
                    "write Local.count() + ' ' + lib.count(); Local.CommitTransaction();\n"
                    "function logit(m) sql i = insert into $ (msg) values (arg.m); i.execute(); endfunction\n"
                    "function count() sql c = select count(*) as n from $ ; return c.n; endfunction }-->");
    Page("lib.twp", "<!--{ function logit(m) sql i = insert into $ (msg) values (arg.m); i.execute(); endfunction\n"
                    "function count() sql c = select count(*) as n from $ ; return c.n; endfunction }-->");
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(Get("/log.twp").body, "3 3");
    EXPECT_EQ(Rows(), 3);

    // A page that fails after its function wrote keeps nothing of either.
    Page("fails.twp", "<!--{ Local.BeginTransaction(); Local.logit('lost'); error 'stop';\n"
                      "function logit(m) sql i = insert into $ (msg) values (arg.m); i.execute(); endfunction }-->");
    EXPECT_NE(Get("/fails.twp").body.find("stop"), std::string::npos);
    EXPECT_EQ(Rows(), 3);
}

// An INSERT or UPDATE runs when the page calls execute, and only then: reading what it sent, or a
// column it has not, runs nothing again.
TEST_P(PageDataTest, StatementsThatChangeRowsRunOnlyOnExecute)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER, msg VARCHAR(20))");
    for (int i = 0; i < 3; ++i)
        m_db.ExecuteSQL("INSERT INTO " + m_table + " (id, msg) VALUES (1, 'old')");
    Page("insert.twp", "<!--{ sql ins = insert into $ (id, msg) values (2, Request.m); ins.execute(); }-->"
                       "--{ ins.sql }--|--{ ins.sql }--");
    Page("update.twp", "<!--{ sql u = update $ set msg = Request.m where id = 1; u.execute(); }-->"
                       "--{ u.sql }--|--{ u.sql }--|--{ u.sql }--");
    Page("column.twp", "<!--{ sql ins = insert into $ (id, msg) values (3, 'x'); ins.execute(); write ins.msg; }-->");
    ASSERT_NO_FATAL_FAILURE(Start());

    const std::string sentInsert = "INSERT INTO " + m_table + " (id, msg) VALUES (?, ?)";
    EXPECT_EQ(Get("/insert.twp?m=new").body, sentInsert + "|" + sentInsert);
    EXPECT_EQ(RowsWhere("id = 2"), 1);
    const std::string updated = Get("/update.twp?m=new").body;
    EXPECT_EQ(updated.rfind("UPDATE " + m_table + " SET msg = ? WHERE ", 0), 0u) << updated;
    EXPECT_EQ(RowsWhere("msg = 'new'"), 2) << "one row of the update and the inserted one";
    const std::string column = Get("/column.twp").body;
    EXPECT_NE(column.find("Please add column: [msg] to ins's SELECT list."), std::string::npos) << column;
    EXPECT_EQ(RowsWhere("id = 3"), 1);
}

// Failed statements are reported at the line and column of the call that sent them, in the file
// that holds it.
TEST_P(PageDataTest, DatabaseErrorsNameTheFileLineAndColumnOfTheirStatement)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER, msg VARCHAR(20) NOT NULL)");
    m_db.ExecuteSQL("INSERT INTO " + m_table + " (id, msg) VALUES (1, 'a')");
    Page("update.twp", "<!--{ Local.m = '';\n"
                       "sql u = update $ set msg = Local.m where id = 1;\n"
                       "  u.execute(); }-->");
    Page("raw.twp", "<!--{ sql q = 'select * from no_such_table_here';\n"
                    "write 'x';  write q.id; }-->");
    Page("crosstab.twp", "<!--{ sql x = crosstab id, msg from no_such_table_here;\n"
                         "\tx.fetch(); }-->");
    Page("call.twp", "<!--{ file lib('sub/lib.twp');\n"
                     "lib.broken(); }-->");
    Page("sub/lib.twp", "<!--{\n"
                        "function broken()\n"
                        "  sql q = 'select * from no_such_table_here'; q.execute();\n"
                        "endfunction }-->");
    ASSERT_NO_FATAL_FAILURE(Start());

    auto reportOf = [this](const std::string& path) {
        const std::string body = Get(path).body;
        const size_t start = body.find("<pre>");
        return start == std::string::npos ? body : body.substr(start, body.find("</pre>") - start);
    };
    std::string report = reportOf("/update.twp");
    EXPECT_NE(report.find("update.twp (3,3): \r\n  u.execute(); }--&gt;\r\n\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find(" SQL u:UPDATE "), std::string::npos) << report;
    report = reportOf("/raw.twp");
    EXPECT_NE(report.find("raw.twp (2,19): \r\n"), std::string::npos) << "a column read that ran it: " << report;
    EXPECT_NE(report.find(" SQL q:select * from no_such_table_here"), std::string::npos) << report;
    report = reportOf("/crosstab.twp");
    EXPECT_NE(report.find("crosstab.twp (2,2): \r\n"), std::string::npos) << report;
    report = reportOf("/call.twp");
    EXPECT_NE(report.find("call.twp (2,1): \r\nlib.broken(); }--&gt;\r\n\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("sub/lib.twp (3,47): \r\n  sql q = "), std::string::npos) << report;
    EXPECT_EQ(Rows(), 1);
}

// Dates of any year from 1 to 9999, the first second of 1970 among them, come back from an edit
// form saved unchanged as they were, a row without a date keeps none, and a date typed in is
// stored as typed.
TEST_P(PageDataTest, DatesOfEveryYearSurviveAnEditSavedUnchanged)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER PRIMARY KEY, due DATE, stamp TIMESTAMP)");
    const char* const dates[] = {"0001-01-01", "0099-12-31", "1960-01-01", "1970-01-01",
                                 "2039-01-01", "2050-06-01", "9999-12-31"};
    int id = 0;
    for (const char* date : dates) {
        m_db.ExecuteSQL("INSERT INTO " + m_table + " (id, due, stamp) VALUES (" + std::to_string(++id) + ", '" + date +
                        "', '" + date + " 00:00:00')");
    }
    m_db.ExecuteSQL("INSERT INTO " + m_table + " (id, due, stamp) VALUES (9, NULL, NULL)");
    const std::vector<std::string> stored = RowTexts();
    Page("edit.twp", "<!--{ sql r = select due, stamp from $ where id = Request.id; }-->--{ r.due }--|--{ r.stamp }--");
    Page("save.twp", "<!--{ sql u = update $ set due = Request.due, stamp = Request.stamp where id = Request.id;\n"
                     "u.execute(); }-->saved");
    ASSERT_NO_FATAL_FAILURE(Start());

    for (const int row : {1, 2, 3, 4, 5, 6, 7, 9}) {
        const std::string shown = Get("/edit.twp?id=" + std::to_string(row)).body;
        const size_t bar = shown.find('|');
        ASSERT_NE(bar, std::string::npos) << shown;
        std::string due = shown.substr(0, bar);
        std::string stamp = shown.substr(bar + 1);
        EXPECT_EQ(due.empty(), row == 9) << shown;
        UrlEncode(due);
        UrlEncode(stamp);
        EXPECT_EQ(Get("/save.twp?id=" + std::to_string(row) + "&due=" + due + "&stamp=" + stamp).body, "saved")
            << shown;
    }
    EXPECT_EQ(RowTexts(), stored);

    EXPECT_EQ(Get("/save.twp?id=9&due=2039-01-01&stamp=0001-01-01+00%3A00").body, "saved");
    EXPECT_EQ(RowsWhere("id = 9 AND due = '2039-01-01' AND stamp = '0001-01-01 00:00:00'"), 1);
    const std::string refused = Get("/save.twp?id=9&due=garbage&stamp=").body;
    EXPECT_NE(refused.find("The value [garbage] is not a date or time for column due."), std::string::npos) << refused;
    EXPECT_EQ(RowsWhere("id = 9 AND due = '2039-01-01'"), 1);
}

// A file that a visitor uploaded is served from its column as the site's own: whatever name its
// link ends in, a type that the browser would run or show as a page of the site goes out as a
// download, and no type is guessed from the bytes.
TEST_P(PageDataTest, AttachmentsNeverRunAsPagesOfTheSite)
{
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER PRIMARY KEY, body " + (IsPostgres() ? "BYTEA" : "BLOB") +
                    ")");
    const std::string script = "<script>alert(document.cookie)</script>";
    COdbcStatement insert(m_db);
    insert.Prepare("INSERT INTO " + m_table + " (id, body) VALUES (1, ?)");
    insert.BindBinary(1, script);
    insert.Execute();
    ASSERT_NO_FATAL_FAILURE(Start("EncryptFileID=no\nMimeCount=4\nMime001FileExtension=htm\n"
                                  "Mime001ContentType=text/html\nMime002FileExtension=svg\n"
                                  "Mime002ContentType=image/svg+xml\nMime003FileExtension=png\n"
                                  "Mime003ContentType=image/png\nMime004FileExtension=txt\n"
                                  "Mime004ContentType=text/plain\n"));

    const std::string column = "/dt/FileDB/" + m_table + "/id/1/body/";
    for (const char* name : {"notes.htm", "notes.svg", "notes.png", "notes.txt"}) {
        const HttpReply reply = Get(column + name);
        EXPECT_EQ(reply.body, script) << name;
        EXPECT_EQ(reply.Header("X-Content-Type-Options"), "nosniff") << name;
        const bool passive = std::string_view(name).ends_with(".png") || std::string_view(name).ends_with(".txt");
        EXPECT_EQ(reply.Header("Content-Disposition"),
                  passive ? "<none>" : "attachment; filename=\"" + std::string(name) + "\"")
            << name;
    }
    EXPECT_EQ(Get(column + "n%C3%B6tes%22.htm").Header("Content-Disposition"),
              "attachment; filename=\"n__tes\\\".htm\"; filename*=UTF-8''n%c3%b6tes%22.htm");
    EXPECT_EQ(Get(column + "page.twp").Header("Content-Disposition"), "attachment; filename=\"page.twp\"")
        << "an unknown type is no passive one";
}

TW_INSTANTIATE_BACKENDS(PageDataTest);

// A PostgreSQL cluster of the test's own (scripts/pg-test-server), which it may restart as an
// administrator would.
class PrivateCluster
{
public:
    PrivateCluster()
    {
        const std::string output = m_folder.Path() + ".start";
        if (Script("start", output) != 0)
            return;
        const std::string exports = ReadWholeFile(output);
        const std::string mark = "TW_PG_CONNECT='";
        const size_t start = exports.find(mark);
        if (start != std::string::npos)
            m_connect =
                exports.substr(start + mark.size(), exports.find('\'', start + mark.size()) - start - mark.size());
        std::remove(output.c_str());
    }
    ~PrivateCluster() { Script("stop", ""); }
    PrivateCluster(const PrivateCluster&) = delete;
    PrivateCluster& operator=(const PrivateCluster&) = delete;

    // The connect string; empty when the cluster did not start.
    const std::string& Connect() const { return m_connect; }
    bool Restart() const { return Script("restart", "") == 0; }

private:
    int Script(const std::string& action, const std::string& output) const
    {
        return RunProgram(
            {std::string(std::getenv("TW_SOURCE_DIR")) + "/scripts/pg-test-server", action, m_folder.Path()}, output,
            120);
    }

    TempFolder m_folder{"tw-cluster"};
    std::string m_connect;
};

// A restart of the database breaks every connection that the server keeps between runs. The run
// that takes one finds out on its first statement, which then goes to a new connection: nobody
// gets an error page.
TEST(KeptConnectionTest, PagesAfterARestartOfTheDatabaseShowNoError)
{
    if (testdb::PgConnect().empty()) {
        if (InCi())
            FAIL() << "TW_PG_CONNECT is not set: the PostgreSQL test server did not start";
        GTEST_SKIP() << "no PostgreSQL test server (TW_PG_CONNECT unset)";
    }
    PrivateCluster cluster;
    ASSERT_NE(cluster.Connect(), "");
    COdbcConnection db;
    db.Open(cluster.Connect());
    db.ExecuteSQL("CREATE TABLE kept (n INTEGER)");
    CServerInstall install;
    install.WriteFile("webroot/hold.twp", "<!--{ sql s = 'select pg_sleep(0.3) as held'; s.execute(); }-->held");
    install.WriteFile("webroot/add.twp", "<!--{ Local.BeginTransaction(); sql a = insert into kept (n) values (1);\n"
                                         "a.execute(); Local.CommitTransaction(); }-->added");
    install.WriteFile("webroot/count.twp", "<!--{ sql c = select count(*) as n from kept; write c.n; }-->");
    CServerProcess server;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartServer(install, server, cluster.Connect(), port));

    // Pages that run at the same time leave as many connections kept.
    constexpr int kRuns = 4;
    auto inParallel = [&](const std::string& path) {
        std::vector<std::future<HttpReply>> replies;
        for (int i = 0; i < kRuns; ++i)
            replies.push_back(std::async(std::launch::async, [&] { return Fetch(install, port, path); }));
        std::vector<std::string> bodies;
        for (auto& reply : replies)
            bodies.push_back(reply.get().body);
        return bodies;
    };
    EXPECT_EQ(inParallel("/hold.twp"), std::vector<std::string>(kRuns, "held")) << server.Output() << install.LogText();
    ASSERT_TRUE(cluster.Restart());
    EXPECT_EQ(inParallel("/add.twp"), std::vector<std::string>(kRuns, "added")) << "each in its transaction";
    EXPECT_EQ(inParallel("/count.twp"), std::vector<std::string>(kRuns, std::to_string(kRuns)));
}

}  // namespace
