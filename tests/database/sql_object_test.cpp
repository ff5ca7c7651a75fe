#include "database/crosstab_grid.h"
#include "database/data_source.h"
#include "database/data_source_pool.h"
#include "database/sql_injection_guard.h"
#include "database/ssp_query.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"

#include <functional>
#include <map>

namespace {

// The interpreter's part, played by a small lexer over one declaration and an evaluator of
// literals and Local variables: enough to drive every path of the object through real databases.
class ScriptHost : public CSspQueryHost {
public:
    std::function<CDataSource*()> dataSource;
    std::map<std::string, CSspValue> locals;
    bool watch = false;

    // The declaration "sql name = statement;" as the engine hands it over; every declaration is
    // appended to the one source text, as a page holds all of them.
    CSspCall Declare(const std::string& name, const std::string& statement, bool raw = false)
    {
        m_source += "\nsql " + name + " =";
        CSspCall call;
        call.m_object = name;
        call.m_position = static_cast<int>(m_source.size());
        m_source += statement + ";";
        call.m_endPosition = static_cast<int>(m_source.size());
        if (raw) {
            call.m_member = statement;
            return call;
        }
        int cursor = call.m_position;
        for (CSspSqlToken token = NextSqlToken(cursor, call.m_endPosition); token.text != ";";
             token = NextSqlToken(cursor, call.m_endPosition))
            call.m_member.append(token.text).push_back(' ');
        return call;
    }

    CDataSource* GetRunDataSource() override { return dataSource(); }
    bool IsEvaluatingWatch() const override { return watch; }

    CSspSqlToken NextSqlToken(int& cursor, int end) override
    {
        std::string_view text(m_source.data(), static_cast<size_t>(end));
        size_t i = static_cast<size_t>(cursor);
        while (i < text.size() && (text[i] == ' ' || text[i] == '\n'))
            ++i;
        size_t start = i;
        if (i < text.size() && text[i] == '\'') {
            i = text.find('\'', i + 1);
            while (i + 1 < text.size() && text[i + 1] == '\'')
                i = text.find('\'', i + 2);
            ++i;
        } else if (IsTwoCharOperator(text.substr(i, 2))) {
            i += 2;
        } else if (i < text.size() && std::string_view("(),;=<>*").find(text[i]) != std::string_view::npos) {
            ++i;
        } else {
            while (i < text.size() && std::string_view(" \n(),;=<>!*'").find(text[i]) == std::string_view::npos)
                ++i;
        }
        cursor = static_cast<int>(i);
        return {text.substr(start, i - start), static_cast<int>(start)};
    }

    bool EvaluateSqlExpression(int start, int end, CSspValue& result) override
    {
        int cursor = start;
        CSspSqlToken token = NextSqlToken(cursor, end);
        if (token.text.empty())
            return false;
        if (!NextSqlToken(cursor, end).text.empty())
            throw CSspException("the test host evaluates single operands only", token.start);
        std::string text(token.text);
        if (text.front() == '\'') {
            std::string value = text.substr(1, text.size() - 2);
            for (size_t q = value.find("''"); q != std::string::npos; q = value.find("''", q + 1))
                value.erase(q, 1);
            result.SetString(value);
        } else if (text == "null") {
            result.SetString({});
        } else if (text.rfind("Local.", 0) == 0) {
            result = locals.at(text.substr(6));
        } else {
            result.SetNumberText(text);
        }
        return true;
    }

private:
    static bool IsTwoCharOperator(std::string_view text)
    {
        return text == "<=" || text == ">=" || text == "<>" || text == "!=" || text == "==";
    }

