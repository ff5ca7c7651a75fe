#include "database/crosstab_grid.h"
#include "database/data_source.h"
#include "database/data_source_pool.h"
#include "database/sql_injection_guard.h"
#include "database/ssp_query.h"
#include "foundation/ascii_text.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"

#include <functional>
#include <tuple>

namespace {

// The sql object's view of an interpreter, for what no script can bring about: a debugger's watch
// evaluation, and a data source given back while objects that used it still exist (the engine
// destroys its objects first). Scripts drive every other path through the real engine (tests of
// the language). Statements here are raw, so no token is ever read.
class WatchHost : public CSspQueryHost
{
public:
    std::function<CDataSource*()> dataSource;
    bool watch = false;

    CDataSource* GetRunDataSource() override { return dataSource(); }
    bool IsEvaluatingWatch() const override { return watch; }
    CSspSqlToken NextSqlToken(int&, int) override { throw CSspException("raw statements only", kNoPosition); }
    bool EvaluateSqlExpression(int, int, CSspValue&) override
    {
        throw CSspException("raw statements only", kNoPosition);
    }
};

class SqlObjectTest : public testdb::BackendTest
{
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_bugs = testdb::UniqueTable("bugs");
        m_ds = std::make_unique<CDataSource>(Connect(), 0);
        m_ds->DoCommand("Open");
        Run("CREATE TABLE " + m_bugs + " (id INTEGER PRIMARY KEY, title VARCHAR(50))");
        Run("INSERT INTO " + m_bugs + " VALUES (1, 'first')");
        Run("INSERT INTO " + m_bugs + " VALUES (2, 'second')");
        m_host.dataSource = [this] { return m_ds.get(); };
    }
    void TearDown() override
    {
        if (m_ds)
            Run("DROP TABLE IF EXISTS " + m_bugs);
    }
    void Run(const std::string& sql) { m_ds->DoCommand("ExecuteSQL", sql); }

    // A declared object; "$" in the statement stands for the test's table.
    std::unique_ptr<CSspQuery> Declare(std::string statement, bool raw = true)
    {
        for (size_t at = statement.find('$'); at != std::string::npos; at = statement.find('$'))
            statement.replace(at, 1, m_bugs);
        CSspCall declaration;
        declaration.m_object = "q";
        declaration.m_member = statement;
        auto query = std::make_unique<CSspQuery>(m_host);
        query->Init(declaration, raw);
        return query;
    }
    static CSspValue Call(CSspQuery& query, const std::string& member)
    {
        CSspCall call;
        call.m_object = query.Name();
        call.m_member = member;
        call.m_hasParentheses = true;
        CSspValue result;
        query.CallMember(call, result);
        return result;
    }

    WatchHost m_host;
    std::unique_ptr<CDataSource> m_ds;
    std::string m_bugs;
};

TEST_P(SqlObjectTest, WatchEvaluationRunsNothing)
{
    m_host.watch = true;
    auto query = Declare("delete from $", false);
    EXPECT_EQ(Call(*query, "anything").ToString(), "SQL statement has not been executed.");
    m_host.watch = false;
    EXPECT_EQ(Call(*Declare("select count(*) from $"), "0").ToString(), "2");
}

// A private data source given back at the end of the run is deleted before the engine cleans up
// its objects; closing the object afterwards must touch nothing of it (the sanitizer build checks).
TEST_P(SqlObjectTest, ClosingAfterThePrivateDataSourceWasGivenBack)
{
    CDataSourcePool pool([] { return int64_t{0}; });
    pool.SetThreadOwn(true);
    pool.SetDataSourceForPath(Connect(), "/");
    CDataSourceLease runDataSource;
    m_host.dataSource = [&] {
        if (!runDataSource)
            runDataSource = pool.GetDataSource("/page.twp");
        return runDataSource.Get();
    };
    auto query = Declare("select id from $ order by id");
    auto second = Declare("select id from $ order by id");
    EXPECT_EQ(Call(*query, "fetch").m_integer, 1);
    EXPECT_EQ(Call(*second, "fetch").m_integer, 1);
    ASSERT_TRUE(runDataSource->IsPrivate());
    runDataSource.Release();
    EXPECT_EQ(Call(*query, "close").m_integer, 1);
    second.reset();
    query.reset();
}

TW_INSTANTIATE_BACKENDS(SqlObjectTest);

TEST(SqlInjectionGuard, ExaminesWordsOutsideLiterals)
{
    EXPECT_TRUE(PassesSqlInjectionGuard("select a from t where b = 'x; drop table t'"));
    EXPECT_TRUE(PassesSqlInjectionGuard("select a from t where title = 'a;b'"));
    EXPECT_TRUE(PassesSqlInjectionGuard("select a from t where b = 'it''s' and c = '/*--'"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t; drop table t"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where x = 1 or DROP = 2"));
    EXPECT_TRUE(PassesSqlInjectionGuard("delete from t"));
    EXPECT_TRUE(PassesSqlInjectionGuard("  select"));
    EXPECT_TRUE(PassesSqlInjectionGuard("select a from t where b = 'x' "));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where b = 'x'; delete from t"));
}

