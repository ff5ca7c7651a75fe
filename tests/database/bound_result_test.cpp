// Results read through bound column buffers a block of rows at a time: they must give every value
// exactly as reading column by column does, across block edges, with NULLs, with texts longer than
// their buffers, and beside long texts, which make the whole result go row by row.
#include "database/dyn_bind_set.h"
#include "tests/database/test_databases.h"

namespace {

class BoundResultTest : public testdb::TableTest
{
protected:
    BoundResultTest() : TableTest("bound") {}

    static constexpr int kRows = static_cast<int>(COdbcStatement::kBlockRows) * 2 + 22;

    void SetUp() override
    {
        TableTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_db.ExecuteSQL(
            "CREATE TABLE " + m_table +
            " (id INTEGER NOT NULL, n INTEGER, title VARCHAR(300), amount DOUBLE PRECISION, made DATE, body TEXT)");
        ASSERT_TRUE(OdbcSucceeded(m_db.SetAutoCommit(false)));
        for (int id = 1; id <= kRows; ++id) {
            COdbcStatement insert(m_db);
            insert.Prepare("INSERT INTO " + m_table + " VALUES (?, ?, ?, ?, ?, ?)");
            insert.BindInteger(1, id, SQL_INTEGER);
            // NULLs in every column now and then, also on the first and last row of a block.
            if (HasNulls(id)) {
                insert.BindNull(2, SQL_INTEGER);
                insert.BindNull(3, SQL_VARCHAR);
                insert.BindNull(4, SQL_DOUBLE);
                insert.BindNull(5, SQL_TYPE_DATE);
            } else {
                insert.BindInteger(2, -id, SQL_INTEGER);
                insert.BindText(3, Title(id));
                insert.BindDouble(4, id + 0.25);
                SQL_TIMESTAMP_STRUCT made{static_cast<SQLSMALLINT>(2000 + id % 20),
                                          static_cast<SQLUSMALLINT>(1 + id % 12),
                                          static_cast<SQLUSMALLINT>(1 + id % 28),
                                          0,
                                          0,
                                          0,
                                          0};
                insert.BindTimestamp(5, made, SQL_TYPE_DATE);
            }
            insert.BindText(6, std::string(id == 3 ? 70000 : id, 'b'), SQL_LONGVARCHAR);
            insert.Execute();
        }
        m_db.Commit();
    }

    // NULLs in every column but the key now and then, also on the last row of the first block and
    // the first of the second.
    static bool HasNulls(int id)
    {
        const int block = static_cast<int>(COdbcStatement::kBlockRows);
        return id % 7 == 0 || id == block || id == block + 1;
    }

    // Titles of every length up to past the buffer's first width (256 bytes), the longest in the
    // second block; the column is long enough for them on every database.
    static std::string Title(int id)
    {
        const size_t length = id == 72 ? 300 : id == 2 ? 257 : static_cast<size_t>(id * 2 % 40);
        std::string title(length, 'x');
        for (size_t i = 0; i < length; ++i)
            title[i] = static_cast<char>('a' + (i + static_cast<size_t>(id)) % 26);
        return title;
    }

    // The first `columns` columns of every row, values as the script sees them, NULL marked.
    std::vector<std::string> Read(CDynBindSet& set, int columns)
    {
        std::vector<std::string> rows;
        for (; !set.IsEOF(); set.MoveNext()) {
            std::string row;
            for (int i = 0; i < columns; ++i) {
                const CSspValue& value = *set.GetColumnValue(i);
                row += (i ? "|" : "") + (value.IsNull() ? std::string("NULL") : value.ToString());
            }
            rows.push_back(row);
        }
        return rows;
    }