    std::string m_source;
};

class SqlObjectTest : public testdb::BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_bugs = testdb::UniqueTable("bugs");
        m_ds = std::make_unique<CDataSource>(Connect() + ";DSN=twtest", 0);
        m_ds->DoCommand("Open");
        Run("CREATE TABLE " + m_bugs + " (id INTEGER PRIMARY KEY, title VARCHAR(50), status VARCHAR(10), "
            "hits INTEGER)");
        for (const char* row : {"1, 'first', 'open', 5", "2, 'it''s', 'open', 7", "3, 'third', 'closed', NULL",
                                "4, 'fourth', 'open', 1"})
            Run("INSERT INTO " + m_bugs + " VALUES (" + row + ")");
        m_host.dataSource = [this] { return m_ds.get(); };
    }
    void TearDown() override
    {
        if (!m_ds)
            return;
        for (const std::string& table : m_dropped)
            Run("DROP TABLE IF EXISTS " + table);
        Run("DROP TABLE IF EXISTS " + m_bugs);
    }
    void Run(const std::string& sql) { m_ds->DoCommand("ExecuteSQL", sql); }

    // A declared object; "$" in the statement stands for the test's table.
    std::unique_ptr<CSspQuery> Declare(std::string statement, bool raw = false, const std::string& name = "q")
    {
        for (size_t at = statement.find('$'); at != std::string::npos; at = statement.find('$'))
            statement.replace(at, 1, m_bugs);
        auto query = std::make_unique<CSspQuery>(m_host);
        query->Init(m_host.Declare(name, " " + statement, raw), raw);
        return query;
    }
    static CSspValue Call(CSspQuery& query, const std::string& member, std::vector<std::string> args = {})
    {
        CSspCall call;
        call.m_object = query.Name();
        call.m_member = member;
        for (const std::string& arg : args)
            call.m_args.emplace_back().SetString(arg);
        call.m_hasParentheses = true;
        CSspValue result;
        query.CallMember(call, result);
        return result;
    }
    static std::string Text(CSspQuery& query, const std::string& member) { return Call(query, member).ToString(); }
    static std::string Failure(CSspQuery& query, const std::string& member, std::vector<std::string> args = {})
    {
        try {
            Call(query, member, std::move(args));
        } catch (const CSspException& error) {
            return error.GetMessage();
        }
        return "<no failure>";
    }
    std::string Count(const std::string& where)
    {
        auto query = Declare("select count(*) from $ where " + where, true, "count");
        return Text(*query, "0");
    }

    ScriptHost m_host;
    std::unique_ptr<CDataSource> m_ds;
    std::string m_bugs;
    std::vector<std::string> m_dropped;
};

TEST_P(SqlObjectTest, FetchMoveFirstAndColumnReadsFollowTheirStateOrder)
{
    auto query = Declare("select id , title from $ order by id");
    EXPECT_EQ(Call(*query, "ColumnCount").m_integer, 2) << "counted in the text before it runs";
    EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*query, "id"), "1");
    EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*query, "ID"), "2");
    EXPECT_EQ(Text(*query, "1"), "it's");
    EXPECT_EQ(Call(*query, "Column", {"title"}).ToString(), "it's");
    EXPECT_EQ(Call(*query, "movefirst").m_integer, 1);
    EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*query, "id"), "1") << "movefirst keeps the first row for the next fetch";
    for (int row = 2; row <= 4; ++row)
        EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    EXPECT_EQ(Call(*query, "fetch").m_integer, 0);
    EXPECT_EQ(Text(*query, "sql"), "select id , title from " + m_bugs + " order by id");
    EXPECT_EQ(Failure(*query, "nosuch"), "Please add column: [nosuch] to q's SELECT list.");
    EXPECT_EQ(Failure(*query, "RowCount"), "Only crosstab queries can use RowCount.");

    // A column read runs the statement; the next fetch stays on that row.
    auto readFirst = Declare("select id from $ order by id");
    EXPECT_EQ(Text(*readFirst, "0"), "1");
    EXPECT_EQ(Call(*readFirst, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*readFirst, "0"), "1");
    EXPECT_EQ(Call(*readFirst, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*readFirst, "0"), "2");

    auto empty = Declare("select id from $ where id = 99");
    EXPECT_EQ(Call(*empty, "movefirst").m_integer, 0) << "not executed";
    EXPECT_EQ(Call(*empty, "fetch").m_integer, 0);
    EXPECT_EQ(Call(*empty, "movefirst").m_integer, 0) << "executed, no row";
    EXPECT_TRUE(Call(*empty, "id").IsNull());
}

