// The POP3 client against a real dovecot: whole messages stored byte for byte and deleted on the
// server, refused accounts, and a link that breaks in the middle of a message (through a relay
// that cuts it).
#include "mail/pop3_client.h"

#include "foundation/server_config.h"
#include "pop3_test_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

class Pop3ClientTest : public ::testing::Test
{
protected:
    Pop3ClientTest() { config.m_pop3Timeout = 10; }

    int Fetch(int port, const std::string& user, const std::string& password = Pop3TestServer::kPassword)
    {
        CPop3Client client(config, install.Path());
        return client.FetchAll("127.0.0.1", std::to_string(port), user, password, "box");
    }

    // The stored files' contents in the order of their names' suffixes.
    std::vector<std::string> Stored() const
    {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(install.Path() + "/mail/box", error))
            names.push_back(entry.path().filename().string());
        // stamp.eml, stamp-1.eml, stamp-2.eml: shorter names first, then by name.
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        std::vector<std::string> contents;
        for (const std::string& name : names) {
            std::ifstream in(install.Path() + "/mail/box/" + name, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            contents.push_back(text.str());
        }
        return contents;
    }

    CServerConfig config;
    TempFolder install{"tw-pop3-install"};
    Pop3TestServer server;
};

std::string Message(const std::string& subject, const std::string& body)
{
    return "From: sender@example.org\r\nTo: box@example.org\r\nSubject: " + subject + "\r\n\r\n" + body;
}

}  // namespace

TEST_F(Pop3ClientTest, StoresEveryMessageWholeAndDeletesItOnTheServer)
{
    // Lines that begin with dots travel stuffed and must come back as they were; lines longer
    // than the receive buffer arrive in pieces, and a piece that is just "." ends nothing.
    const std::string dots = Message("dots", ".\r\n..\r\n...\r\n.x\r\nend\r\n");
    const std::string longLines =
        Message("long", std::string(3000, 'a') + "\r\n" + std::string(1023, 'b') + "\r\n" + std::string(1023, 'c') +
                            ".\r\n" + std::string(2046, 'd') + "\r\n");
    const std::string plain = Message("plain", "one line\r\n");
    for (const std::string* message : {&dots, &longLines, &plain})
        ASSERT_TRUE(server.Deliver("alice", *message));

    EXPECT_EQ(Fetch(server.Port(), "alice"), 3);
    EXPECT_EQ(Stored(), (std::vector<std::string>{dots, longLines, plain}));
    EXPECT_EQ(server.CountMessages("alice"), 0);

    // The empty mailbox now stores nothing.
    EXPECT_EQ(Fetch(server.Port(), "alice"), 0);
    EXPECT_EQ(Stored().size(), 3u);
}

TEST_F(Pop3ClientTest, RefusedAccountsStoreNothingAndThePasswordNeverReachesTheLog)
{
    ASSERT_TRUE(server.Deliver("bob", Message("kept", "x\r\n")));
    config.m_logPop3 = 1;
    // The server slows down logins from an address after a failed one: the good login comes first.
    {
        CLogCapture log;
        EXPECT_EQ(Fetch(server.Port(), "bob"), 1);
        EXPECT_TRUE(log.Contains("Connecting to 127.0.0.1:" + std::to_string(server.Port())));
        EXPECT_TRUE(log.Contains("USER bob"));
        EXPECT_TRUE(log.Contains("PASS ********"));
        EXPECT_TRUE(log.Contains("RETR 1"));
        for (const std::string& entry : log.Entries())
            EXPECT_EQ(entry.find(Pop3TestServer::kPassword), std::string::npos) << entry;
    }
    ASSERT_TRUE(server.Deliver("bob", Message("kept", "x\r\n")));
    {
        CLogCapture log;
        EXPECT_EQ(Fetch(server.Port(), "bob", "not-the-password"), -1);
        EXPECT_TRUE(log.Contains("Wrong email account password (-ERR"));
        for (const std::string& entry : log.Entries())
            EXPECT_EQ(entry.find("not-the-password"), std::string::npos) << entry;
    }
    EXPECT_EQ(server.CountMessages("bob"), 1);
    EXPECT_EQ(Stored().size(), 1u);

    // A line break in the user name would smuggle a command of its own: nothing is sent.
    CLogCapture log;
    EXPECT_EQ(Fetch(server.Port(), "bob\r\nDELE 1"), -1);
    EXPECT_FALSE(log.Contains("Connecting to"));
}

TEST_F(Pop3ClientTest, AServerThatIsNotThereIsReported)
{
    // A port that was free a moment ago: nothing listens on it.
    int port = 0;
    {
        CTcpSocket probe;
        ASSERT_EQ(probe.Listen("127.0.0.1", 0), 1);
        port = probe.GetLocalPort();
    }
    CLogCapture log;
    EXPECT_EQ(Fetch(port, "alice"), -1);
    EXPECT_TRUE(log.Contains("Failed to connect to POP3 server 127.0.0.1:" + std::to_string(port)));
}

TEST_F(Pop3ClientTest, ALinkBrokenInTheThirdMessageKeepsTheFirstTwoAndNoPartOfTheThird)
{
    std::vector<std::string> messages;
    for (int i = 1; i <= 3; ++i) {
        messages.push_back(Message("message " + std::to_string(i), std::string(500, 'x') + "\r\n"));
        ASSERT_TRUE(server.Deliver("carol", messages.back()));
    }
    TempFolder relayFolder("tw-pop3-relay");
    const std::string portFile = relayFolder.Path() + "/port";
    const char* source = std::getenv("TW_SOURCE_DIR");
    BackgroundProgram relay;
    ASSERT_TRUE(relay.Start({"/usr/bin/python3", std::string(source ? source : ".") + "/tests/mail/pop3_cut_proxy.py",
                             portFile, std::to_string(server.Port()), "3", "80"},
                            relayFolder.Path() + "/relay.log"));
    int relayPort = 0;
    ASSERT_TRUE(
        WaitFor([&] { return static_cast<bool>(std::ifstream(portFile) >> relayPort); }, std::chrono::seconds(20)));

    CLogCapture log;
    EXPECT_EQ(Fetch(relayPort, "carol"), 2);
    EXPECT_TRUE(log.Contains("Failed to receive a complete mail from POP3"));
    EXPECT_EQ(Stored(), (std::vector<std::string>{messages[0], messages[1]}));
    // The server applies deletions only when the session ends with QUIT, which never came: it
    // still holds all three, so the next fetch brings the first two again rather than none lost.
    EXPECT_EQ(server.CountMessages("carol"), 3);
}
