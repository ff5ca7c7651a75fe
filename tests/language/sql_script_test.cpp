// The sql object as pages and scripts use it, through the real engine on SQLite and PostgreSQL:
// the declaration and its errors, rows read in the state order of fetch and movefirst, script
// values that become literals of their column's type, rows added and changed through the
// recordset, joins, crosstabs, database errors that name the statement and the data source, and
// an object's own data source.
#include "foundation/message_catalog.h"
#include "language/request_object.h"
#include "sql_page_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class SqlScriptTest : public SqlPageTest
{
protected:
    SqlScriptTest() : SqlPageTest("bugs", "notes") {}

    void SetUp() override
    {
        SqlPageTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        Sql("CREATE TABLE $ (id INTEGER PRIMARY KEY, title VARCHAR(50), status VARCHAR(10), hits INTEGER)");
        for (const char* row :
             {"1, 'first', 'open', 5", "2, 'it''s', 'open', 7", "3, 'third', 'closed', NULL", "4, 'fourth', 'open', 1"})
            Sql("INSERT INTO $ VALUES (" + std::string(row) + ")");
    }

    int64_t Count(const std::string& where)
    {
        COdbcStatement statement(m_db);
        statement.ExecDirect(Tables("SELECT COUNT(*) FROM $ WHERE " + where));
        int64_t count = -1;
        if (statement.Fetch())
            statement.GetInteger(1, count);
        return count;
    }
    // The values of the expressions after the statements, each followed by "|".
    std::string Values(const std::string& statements, const std::vector<std::string>& expressions)
    {
        std::string script = statements + "\n";
        for (const std::string& expression : expressions)
            script += "write " + expression + "; write '|';\n";
        return Out(script);
    }
};

TEST_P(SqlScriptTest, APageListsRowsOfASelect)
{
    const std::string page = "<ul><!--{ sql q = select id, title from $ where status = 'open' order by id;\n"
                             "while (q.fetch() = 1) }--><li>--{ q.id }--: --{ q.title }--</li><!--{ endwhile }--></ul>";
    EXPECT_EQ(Run("list.twp", Tables(page)), kRunCompleted) << errorText;
    EXPECT_EQ(sink.output, "<ul><li>1: first</li><li>2: it's</li><li>4: fourth</li></ul>");
}

TEST_P(SqlScriptTest, FetchMoveFirstAndColumnReadsFollowTheirStateOrder)
{
    EXPECT_EQ(
        Values("sql q = select id, title from $ order by id;",
               {"q.ColumnCount", "q.fetch()", "q.id", "q.fetch()", "q.ID", "q.1", "q.Column('title')", "q.movefirst()",
                "q.fetch()", "q.id", "q.fetch()", "q.fetch()", "q.fetch()", "q.fetch()", "q.ColumnCount", "q.sql"}),
        Tables("2|1|1|1|2|it's|it's|1|1|1|1|1|1|0|2|select id , title from $ order by id|"));

    // A column read runs the statement; the next fetch stays on that row.
    EXPECT_EQ(Values("sql r = select id from $ order by id;", {"r.0", "r.fetch()", "r.0", "r.fetch()", "r.0"}),
              "1|1|1|1|2|");
    EXPECT_EQ(
        Values("sql e = select id from $ where id = 99;", {"e.movefirst()", "e.fetch()", "e.movefirst()", "e.fetch()"}),
        "0|0|0|0|");

    EXPECT_EQ(Fail("sql q = select id from $;\nwrite q.nosuch;"), "Please add column: [nosuch] to q's SELECT list.");
    EXPECT_EQ(errorPosition, 7) << "the report points just after the declaration's =";
    EXPECT_EQ(Fail("sql q = select id from $; write q.RowCount();"), "Only crosstab queries can use RowCount.");
}

// The same column reads on every pass of a loop, as a page's rows are written.
TEST_P(SqlScriptTest, ColumnReadsInALoopFollowTheRowAndTheResultsColumns)
{
    // A member without parentheses can move the row too: the id is the row's as it was read.
    EXPECT_EQ(Out("sql q = select id from $ order by id; Local.n = q.fetch();\n"
                  "while (Local.n = 1) write q.id || q.fetch || ','; Local.n = q.fetch; endwhile"),
              "11,31,");
    // Each pass declares the statement again with its columns in another order.
    EXPECT_EQ(Out("Local.i = 0;\n"
                  "while (Local.i < 4)\n"
                  "  if (Local.i = 0 or Local.i = 2) Local.stmt = 'select id, title from $ where id = 2';\n"
                  "  else Local.stmt = 'select title, id, status from $ where id = 3'; endif\n"
                  "  sql q = Local.stmt; write q.0; write ':'; write q.title; write ','; write q.id; write ',';\n"
                  "  write q.1; write ';'; Local.i = Local.i + 1;\n"
                  "endwhile"),
              "2:it's,2,it's;third:third,3,3;2:it's,2,it's;third:third,3,3;");
}