TEST_P(SqlObjectTest, ScriptValuesBecomeLiteralsOfTheColumnsType)
{
    m_host.locals["title"].SetString("it's");
    m_host.locals["hits"].SetString("7");
    m_host.locals["none"].SetString({});
    auto query = Declare("select id from $ where title = Local.title and hits = Local.hits order by id");
    EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*query, "id"), "2");
    EXPECT_EQ(Text(*query, "sql"),
              "select id from " + m_bugs + " WHERE title = 'it''s' and hits = 7 order by id");

    auto nulls = Declare("select id from $ where hits = Local.none or status <> Local.none");
    Call(*nulls, "execute");
    EXPECT_EQ(Text(*nulls, "sql"), "select id from " + m_bugs + " WHERE hits IS NULL or status IS NOT NULL");
    EXPECT_EQ(Call(*nulls, "fetch").m_integer, 1);

    // Script values never reach the text unquoted, whatever they hold.
    m_host.locals["title"].SetString("x' or '1' = '1");
    auto injected = Declare("select id from $ where title = Local.title");
    EXPECT_EQ(Call(*injected, "fetch").m_integer, 0);
}

TEST_P(SqlObjectTest, InsertUpdateAndDeleteThroughTheRecordset)
{
    m_host.locals["id"].SetInteger(5);
    m_host.locals["title"].SetString("fifth 'quoted'");
    auto insert = Declare("insert into $ (id, title, status, hits) values (Local.id, Local.title, 'open', 0)");
    Call(*insert, "execute");
    EXPECT_EQ(Count("id = 5 and title = 'fifth ''quoted''' and hits = 0"), "1");
    const std::string duplicateKey = Failure(*insert, "execute");
    EXPECT_NE(duplicateKey.find(" SQL q:insert into " + m_bugs + " ( id"), std::string::npos) << duplicateKey;

    auto tooFew = Declare("insert into $ (id, title) values (6)");
    EXPECT_EQ(Failure(*tooFew, "execute"),
              "Value count less than column count or may be there are duplicated column names.");
    auto duplicate = Declare("insert into $ (id, id) values (6, 6)");
    EXPECT_EQ(Failure(*duplicate, "execute"), "duplicate column found: id");

    m_host.locals["title"].SetString("changed");
    auto update = Declare("update $ set title = Local.title, hits = 9 where status = 'open'");
    Call(*update, "execute");
    EXPECT_EQ(Count("title = 'changed' and hits = 9"), "1") << "only the first row that matches";
    auto missing = Declare("update $ set title = 'x' where id = 99");
    EXPECT_EQ(Failure(*missing, "execute").rfind("The record you are updating or locking is not found.", 0), 0u);
    auto noSet = Declare("update $ title = 'x'");
    EXPECT_EQ(Failure(*noSet, "execute"), "missing SET keyword.");

    auto removeOne = Declare("delete from $ where id = 5");
    Call(*removeOne, "execute");
    EXPECT_EQ(Count("id = 5"), "0");
    auto removeAll = Declare("delete $");
    Call(*removeAll, "execute");
    EXPECT_EQ(Count("1 = 1"), "0");
}

TEST_P(SqlObjectTest, JoinWithConditionOnTheSecondTable)
{
    const std::string notes = testdb::UniqueTable("notes");
    m_dropped.push_back(notes);
    Run("CREATE TABLE " + notes + " (bug_id INTEGER, note VARCHAR(20))");
    Run("INSERT INTO " + notes + " VALUES (2, 'two'), (4, 'four')");
    m_host.locals["note"].SetString("four");
    auto translated = Declare("select title from $, " + notes + " where " + notes + ".note = Local.note and " + m_bugs +
                              ".id = 4");
    EXPECT_EQ(Call(*translated, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*translated, "title"), "fourth");
    EXPECT_EQ(Call(*translated, "fetch").m_integer, 0);

    auto raw = Declare("select b.title, n.note from $ b, " + notes + " n where b.id = n.bug_id and n.note = 'two'", true);
    EXPECT_EQ(Call(*raw, "fetch").m_integer, 1);
    EXPECT_EQ(Text(*raw, "note"), "two");
    EXPECT_EQ(Text(*raw, "0"), "it's");
}

