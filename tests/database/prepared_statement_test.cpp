// Statements a connection keeps prepared for the next run of the same SELECT: they are reused, yet
// every run sees the table as it is then (rows and columns changed in between), and nothing breaks
// when the connection closes or is reset under them. Also the reading of texts around the size of
// the first read.
#include "database/dyn_bind_set.h"
#include "tests/database/test_databases.h"

namespace {

class PreparedStatementTest : public testdb::TableTest
{
protected:
    PreparedStatementTest() : TableTest("prep") {}

    void SetUp() override
    {
        TableTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER, title VARCHAR(20))");
        m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (1, 'one')");
    }
    // Every row of a query, its columns joined by "," and rows by ";".
    std::string Rows(const std::string& sql)
    {
        CDynBindSet set(&m_db);
        set.Open(sql);
        std::string rows;
        for (; !set.IsEOF(); set.MoveNext()) {
            for (int i = 0; i < set.ColumnCount(); ++i)
                rows += (i ? "," : "") + set.GetColumnValue(i)->ToString();
            rows += ";";
        }
        return rows;
    }
};

TEST_P(PreparedStatementTest, ASelectRunAgainReusesItsStatement)
{
    const std::string sql = "SELECT id FROM " + m_table;
    auto first = m_db.TakePrepared(sql, true);
    EXPECT_FALSE(first->WasReused());
    first->Execute();
    ASSERT_TRUE(first->Fetch());  // a cursor still open when it goes back
    COdbcStatement* const kept = first.get();
    COdbcStatement::Recycle(std::move(first));

    auto other = m_db.TakePrepared(sql + " WHERE id = 2", true);
    EXPECT_FALSE(other->WasReused()) << "another text gets a statement of its own";
    auto again = m_db.TakePrepared(sql, true);
    EXPECT_TRUE(again->WasReused());
    EXPECT_EQ(again.get(), kept);
    again->Execute();
    int64_t id = 0;
    ASSERT_TRUE(again->Fetch());
    again->GetInteger(1, id);
    EXPECT_EQ(id, 1);
    auto concurrent = m_db.TakePrepared(sql, true);
    EXPECT_FALSE(concurrent->WasReused()) << "a statement in use is never handed out twice";
}

TEST_P(PreparedStatementTest, EachRunSeesTheTableAsItIsThen)
{
    const std::string sql = "SELECT * FROM " + m_table + " ORDER BY id";
    const std::string none = "SELECT * FROM " + m_table + " WHERE id = 2";
    EXPECT_EQ(Rows(sql), "1,one;");
    EXPECT_EQ(Rows(none), "");
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (2, 'two')");
    EXPECT_EQ(Rows(none), "2,two;");
    EXPECT_EQ(Rows(sql), "1,one;2,two;");

    // A changed table: a statement prepared before may no longer run (PostgreSQL refuses a cached
    // plan whose result changed); the run still gets the new columns.
    m_db.ExecuteSQL("ALTER TABLE " + m_table + " ADD COLUMN state VARCHAR(10)");
    m_db.ExecuteSQL("UPDATE " + m_table + " SET state = 'open'");
    EXPECT_EQ(Rows(sql), "1,one,open;2,two,open;");
    m_db.ExecuteSQL("DROP TABLE " + m_table);
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER)");
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (7)");
    EXPECT_EQ(Rows(sql), "7;");

    // A kept statement that names its columns also runs after another connection changed the
    // table, and sees that connection's rows.
    const std::string named = "SELECT id FROM " + m_table + " ORDER BY id";
    EXPECT_EQ(Rows(named), "7;");
    COdbcConnection other;
    other.Open(Connect());
    other.ExecuteSQL("ALTER TABLE " + m_table + " ADD COLUMN title VARCHAR(20)");
    other.ExecuteSQL("INSERT INTO " + m_table + " VALUES (8, 'eight')");
    other.Close();
    EXPECT_EQ(Rows(named), "7;8;");
}

TEST_P(PreparedStatementTest, TransactionsAndResetsBetweenRunsKeepItWorking)
{
    const std::string sql = "SELECT id FROM " + m_table + " ORDER BY id";
    EXPECT_EQ(Rows(sql), "1;");
    ASSERT_TRUE(OdbcSucceeded(m_db.SetAutoCommit(false)));
    m_db.ExecuteSQL("INSERT INTO " + m_table + " VALUES (2, 'two')");
    EXPECT_EQ(Rows(sql), "1;2;");
    m_db.Rollback();
    EXPECT_EQ(Rows(sql), "1;");

    m_db.ResetForReuse();
    auto kept = m_db.TakePrepared(sql, true);
    EXPECT_TRUE(kept->WasReused()) << "a reset for the next run keeps the prepared statements";
    COdbcStatement::Recycle(std::move(kept));
    EXPECT_EQ(Rows(sql), "1;");
}

