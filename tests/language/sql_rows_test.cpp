// Translated statements of the sql object touch exactly the rows a page means, on SQLite and on
// PostgreSQL, with the rows read back before and after: dates as HTML forms send them, values a
// date column cannot take, time stamps that keep their time, qualified and aliased columns,
// operators the drivers do not spell alike, an UPDATE of one of several equal rows, crosstab sums
// and averages, and text appended into a string-built SELECT.
#include "sql_page_test.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

class SqlRowsTest : public SqlPageTest
{
protected:
    SqlRowsTest() : SqlPageTest("ev", "other") {}

    void SetUp() override
    {
        SqlPageTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        Sql("CREATE TABLE $ (id INTEGER PRIMARY KEY, day DATE, stamp TIMESTAMP, note VARCHAR(20))");
        Sql("INSERT INTO $ VALUES (1, '2004-11-12', '2007-01-02 10:15:00', 'twelfth')");
        Sql("INSERT INTO $ VALUES (2, NULL, NULL, 'none')");
        Sql("INSERT INTO $ VALUES (3, '2004-11-13', '2007-01-02 00:00:00', 'thirteenth')");
    }

    // The values of a column of the rows that a condition selects, in order, joined by ",".
    std::string Ids(const std::string& where, const std::string& table = "$", const std::string& column = "id")
    {
        COdbcStatement statement(m_db);
        statement.ExecDirect(Tables("SELECT " + column + " FROM " + table + " WHERE " + where + " ORDER BY " + column));
        std::string ids;
        std::string id;
        while (statement.Fetch()) {
            statement.GetText(1, id);
            ids += (ids.empty() ? "" : ",") + id;
        }
        return ids;
    }
};

TEST_P(SqlRowsTest, AnIsoDateFromAFormMeetsItsDayAndNeverTheMissingOnes)
{
    // As an HTML date input sends it; the C locale reads dates month first.
    EXPECT_EQ(Out("Local.d = '2004-11-12'; sql q = select id from $ where day = Local.d;\n"
                  "while (q.fetch() = 1) write q.id; write ','; endwhile"),
              "1,");
    EXPECT_EQ(Ids("1 = 1"), "1,2,3");
    Out("Local.d = '2004-11-12'; sql d = delete from $ where day = Local.d; d.execute();");
    EXPECT_EQ(Ids("1 = 1"), "2,3") << "the 12 November row goes, the row without a day stays";

    Out("Local.d = '2004-11-20'; Local.s = '2007-01-03T08:30:45';\n"
        "sql i = insert into $ (id, day, stamp, note) values (4, Local.d, Local.s, 'added'); i.execute();");
    EXPECT_EQ(Ids("day IS NULL"), "2") << "the insert stored its date";
    EXPECT_EQ(Ids("day = '2004-11-20'"), "4");
    COdbcStatement stamp(m_db);
    stamp.ExecDirect(Tables("SELECT stamp FROM $ WHERE id = 4"));
    ASSERT_TRUE(stamp.Fetch());
    SQL_TIMESTAMP_STRUCT stored{};
    ASSERT_TRUE(stamp.GetTimestamp(1, stored));
    EXPECT_EQ(std::vector<int>({stored.year, stored.month, stored.day, stored.hour, stored.minute, stored.second}),
              std::vector<int>({2007, 1, 3, 8, 30, 45}))
        << "a stored time stamp keeps its time";
}