TEST_P(SqlObjectTest, DatabaseErrorsNameStatementObjectAndDataSource)
{
    auto query = Declare("select * from nosuch_table_xyz", false, "list");
    std::string message = Failure(*query, "fetch");
    EXPECT_NE(message.find(" SQL list:select * from nosuch_table_xyz DSN:twtest"), std::string::npos) << message;
    EXPECT_EQ(message.rfind(" SQL list:"), message.find(" SQL list:"));

    auto unsupported = Declare("merge into $");
    EXPECT_EQ(Failure(*unsupported, "execute").rfind("SQL statement not supported.", 0), 0u);
    EXPECT_THROW(Declare("   ", true), CSspException);
}

TEST_P(SqlObjectTest, InjectionGuardAndItsSwitch)
{
    auto query = Declare("select id from $ where id = 1 -- x", true);
    EXPECT_EQ(Failure(*query, "execute"), "SQL statement aborted due to possible SQL Injection attack. select id from " +
                                              m_bugs + " where id = 1 -- x");
    EXPECT_EQ(Failure(*query, "PreventSqlInjection"), "Missing parameter.");
    Call(*query, "PreventSqlInjection", {"yes"});
    EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    Call(*query, "PreventSqlInjection", {"1"});
    Call(*query, "close");
    EXPECT_NE(Failure(*query, "execute"), "<no failure>");
}

TEST_P(SqlObjectTest, OwnDataSourceUntilClose)
{
    TempFolder folder("twsq");
    const std::string other = testdb::SqliteConnect(folder.Path() + "/other.db");
    {
        CDataSource setup(other, 0);
        setup.DoCommand("Open");
        setup.DoCommand("ExecuteSQL", "CREATE TABLE elsewhere (x INTEGER)");
        setup.DoCommand("ExecuteSQL", "INSERT INTO elsewhere VALUES (42)");
    }
    auto query = Declare("select x from elsewhere");
    EXPECT_EQ(Failure(*query, "UseDataSource", {"a", "b"}), "Missing parameter.");
    EXPECT_EQ(Failure(*query, "UseDataSource", {"ODBC"}), "Invalid ODBC connection string");
    Call(*query, "UseDataSource", {"ODBC;" + other});
    Call(*query, "UseDataSource", {"ODBC;" + Connect()});
    EXPECT_EQ(Text(*query, "x"), "42") << "the first connect string stays";
    Call(*query, "execute");
    EXPECT_EQ(Text(*query, "x"), "42") << "executing again keeps the object's own data source";
    Call(*query, "close");
    EXPECT_NE(Failure(*query, "execute").find("DSN:twtest"), std::string::npos) << "after close: the run's";
}

TEST_P(SqlObjectTest, CrosstabCountsRowsIntoAGrid)
{
    const std::string table = testdb::UniqueTable("xt");
    m_dropped.push_back(table);
    Run("CREATE TABLE " + table + " (status VARCHAR(10), owner VARCHAR(10))");
    Run("INSERT INTO " + table + " VALUES ('A', 'x'), ('A', 'y'), ('B', 'x')");
    auto grid = Declare("crosstab status, owner, count FROM " + table);
    EXPECT_EQ(Call(*grid, "RowCount").m_integer, 4);
    EXPECT_EQ(Call(*grid, "ColumnCount").m_integer, 4);
    std::vector<std::string> rows;
    while (Call(*grid, "fetch").m_integer == 1) {
        std::string row;
        for (int column = 0; column < 5; ++column)
            row += Text(*grid, std::to_string(column)) + "|";
        rows.push_back(row);
    }
    const std::vector<std::string> expected = {"Crosstab|x|y|Total|column out of bound|",
                                               "A|1|1|2|column out of bound|", "B|1|0|1|column out of bound|",
                                               "Total|2|1|3|column out of bound|"};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(Text(*grid, "0"), "row out of bound");
    EXPECT_EQ(Call(*grid, "colTotal", {"1"}).m_integer, 2);
    EXPECT_EQ(Failure(*grid, "addXHeader", {"z"}), "addXHeader is valid only before the query is executed");

    // Preset headers fix the columns and rows; rows that match none count in the grand total only.
    Call(*grid, "close");
    EXPECT_EQ(Failure(*grid, "addYHeader", {"A"}), "Call addXHeader first");
    Call(*grid, "addXHeader", {"X"});
    Call(*grid, "addYHeader", {"a"});
    EXPECT_EQ(Call(*grid, "RowCount").m_integer, 4) << "the empty first row, row a, header and Total";
    EXPECT_EQ(Call(*grid, "ColumnCount").m_integer, 3);
    Call(*grid, "fetch");
    Call(*grid, "fetch");
    Call(*grid, "fetch");
    EXPECT_EQ(Text(*grid, "0"), "a");
    EXPECT_EQ(Call(*grid, "1").m_integer, 1);
    Call(*grid, "fetch");
    EXPECT_EQ(Call(*grid, "2").m_integer, 3);
}

