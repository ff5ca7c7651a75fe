#include "database/data_source.h"
#include "database/odbc_statement.h"
#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"

namespace {

// The text a command throws, or "" when it succeeds.
std::string Failure(CDataSource& dataSource, std::string_view command, const std::string& a1 = {},
                    CDataSource::TransactionOwner owner = nullptr)
{
    try {
        dataSource.DoCommand(command, a1, {}, {}, owner);
    } catch (const CSspException& error) {
        return error.GetMessage();
    }
    return {};
}

class DataSourceTest : public testdb::BackendTest
{
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        m_table = testdb::UniqueTable("ds");
        m_ds = std::make_unique<CDataSource>(Connect(), 0);
        m_ds->DoCommand("Open");
        m_ds->DoCommand("ExecuteSQL", "CREATE TABLE " + m_table + " (id INTEGER)");
    }
    void TearDown() override
    {
        if (m_ds) {
            m_ds.reset();
            COdbcConnection connection;
            connection.Open(Connect());
            connection.ExecuteSQL("DROP TABLE IF EXISTS " + m_table);
        }
    }
    void Insert(int id)
    {
        m_ds->DoCommand("ExecuteSQL", "INSERT INTO " + m_table + " VALUES (" + std::to_string(id) + ")");
    }
    // Rows as a second connection sees them.
    int64_t RowsSeenByOthers() { return testdb::RowsSeenByOthers(Connect(), m_table); }

    std::string m_table;
    std::unique_ptr<CDataSource> m_ds;
    const int m_engine = 0, m_nestedEngine = 0;  // stand-ins for two engines' identities
};

TEST_P(DataSourceTest, UncommittedRunIsRolledBackAndAutocommitRestored)
{
    m_ds->DoCommand("BeginTrans", {}, {}, {}, &m_engine);
    EXPECT_TRUE(m_ds->IsInTransactionOf(&m_engine));
    Insert(1);
    EXPECT_EQ(RowsSeenByOthers(), 0);
    EXPECT_EQ(Failure(*m_ds, "BeginTrans", {}, &m_engine), "Nested transactions not supported.");

    // What the engine does at the end of a run that never committed.
    m_ds->DoCommand("Rollback", {}, {}, {}, &m_engine);
    EXPECT_FALSE(m_ds->IsInTransaction());
    EXPECT_EQ(RowsSeenByOthers(), 0);
    Insert(2);
    EXPECT_EQ(RowsSeenByOthers(), 1) << "autocommit must be back on after the rollback";

    m_ds->DoCommand("BeginTrans", {}, {}, {}, &m_engine);
    Insert(3);
    m_ds->DoCommand("CommitTrans", {}, {}, {}, &m_engine);
    Insert(4);
    EXPECT_EQ(RowsSeenByOthers(), 3);
}

TEST_P(DataSourceTest, OnlyTheEngineThatBeganATransactionEndsIt)
{
    m_ds->DoCommand("BeginTrans", {}, {}, {}, &m_engine);
    Insert(1);
    m_ds->DoCommand("CommitTrans", {}, {}, {}, &m_nestedEngine);
    m_ds->DoCommand("Rollback", {}, {}, {}, &m_nestedEngine);
    EXPECT_TRUE(m_ds->IsInTransactionOf(&m_engine));
    EXPECT_FALSE(m_ds->IsInTransactionOf(&m_nestedEngine));
    EXPECT_EQ(Failure(*m_ds, "BeginTrans", {}, &m_nestedEngine), "Nested transactions not supported.");
    EXPECT_EQ(RowsSeenByOthers(), 0);
    m_ds->DoCommand("CommitTrans", {}, {}, {}, &m_engine);
    EXPECT_EQ(RowsSeenByOthers(), 1);
}

