// A page's data through the real twServer on SQLite and on PostgreSQL, as a template author meets
// it: rows written by the page and by the functions it calls, statements that change rows, and
// where a failed statement is reported. Runs are not serialised, so every run works on a private connection of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/odbc_statement.h"
#include "tests/database/test_databases.h"
#include "tests/server/server_process.h"
#include "tests/support/run_program.h"
#include "tests/webserver/http_reply.h"

namespace {

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

    // Starts the server on the test's database; false (with the reason recorded) when it did not
    // come up.
    void Start(const std::string& settings = "")
    {
        m_install.WriteSettings("DbOdbcConnectString=ODBC;" + Connect() + "\nDbAccessSerialize=no\n" + settings);
        ASSERT_TRUE(m_server.Start(m_install, {"-normalapp"}));
        const std::set<int> ports = m_server.WaitUntilRunning(m_install, 1);
        ASSERT_EQ(ports.size(), 1u) << m_server.Output() << m_install.LogText();
        m_port = *ports.begin();
    }

    // A page below the web root, with "$" standing for the test's table.
    void Page(const std::string& path, std::string text) const
    {
        for (size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at))
            text.replace(at, 1, m_table);
        m_install.WriteFile("webroot/" + path, text);
    }

    HttpReply Get(const std::string& path)
    {
        const std::string output = m_install.Path() + "/reply";
        RunProgram({"curl", "-s", "-i", "--max-time", "60", "http://127.0.0.1:" + std::to_string(m_port) + path},
                   output);
        return HttpReply::Parse(ReadWholeFile(output));
    }

    int64_t Rows() const { return testdb::RowsSeenByOthers(Connect(), m_table); }
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

TW_INSTANTIATE_BACKENDS(PageDataTest);

}  // namespace
