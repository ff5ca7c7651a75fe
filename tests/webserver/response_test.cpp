#include "webserver/ssp_response.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/server_config.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"
#include "tests/support/temp_folder.h"
#include "tests/webserver/http_reply.h"
#include "tests/webserver/net_test_support.h"
#include "webserver/tcp_socket.h"

namespace {

using namespace std::chrono_literals;

constexpr int kPosition = 17;

CSspValue Text(const std::string& text)
{
    CSspValue value;
    value.SetString(text);
    return value;
}

// Calls a member of `Response` as the interpreter does.
CSspValue Call(CSspResponse& response, const std::string& member, const std::vector<CSspValue>& arguments = {})
{
    CSspCall call;
    call.m_object = "Response";
    call.m_member = member;
    call.m_position = kPosition;
    call.m_args = arguments;
    call.m_hasParentheses = true;
    CSspValue result;
    response.InvokeMethod(call, result);
    return result;
}

std::string CallError(CSspResponse& response, const std::string& member, const std::vector<CSspValue>& arguments = {})
{
    try {
        Call(response, member, arguments);
    } catch (const CSspException& error) {
        EXPECT_EQ(error.GetPosition(), kPosition);
        return error.GetMessage();
    }
    return "<no error>";
}

class ResponseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_listening.Listen("127.0.0.1", 0), 1);
        m_client = std::make_unique<CTestClient>(m_listening.GetLocalPort());
        ASSERT_EQ(m_listening.Accept(m_server), 1);
        m_server.SetTimeout(10);
        CServerConfig& config = TheServerConfig();
        config.m_mimeMap = {{"html", "text/html"}, {"gif", "image/gif"}, {"txt", "text/plain"}, {"bin", ""}};
        config.m_mimeTextEncoding.clear();
    }
    void TearDown() override
    {
        TheServerConfig().m_mimeMap.clear();
        TheServerConfig().m_mimeTextEncoding.clear();
    }

    // Ends the server's side and returns what the client received.
    HttpReply Received()
    {
        m_server.Close();
        return HttpReply::Parse(m_client->ReadUntilClosed(10s));
    }

    std::string OutputPath(const std::string& name = "dyn1.html") const { return m_folder.Path() + "/" + name; }

    std::string WriteFile(const std::string& name, const std::string& bytes) const
    {
        const std::string path = m_folder.Path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    CLogCapture m_log;
    TempFolder m_folder{"tw-response"};
    CTcpSocket m_listening;
    CTcpSocket m_server;
    std::unique_ptr<CTestClient> m_client;
};

TEST_F(ResponseTest, DateAndExpiryLinesFollowTheExpiresSetting)
{
    CSspResponse response(nullptr);
    const std::time_t now = 1700000000;
    const std::string date = CSspDateTime(now).GetHttpDateTimeStr();
    EXPECT_EQ(response.FormatDateHeaders(now), "Date: " + date + "\r\n");
    for (int expiresNow : {0, -1}) {
        response.SetExpires(expiresNow);
        EXPECT_EQ(response.FormatDateHeaders(now), "Date: " + date + "\r\nExpires: " + date + "\r\n");
    }
    Call(response, "Expires", {Text("60")});
    EXPECT_EQ(response.FormatDateHeaders(now),
              "Date: " + date + "\r\nExpires: " + CSspDateTime(now + 3600).GetHttpDateTimeStr() + "\r\n");
    Call(response, "Expires", {Text("2880")});
    EXPECT_NE(response.FormatDateHeaders(now).find("Expires: " + CSspDateTime(now + 172800).GetHttpDateTimeStr()),
              std::string::npos);
    response.SetExpires(-2);
    EXPECT_EQ(response.FormatDateHeaders(now), "Date: " + date + "\r\n");
}

TEST_F(ResponseTest, CookieLinesAreEncodedTrimmedAndNeverBreakTheHead)
{
    CSspResponse response(nullptr);
    Call(response, "setCookie", {Text("a"), Text("x y")});
    EXPECT_EQ(response.FormatCookieHeaders(), "Set-Cookie: a=x+y\r\n");
    Call(response, "SETCOOKIE", {Text("B"), Text("1;2"), Text("  /app/"), Text(" Wed, 01 Jan 2031 00:00:00 GMT")});
    response.AddCookie("evil\r\nX-Injected: 1", "v\nSet-Cookie: other=1", "/\rp", "soon\nlater");
    EXPECT_EQ(response.FormatCookieHeaders(),
              "Set-Cookie: a=x+y\r\n"
              "Set-Cookie: B=1%3b2; path=/app/; expires=Wed, 01 Jan 2031 00:00:00 GMT\r\n"
              "Set-Cookie: evil=v; path=/; expires=soon\r\n");
    EXPECT_EQ(response.FindCookie("b"), "1;2");
    EXPECT_EQ(response.FindCookie("c"), "");

    response.AddHeader("X-One: 1\r\nX-Two: 2");
    Call(response, "AddHeader", {Text("Cache-Control: no-store")});
    EXPECT_EQ(response.JoinExtraHeaders(), "X-One: 1\r\nCache-Control: no-store\r\n");
}