TEST_P(SqlRowsTest, ATimeStampComparedKeepsItsTime)
{
    EXPECT_EQ(Out("Local.s = '2007-01-02 10:15:00'; sql q = select id from $ where stamp = Local.s;\n"
                  "while (q.fetch() = 1) write q.id; write ','; endwhile"),
              "1,");
    EXPECT_EQ(Out("Local.s = '2007-01-02'; sql q = select id from $ where stamp = Local.s;\n"
                  "while (q.fetch() = 1) write q.id; write ','; endwhile"),
              "3,")
        << "a date alone is midnight";
    EXPECT_EQ(Out("datetime t('2007-01-02 10:00'); sql q = select id from $ where stamp > t.getOdbcDateTimeStr();\n"
                  "while (q.fetch() = 1) write q.id; write ','; endwhile"),
              "1,");
    Out("Local.s = '2007-01-02 10:15'; Local.n = 'changed';\n"
        "sql u = update $ set note = Local.n where stamp = Local.s; u.execute();");
    EXPECT_EQ(Ids("note = 'changed'"), "1");

    // A time stamp that a page stored is found again by the same text.
    EXPECT_EQ(Out("Local.s = '2008-02-03 04:05:06';\n"
                  "sql i = insert into $ (id, stamp) values (5, Local.s); i.execute();\n"
                  "sql q = select id from $ where stamp = Local.s; write q.id;"),
              "5");
}

TEST_P(SqlRowsTest, AValueThatIsNoDateIsRefusedBeforeAnyStatementRuns)
{
    std::string message = Fail("Local.d = 'next tuesday'; sql d = delete from $ where day = Local.d; d.execute();");
    EXPECT_EQ(message, "The value [next tuesday] is not a date or time for column day.");
    EXPECT_EQ(Ids("1 = 1"), "1,2,3");

    message = Fail("Local.d = '2004-13-45'; sql i = insert into $ (id, day) values (9, Local.d); i.execute();");
    EXPECT_EQ(message, "The value [2004-13-45] is not a date or time for column day.");
    EXPECT_EQ(Ids("1 = 1"), "1,2,3");

    Fail("Local.s = 'soon'; sql u = update $ set stamp = Local.s where id = 1; u.execute();");
    EXPECT_EQ(Ids("stamp IS NOT NULL"), "1,3") << "row 1 keeps its time stamp";

    // Only an empty value means NULL.
    Out("Local.d = ''; sql d = delete from $ where day = Local.d; d.execute();");
    EXPECT_EQ(Ids("1 = 1"), "1,3");
}

TEST_P(SqlRowsTest, QualifiedAndAliasedColumnsAreProbedInTheirTable)
{
    Sql("CREATE TABLE @ (item INTEGER, note VARCHAR(20))");
    Sql("INSERT INTO @ VALUES (1, 'blue')");
    Sql("INSERT INTO @ VALUES (3, 'red')");
    // Both tables have a column "note".
    EXPECT_EQ(Out("Local.n = 'red'; sql q = select @.item from @, $ where @.note = Local.n and $.id = 1;\n"
                  "while (q.fetch() = 1) write q.item; write ','; endwhile"),
              "3,");
    EXPECT_EQ(Out("Local.n = 'blue'; Local.t = 'thirteenth';\n"
                  "sql q = select e.id, o.item from $ e, @ o where o.note = Local.n and e.note = Local.t;\n"
                  "while (q.fetch() = 1) write q.id; write '-'; write q.item; write ','; endwhile"),
              "3-1,");
    EXPECT_EQ(Out("Local.d = '2004-11-13';\n"
                  "sql q = select ev.note from $ ev where ev.day = Local.d; write q.note;"),
              "thirteenth")
        << "an alias's column keeps its date type";

    // A failing statement names the text that reached the driver: here the column probe.
    std::string message = Fail("Local.n = 'x'; sql q = select id from $ where nosuch.note = Local.n; q.execute();");
    EXPECT_NE(message.find(Tables(" SQL q:SELECT nosuch.note FROM $ WHERE 1 = 2 DSN:twtest")), std::string::npos)
        << message;
    message = Fail("Local.two = 2; sql u = update $ set id = Local.two where id = 1; u.execute();");
    EXPECT_NE(message.find(Tables(" SQL u:UPDATE $ SET id = ? WHERE id = ?")), std::string::npos) << message;
    EXPECT_EQ(Ids("1 = 1"), "1,2,3");
}

