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
    ASSERT_EQ(statements.size(), 2u) << "text after the last end is not run";
    // The blanks on either side of a comment inside a statement stay, one each.
    EXPECT_EQ(statements[0], "CREATE TABLE a ( x INT,  y INT )");
    EXPECT_EQ(statements[1], "INSERT INTO a VALUES (1, 2)");
}

TEST(SqlScriptSplitterTest, StoredCodeEndsOnlyAtAGoOrSlashLine)
{
    const auto statements = Split("CREATE PROCEDURE p AS\r\nBEGIN\r\n  UPDATE a SET x = 1;\r\n  -- keep\r\nEND;\r\n/\r\n"
                                  "CREATE TABLE b (trigger_date DATE);\nGO\n"
                                  "DROP TABLE c;\n");
    ASSERT_EQ(statements.size(), 3u);
    EXPECT_EQ(statements[0], "CREATE PROCEDURE p AS\nBEGIN\n  UPDATE a SET x = 1;\n  -- keep\nEND;")
        << "inside stored code the text stays as written, less its CRs";
    EXPECT_EQ(statements[1], "CREATE TABLE b (trigger_date DATE);") << "a name holding 'trigger' makes a block too";
    EXPECT_EQ(statements[2], "DROP TABLE c");
}

TEST(SqlScriptSplitterTest, GoAndSlashEndStatementsOnlyAtTheStartOfALine)
{
    const auto statements = Split("SELECT 4 / 2 FROM t\ngo\nSELECT 'cargo'\n/\n");
    ASSERT_EQ(statements.size(), 2u);
    EXPECT_EQ(statements[0], "SELECT 4 / 2 FROM t");
    EXPECT_EQ(statements[1], "SELECT 'cargo'");
}

}  // namespace
