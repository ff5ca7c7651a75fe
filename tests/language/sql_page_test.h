// Fixture base for pages that use the sql object through the real engine on SQLite and PostgreSQL:
// the run's data source for "/" (named "twtest" in error texts), an open connection of the test's
// own (m_db) to read rows back, and two table names of its own, dropped afterwards. In statements
// and scripts "$" stands for the first table and "@" for the second.
#pragma once

#include "database/odbc_statement.h"
#include "foundation/server_config.h"
#include "language/ssp_app.h"
#include "script_runner.h"
#include "tests/database/test_databases.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

class SqlPageTest : public testdb::BackendTest, public ScriptRunner
{
protected:
    using ScriptRunner::Run;

    SqlPageTest(std::string first, std::string second) : m_firstStem(std::move(first)), m_secondStem(std::move(second))
    {}

    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        TheSspApp().RemoveAll();
        TheSspApp().SetDataSourceForPath(Connect() + ";DSN=twtest", "/");
        m_first = testdb::UniqueTable(m_firstStem);
        m_second = testdb::UniqueTable(m_secondStem);
        m_db.Open(Connect());
    }
    void TearDown() override
    {
        TheSspApp().RemoveAll();
        TheServerConfig().m_dbConnectionThreadOwn = 0;
        if (m_db.IsOpen()) {
            m_db.ExecuteSQL("DROP TABLE IF EXISTS " + m_second);
            m_db.ExecuteSQL("DROP TABLE IF EXISTS " + m_first);
        }
    }

    std::string Tables(std::string text) const
    {
        for (size_t at = text.find_first_of("$@"); at != std::string::npos; at = text.find_first_of("$@", at))
            text.replace(at, 1, text[at] == '$' ? m_first : m_second);
        return text;
    }
    void Sql(const std::string& statement) { m_db.ExecuteSQL(Tables(statement)); }

    // The output of a script that must not fail.
    std::string Out(const std::string& script)
    {
        std::string failure = RunAt("/t.tws", Tables(script));
        EXPECT_EQ(failure, "") << script;
        return sink.output;
    }
    // The message of a script that must fail.
    std::string Fail(const std::string& script)
    {
        std::string failure = RunAt("/t.tws", Tables(script));
        EXPECT_NE(failure, "") << script;
        return failure;
    }

    COdbcConnection m_db;
    std::string m_firstStem, m_secondStem;
    std::string m_first, m_second;
};