TEST_P(PreparedStatementTest, AStatementOutlivingItsConnectionIsDroppedNotKept)
{
    const std::string sql = "SELECT id FROM " + m_table;
    CDynBindSet set(&m_db);
    set.Open(sql);
    auto idle = m_db.TakePrepared(sql + " ORDER BY id", true);
    COdbcStatement::Recycle(std::move(idle));

    m_db.Close();
    set.Close();  // hands back a statement whose handle the close freed
    m_db.Open(Connect());
    EXPECT_FALSE(m_db.TakePrepared(sql, true)->WasReused());
    EXPECT_FALSE(m_db.TakePrepared(sql + " ORDER BY id", true)->WasReused());
    EXPECT_EQ(Rows(sql), "1;");
}

TEST_P(PreparedStatementTest, TextsAroundTheFirstReadsSizeComeBackWhole)
{
    m_db.ExecuteSQL("DROP TABLE " + m_table);
    m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER, body TEXT)");
    const size_t lengths[] = {0, 1, 254, 255, 256, 257, 511, 4096, 4097, 70000};
    for (size_t length : lengths) {
        COdbcStatement insert(m_db);
        insert.Prepare("INSERT INTO " + m_table + " VALUES (?, ?)");
        insert.BindInteger(1, static_cast<int64_t>(length), SQL_INTEGER);
        std::string text(length, 'a');
        for (size_t i = 0; i < length; ++i)
            text[i] = static_cast<char>('a' + i % 26);
        insert.BindText(2, text, SQL_LONGVARCHAR);
        insert.Execute();
    }
    COdbcStatement select(m_db);
    select.ExecDirect("SELECT id, body FROM " + m_table + " ORDER BY id");
    for (size_t length : lengths) {
        ASSERT_TRUE(select.Fetch());
        std::string body;
        select.GetText(2, body);
        ASSERT_EQ(body.size(), length);
        for (size_t i = 0; i < length; ++i)
            ASSERT_EQ(body[i], static_cast<char>('a' + i % 26)) << "length " << length << " at " << i;
    }
}

TEST_P(PreparedStatementTest, ColumnProbesAreKeptUntilTheTableMayHaveChanged)
{
    // The value type a probe of (id, title) learns for title.
    auto titleType = [&](COdbcConnection& connection) {
        CDynBindSet set(&connection);
        set.AddTable(m_table);
        set.AddColumn("id");
        set.AddColumn("title");
        EXPECT_TRUE(set.OpenForColumnInfo(ColumnInfoPath::ProbeQuery));
        EXPECT_TRUE(set.IsBOF() && set.IsEOF());
        return set.Column(1).sqlType;
    };
    EXPECT_EQ(titleType(m_db), SQL_VARCHAR);
    EXPECT_EQ(m_db.ProbeCount(), 1u);
    EXPECT_EQ(titleType(m_db), SQL_VARCHAR);
    EXPECT_EQ(m_db.ProbeCount(), 1u) << "the second probe of the same columns is answered from what the first learnt";

    // A kept probe still serves a new row, as a probe that ran would.
    {
        CDynBindSet set(&m_db);
        set.AddTable(m_table);
        set.AddColumn("id");
        set.AddColumn("title");
        ASSERT_TRUE(set.OpenForColumnInfo(ColumnInfoPath::ProbeQuery));
        set.AddNew();
        CSspValue id, title;
        id.SetString("5");
        title.SetString("five");
        set.SetFieldValue(0, id);
        set.SetFieldValue(1, title);
        EXPECT_TRUE(set.Update());
    }
    EXPECT_EQ(Rows("SELECT id, title FROM " + m_table + " WHERE id = 5"), "5,five;");

    m_db.ExecuteSQL("ALTER TABLE " + m_table + " ADD COLUMN n INTEGER");
    EXPECT_EQ(m_db.ProbeCount(), 0u) << "a table-changing statement forgets the probes";
    titleType(m_db);
    EXPECT_THROW(Rows("SELECT nosuchcolumn FROM " + m_table), CDbException);
    EXPECT_EQ(m_db.ProbeCount(), 0u) << "a failed statement forgets the probes";
}

TW_INSTANTIATE_BACKENDS(PreparedStatementTest);

}  // namespace