// Stands in for the debugger: Request.watch(text) evaluates text as a watch of the run in progress.
class WatchProbe : public CSspRequestObject
{
public:
    explicit WatchProbe(ScriptRunner& runner) : m_runner(runner) {}
    void CallMember(CSspCall& call, CSspValue& result) override
    {
        result.SetString(m_runner.running->EvalWatch(call.GetParamStr(0)));
    }

private:
    ScriptRunner& m_runner;
};

TEST_P(SqlScriptTest, WatchesRunNoStatement)
{
    WatchProbe probe(*this);
    request = &probe;
    // The watch leaves the statement unexecuted, so the script's own fetch still gives the first row.
    EXPECT_EQ(Values("sql q = select id from $ order by id;",
                     {"Request.watch('q.id')", "q.fetch()", "q.id", "Request.watch('q.id + 10')"}),
              "SQL statement has not been executed.|1|1|11|");
}

TEST_P(SqlScriptTest, ADeclarationThatRunsAgainStartsAfresh)
{
    EXPECT_EQ(Out("Local.i = 1;\n"
                  "while (Local.i <= 3)\n"
                  "  sql c = select count(*) from $ where id > Local.i; write c.0; write ',';\n"
                  "  Local.i = Local.i + 1;\n"
                  "endwhile"),
              "3,2,1,");
}

TEST_P(SqlScriptTest, DeclarationsAndTheirMistakes)
{
    EXPECT_EQ(Values("Local.stmt = 'select title from $ where id = 2'; sql q = Local.stmt;", {"q.title"}), "it's|");
    EXPECT_EQ(Values("Local.n = 4; sql q = 'select title from $ where id = ' + Local.n;", {"q.title", "q.sql"}),
              Tables("fourth|select title from $ where id = 4|"))
        << "an expression is evaluated once into raw text";

    EXPECT_EQ(Fail("sql q select id from $;"), CMessageCatalog::Text(88));
    EXPECT_EQ(Fail("if (1 = 1) sql q = select id from $ endif"), "Missing ending ;");
    EXPECT_EQ(Fail("sql q = select id from $"), "Missing ending ;");
    EXPECT_EQ(Fail("sql q = ;"), "Sql statement empty.");
    EXPECT_EQ(Fail("sql q = '   ';"), "Sql statement empty.");
    EXPECT_EQ(Fail("datetime x(2004, 1, 1); sql X = select id from $;"), std::string(CMessageCatalog::Text(89)) + "X");
    EXPECT_EQ(Fail("sql x = select id from $; tokenizer x('a', ',');"), std::string(CMessageCatalog::Text(89)) + "x");

    // The end of a code block ends the statement: template text never becomes part of it.
    EXPECT_EQ(Run("p.twp", Tables("<!--{ sql q = select id from $ }-->; text")), kRunFailed);
    EXPECT_EQ(Message(), "Missing ending ;");
}

TEST_P(SqlScriptTest, ScriptValuesBecomeLiteralsOfTheColumnsType)
{
    // In a script's text '' stays two quotes and \' is one.
    EXPECT_EQ(Values("Local.title = 'it\\'s'; Local.hits = '7';\n"
                     "sql q = select id from $ where title = Local.title and hits = Local.hits order by id;",
                     {"q.fetch()", "q.id", "q.sql"}),
              Tables("1|2|select id from $ WHERE title = 'it''s' and hits = 7 order by id|"));
    EXPECT_EQ(Values("Local.a = 3; sql q = select title from $ where id = (Local.a * 2 - 2) / 2 or title = 'x' || 'y';",
                     {"q.title", "q.sql"}),
              Tables("it's|select title from $ WHERE id = 2 or title = 'xy'|"))
        << "each value is a whole script expression";
    EXPECT_EQ(Values("Local.none = ''; sql q = select id from $ where hits = Local.none and status <> Local.none;",
                     {"q.fetch()", "q.id", "q.fetch()", "q.sql"}),
              Tables("1|3|0|select id from $ WHERE hits IS NULL and status IS NOT NULL|"));
    // Script values never reach the text unquoted, whatever they hold.
    EXPECT_EQ(Values("Local.title = 'x\\' or \\'1\\' = \\'1'; sql q = select id from $ where title = Local.title;",
                     {"q.fetch()"}),
              "0|");
}

