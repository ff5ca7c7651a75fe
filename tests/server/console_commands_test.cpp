#include "server/console_commands.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "webserver/listener_thread.h"
#include "webserver/server_thread.h"

namespace {

sockaddr_in Peer(const char* dotted)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &peer.sin_addr);
    return peer;
}

std::uint32_t Address(const char* dotted)
{
    return Peer(dotted).sin_addr.s_addr;
}

TEST(ConsolePeerTest, OnlyTheServersOwnHostOverPlainHttp)
{
    const std::uint32_t server = Address("192.168.7.20");
    EXPECT_TRUE(IsConsolePeerAllowed(Peer("127.0.0.1"), server, false));
    EXPECT_TRUE(IsConsolePeerAllowed(Peer("127.4.5.6"), server, false)) << "all of 127/8 is loopback";
    EXPECT_TRUE(IsConsolePeerAllowed(Peer("192.168.7.20"), server, false));

    EXPECT_FALSE(IsConsolePeerAllowed(Peer("192.168.7.21"), server, false));
    EXPECT_FALSE(IsConsolePeerAllowed(Peer("10.0.0.1"), server, false));
    EXPECT_FALSE(IsConsolePeerAllowed(Peer("128.0.0.1"), server, false));
    // Byte order matters: 1.0.0.127 is not loopback.
    EXPECT_FALSE(IsConsolePeerAllowed(Peer("1.0.0.127"), server, false));
    // The secure listener never answers, whoever asks.
    EXPECT_FALSE(IsConsolePeerAllowed(Peer("127.0.0.1"), server, true));
    EXPECT_FALSE(IsConsolePeerAllowed(Peer("192.168.7.20"), server, true));
    sockaddr_in unknown{};
    EXPECT_FALSE(IsConsolePeerAllowed(unknown, Address("0.0.0.0"), false)) << "a peer of no known family";
}

TEST(ConsoleCommandTest, FirstKnownNameInTheMethodDecides)
{
    EXPECT_EQ(ParseConsoleCommand("twConsole.GetTask"), ConsoleCommand::kGetTask);
    EXPECT_EQ(ParseConsoleCommand("twConsole.GetReq"), ConsoleCommand::kGetReq);
    EXPECT_EQ(ParseConsoleCommand("twConsole.RunNow"), ConsoleCommand::kRunNow);
    EXPECT_EQ(ParseConsoleCommand("twConsole.Disconnect"), ConsoleCommand::kDisconnect);
    // Tested in order: GetTask before GetReq before RunNow before Disconnect.
    EXPECT_EQ(ParseConsoleCommand("twConsole.Disconnect.GetReq"), ConsoleCommand::kGetReq);
    EXPECT_EQ(ParseConsoleCommand("twConsole.RunNow.GetTask"), ConsoleCommand::kGetTask);
    EXPECT_EQ(ParseConsoleCommand("twConsole.gettask"), ConsoleCommand::kNone) << "case-sensitive";
    EXPECT_EQ(ParseConsoleCommand("twConsole.Shutdown"), ConsoleCommand::kNone);
}

TEST(ConsoleServiceLinesTest, UrlsLeaveOutOnlyTheDefaultPort)
{
    EXPECT_EQ(FormatServiceUrl("www.example.org", "8080", false), "http://www.example.org:8080");
    EXPECT_EQ(FormatServiceUrl("www.example.org", "80", false), "http://www.example.org");
    EXPECT_EQ(FormatServiceUrl("www.example.org", "443", true), "https://www.example.org");
    EXPECT_EQ(FormatServiceUrl("www.example.org", "80", true), "https://www.example.org:80");
    EXPECT_EQ(FormatServiceUrl("www.example.org", "443", false), "http://www.example.org:443");
}

TEST(ConsoleServiceLinesTest, TheSecureServerIsStartedStoppedOrDisabled)
{
    CServerConfig config("/nonexistent/settings.conf", "/nonexistent");
    config.m_fqdn = "tracker.example.org";
    config.m_generalTcpipPort = "8080";
    config.m_generalSslPort = "443";
    CServerThreadPool pool(nullptr);
    const CListenerThread http(pool, "127.0.0.1", 0, false);
    const CListenerThread https(pool, "127.0.0.1", 0, true);
    const std::string started = CSspDateTime(http.GetStartTime()).GetDateTimeStr2();
    ASSERT_FALSE(started.empty());

    EXPECT_EQ(FormatServiceLines(config, &http, nullptr),
              "0*Web Server*http://tracker.example.org:8080*" + started +
                  "\r\n"
                  "1*Secure Web Server*https://tracker.example.org*Disabled\r\n");
    config.m_securityCertName = "tracker";
    EXPECT_EQ(FormatServiceLines(config, &http, nullptr),
              "0*Web Server*http://tracker.example.org:8080*" + started +
                  "\r\n"
                  "1*Secure Web Server*https://tracker.example.org*Stopped\r\n");
    const std::string both = FormatServiceLines(config, &http, &https);
    EXPECT_NE(both.find("1*Secure Web Server*https://tracker.example.org*" +
                        CSspDateTime(https.GetStartTime()).GetDateTimeStr2() + "\r\n"),
              std::string::npos)
        << both;
}

}  // namespace