TEST(SqlInjectionGuard, TheLastWordCommentsAndOpenQuotesAreExamined)
{
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where x = 1 --"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where x = 1 or drop"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where b = 'x';drop/**/table/**/victim;select''"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where b = 'x';drop/**/table/**/victim;select'' "));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where b = 1/**/or/**/1=1"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where b = 'unclosed; drop table t"));
    EXPECT_FALSE(PassesSqlInjectionGuard("select a from t where b = 'x' and c = '"));
}

// Each word of the guard's list, as it comes in attacks on servers that run a second statement
// written after the first without a semicolon. Every attack must be refused on its word alone:
// the same text with the word changed passes.
TEST(SqlInjectionGuard, EveryWordOfTheListIsRefusedOnItsOwn)
{
    struct Attack
    {
        const char* word;
        const char* text;  // "%" stands for the word
    };
    const Attack attacks[] = {
        {"update", "select a from t where id = 1 % users set admin = 1"},
        {"delete", "select a from t where id = 1 % from users"},
        {"insert", "select a from t where id = 1 % into users (name) values ('eve')"},
        {"create", "select a from t where id = 1 % login eve with password = 'x'"},
        {"drop", "select a from t where id = 1 % table users"},
        {"exec", "select a from t where id = 1 % xp_cmdshell 'net user'"},
    };
    const auto written = [](std::string text, const std::string& word) {
        text.replace(text.find('%'), 1, word);
        return text;
    };
    for (const Attack& attack : attacks) {
        std::string upper = attack.word;
        for (char& c : upper)
            c = ToUpperAscii(c);
        EXPECT_FALSE(PassesSqlInjectionGuard(written(attack.text, attack.word))) << attack.text;
        EXPECT_FALSE(PassesSqlInjectionGuard(written(attack.text, upper))) << attack.text;
        EXPECT_TRUE(PassesSqlInjectionGuard(written(attack.text, std::string(attack.word) + "d"))) << attack.text;
    }
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
    EXPECT_EQ(failure("crosstab a, b, sum from t"), "The crosstab's sum needs a value field: sum(field).");

    CrosstabAggregate aggregate = CrosstabAggregate::Count;
    TranslateCrosstab("crosstab a, b, AVG(v) from t", 0, &aggregate);
    EXPECT_EQ(aggregate, CrosstabAggregate::Avg);
    TranslateCrosstab("crosstab a, b, sum(v) from t", 0, &aggregate);
    EXPECT_EQ(aggregate, CrosstabAggregate::Sum);
    TranslateCrosstab("crosstab a, b from t", 0, &aggregate);
    EXPECT_EQ(aggregate, CrosstabAggregate::Count);
}

// Presets fix the cells; a sum adds the values of the rows that meet a preset cell, and every
// row's value reaches the grand total.
TEST(Crosstab, PresetCellsSumTheirRowsValues)
{
    CCrosstabGrid grid;
    grid.AddXHeader("x", 0);
    grid.AddYHeader("A", 0);
    grid.BeginFold(CrosstabAggregate::Sum);
    CSspValue value;
    for (auto [row, column, number] : {std::tuple{"a", "X", 2}, {"A", "x", 3}, {"A", "z", 40}, {"B", "x", 500}}) {
        value.SetInteger(number);
        grid.AddRow(row, column, &value, 0);
    }
    value.SetString("1.5");
    grid.AddRow("A", "x", &value, 0);
    value.SetString("");
    grid.AddRow("A", "x", &value, 0);  // a NULL value: counted nowhere
    value.SetString("12 apples");
    EXPECT_THROW(grid.AddRow("A", "x", &value, 0), CSspException);
    grid.EndFold();

    CSspValue cell;
    auto read = [&](int index) {
        grid.Cell(std::to_string(index), cell, 0);
        return cell.ToString();
    };
    ASSERT_EQ(grid.Fetch(0), 1);  // the header row
    ASSERT_EQ(grid.Fetch(0), 1);  // the empty preset row
    ASSERT_EQ(grid.Fetch(0), 1);
    EXPECT_EQ(read(0), "A");
    EXPECT_EQ(read(1), "6.500000");
    EXPECT_EQ(read(2), "6.500000");
    ASSERT_EQ(grid.Fetch(0), 1);
    EXPECT_EQ(read(0), "Total");
    EXPECT_EQ(read(1), "506.500000");
    EXPECT_EQ(read(2), "546.500000");
}

}  // namespace
