// The statements that the table-creation dialog runs, cut from scripts as the database tools of
// several products write them.
#include <gtest/gtest.h>

#include <vector>

#include "console/sql_script_splitter.h"

namespace {

std::vector<std::string> Split(const std::string& script)
{
    CSqlScriptSplitter splitter(script);
    std::vector<std::string> statements;
    std::string statement;
    while (splitter.Next(statement))
        statements.push_back(statement);
    return statements;
}

TEST(SqlScriptSplitterTest, WhiteSpaceFoldsAndCommentsLeaveNoTrace)
{
    const auto statements = Split("-- the settings table\r\n"
                                  "CREATE TABLE a (\r\n\tx INT,  /* a key */\r\n\ty INT\r\n);\r\n"
                                  "-- between\n\n"
                                  "INSERT INTO a VALUES (1, 2);\n"
                                  "SELECT 1");
    ASSERT_EQ(statements.size(), 3u) << "text after the last end is a statement too";
    // The blanks on either side of a comment inside a statement stay, one each.
    EXPECT_EQ(statements[0], "CREATE TABLE a ( x INT,  y INT )");
    EXPECT_EQ(statements[1], "INSERT INTO a VALUES (1, 2)");
    EXPECT_EQ(statements[2], "SELECT 1");
}

TEST(SqlScriptSplitterTest, StoredCodeEndsOnlyAtAGoOrSlashLine)
{
    const auto statements =
        Split("CREATE PROCEDURE p AS\r\nBEGIN\r\n  UPDATE a SET x = 1;\r\n  -- keep\r\nEND;\r\n/\r\n"
              "CREATE TABLE b (trigger_date DATE);\nGO\n"
              "DROP TABLE c;\n");
    ASSERT_EQ(statements.size(), 3u);
    EXPECT_EQ(statements[0], "CREATE PROCEDURE p AS\nBEGIN\n  UPDATE a SET x = 1;\n  -- keep\nEND;")
        << "inside stored code the text stays as written, less its CRs";
    EXPECT_EQ(statements[1], "CREATE TABLE b (trigger_date DATE)") << "a name holding 'trigger' is just a name";
    EXPECT_EQ(statements[2], "DROP TABLE c");
}

TEST(SqlScriptSplitterTest, QuotedTextsKeepSemicolonsCommentMarksAndBlanks)
{
    const auto statements = Split("INSERT INTO t VALUES ('a;b', 'it''s -- no comment',  '/* nor this */');\n"
                                  "CREATE TABLE \"odd;name\" (\"x  y\" INT); -- it's a comment\n"
                                  "INSERT INTO t VALUES ('two\nlines  kept');\n");
    ASSERT_EQ(statements.size(), 3u);
    EXPECT_EQ(statements[0], "INSERT INTO t VALUES ('a;b', 'it''s -- no comment', '/* nor this */')");
    EXPECT_EQ(statements[1], "CREATE TABLE \"odd;name\" (\"x  y\" INT)");
    EXPECT_EQ(statements[2], "INSERT INTO t VALUES ('two\nlines  kept')")
        << "the quote in the comment before it opened nothing";
}

TEST(SqlScriptSplitterTest, NoStatementIsLostAfterANameThatHoldsAKeyword)
{
    const auto statements = Split("CREATE TABLE t_one (id INT, trigger_date DATE, procedure_name VARCHAR(20));\n"
                                  "CREATE TABLE t_two (x INT);\n"
                                  "CREATE TABLE function_log (y INT);\n"
                                  "CREATE TABLE t_last (z INT)\n\n");
    ASSERT_EQ(statements.size(), 4u);
    EXPECT_EQ(statements[1], "CREATE TABLE t_two (x INT)");
    EXPECT_EQ(statements[2], "CREATE TABLE function_log (y INT)");
    EXPECT_EQ(statements[3], "CREATE TABLE t_last (z INT)") << "a tail without an end mark still runs";
    EXPECT_TRUE(Split("\n  -- only a comment\n\t\n").empty()) << "a blank tail is no statement";
    EXPECT_EQ(Split("SELECT 1\ngo").size(), 1u) << "a go line at the very end is a mark, not a statement";
}

TEST(SqlScriptSplitterTest, ATriggerEndsAtTheSemicolonAfterItsBodysEnd)
{
    const auto statements = Split("CREATE TRIGGER tr AFTER INSERT ON a BEGIN\r\n"
                                  "  UPDATE b SET n = CASE WHEN n > 0 THEN n + 1 ELSE 1 END;\r\n"
                                  "  INSERT INTO c VALUES (';');\r\n"
                                  "END;\r\n"
                                  "CREATE TABLE d (x INT);\r\n"
                                  "create or replace trigger tr2 before insert on a for each row\n"
                                  "begin\n  if :new.x is null then\n    :new.x := 1;\n  end if;\nend;\n/\n"
                                  "DROP TABLE z;");
    ASSERT_EQ(statements.size(), 4u);
    EXPECT_EQ(statements[0], "CREATE TRIGGER tr AFTER INSERT ON a BEGIN\n"
                             "  UPDATE b SET n = CASE WHEN n > 0 THEN n + 1 ELSE 1 END;\n"
                             "  INSERT INTO c VALUES (';');\n"
                             "END;")
        << "the END of a CASE does not close the body";
    EXPECT_EQ(statements[1], "CREATE TABLE d (x INT)");
    EXPECT_EQ(statements[2].rfind("create or replace trigger tr2", 0), 0u);
    EXPECT_NE(statements[2].find("end if;\nend;"), std::string::npos) << "END IF closes no body";
    EXPECT_EQ(statements[3], "DROP TABLE z");
}

TEST(SqlScriptSplitterTest, PostgreSqlFunctionsWithQuotedBodiesAndTheirTriggersEndAtTheirSemicolon)
{
    const auto statements =
        Split("CREATE FUNCTION touch() RETURNS trigger AS $$\n"
              "BEGIN\n  NEW.changed := now(); -- it's kept\n  RETURN NEW;\nEND;\n$$ LANGUAGE plpgsql;\n"
              "CREATE TABLE issue (id INT, changed TIMESTAMP);\n"
              "CREATE TRIGGER issue_touched BEFORE UPDATE ON issue\n"
              "  FOR EACH ROW EXECUTE FUNCTION touch();\n"
              "CREATE OR REPLACE FUNCTION label(n INT) RETURNS TEXT AS $body$ SELECT 'n;' || $1 "
              "|| '$$' $body$ LANGUAGE sql;\n"
              "CREATE FUNCTION one() RETURNS INT AS 'SELECT 1; -- ''quoted''' LANGUAGE sql;\n"
              "DO $$ BEGIN PERFORM 1; END $$;\n"
              "INSERT INTO t VALUES (E'it\\'s; fine', 'a$b');\n"
              "CREATE TABLE tw3_registry (reg_user VARCHAR(50));\n");
    ASSERT_EQ(statements.size(), 8u);
    EXPECT_EQ(statements[0], "CREATE FUNCTION touch() RETURNS trigger AS $$\n"
                             "BEGIN\n  NEW.changed := now(); -- it's kept\n  RETURN NEW;\nEND;\n$$ LANGUAGE plpgsql")
        << "the dollar-quoted body is kept whole";
    EXPECT_EQ(statements[1], "CREATE TABLE issue (id INT, changed TIMESTAMP)");
    EXPECT_EQ(statements[2], "CREATE TRIGGER issue_touched BEFORE UPDATE ON issue\n"
                             "  FOR EACH ROW EXECUTE FUNCTION touch()")
        << "a trigger without a body of its own ends at its semicolon";
    EXPECT_EQ(statements[3], "CREATE OR REPLACE FUNCTION label(n INT) RETURNS TEXT AS $body$ SELECT 'n;' || $1 || "
                             "'$$' $body$ LANGUAGE sql")
        << "only the same tag closes a dollar quote";
    EXPECT_EQ(statements[4], "CREATE FUNCTION one() RETURNS INT AS 'SELECT 1; -- ''quoted''' LANGUAGE sql");
    EXPECT_EQ(statements[5], "DO $$ BEGIN PERFORM 1; END $$");
    EXPECT_EQ(statements[6], "INSERT INTO t VALUES (E'it\\'s; fine', 'a$b')");
    EXPECT_EQ(statements[7], "CREATE TABLE tw3_registry (reg_user VARCHAR(50))");
}

TEST(SqlScriptSplitterTest, GoAndSlashEndStatementsOnlyAtTheStartOfALine)
{
    const auto statements = Split("SELECT 4 / 2 FROM t\ngo\nSELECT 'cargo'\n/\n");
    ASSERT_EQ(statements.size(), 2u);
    EXPECT_EQ(statements[0], "SELECT 4 / 2 FROM t");
    EXPECT_EQ(statements[1], "SELECT 'cargo'");
}

}  // namespace
