// What the server sends back when a visitor or a page puts hostile text in: the sample site's error
// page, script strings, session cookies and attachment links, asked of the real program with curl.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "foundation/codecs.h"
#include "tests/server/server_process.h"
#include "tests/support/run_program.h"

namespace {

class SafeOutputTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_install.WriteSettings("");
        ASSERT_TRUE(m_server.Start(m_install, {"-NormalApp"}));
        const std::set<int> ports = m_server.WaitUntilRunning(m_install, 1);
        ASSERT_FALSE(ports.empty()) << m_server.Output();
        m_port = *ports.begin();
    }
    void TearDown() override
    {
        EXPECT_TRUE(CStopEvent::Set(m_install.StopEventPath()));
        EXPECT_EQ(m_server.WaitForExit(), 0) << m_server.Output();
    }

    // The response to a GET of `path` (with the head when `head`), the query made of `fields`
    // URL-encoded by curl.
    std::string Get(const std::string& path, const std::vector<std::string>& fields = {}, bool head = false)
    {
        const std::string output = m_install.Path() + "/fetched";
        std::vector<std::string> command{"curl", "-sS", "--max-time", "20", "-o", output, "--get"};
        if (head)
            command.push_back("-i");
        for (const std::string& field : fields) {
            command.push_back("--data-urlencode");
            command.push_back(field);
        }
        command.push_back("http://127.0.0.1:" + std::to_string(m_port) + path);
        if (RunProgram(command, m_install.Path() + "/curl.err") != 0)
            return "curl failed: " + ReadWholeFile(m_install.Path() + "/curl.err");
        return ReadWholeFile(output);
    }
    // Runs SQL on the server's default database with Python's own SQLite module.
    void RunSql(const std::string& sql)
    {
        const std::string script = "import sqlite3,sys\nc=sqlite3.connect(sys.argv[1])\nc.executescript(sys.argv[2])\n"
                                   "c.commit()\n";
        ASSERT_EQ(RunProgram({"/usr/bin/python3", "-c", script, m_install.Path() + "/data/tw3.db", sql},
                             m_install.Path() + "/python.err"),
                  0)
            << ReadWholeFile(m_install.Path() + "/python.err");
    }

    CServerInstall m_install;
    CServerProcess m_server;
    int m_port = 0;
};