TEST_P(SqlObjectTest, WatchEvaluationRunsNothing)
{
    m_host.watch = true;
    auto query = Declare("delete from $");
    EXPECT_EQ(Text(*query, "anything"), "SQL statement has not been executed.");
    m_host.watch = false;
    EXPECT_EQ(Count("1 = 1"), "4");
}

// A private data source given back at the end of the run is deleted before the engine cleans up
// its objects; closing the object afterwards must touch nothing of it (the sanitizer build checks).
TEST_P(SqlObjectTest, ClosingAfterThePrivateDataSourceWasGivenBack)
{
    CDataSourcePool pool([] { return int64_t{0}; });
    pool.SetThreadOwn(true);
    pool.SetDataSourceForPath(Connect(), "/");
    CDataSource* runDataSource = nullptr;
    m_host.dataSource = [&] {
        if (runDataSource == nullptr)
            runDataSource = pool.GetDataSource("/page.twp");
        return runDataSource;
    };
    auto query = Declare("select id from $ order by id");
    auto second = Declare("select id from $ order by id");
    EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    EXPECT_EQ(Call(*second, "fetch").m_integer, 1);
    ASSERT_TRUE(runDataSource->IsPrivate());
    pool.ReleaseDataSource(&runDataSource);
    EXPECT_EQ(Call(*query, "close").m_integer, 1);
    second.reset();
    query.reset();
}

TW_INSTANTIATE_BACKENDS(SqlObjectTest);

TEST(SqlInjectionGuard, ExaminesWordsOutsideLiterals)
{
    EXPECT_TRUE(PassesSqlInjectionGuard("select a from t where b = 'x; drop table t'"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t; drop table t"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where x = 1 or DROP = 2"));
    EXPECT_TRUE(PassesSqlInjectionGuard("select a from t where x = 1 --"));
    EXPECT_TRUE(PassesSqlInjectionGuard("delete from t"));
    EXPECT_TRUE(PassesSqlInjectionGuard("  select"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where b = 'x'; delete from t"));
    EXPECT_TRUE(PassesSqlInjectionGuard("select a from t where b = 'unclosed; drop table t"));
}

TEST(Crosstab, RewriteAndItsRefusals)
{
    EXPECT_EQ(TranslateCrosstab("CROSSTAB status, owner, count FROM reports WHERE x = 1 ", 0),
              "SELECT status, owner FROM reports WHERE x = 1 ORDER BY status ASC, owner ASC");
    EXPECT_EQ(TranslateCrosstab("crosstab a,b,SUM(v) from t", 0), "SELECT a, b, v FROM t ORDER BY a ASC, b ASC");
    EXPECT_EQ(TranslateCrosstab("SELECT a, b FROM t", 0), "SELECT a, b FROM t");
    auto failure = [](const std::string& statement) {
        try {
            TranslateCrosstab(statement, 0);
        } catch (const CSspException& error) {
            return error.GetMessage();
        }
        return std::string("<no failure>");
    };
    EXPECT_EQ(failure("crosstab a, b, max(v) from t"),
              "Only the following 3 group functions are supported: count, sum and avg.");
    EXPECT_EQ(failure("crosstab a from t"), "Row field or column field is empty.");
    EXPECT_EQ(failure("crosstab a, b"), "Table name is empty.");
}

} // namespace