TEST_F(ResponseTest, ContentTypeComesFromTheMimeTable)
{
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/a.GIF"), "image/gif");
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/readme"), "application/octet-stream");
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/x.bin"), "application/octet-stream");
    TheServerConfig().m_mimeMap["*"] = "text/plain";
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/readme"), "text/plain");
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/x.bin"), "text/plain");
}

TEST_F(ResponseTest, PageOutputGoesOutWithItsHeadersAndCharsetRule)
{
    TheServerConfig().m_mimeTextEncoding = "utf-8";
    {
        CSspResponse response(&m_server);
        response.SetOutputPath(OutputPath());
        response.WriteText("<p>one</p>\r\n");
        response.WriteText("<p>two</p>");
        Call(response, "setCookie", {Text("sid"), Text("42"), Text("/")});
        Call(response, "AddHeader", {Text("X-Page: yes")});
        EXPECT_EQ(Call(response, "content").m_text, "<p>one</p>\r\n<p>two</p>");
        response.CloseOutput();
        response.WriteText("after the end");
        response.CloseAndSend();
    }
    HttpReply reply = Received();
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.headers.front().rfind("Date: ", 0), 0U);
    EXPECT_EQ(reply.Header("Expires"), "<none>");
    EXPECT_EQ(reply.Header("Set-Cookie"), "sid=42; path=/");
    EXPECT_EQ(reply.Header("X-Page"), "yes");
    EXPECT_EQ(reply.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(reply.Header("Content-Length"), "22");
    EXPECT_EQ(reply.body, "<p>one</p>\r\n<p>two</p>");
}

TEST_F(ResponseTest, ExplicitTypeAndCharsetWin)
{
    TheServerConfig().m_mimeTextEncoding = "utf-8";
    {
        CSspResponse response(&m_server);
        response.SetOutputPath(OutputPath());
        Call(response, "ContentType", {Text("image/png\r\nX-Evil: 1")});
        response.WriteText("png");
        response.CloseAndSend();
    }
    HttpReply reply = Received();
    EXPECT_EQ(reply.Header("Content-Type"), "image/png");
    EXPECT_EQ(reply.Header("X-Evil"), "<none>");

    CTcpSocket second;
    CTestClient client(m_listening.GetLocalPort());
    ASSERT_EQ(m_listening.Accept(second), 1);
    {
        CSspResponse response(&second);
        response.SetOutputPath(OutputPath());
        Call(response, "Charset", {Text("iso-8859-1")});
        Call(response, "ContentType", {Text("application/json")});
        response.WriteText("{}");
        response.CloseAndSend();
    }
    second.Close();
    EXPECT_EQ(HttpReply::Parse(client.ReadUntilClosed(10s)).Header("Content-Type"),
              "application/json; charset=iso-8859-1");
}

TEST_F(ResponseTest, ClearedAndEmptyPagesAnswerWithAnEmptyBody)
{
    {
        CSspResponse response(&m_server);
        response.SetOutputPath(OutputPath());
        Call(response, "setCookie", {Text("seen"), Text("1")});
        response.CloseAndSend();
    }
    HttpReply reply = Received();
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.Header("Set-Cookie"), "seen=1");
    EXPECT_EQ(reply.Header("Content-Length"), "0");
    EXPECT_EQ(reply.body, "");

    CTcpSocket second;
    CTestClient client(m_listening.GetLocalPort());
    ASSERT_EQ(m_listening.Accept(second), 1);
    {
        CSspResponse response(&second);
        response.SetOutputPath(OutputPath());
        response.WriteText(std::string(CSspResponse::kSpillSize + 10, 'a'));
        Call(response, "clear");
        EXPECT_EQ(Call(response, "content").m_text, "");
        response.WriteText("b");
        response.CloseAndSend();
    }
    second.Close();
    reply = HttpReply::Parse(client.ReadUntilClosed(10s));
    EXPECT_EQ(reply.Header("Content-Length"), "1");
    EXPECT_EQ(reply.body, "b");
}