TEST_P(SqlScriptTest, InsertAndUpdateGoThroughTheRecordset)
{
    const std::string insert = "Local.id = 5; Local.title = 'fifth \\'quoted\\'';\n"
                               "sql ins = insert into $ (id, title, status, hits) values (Local.id, Local.title, "
                               "'open', Local.id - 5);\n"
                               "ins.execute();";
    Out(insert);
    EXPECT_EQ(Count("id = 5 and title = 'fifth ''quoted''' and hits = 0"), 1);
    std::string duplicate = Fail(insert);
    EXPECT_NE(duplicate.find(Tables(" SQL ins:INSERT INTO $ (id, title, status, hits) VALUES (?, ?, ?, ?) DSN:")),
              std::string::npos)
        << "the text that reached the driver: " << duplicate;

    EXPECT_EQ(Fail("sql i = insert into $ (id, title) values (6); i.execute();"),
              "Value count less than column count or may be there are duplicated column names.");
    EXPECT_EQ(Fail("sql i = insert into $ (id, id) values (6, 6); i.execute();"), "duplicate column found: id");

    Out("Local.title = 'changed'; sql up = update $ set title = Local.title, hits = Local.id where status = 'open';\n"
        "Local.id = 9; up.execute();");
    EXPECT_EQ(Count("title = 'changed' and hits = 9"), 1) << "the first row that matches, no other";
    EXPECT_EQ(Count("title = 'changed'"), 1);
    EXPECT_EQ(Fail("sql up = update $ set title = 'x' where id = 99; up.execute();")
                  .rfind("The record you are updating or locking is not found.", 0),
              0u);

    EXPECT_EQ(Fail("sql up = update $ title = 'x'; up.execute();"), "missing SET keyword.");

    Out("sql d = delete from $ where id = 5; d.execute();");
    EXPECT_EQ(Count("1 = 1"), 4);
    Out("sql d = delete $; d.execute();");
    EXPECT_EQ(Count("1 = 1"), 0);

    // An integer past the column's range is refused by the database, never stored wrapped; SQLite's
    // INTEGER holds 64 bits and keeps it whole.
    const std::string big = "Local.big = 2147483647 + 2147483649;\n"
                            "sql ins = insert into $ (id, hits) values (8, Local.big); ins.execute();\n"
                            "sql q = select hits from $ where hits = Local.big; write q.hits;";
    if (IsPostgres()) {
        EXPECT_NE(Fail(big).find("out of range"), std::string::npos) << errorText;
        EXPECT_EQ(Count("1 = 1"), 0);
    } else {
        EXPECT_EQ(Out(big), "4294967296");
        EXPECT_EQ(Count("hits = 4294967296"), 1);
    }
}

TEST_P(SqlScriptTest, JoinWithConditionOnTheSecondTable)
{
    Sql("CREATE TABLE @ (bug_id INTEGER, note VARCHAR(20))");
    Sql("INSERT INTO @ VALUES (2, 'two')");
    Sql("INSERT INTO @ VALUES (4, 'four')");
    EXPECT_EQ(Values("Local.note = 'four';\n"
                     "sql j = select title, note from $ , @ where @.note = Local.note and $.id = 4;",
                     {"j.fetch()", "j.title", "j.note", "j.fetch()"}),
              "1|fourth|four|0|");
    EXPECT_EQ(Values("sql r = 'select b.title, n.note from $ b, @ n where b.id = n.bug_id and n.note = \\'two\\'';",
                     {"r.fetch()", "r.note", "r.0", "r.fetch()"}),
              "1|two|it's|0|");
}

TEST_P(SqlScriptTest, DatabaseErrorsNameStatementObjectAndDataSource)
{
    std::string message = Fail("sql list = select * from nosuch_table_xyz; list.fetch();");
    EXPECT_NE(message.find(" SQL list:select * from nosuch_table_xyz DSN:twtest"), std::string::npos) << message;
    EXPECT_EQ(errorText, Report(1, 44, "sql list = select * from nosuch_table_xyz; list.fetch();", message))
        << "reported at the call that ran the statement";

    message = Fail("Local.one = 1; sql w = select nosuch from $ where id = Local.one; w.execute();");
    EXPECT_NE(message.find(Tables(" SQL w:select nosuch from $ WHERE id = 1 DSN:twtest")), std::string::npos)
        << "a translated statement shows as it was sent: " << message;

    EXPECT_EQ(Fail("sql m = merge into $; m.execute();").rfind("SQL statement not supported.", 0), 0u);
}