TEST_P(SqlRowsTest, OperatorsAreSentAsTheDriverSpellsThem)
{
    EXPECT_EQ(Out("Local.p = 'tw%'; sql q = select id from $ where note alike Local.p;\n"
                  "while (q.fetch() = 1) write q.id; write ','; endwhile write q.sql;"),
              Tables("1,select id from $ WHERE note LIKE 'tw%'"));
    EXPECT_EQ(Out("Local.i = 1; sql q = select id from $ where id == Local.i; write q.id; write q.sql;"),
              Tables("1select id from $ WHERE id = 1"));
    EXPECT_EQ(Out("Local.i = 1; sql q = select id from $ where id != Local.i order by id;\n"
                  "while (q.fetch() = 1) write q.id; write ','; endwhile"),
              "2,3,");
    EXPECT_EQ(Out("Local.e = ''; sql q = select id from $ where day == Local.e; write q.id; write q.sql;"),
              Tables("2select id from $ WHERE day IS NULL"));
    Out("Local.i = 3; sql d = delete from $ where id != Local.i and note alike 'tw%'; d.execute();");
    EXPECT_EQ(Ids("1 = 1"), "2,3");
}

TEST_P(SqlRowsTest, AnUpdateChangesOneOfSeveralEqualRows)
{
    Sql("CREATE TABLE @ (a INTEGER, b VARCHAR(10))");
    for (const char* row : {"1, 'x'", "1, 'x'", "1, 'x'", "2, 'x'"})
        Sql("INSERT INTO @ VALUES (" + std::string(row) + ")");
    const std::string update = "sql u = update @ set b = 'changed' where a = 1 and b = 'x'; u.execute();";
    Out(update);
    EXPECT_EQ(Ids("b = 'changed'", "@", "a"), "1");
    EXPECT_EQ(Ids("b = 'x'", "@", "a"), "1,1,2");
    Out(update);
    Out(update);
    EXPECT_EQ(Ids("b = 'changed'", "@", "a"), "1,1,1");
    EXPECT_EQ(Fail(update).rfind("The record you are updating or locking is not found.", 0), 0u);
    EXPECT_EQ(Ids("b = 'x'", "@", "a"), "2");
}

TEST_P(SqlRowsTest, CrosstabSumsAndAveragesTheValueField)
{
    Sql("CREATE TABLE @ (status VARCHAR(10), owner VARCHAR(10), hours INTEGER, cost DECIMAL(6,2))");
    for (const char* row :
         {"'A', 'x', 2, 1.5", "'A', 'x', 3, 1", "'A', 'y', 4, NULL", "'B', 'x', 5, 2", "'B', 'y', NULL, NULL"})
        Sql("INSERT INTO @ VALUES (" + std::string(row) + ")");
    const std::string read = "while (g.fetch() = 1) write g.0; write ' '; write g.1; write ' '; write g.2; "
                             "write ' '; write g.3; write '|'; endwhile";
    EXPECT_EQ(Out("sql g = crosstab status, owner, sum(hours) FROM @;\n" + read),
              "Crosstab x y Total|A 5 4 9|B 5 0 5|Total 10 4 14|");
    EXPECT_EQ(Out("sql g = crosstab status, owner, avg(hours) FROM @;\n" + read),
              "Crosstab x y Total|A 2.500000 4.000000 3.000000|B 5.000000  5.000000|"
              "Total 3.333333 4.000000 3.500000|")
        << "NULL values are left out of averages, as SQL's AVG leaves them out";
    EXPECT_EQ(Out("sql g = crosstab status, owner, sum(cost) FROM @; write g.colTotal(1); write ' ';"
                  "write g.colTotal(3);"),
              "4.500000 4.500000");
    EXPECT_EQ(Out("sql g = crosstab status, owner, count(hours) FROM @;\n" + read),
              "Crosstab x y Total|A 2 1 3|B 1 1 2|Total 3 2 5|")
        << "count counts rows, as before";
    EXPECT_EQ(Fail("sql g = crosstab status, owner, sum(owner) FROM @; g.fetch();"),
              "The crosstab's value is not a number: x");
}