TEST_F(ResponseTest, LargeOutputMovesToTheOutputFileWhichGoesAwayWithTheResponse)
{
    std::string expected;
    for (int line = 0; expected.size() < 3 * CSspResponse::kSpillSize; ++line)
        expected += "<tr><td>" + std::to_string(line) + "</td></tr>\r\n";
    {
        CSspResponse response(&m_server);
        response.SetOutputPath(OutputPath());
        for (std::size_t at = 0; at < expected.size(); at += 1000)
            response.WriteText(std::string_view(expected).substr(at, 1000));
        EXPECT_TRUE(std::filesystem::exists(OutputPath()));
        EXPECT_EQ(response.GetOutputText(), expected);
        response.CloseAndSend();
    }
    EXPECT_FALSE(std::filesystem::exists(OutputPath()));
    HttpReply reply = Received();
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(expected.size()));
    EXPECT_TRUE(reply.body == expected) << "body of " << reply.body.size() << " bytes differs";
}

TEST_F(ResponseTest, LostOutputIsReportedNotSentAsAnEmptyPage)
{
    {
        CSspResponse response(&m_server);
        response.SetOutputPath(m_folder.Path() + "/missing-folder/dyn1.html");
        response.WriteText(std::string(CSspResponse::kSpillSize + 1, 'a'));
        response.WriteText("more");
        response.CloseAndSend();
    }
    HttpReply reply = Received();
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_NE(reply.body.find("Failed to create output file."), std::string::npos);
    EXPECT_TRUE(m_log.Contains("Failed to create output file. [" + m_folder.Path() + "/missing-folder/dyn1.html]"));
}

TEST_F(ResponseTest, StaticFilesAndTheirFailures)
{
    const std::string gif = WriteFile("a.gif", std::string("GIF89a\0\1\2", 9));
    {
        CSspResponse response(&m_server);
        EXPECT_EQ(response.Send(gif), 1);
    }
    HttpReply reply = Received();
    EXPECT_EQ(reply.Header("Content-Type"), "image/gif");
    EXPECT_EQ(reply.Header("Content-Length"), "9");
    EXPECT_EQ(reply.body, std::string("GIF89a\0\1\2", 9));

    const std::string folder = m_folder.Path() + "/d<b>.txt";
    std::filesystem::create_directory(folder);
    const std::string fifo = m_folder.Path() + "/pipe.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = m_folder.Path() + "/none.txt";
    const std::pair<std::string, std::string> failures[] = {
        {missing, m_folder.Path() + "/none.txt : Error [2]: No such file or directory"},
        {folder, m_folder.Path() + "/d&lt;b&gt;.txt : Error [21]: Is a directory"},
        {fifo, m_folder.Path() + "/pipe.txt : Error [19]: No such device"},
    };
    for (const auto& [path, text] : failures) {
        CTcpSocket server;
        CTestClient client(m_listening.GetLocalPort());
        ASSERT_EQ(m_listening.Accept(server), 1);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(CSspResponse(&server).Send(path), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
        server.Close();
        reply = HttpReply::Parse(client.ReadUntilClosed(10s));
        EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(reply.Header("Content-Type"), "text/html");
        EXPECT_EQ(reply.body,
                  "<HTML>\r\n<HEAD><TITLE>Error</TITLE></HEAD>\r\n<BODY>" + text + "</BODY>\r\n</HTML>\r\n");
    }
}

TEST_F(ResponseTest, RedirectCarriesCookiesAndNoLineBreaks)
{
    {
        CSspResponse response(&m_server);
        Call(response, "setCookie", {Text("a"), Text("1"), Text("/")});
        EXPECT_EQ(Call(response, "Redirect", {Text("/next.twp?x=1\r\nSet-Cookie: evil=1")}).m_integer, 1);
    }
    m_server.Close();
    EXPECT_EQ(m_client->ReadUntilClosed(10s),
              "HTTP/1.0 302 Moved Temporarily\r\nLocation: /next.twp?x=1\r\nSet-Cookie: a=1; path=/\r\n"
              "Content-Length: 0\r\n\r\n");
}

TEST_F(ResponseTest, BuiltInErrorPage)
{
    CSspResponse(&m_server).SendPlainErrorPage("Bad &amp; worse");
    HttpReply reply = Received();
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(reply.body.size()));
    EXPECT_EQ(reply.body,
              "<HTML>\r\n<HEAD><TITLE>Error</TITLE></HEAD>\r\n<BODY><center>\r\n<table width=\"80%\">\r\n"
              "  <tr><th bgcolor=\"#FF0000\"><font color=black>\r\n    Error\r\n  </font></th></tr>\r\n"
              "  <tr><td bgcolor=white><font color=black>\r\n    Bad &amp; worse\r\n  </font></td></tr>\r\n"
              "  <tr bgcolor=\"#6699cc\"><td align=center>\r\n    Please click browser's back button to go back.\r\n"
              "  </td></tr>\r\n</table>\r\n</center></BODY>\r\n</HTML>\r\n");
}