TEST_P(SqlScriptTest, InjectionGuardAndItsSwitch)
{
    const std::string declaration = "sql q = 'select id from $ where id = 1 -- x';";
    EXPECT_EQ(Fail(declaration + " q.execute();"),
              Tables("SQL statement aborted due to possible SQL Injection attack. select id from $ where id = 1 -- x"));
    EXPECT_EQ(Fail(declaration + " q.PreventSqlInjection();"), "Missing parameter.");
    EXPECT_EQ(Values(declaration + " q.PreventSqlInjection('yes');", {"q.fetch()", "q.id"}), "1|1|");
}

TEST_P(SqlScriptTest, OwnDataSourceUntilClose)
{
    TempFolder folder("twsq");
    const std::string other = testdb::SqliteConnect(folder.Path() + "/other.db");
    {
        COdbcConnection setup;
        setup.Open(other);
        setup.ExecuteSQL("CREATE TABLE elsewhere (x INTEGER)");
        setup.ExecuteSQL("INSERT INTO elsewhere VALUES (42)");
    }
    const std::string declaration = "sql q = select x from elsewhere;";
    EXPECT_EQ(Fail(declaration + " q.UseDataSource('a', 'b');"), "Missing parameter.");
    EXPECT_EQ(Fail(declaration + " q.UseDataSource('ODBC');"), "Invalid ODBC connection string");
    const std::string use = declaration + " q.UseDataSource('ODBC;" + other + "');";
    EXPECT_EQ(Values(use + " q.UseDataSource('ODBC;DSN=tw3_none');", {"q.x", "q.execute()", "q.x", "q.close()"}),
              "42|1|42|1|")
        << "the first connect string stays";
    EXPECT_NE(Fail(use + " write q.x; q.close(); q.execute();").find("DSN:twtest"), std::string::npos)
        << "after close, the run's data source";
}

TEST_P(SqlScriptTest, CrosstabCountsRowsIntoAGrid)
{
    Sql("CREATE TABLE @ (status VARCHAR(10), owner VARCHAR(10))");
    for (const char* row : {"'A', 'x'", "'A', 'y'", "'B', 'x'"})
        Sql("INSERT INTO @ VALUES (" + std::string(row) + ")");
    const std::string grid = "sql g = crosstab status, owner, count FROM @;";
    EXPECT_EQ(Out(grid + "write g.RowCount(); write ' '; write g.ColumnCount(); write ' ';\n"
                         "while (g.fetch() = 1) write g.0; write g.1; write g.2; write g.3; write '|'; endwhile\n"
                         "write g.0; write '|'; write g.colTotal(1);"),
              "4 4 CrosstabxyTotal|A112|B101|Total213|row out of bound|2");
    EXPECT_EQ(Fail(grid + " g.fetch(); g.addXHeader('z');"), "addXHeader is valid only before the query is executed");
    EXPECT_EQ(Fail(grid + " g.addYHeader('A');"), "Call addXHeader first");

    // Preset headers fix the columns and rows (matched without regard to case); rows that match
    // none count in the grand total only.
    EXPECT_EQ(Values(grid + " g.addXHeader('X'); g.addYHeader('a');",
                     {"g.RowCount()", "g.ColumnCount()", "g.fetch()", "g.fetch()", "g.fetch()", "g.0", "g.1", "g.3",
                      "g.fetch()", "g.2"}),
              "4|3|1|1|1|a|1|column out of bound|1|3|");
}

// With "DbConnectionThreadOwn" on, a run and each nested call read through private data sources of
// their own, which are deleted as each run ends while the caller's objects still read on.
TEST_P(SqlScriptTest, ThreadOwnRunsReadThroughPrivateDataSources)
{
    TheServerConfig().m_dbConnectionThreadOwn = 1;
    EXPECT_EQ(Out("sql q = select id from $ order by id; write q.fetch(); write Local.f(); write q.fetch();\n"
                  "function f() sql n = select id from $ order by id; n.fetch(); n.fetch(); return n.id; endfunction"),
              "121");
    EXPECT_EQ(TheSspApp().Pool().Describe().at(0).useCount, 0);
}

TW_INSTANTIATE_BACKENDS(SqlScriptTest);

}  // namespace