    std::vector<std::string> Select(const std::string& columns, int count)
    {
        CDynBindSet set(&m_db);
        set.Open("SELECT " + columns + " FROM " + m_table + " ORDER BY id");
        return Read(set, count);
    }
};

TEST_P(BoundResultTest, BlocksGiveWhatColumnByColumnReadingGives)
{
    // The body column is long text: its result is read column by column, as every result was.
    const std::vector<std::string> byColumn = Select("id, n, title, amount, made, body", 5);
    const std::vector<std::string> bound = Select("id, n, title, amount, made", 5);
    ASSERT_EQ(bound.size(), static_cast<size_t>(kRows)) << "rows of more than one block, the last one partly filled";
    ASSERT_EQ(bound.size(), byColumn.size());
    for (size_t i = 0; i < bound.size(); ++i)
        EXPECT_EQ(bound[i], byColumn[i]) << "row " << i + 1;

    // Some values checked on their own, so a fault in both paths can't hide.
    const int block = static_cast<int>(COdbcStatement::kBlockRows);
    EXPECT_EQ(bound[block - 1], std::to_string(block) + "|NULL|NULL|NULL|NULL") << "the last row of the first block";
    EXPECT_EQ(bound[block], std::to_string(block + 1) + "|NULL|NULL|NULL|NULL") << "the first row of the second block";
    EXPECT_EQ(bound[0].substr(0, 5), "1|-1|");
    EXPECT_EQ(bound[kRows - 1].substr(0, 4), std::to_string(kRows) + "|");
    EXPECT_NE(bound[1].find("|" + Title(2) + "|"), std::string::npos) << "a title wider than its first buffer";
    EXPECT_NE(bound[71].find("|" + Title(72) + "|"), std::string::npos) << "a wide title in a later block";
    EXPECT_NE(bound[4].find("|" + Title(5) + "|"), std::string::npos);
}

TEST_P(BoundResultTest, LongTextsBesideShortColumnsComeBackWhole)
{
    CDynBindSet set(&m_db);
    set.Open("SELECT id, body, title FROM " + m_table + " ORDER BY id");
    int rows = 0;
    for (; !set.IsEOF(); set.MoveNext()) {
        ++rows;
        const CSspValue& body = *set.GetColumnValue(1);
        ASSERT_EQ(body.m_text.size(), rows == 3 ? 70000u : static_cast<size_t>(rows)) << "row " << rows;
        if (!HasNulls(rows)) {
            EXPECT_EQ(set.GetColumnValue(2)->ToString(), Title(rows));
        }
    }
    EXPECT_EQ(rows, kRows);
}

TEST_P(BoundResultTest, MoveFirstAndAKeptStatementStartAgainAtTheFirstBlock)
{
    const std::vector<std::string> expected = Select("id, title", 2);
    CDynBindSet set(&m_db);
    set.Open("SELECT id, title FROM " + m_table + " ORDER BY id");
    for (int i = 0; i < static_cast<int>(COdbcStatement::kBlockRows) + 10; ++i)
        set.MoveNext();
    ASSERT_TRUE(set.MoveFirst());
    EXPECT_EQ(Read(set, 2), expected) << "from the first row again, after a block was passed";
    set.Close();
    // The statement kept for the text reads its buffers, widened by the long titles, again.
    EXPECT_EQ(Select("id, title", 2), expected);
    m_db.ExecuteSQL("UPDATE " + m_table + " SET title = NULL WHERE id = 1");
    EXPECT_EQ(Select("id, title", 2).front(), "1|NULL") << "a NULL where the buffer held a text before";
}

TEST_P(BoundResultTest, AStatementReadsTextsPastItsBufferWhole)
{
    auto statement = m_db.TakePrepared("SELECT id, title FROM " + m_table + " ORDER BY id", true);
    ASSERT_TRUE(statement->IsScrollable());
    statement->Execute();
    ASSERT_TRUE(statement->BindResult({{SQL_C_SBIGINT, sizeof(SQLBIGINT)}, {SQL_C_CHAR, 4}}));
    int rows = 0;
    while (statement->Fetch()) {
        ++rows;
        std::string title;
        int64_t id = 0;
        ASSERT_TRUE(statement->GetInteger(1, id));
        EXPECT_EQ(id, rows);
        EXPECT_EQ(statement->GetText(2, title), !HasNulls(rows));
        EXPECT_EQ(title, HasNulls(rows) ? std::string() : Title(rows));
    }
    EXPECT_EQ(rows, kRows);
    ASSERT_TRUE(statement->FetchFirst());
    int64_t id = 0;
    ASSERT_TRUE(statement->GetInteger(1, id));
    EXPECT_EQ(id, 1);
    std::string text;
    EXPECT_THROW(statement->GetText(1, text), CDbException) << "a bound column is read with its own type";
}

TW_INSTANTIATE_BACKENDS(BoundResultTest);

}  // namespace