TEST_F(SafeOutputTest, TheSampleErrorPageShowsRequestTextAndSourceLinesAsText)
{
    m_install.WriteFile("webroot/item.twp", "<!--{ error 'No such item: ' + Request.x; }-->");
    const std::string page = Get("/item.twp", {"x=<script>alert(1)</script>"});
    EXPECT_NE(page.find("No such item: &lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos) << page;
    EXPECT_EQ(page.find("<script>"), std::string::npos) << page;

    // A failing line quoted in the report would open an HTML comment that hides the message.
    m_install.WriteFile("webroot/broken.twp", "<p>x</p>\n<!--{ Local.x = Foo.y; }-->\n");
    const std::string broken = Get("/broken.twp");
    EXPECT_NE(broken.find("&lt;!--{ Local.x = Foo.y; }--&gt;"), std::string::npos) << broken;
    EXPECT_NE(broken.find("Unknown Object: Foo"), std::string::npos) << broken;
    EXPECT_EQ(broken.find("<!--"), std::string::npos) << broken;

    // Percent signs of a report come through nested calls as written.
    m_install.WriteFile("webroot/pct.twp", "<!--{ Local.f();\nfunction f() Local.g(); endfunction\n"
                                           "function g() Local.h(); endfunction\n"
                                           "function h() write Local.Var('50%'); endfunction }-->");
    const std::string percent = Get("/pct.twp");
    EXPECT_NE(percent.find("define it: 50%</pre>"), std::string::npos) << percent;
    EXPECT_EQ(percent.find("%%"), std::string::npos) << percent;
}

TEST_F(SafeOutputTest, ScriptStringsAndSessionCookiesCannotBeBrokenOutOf)
{
    m_install.WriteFile("webroot/js.twp", "<script>var n = '--{ To.js(Request.n) }--';</script>");
    EXPECT_EQ(Get("/js.twp", {"n=\\';alert(1)//"}), "<script>var n = '\\\\\\';alert(1)//';</script>");
    EXPECT_EQ(Get("/js.twp", {"n=</script><script>alert(1)</script>\r\n\""}),
              "<script>var n = '\\x3c/script\\x3e\\x3cscript\\x3ealert(1)\\x3c/script\\x3e\\r\\n\\\"';</script>");

    m_install.WriteFile("webroot/logon.twp", "<!--{ Session.logon(Request.u, Request.p); }-->logged on");
    const std::string good = Get("/logon.twp", {"u=ann", "p=/app/"}, true);
    EXPECT_NE(good.find("Set-Cookie: sspSessionID="), std::string::npos) << good;
    EXPECT_NE(good.find("; path=/app/; HttpOnly; SameSite=Lax\r\n"), std::string::npos) << good;
    const std::string forged = Get("/logon.twp", {"u=ann", "p=/t/; Domain=evil.example"}, true);
    EXPECT_EQ(forged.find("Set-Cookie"), std::string::npos) << forged;
    EXPECT_NE(forged.find("The page could not be shown"), std::string::npos) << forged;
    EXPECT_NE(forged.find("A cookie name or path may not hold a semicolon"), std::string::npos) << forged;
    const std::string lines = Get("/logon.twp", {"u=eve\r\n1.2.3.4", "p=/"}, true);
    EXPECT_EQ(lines.find("Set-Cookie"), std::string::npos) << lines;
    EXPECT_NE(lines.find("A user ID may not hold a line break."), std::string::npos) << lines;
}

TEST_F(SafeOutputTest, AttachmentLinksServeOnlyWhatTheServerSigned)
{
    // The installation's secret was made at the first start and kept in the settings file.
    const std::string settings = ReadWholeFile(m_install.Path() + "/etc/settings.conf");
    std::smatch secret;
    ASSERT_TRUE(std::regex_search(settings, secret, std::regex("FileIdSecret=([0-9a-f]{64})\n"))) << settings;

    RunSql("CREATE TABLE docs (id INTEGER, body TEXT, note TEXT);"
           "INSERT INTO docs VALUES (7, 'the report', 'private note');"
           "CREATE TABLE staff (id INTEGER, password TEXT);"
           "INSERT INTO staff VALUES (7, 'hunter2');");
    m_install.WriteFile("webroot/link.twp", "--{ To.fileUrl('docs', 'id', '7', 'body', 'report.txt') }--");
    const std::string link = Get("/link.twp");
    ASSERT_EQ(link.rfind("fileInDB/", 0), 0u) << link;
    EXPECT_EQ(link.find_first_of("\r\n"), std::string::npos) << link;
    EXPECT_EQ(Get("/" + link), "the report");

    // The ID's text is readable by anyone who has the link; a visitor edits it into another column
    // and another table, with check digits recomputed as the server computes them.
    std::string id = link.substr(9, link.rfind('/') - 9);
    SwapBytePairs(id);
    std::vector<char> buffer(id.size() + 8);
    int length = 0;
    Base64Decode(id.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, true);
    const std::string text(buffer.data(), static_cast<size_t>(length));
    const std::string tag = text.substr(text.rfind('-'));
    m_install.WriteFile("webroot/other.twp", "--{ To.fileUrl(Request.t, 'id', '7', Request.c, 'x') }--");
    for (const auto& [table, column] : {std::pair<std::string, std::string>{"docs", "note"}, {"staff", "password"}}) {
        // The server's own page serves as the calculator of names and check digits that a visitor
        // would work by hand; the visitor has only the tag of the link given.
        const std::string other = Get("/other.twp", {"t=" + table, "c=" + column});
        std::string otherId = other.substr(9, other.rfind('/') - 9);
        SwapBytePairs(otherId);
        std::vector<char> otherBuffer(otherId.size() + 8);
        Base64Decode(otherId.c_str(), otherBuffer.data(), static_cast<int>(otherBuffer.size()), length, true);
        const std::string otherText(otherBuffer.data(), static_cast<size_t>(length));
        std::string forged;
        Base64EncodeId(otherText.substr(0, otherText.rfind('-')) + tag, forged);
        SwapBytePairs(forged);
        const std::string answer = Get("/fileInDB/" + forged + "/x");
        EXPECT_NE(answer.find("Invalid file attachment ID."), std::string::npos) << table << "." << column << answer;
        EXPECT_EQ(answer.find("private note"), std::string::npos);
        EXPECT_EQ(answer.find("hunter2"), std::string::npos);
    }
}

}  // namespace