TEST_P(SqlRowsTest, TextAppendedIntoAStringBuiltSelectCannotRunAStatement)
{
    Sql("CREATE TABLE @ (title VARCHAR(40))");
    Sql("INSERT INTO @ VALUES ('kept')");
    const std::string attack = "Local.t = 'x\\';drop/**/table/**/@;select\\'';\n"
                               "sql q = 'select title from @ where title = \\'' + Local.t + '\\'';\n";
    EXPECT_EQ(Fail(attack + "q.execute();").rfind("SQL statement aborted due to possible SQL Injection attack.", 0),
              0u);
    EXPECT_EQ(Ids("1 = 1", "@", "title"), "kept");
    EXPECT_EQ(Fail("Local.t = 'kept'; sql q = 'select title from @ where title = \\'' + Local.t; q.execute();")
                  .rfind("SQL statement aborted", 0),
              0u)
        << "an unclosed quote";
    EXPECT_EQ(
        Out("Local.t = 'a;b'; sql q = 'select title from @ where title <> \\'' + Local.t + '\\''; write q.title;"),
        "kept")
        << "quoted text stays data";
}

TW_INSTANTIATE_BACKENDS(SqlRowsTest);

// Pages that each run a short transaction on the SQLite file at the same time, each on a connection
// of its own (DbAccessSerialize off gives every run a private data source): a writer waits for the
// one that holds the file instead of failing with "database is locked", and no update is lost.
TEST(SqliteWriters, ConcurrentTransactionsWaitForEachOther)
{
    TempFolder folder("twsw");
    const std::string connect = testdb::SqliteConnect(folder.Path() + "/writers.db");
    COdbcConnection db;
    db.Open(connect);
    db.ExecuteSQL("CREATE TABLE counter (id INTEGER PRIMARY KEY, hits INTEGER)");
    db.ExecuteSQL("INSERT INTO counter VALUES (1, 0)");
    db.ExecuteSQL("CREATE TABLE log (n INTEGER, note VARCHAR(20))");
    TheSspApp().RemoveAll();
    TheSspApp().SetDataSourceForPath(connect, "/");
    const int serialize = std::exchange(TheServerConfig().m_dbAccessSerialize, 0);
    TheServerConfig().m_dbConnectionThreadOwn = 1;

    const std::string page = "Local.BeginTransaction();\n"
                             "sql c = select hits from counter where id = 1; Local.n = c.hits + 1;\n"
                             "sql u = update counter set hits = Local.n where id = 1; u.execute();\n"
                             "sql a = insert into log (n, note) values (Local.n, 'page'); a.execute();\n"
                             "Local.CommitTransaction();";
    constexpr int kWriters = 8;
    constexpr int kRuns = 15;
    std::vector<std::string> failures(kWriters);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            ScriptRunner runner;
            for (int i = 0; i < kRuns && failures[static_cast<size_t>(w)].empty(); ++i)
                failures[static_cast<size_t>(w)] = runner.RunAt("/w.tws", page);
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    TheServerConfig().m_dbAccessSerialize = serialize;
    TheServerConfig().m_dbConnectionThreadOwn = 0;
    TheSspApp().RemoveAll();

    for (const std::string& failure : failures)
        EXPECT_EQ(failure, "");
    COdbcStatement rows(db);
    rows.ExecDirect(
        "SELECT (SELECT hits FROM counter), (SELECT COUNT(*) FROM log), (SELECT COUNT(DISTINCT n) FROM log)");
    ASSERT_TRUE(rows.Fetch());
    int64_t hits = 0, logged = 0, distinct = 0;
    rows.GetInteger(1, hits);
    rows.GetInteger(2, logged);
    rows.GetInteger(3, distinct);
    EXPECT_EQ(std::vector<int64_t>({hits, logged, distinct}),
              std::vector<int64_t>({kWriters * kRuns, kWriters * kRuns, kWriters * kRuns}))
        << "every transaction read the counter that the one before it wrote";
}

}  // namespace
