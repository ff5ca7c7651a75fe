#include "webserver/ssp_response.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"
#include "network/tcp_socket.h"
#include "tests/network/net_test_support.h"
#include "tests/support/temp_folder.h"
#include "tests/webserver/http_reply.h"

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

class ResponseTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_listening.Listen("127.0.0.1", 0), 1);
        TheServerConfig().m_mimeMap = {{"html", "text/html"}, {"gif", "image/gif"}, {"bin", ""}};
        TheServerConfig().m_mimeTextEncoding = "utf-8";
    }
    void TearDown() override
    {
        TheServerConfig().m_mimeMap.clear();
        TheServerConfig().m_mimeTextEncoding.clear();
    }

    // Lets `respond` answer on a fresh loopback connection and returns what the client received.
    template <typename Respond>
    HttpReply Exchange(Respond respond)
    {
        CTestClient client(m_listening.GetLocalPort());
        CTcpSocket server;
        EXPECT_EQ(m_listening.Accept(server), 1);
        respond(server);
        server.Close();
        return HttpReply::Parse(client.ReadUntilClosed(10s));
    }

    CLogCapture m_log;
    TempFolder m_folder{"tw-response"};
    const std::string m_output = m_folder.Path() + "/dyn1.html";
    CTcpSocket m_listening;
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
    response.SetExpires(-2);
    EXPECT_EQ(response.FormatDateHeaders(now), "Date: " + date + "\r\n");
}

TEST_F(ResponseTest, HeaderTextsAreEncodedTrimmedAndCutAtLineBreaks)
{
    CSspResponse response(nullptr);
    Call(response, "setCookie", {Text("a"), Text("x y"), Text("/")});
    Call(response, "SETCOOKIE", {Text("B"), Text("1;2"), Text("  /app/"), Text(" Wed, 01 Jan 2031 00:00:00 GMT")});
    response.AddCookie("evil\r\nX-Injected: 1", "v\nSet-Cookie: other=1", "/\rp", "soon\nlater");
    EXPECT_EQ(response.FormatCookieHeaders(),
              "Set-Cookie: a=x+y; path=/\r\n"
              "Set-Cookie: B=1%3b2; path=/app/; expires=Wed, 01 Jan 2031 00:00:00 GMT\r\n"
              "Set-Cookie: evil=v; path=/; expires=soon\r\n");
    EXPECT_EQ(response.FindCookie("b"), "1;2");
    EXPECT_EQ(response.FindCookie("c"), "");
    response.AddHeader("X-One: 1\r\nX-Two: 2");
    Call(response, "AddHeader", {Text("Cache-Control: no-store")});
    EXPECT_EQ(response.JoinExtraHeaders(), "X-One: 1\r\nCache-Control: no-store\r\n");

    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/a.GIF"), "image/gif");
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/readme"), "application/octet-stream");
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/x.bin"), "application/octet-stream");
    TheServerConfig().m_mimeMap["*"] = "text/plain";
    EXPECT_EQ(CSspResponse::ContentTypeForPath("/w/x.bin"), "text/plain");
}

TEST_F(ResponseTest, CookieNamesPathsAndDatesThatWouldAddAttributesAreRefused)
{
    CSspResponse response(nullptr);
    const std::string refused = CMessageCatalog::Text(kMsgCookieTextRefused);
    EXPECT_EQ(CallError(response, "setCookie", {Text("a"), Text("1"), Text("/t/; Domain=evil.example")}),
              refused + "/t/; Domain=evil.example");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a"), Text("1"), Text("/t/,x")}), refused + "/t/,x");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a"), Text("1"), Text("/a b/")}), refused + "/a b/");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a"), Text("1"), Text("/a\tb/")}), refused + "/a\tb/");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a; Domain=x"), Text("1")}), refused + "a; Domain=x");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a,b"), Text("1")}), refused + "a,b");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a b"), Text("1")}), refused + "a b");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a\x01"), Text("1")}), refused + "a\x01");
    EXPECT_EQ(CallError(response, "setCookie", {Text("a"), Text("1"), Text("/"), Text("soon; Secure")}),
              refused + "soon; Secure");
    EXPECT_EQ(response.FormatCookieHeaders(), "") << "nothing of a refused cookie is kept";
    // The value is encoded, so it may hold anything; leading blanks of the path are dropped as before,
    // and a date has its blanks and commas.
    Call(response, "setCookie",
         {Text("a"), Text("x; Domain=y, z"), Text("  /t/"), Text("Wed, 01 Jan 2031 00:00:00 GMT")});
    EXPECT_EQ(response.FormatCookieHeaders(),
              "Set-Cookie: a=x%3b+Domain%3dy%2c+z; path=/t/; expires=Wed, 01 Jan 2031 00:00:00 GMT\r\n");
}

TEST_F(ResponseTest, HeadsCarryTypeCharsetCookiesAndExtraLines)
{
    HttpReply reply = Exchange([&](CTcpSocket& server) {
        CSspResponse response(&server);
        response.SetOutputPath(m_output);
        Call(response, "setCookie", {Text("seen"), Text("1")});
        Call(response, "AddHeader", {Text("X-Page: yes")});
        response.CloseAndSend();
    });
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.headers.front().rfind("Date: ", 0), 0U);
    EXPECT_EQ(reply.Header("Set-Cookie"), "seen=1");
    EXPECT_EQ(reply.Header("X-Page"), "yes");
    EXPECT_EQ(reply.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(reply.Header("Content-Length"), "0");

    reply = Exchange([&](CTcpSocket& server) {
        CSspResponse response(&server);
        Call(response, "ContentType", {Text("application/json\r\nX-Evil: 1")});
        Call(response, "Charset", {Text("iso-8859-1")});
        response.WriteText("{}");
        response.CloseAndSend();
    });
    EXPECT_EQ(reply.Header("Content-Type"), "application/json; charset=iso-8859-1");
    EXPECT_EQ(reply.Header("X-Evil"), "<none>");
    EXPECT_EQ(reply.body, "{}");
}