TEST_P(DataSourceTest, FailedCommitIsReportedAndAutocommitRestored)
{
    if (!IsPostgres())
        GTEST_SKIP() << "needs a constraint checked at commit time";
    std::string deferred = m_table + "_d";
    m_ds->DoCommand("ExecuteSQL", "CREATE TABLE " + deferred + " (id INTEGER, CONSTRAINT " + deferred +
                                      "_u UNIQUE (id) DEFERRABLE INITIALLY DEFERRED)");
    m_ds->DoCommand("BeginTrans", {}, {}, {}, &m_engine);
    m_ds->DoCommand("ExecuteSQL", "INSERT INTO " + deferred + " VALUES (1)");
    m_ds->DoCommand("ExecuteSQL", "INSERT INTO " + deferred + " VALUES (1)");
    Insert(1);
    std::string text = Failure(*m_ds, "CommitTrans", {}, &m_engine);
    EXPECT_EQ(text.rfind("Failed to commit transaction.", 0), 0u) << text;
    EXPECT_FALSE(m_ds->IsInTransaction());
    EXPECT_EQ(RowsSeenByOthers(), 0);
    Insert(2);
    EXPECT_EQ(RowsSeenByOthers(), 1);
    m_ds->DoCommand("ExecuteSQL", "DROP TABLE " + deferred);
}

TEST_P(DataSourceTest, CommandsAndTheirFailureTexts)
{
    EXPECT_EQ(Failure(*m_ds, "Vacuum"), "Bad datasource command: [Vacuum]");
    EXPECT_EQ(m_ds->DoCommand("executesql", "DELETE FROM " + m_table), 1) << "commands ignore letter case";
    EXPECT_EQ(m_ds->GetDbmsName(), IsPostgres() ? "PostgreSQL" : "SQLite");
    EXPECT_FALSE(m_ds->GetDbmsVersion().empty());

    std::string text = Failure(*m_ds, "ExecuteSQL", "SELECT nosuchcolumn FROM " + m_table);
    const std::string tail = " ODBC data source used: [].";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_NE(text.find("nosuchcolumn"), std::string::npos) << "the driver's own text leads: " << text;
    EXPECT_TRUE(m_ds->IsOpen()) << "an ordinary error keeps the connection";
}

TEST_P(DataSourceTest, KilledBackendGivesBrokenConnectionTextAndReconnects)
{
    if (!IsPostgres())
        GTEST_SKIP() << "needs a server process to end";
    ASSERT_NO_FATAL_FAILURE(testdb::TerminateBackend(m_ds->Connection(), Connect()));

    m_ds->DoCommand("BeginTrans", {}, {}, {}, &m_engine);
    std::string text = Failure(*m_ds, "ExecuteSQL", "INSERT INTO " + m_table + " VALUES (1)");
    EXPECT_EQ(text, std::string(CMessageCatalog::Text(9)) + " ODBC data source used: [].");
    EXPECT_FALSE(m_ds->IsOpen());
    EXPECT_FALSE(m_ds->IsInTransaction()) << "the lost connection took its transaction with it";

    m_ds->DoCommand("Open");
    Insert(2);
    EXPECT_EQ(RowsSeenByOthers(), 1);
}

TEST_P(DataSourceTest, CloseFreesStatementsStillOpenOnIt)
{
    Insert(1);
    auto statement = std::make_unique<COdbcStatement>(m_ds->Connection());
    statement->ExecDirect("SELECT id FROM " + m_table);
    m_ds->DoCommand("Close");
    EXPECT_FALSE(statement->IsAttached());
    EXPECT_THROW(static_cast<void>(statement->Fetch()), CDbException);
    m_ds->DoCommand("Open");
    Insert(2);

    // A statement may even outlive its data source.
    auto own = std::make_unique<CDataSource>(Connect(), 0);
    own->DoCommand("Open");
    COdbcStatement orphan(own->Connection());
    orphan.ExecDirect("SELECT id FROM " + m_table);
    own.reset();
    EXPECT_FALSE(orphan.IsAttached());
    EXPECT_THROW(static_cast<void>(orphan.Fetch()), CDbException);
}

TW_INSTANTIATE_BACKENDS(DataSourceTest);

TEST(DataSourceOpen, MissingDsnNamesItAndAddsTheDriversText)
{
    CDataSource dataSource("DSN=tw_nosuch_dsn;UID=me", 0);
    std::string text = Failure(dataSource, "Open");
    const std::string expected = "Data source [tw_nosuch_dsn] not found. Please run Tarnwick Console to create or "
                                 "select another one for Tarnwick Server to store your data. ";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    EXPECT_GT(text.size(), expected.size()) << "the driver manager's text follows";
    EXPECT_FALSE(dataSource.IsOpen());
    EXPECT_EQ(dataSource.GetConnectionValue("UID"), "me");
}

}  // namespace