TEST_F(ResponseTest, ResponseMembersAndTheirErrors)
{
    CSspResponse response(nullptr);
    response.SetErrorText("page failed");
    EXPECT_EQ(Call(response, "error").m_text, "page failed");
    EXPECT_EQ(Call(response, "DateTimeOutputFormat", {Text("%Y")}).m_text, "0");
    EXPECT_EQ(Call(response, "datetimeoutputformat", {Text("2")}).m_text, "%Y");

    for (const char* member : {"redirect", "write", "Expires", "ContentType", "Charset", "DateTimeOutputFormat"})
        EXPECT_EQ(CallError(response, member), "Missing parameter.") << member;
    EXPECT_EQ(CallError(response, "setCookie", {Text("only a name")}), "Missing parameter.");
    EXPECT_EQ(CallError(response, "AddHeader"), "Missing parameter for AddHeader.");
    EXPECT_EQ(CallError(response, "flush"), "Unknown response field: flush");
}

TEST_F(ResponseTest, WrittenValuesFollowTheDateTimeOutputFormat)
{
    const std::int64_t time = MakeLocalTime(2024, 3, 5, 14, 7, 9);
    CSspValue date;
    date.SetTime(time, CSspValue::kTimestamp);
    CSspValue noTime;
    noTime.SetTime(0, CSspValue::kDate);
    CSspValue number;
    number.SetInteger(42);

    CSspResponse response(nullptr);
    response.SetOutputPath(OutputPath());
    const auto written = [&](const std::string& format, const CSspValue& value) {
        Call(response, "clear");
        Call(response, "DateTimeOutputFormat", {Text(format)});
        Call(response, "write", {value});
        return Call(response, "content").m_text;
    };
    const CSspDateTime expected(time);
    EXPECT_EQ(written("0", date), expected.GetDateTimeStr());
    EXPECT_EQ(written("1", date), expected.GetDateTimeStr2());
    EXPECT_EQ(written("2", date), expected.GetDateStr());
    EXPECT_EQ(written("3", date), expected.GetDateStr2());
    EXPECT_EQ(written("4", date), expected.GetTimeStr());
    EXPECT_EQ(written("%Y-%m-%d %H.%M.%S", date), "2024-03-05 14.07.09");
    EXPECT_EQ(written(std::string(64, 'x') + "%Y" + std::string(64, 'x'), date), "");
    EXPECT_EQ(written("%Y", noTime), "");
    EXPECT_EQ(written("%Y", number), "42");
}

TEST_F(ResponseTest, EchoShowsOutputAndHeadsAndBackgroundResponsesSendNothing)
{
    std::vector<std::string> echoed;
    const CEchoHook echo = [&echoed](std::string_view text) { echoed.emplace_back(text); };
    {
        CSspResponse response(&m_server);
        response.SetOutputPath(OutputPath());
        response.SetEcho(&echo);
        response.WriteText("text");
        response.WriteBinary("\0\1\2", 3);
        response.CloseAndSend();
    }
    HttpReply reply = Received();
    EXPECT_EQ(reply.body, std::string("text\0\1\2", 7));
    ASSERT_EQ(echoed.size(), 3U);
    EXPECT_EQ(echoed[0], "text");
    EXPECT_EQ(echoed[1], "3 bytes of binary data");
    EXPECT_EQ(echoed[2].rfind("\r\n-------------------- Response Header --------------------\r\nHTTP/1.0 200 OK\r\n", 0),
              0U);

    CSspResponse background(nullptr);
    background.SetOutputPath(OutputPath("dyn2.html"));
    background.WriteText(std::string(CSspResponse::kSpillSize, 'x'));
    EXPECT_TRUE(std::filesystem::exists(OutputPath("dyn2.html")));
    EXPECT_EQ(background.Send(OutputPath("dyn2.html")), 0);
    background.SendRedirect("/x", true);
    background.CloseAndSend();
}

}  // namespace