TEST_F(ResponseTest, OutputSpillsToItsFileIsClearedAndGoesAwayWithTheResponse)
{
    std::string expected;
    for (int line = 0; expected.size() < 3 * CSspResponse::kSpillSize; ++line)
        expected += "<tr><td>" + std::to_string(line) + "</td></tr>\r\n";
    const HttpReply reply = Exchange([&](CTcpSocket& server) {
        CSspResponse response(&server);
        response.SetOutputPath(m_output);
        response.WriteText(std::string(CSspResponse::kSpillSize + 10, 'a'));
        Call(response, "clear");
        EXPECT_EQ(Call(response, "content").m_text, "");
        for (std::size_t at = 0; at < expected.size(); at += 1000)
            response.WriteText(std::string_view(expected).substr(at, 1000));
        EXPECT_TRUE(std::filesystem::exists(m_output));
        EXPECT_EQ(response.GetOutputText(), expected);
        response.CloseOutput();
        response.WriteText("after the end");
        response.CloseAndSend();
    });
    EXPECT_FALSE(std::filesystem::exists(m_output));
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(expected.size()));
    EXPECT_TRUE(reply.body == expected) << "body of " << reply.body.size() << " bytes differs";
}

TEST_F(ResponseTest, LostOutputIsReportedNotSentAsAnEmptyPage)
{
    const std::string path = m_folder.Path() + "/missing-folder/dyn1.html";
    const HttpReply reply = Exchange([&](CTcpSocket& server) {
        CSspResponse response(&server);
        response.SetOutputPath(path);
        response.WriteText(std::string(CSspResponse::kSpillSize + 1, 'a'));
        response.CloseAndSend();
    });
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 500 Internal Server Error");
    EXPECT_NE(reply.body.find("Failed to create output file."), std::string::npos);
    EXPECT_TRUE(m_log.Contains("Failed to create output file. [" + path + "]"));
}

TEST_F(ResponseTest, RedirectCarriesCookiesAndNoLineBreaks)
{
    CTestClient client(m_listening.GetLocalPort());
    CTcpSocket server;
    ASSERT_EQ(m_listening.Accept(server), 1);
    {
        CSspResponse response(&server);
        Call(response, "setCookie", {Text("a"), Text("1"), Text("/")});
        EXPECT_EQ(Call(response, "Redirect", {Text("/next.twp?x=1\r\nSet-Cookie: evil=1")}).m_integer, 1);
    }
    server.Close();
    EXPECT_EQ(client.ReadUntilClosed(10s), "HTTP/1.0 302 Moved Temporarily\r\nLocation: /next.twp?x=1\r\n"
                                           "Set-Cookie: a=1; path=/\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(ResponseTest, MembersAndTheirErrors)
{
    std::vector<std::string> echoed;
    const CEchoHook echo = [&echoed](std::string_view text) { echoed.emplace_back(text); };
    CSspResponse response(nullptr);
    response.SetEcho(&echo);
    response.SetErrorText("page failed");
    EXPECT_EQ(Call(response, "error").m_text, "page failed");
    EXPECT_EQ(Call(response, "DateTimeOutputFormat", {Text("%Y")}).m_text, "0");
    EXPECT_EQ(Call(response, "datetimeoutputformat", {Text("2")}).m_text, "%Y");
    for (const char* member : {"redirect", "write", "Expires", "ContentType", "Charset", "DateTimeOutputFormat"})
        EXPECT_EQ(CallError(response, member), "Missing parameter.") << member;
    EXPECT_EQ(CallError(response, "setCookie", {Text("only a name")}), "Missing parameter.");
    EXPECT_EQ(CallError(response, "AddHeader"), "Missing parameter for AddHeader.");
    EXPECT_EQ(CallError(response, "flush"), "Unknown response field: flush");

    Call(response, "write", {Text("text")});
    response.WriteBinary("\0\1\2", 3);
    EXPECT_EQ(Call(response, "content").m_text, std::string("text\0\1\2", 7));
    EXPECT_EQ(echoed, (std::vector<std::string>{"text", "3 bytes of binary data"}));
}

TEST_F(ResponseTest, WrittenValuesFollowTheDateTimeOutputFormat)
{
    const std::int64_t time = MakeLocalTime(2024, 3, 5, 14, 7, 9);
    CSspValue date;
    date.SetTime(time, CSspValue::kTimestamp);
    CSspValue noTime;
    noTime.SetTime(kNoDateTime, CSspValue::kDate);
    CSspValue number;
    number.SetInteger(42);

    CSspResponse response(nullptr);
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
    EXPECT_EQ(written(std::string(64, 'x') + "%Y" + std::string(64, 'x'), date), "") << "over 127 characters";
    EXPECT_EQ(written("%Y", noTime), "");
    EXPECT_EQ(written("%Y", number), "42");
}

}  // namespace
