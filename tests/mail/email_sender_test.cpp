#include "mail/email_sender.h"

#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "mail/email_out.h"
#include "mail/smtp_client.h"
#include "smtp_peer.h"
#include "tests/support/log_capture.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

class EmailSenderTest : public testing::Test
{
protected:
    EmailSenderTest() : m_config(m_install.Path() + "/etc/settings.conf", m_install.Path())
    {
        m_config.m_emAdminEmail = "admin@site.test";
        m_config.m_emSmtpServer = "127.0.0.1";
        m_config.m_emMaxEmailOut = 100;
        m_config.m_smtpTimeout = 5;
    }
    void Use(const SmtpPeer& peer) { m_config.m_emSmtpPort = std::to_string(peer.Port()); }

    CEmailOut Mail(const std::string& to, const std::string& subject, const std::string& content = "Hello\r\n")
    {
        CEmailOut mail(m_config, m_install.Path());
        mail.m_to = to;
        mail.m_subject = subject;
        mail.m_content = content;
        return mail;
    }
    void Queue(const std::string& to, const std::string& subject, const std::string& content = "Hello\r\n")
    {
        ASSERT_EQ(Mail(to, subject, content).Send(), 1);
    }
    // The names in a mail folder, sorted.
    std::vector<std::string> Folder(const std::string& name) const
    {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(m_install.Path() + "/mail/" + name, error))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Subjects(const SmtpPeer& peer) const
    {
        std::string subjects;
        for (const SmtpPeer::Message& message : peer.Messages()) {
            size_t at = message.data.find("Subject: ");
            subjects += message.data.substr(at + 9, message.data.find("\r\n", at) - at - 9) + ";";
        }
        return subjects;
    }

    TempFolder m_install{"tw-mailout"};
    CServerConfig m_config;
    CLogCapture m_log;
};

TEST_F(EmailSenderTest, DeliversTheOutboxInOrderAndKeepsOrDeletesWhatWasSent)
{
    SmtpPeer peer;
    Use(peer);
    CEmailOut first = Mail("a@x.test, b@x.test", "First", ".\r\n.x\r\nend\r\n");
    first.m_from = "s1@x.test; s2@x.test";
    first.m_cc = "c@x.test";
    first.m_bcc = "\"d@x.test\"";
    first.AddHeader("X-Tag: one");
    ASSERT_EQ(first.Send(), 1);
    CEmailOut second = Mail("e@x.test", "");
    CSspValue bytes;
    bytes.SetBinary("\x01\x02", 2);
    second.Attach("a.bin", bytes);
    ASSERT_EQ(second.Send(), 1);
    m_config.m_emKeepSentMail = 1;

    CEmailSender sender(m_config, m_install.Path());
    sender.RunEmailSender();
    ASSERT_EQ(peer.Messages().size(), 2u);
    EXPECT_EQ(Subjects(peer), "First;none;") << "an empty subject goes out as \"none\"";
    const SmtpPeer::Message sent = peer.Messages()[0];
    EXPECT_EQ(sent.from, "s1@x.test");
    EXPECT_EQ(sent.to, "a@x.test b@x.test c@x.test d@x.test");
    const std::string& data = sent.data;
    EXPECT_TRUE(data.starts_with("Date: ")) << data;
    EXPECT_NE(data.find("\r\nFrom: <s1@x.test>\r\nTo: a@x.test, b@x.test\r\nCc: c@x.test\r\nSubject: First\r\n"
                        "X-Mailer: <Tarnwick Server Mailer 3>\r\nX-Tag: one\r\nMIME-Version: 1.0\r\n"
                        "Content-Type: text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                        ".\r\n.x\r\nend\r\n"),
              std::string::npos)
        << data;
    EXPECT_EQ(data.find("Bcc"), std::string::npos) << "blind copies stay blind";
    // The MIME lines of the attachment message travel as extra headers, its parts as the body.
    EXPECT_NE(peer.Messages()[1].data.find("MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary="),
              std::string::npos);
    EXPECT_NE(peer.Messages()[1].data.find("\r\n\r\nAQI=\r\n"), std::string::npos);

    EXPECT_TRUE(Folder("outbox").empty());
    EXPECT_EQ(Folder("sent").size(), 2u);
    EXPECT_TRUE(m_log.Contains("Email Sender ended. 2 email(s) sent"));
    EXPECT_EQ(sender.GetSentToday(), 2);

    // Without "EmKeepSentMail" a sent file is deleted; an empty outbox is only logged.
    m_config.m_emKeepSentMail = 0;
    Queue("f@x.test", "Third");
    sender.RunEmailSender();
    EXPECT_TRUE(Folder("outbox").empty());
    EXPECT_EQ(Folder("sent").size(), 2u);
    sender.RunEmailSender();
    EXPECT_TRUE(m_log.Contains("Email Sender ended. No mail to send."));
    EXPECT_EQ(peer.Messages().size(), 3u);
}

// What a mail client shows of a received message (tests/mail/read_mail_headers.py).
std::string AsAClientReadsIt(const SmtpPeer::Message& message, const std::string& folder)
{
    const std::string mail = folder + "/received.eml";
    std::ofstream(mail, std::ios::binary) << message.data;
    const std::string shown = folder + "/shown.txt";
    const char* source = std::getenv("TW_SOURCE_DIR");
    EXPECT_EQ(
        RunProgram({"/usr/bin/python3", std::string(source ? source : ".") + "/tests/mail/read_mail_headers.py", mail},
                   shown),
        0);
    std::ifstream in(shown, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(EmailSenderTest, TextsBeyondAsciiGoOutAsEncodedWordsAndOldOutboxFilesStillGo)
{
    SmtpPeer peer;
    Use(peer);
    CEmailOut mail = Mail("Zo\xC3\xAB <z@x.test>, plain@x.test",
                          "Gr\xC3\xBC\xC3\x9F"
                          "e aus K\xC3\xB6ln \xE2\x9C\x93 "
                          "und noch mehr Text, damit das Wort geteilt werden muss",
                          "Gr\xC3\xBC\xC3\x9F"
                          "e\r\n");
    mail.m_from = "\"M\xC3\xBCller, J\xC3\xBCrgen\" <jm@x.test>";
    mail.AddHeader("Reply-To: J\xC3\xBCrgen <jm@x.test>");
    mail.AddHeader("X-Note: caf\xC3\xA9 =?not-a-word?= here");
    ASSERT_EQ(mail.Send(), 1);
    // An outbox file written before texts were labelled: plain form, 8-bit subject.
    std::ofstream(m_install.Path() + "/mail/outbox/19990101-000000.txt", std::ios::binary)
        << "From: old@x.test\r\nTo: o@x.test\r\nCc: \r\nBcc: \r\nSubject: Alt \xC3\xA4\r\n\r\nalter Text\r\n";

    CEmailSender sender(m_config, m_install.Path());
    sender.RunEmailSender();
    ASSERT_EQ(peer.Messages().size(), 2u);
    const SmtpPeer::Message old = peer.Messages()[0];
    EXPECT_EQ(old.from, "old@x.test");
    EXPECT_EQ(AsAClientReadsIt(old, m_install.Path()),
              "Subject: Alt \xC3\xA4\nFrom:  old@x.test\nTo:  o@x.test\nCharset: None\nBody: alter Text\n");

    const SmtpPeer::Message sent = peer.Messages()[1];
    EXPECT_EQ(sent.from, "jm@x.test") << "the envelope takes the address, not the display name";
    EXPECT_EQ(sent.to, "z@x.test plain@x.test");
    EXPECT_EQ(AsAClientReadsIt(sent, m_install.Path()),
              "Subject: Gr\xC3\xBC\xC3\x9F"
              "e aus K\xC3\xB6ln \xE2\x9C\x93 und noch mehr Text, damit das Wort geteilt "
              "werden muss\n"
              "From: M\xC3\xBCller, J\xC3\xBCrgen jm@x.test\n"
              "To: Zo\xC3\xAB z@x.test;  plain@x.test\n"
              "Reply-To: J\xC3\xBCrgen\n"
              "X-Note: caf\xC3\xA9 =?not-a-word?= here\n"
              "Charset: utf-8\n"
              "Body: Gr\xC3\xBC\xC3\x9F"
              "e\n");
    // Every encoded word keeps to the 75 characters a word may have, and the header lines that
    // hold them are folded to 78.
    const std::string& data = sent.data;
    for (std::size_t at = data.find("=?utf-8?B?"); at != std::string::npos; at = data.find("=?utf-8?B?", at + 1))
        EXPECT_LE(data.find("?=", at + 10) + 2 - at, 75u) << data;
    const std::string head = data.substr(0, data.find("\r\n\r\n") + 2);
    for (size_t start = 0, end; start < head.size(); start = end + 2) {
        end = head.find("\r\n", start);
        EXPECT_LE(end - start, 78u) << head.substr(start, end - start);
    }
}

// The content of a received message's first text part as a mail client decodes it, and its
// transfer encoding (tests/mail/decode_mail_body.py).
std::string AsAClientDecodesIt(const SmtpPeer::Message& message, const std::string& folder, std::string& encoding)
{
    const std::string mail = folder + "/received.eml";
    std::ofstream(mail, std::ios::binary) << message.data;
    const std::string decoded = folder + "/decoded.bin";
    const std::string shown = folder + "/shown.txt";
    const char* source = std::getenv("TW_SOURCE_DIR");
    EXPECT_EQ(RunProgram({"/usr/bin/python3", std::string(source ? source : ".") + "/tests/mail/decode_mail_body.py",
                          mail, decoded},
                         shown),
              0);
    std::getline(std::ifstream(shown), encoding);
    std::ifstream in(decoded, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(EmailSenderTest, LongLinesAndTextsBeyondAsciiArriveByteForByte)
{
    std::string paragraph;
    while (paragraph.size() < 1200)
        paragraph += "A paragraph pasted into a form, with = signs and blanks at the end of words. ";
    paragraph.resize(1200);
    const std::string longLine = paragraph + "\r\n.a line that begins with a dot\r\nthe last line has no line end";
    const std::string accents = "Latin-1: caf\xE9 na\xEFve\r\nUTF-8: Gr\xC3\xBC\xC3\x9F"
                                "e \xE2\x9C\x93\r\n";
    for (bool eightBitMime : {true, false}) {
        SmtpPeer peer(eightBitMime ? std::vector<std::string>{} : std::vector<std::string>{"--no-8bitmime"});
        Use(peer);
        Queue("a@x.test", "Long", longLine);
        Queue("a@x.test", "Accents", accents);
        CEmailOut attached = Mail("a@x.test", "Attached", longLine);
        CSspValue bytes;
        bytes.SetBinary("\x01\x02", 2);
        attached.Attach("a.bin", bytes);
        ASSERT_EQ(attached.Send(), 1);
        CEmailSender(m_config, m_install.Path()).RunEmailSender();
        ASSERT_EQ(Subjects(peer), "Long;Accents;Attached;") << "8BITMIME offered: " << eightBitMime;
        const std::string expected[] = {longLine, accents, longLine};
        for (size_t i = 0; i < 3; ++i) {
            const SmtpPeer::Message message = peer.Messages()[i];
            const std::string& data = message.data;
            std::string encoding;
            EXPECT_EQ(AsAClientDecodesIt(message, m_install.Path(), encoding), expected[i])
                << "8BITMIME offered: " << eightBitMime << "\n"
                << data;
            const bool plain = i == 1 && eightBitMime;
            EXPECT_EQ(encoding, plain ? "8bit" : "quoted-printable") << i;
            for (size_t start = 0, end; start < data.size(); start = end + 2) {
                end = std::min(data.find("\r\n", start), data.size());
                EXPECT_LE(end - start, 998u) << "a line on the wire";
            }
            if (!eightBitMime) {
                const bool ascii = std::all_of(data.begin(), data.end(), [](char c) { return c > 0; });
                EXPECT_TRUE(ascii) << "8-bit bytes to a server that did not offer 8BITMIME\n" << data;
            }
        }
    }
}

TEST_F(EmailSenderTest, LogsInWithAuthLoginOrAuthPlainWithoutLoggingTheCredentials)
{
    m_config.m_emSmtpUserName = "mailer";
    m_config.m_emSmtpPassword = "s3cret-pass";
    m_config.m_logSmtp = 1;
    for (bool plainOnly : {false, true}) {
        std::vector<std::string> options{"--auth", "mailer:s3cret-pass"};
        if (plainOnly)
            options.push_back("--no-login");
        SmtpPeer peer(options);
        Use(peer);
        Queue("a@x.test", "Authenticated");
        CEmailSender(m_config, m_install.Path()).RunEmailSender();
        ASSERT_EQ(peer.Messages().size(), 1u) << "plain only: " << plainOnly;
        EXPECT_EQ(peer.Messages()[0].user, "mailer");
        const std::vector<std::string> commands = peer.Commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "AUTH PLAIN"), plainOnly ? 1 : 0);
    }
    for (const std::string& entry : m_log.Entries()) {
        EXPECT_EQ(entry.find("s3cret"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("czNjcmV0"), std::string::npos) << entry;  // base64 of "s3cret"
        EXPECT_EQ(entry.find("bWFpbGVy"), std::string::npos) << entry;  // base64 of "mailer"
    }
    EXPECT_TRUE(m_log.Contains("(password)"));
}

TEST_F(EmailSenderTest, AServerWithoutEhloGetsHeloAndTheHint)
{
    SmtpPeer peer({"--no-ehlo"});
    Use(peer);
    m_config.m_emSmtpUserName = "mailer";
    Queue("a@x.test", "Plain");
    CEmailSender(m_config, m_install.Path()).RunEmailSender();
    EXPECT_EQ(peer.Messages().size(), 1u);
    EXPECT_EQ(peer.Commands(), (std::vector<std::string>{"EHLO", "HELO", "QUIT"}));
    EXPECT_TRUE(m_log.Contains("Your SMTP server does not require authentication."));
}

TEST_F(EmailSenderTest, AMessageRefusedForGoodIsSetAsideAndOneRefusedForNowWaits)
{
    SmtpPeer peer({"--reject", "nobody", "--refuse-data", "spam", "--defer-data", "later"});
    Use(peer);
    Queue("a@x.test, nobody@x.test, c@x.test", "Partly");
    Queue("nobody@x.test, nobody.else@x.test", "Nobody");
    Queue("spam@x.test", "Spam");
    Queue("later@x.test", "Later");
    Queue("b@x.test", "Accepted");
    CEmailSender sender(m_config, m_install.Path());
    sender.RunEmailSender();
    EXPECT_EQ(Subjects(peer), "Partly;Accepted;");
    EXPECT_EQ(peer.Messages()[0].to, "a@x.test c@x.test") << "one wrong address keeps it from no one else";
    EXPECT_EQ(Folder("failed").size(), 2u);
    EXPECT_EQ(Folder("outbox").size(), 2u) << "the one refused for now waits, beside the report";
    // The failed file whose subject is given, named as the log and the report name it.
    auto failed = [this](const std::string& subject) {
        for (const std::string& name : Folder("failed")) {
            std::ifstream in(m_install.Path() + "/mail/failed/" + name, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (text.find("Subject: " + subject + "\r\n") != std::string::npos)
                return "Failed to send " + m_install.Path() + "/mail/outbox/" + name + ": ";
        }
        return std::string("no failed file for ") + subject;
    };
    const std::string moved = ". It was moved to the folder \"failed\".";
    const std::string spam = failed("Spam") + "DATA answered 550 5.7.1 message refused" + moved;
    const std::string nobody = failed("Nobody") +
                               "RCPT To: <nobody@x.test> answered 550 no such user; RCPT To: <nobody.else@x.test> "
                               "answered 550 no such user" +
                               moved;
    const std::string partly = "to one of its recipients: RCPT To: <nobody@x.test> answered 550 no such user.";
    for (const std::string& line : {spam, nobody, partly})
        EXPECT_TRUE(m_log.Contains(line)) << line;
    EXPECT_TRUE(m_log.Contains("end of data answered 451 4.3.0 try again later. It stays in the outbox."));

    // The next run delivers the report and does not try the refused messages again.
    sender.RunEmailSender();
    EXPECT_EQ(Subjects(peer), "Partly;Accepted;Email Sender error;");
    const std::string report = peer.Messages()[2].data;
    for (const std::string& line : {spam, nobody, partly})
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    EXPECT_EQ(Folder("failed").size(), 2u);
    EXPECT_EQ(Folder("outbox").size(), 1u);

    // A server that wants a login the client cannot give refuses MAIL: the site has to mend that,
    // and the message waits.
    SmtpPeer guarded({"--auth", "mailer:right"});
    Use(guarded);
    m_config.m_emSmtpUserName = "mailer";
    m_config.m_emSmtpPassword = "wrong";
    sender.RunEmailSender();
    EXPECT_TRUE(guarded.Messages().empty());
    EXPECT_EQ(Folder("outbox").size(), 1u);
    EXPECT_TRUE(m_log.Contains("535"));
}

TEST_F(EmailSenderTest, A505ToMailOrASlowServerEndsTheRunAndLeavesTheFiles)
{
    Queue("a@x.test", "One");
    Queue("b@x.test", "Two");
    {
        SmtpPeer peer({"--refuse-mail-505"});
        Use(peer);
        CEmailSender(m_config, m_install.Path()).RunEmailSender();
        EXPECT_EQ(peer.Commands(), (std::vector<std::string>{"EHLO", "RSET", "QUIT"})) << "one MAIL, then the end";
        EXPECT_EQ(Folder("outbox").size(), 2u);
    }
    SmtpPeer slow({"--data-delay", "5"});
    Use(slow);
    m_config.m_smtpTimeout = 1;
    const auto start = std::chrono::steady_clock::now();
    CEmailSender(m_config, m_install.Path()).RunEmailSender();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
    EXPECT_TRUE(m_log.Contains("Your SMTP server is not responding to connect or data."));
    EXPECT_EQ(Folder("outbox").size(), 2u) << "no answer: the message may not have gone, so it stays";
    EXPECT_TRUE(m_log.Contains("Email Sender ended. 0 email(s) sent"));
}

TEST_F(EmailSenderTest, AServerThatIsNotThereLeavesTheOutboxAlone)
{
    // A port that was just free: nothing listens there.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(probe);
    m_config.m_emSmtpPort = std::to_string(ntohs(address.sin_port));
    Queue("a@x.test", "Waiting");
    CEmailSender(m_config, m_install.Path()).RunEmailSender();
    EXPECT_TRUE(
        m_log.Contains("Email Sender ended. Failed to connect to SMTP server 127.0.0.1:" + m_config.m_emSmtpPort));
    EXPECT_EQ(Folder("outbox").size(), 1u);
}

TEST_F(EmailSenderTest, AtMostTheDailyLimitPlusOneLeaveADay)
{
    SmtpPeer peer;
    Use(peer);
    m_config.m_emMaxEmailOut = 2;
    for (int i = 0; i < 5; ++i)
        Queue("a@x.test", "M" + std::to_string(i));
    std::time_t now = MakeLocalTime(2024, 3, 5, 10, 0, 0);
    CEmailSender sender(m_config, m_install.Path());
    sender.SetClock([&now] { return now; });
    sender.RunEmailSender();
    EXPECT_EQ(Subjects(peer), "M0;M1;M2;");
    EXPECT_TRUE(m_log.Contains("Maximum number of outgoing emails has exceeded 2."));
    EXPECT_EQ(Folder("outbox").size(), 2u);

    now += 3600;
    sender.RunEmailSender();
    EXPECT_TRUE(m_log.Contains("Maximum number of outgoing emails per day reached."));
    EXPECT_EQ(peer.Messages().size(), 3u);

    now += 24 * 3600;
    sender.RunEmailSender();
    EXPECT_EQ(Subjects(peer), "M0;M1;M2;M3;M4;");
    EXPECT_EQ(sender.GetSentToday(), 2);
}

TEST_F(EmailSenderTest, ErrorsOfARunAreMailedToTheAdministrator)
{
    SmtpPeer peer;
    Use(peer);
    // First in the outbox a file the server cannot read (it runs under another account, or the
    // tests run as root, whom no mode stops: then a folder with an outbox name). Then a file
    // without recipient, as a hand-made or older outbox file may be, and one whose header never
    // ends: all its lines are header lines and it has no body.
    const std::string outbox = m_install.Path() + "/mail/outbox/";
    std::filesystem::create_directories(outbox);
    const std::string unreadable = outbox + "20231231-000000.txt";
    if (::geteuid() == 0) {
        std::filesystem::create_directory(unreadable);
    } else {
        std::ofstream(unreadable) << "To: u@x.test\r\n\r\nsecret\r\n";
        std::filesystem::permissions(unreadable, std::filesystem::perms::none);
    }
    const std::string orphan = outbox + "20240101-000000.txt";
    std::ofstream(orphan, std::ios::binary) << "From: x@x.test\r\nTo: \r\nSubject: Lost\r\n\r\nBody\r\n";
    std::ofstream(outbox + "20240101-000001.txt", std::ios::binary)
        << "To: h@x.test\r\nSubject: Head\r\nX-Only: header";
    CEmailSender sender(m_config, m_install.Path());
    sender.RunEmailSender();
    ASSERT_EQ(peer.Messages().size(), 1u) << "the files after the unreadable one still go";
    EXPECT_TRUE(peer.Messages()[0].data.ends_with("X-Only: header\r\n\r\n")) << peer.Messages()[0].data;
    const std::string named = "Email Sender failed to open file in outbox: " + unreadable + ". Error [";
    EXPECT_TRUE(m_log.Contains(named));
    const std::string lost = "Failed to send " + orphan + ": it has no recipient. It was moved to the folder";
    EXPECT_TRUE(m_log.Contains(lost));
    EXPECT_EQ(Folder("failed").size(), 1u);
    // The report waits in the outbox beside the file that could not be read; the next run delivers
    // it, and names that file in the log again but not in a second mail.
    EXPECT_EQ(Folder("outbox").size(), 2u);
    sender.RunEmailSender();
    ASSERT_EQ(peer.Messages().size(), 2u);
    const SmtpPeer::Message report = peer.Messages()[1];
    EXPECT_EQ(report.to, "admin@site.test");
    EXPECT_NE(report.data.find("Subject: Email Sender error\r\n"), std::string::npos);
    EXPECT_NE(report.data.find(named), std::string::npos) << report.data;
    EXPECT_NE(report.data.find(lost), std::string::npos) << report.data;
    EXPECT_EQ(Folder("outbox").size(), 1u) << "no new report";

    // Without an administrator's address nothing is sent, and the report is still written.
    m_config.m_emAdminEmail.clear();
    const size_t waiting = Folder("outbox").size();
    sender.RunEmailSender();
    EXPECT_TRUE(m_log.Contains("Email Sender ended with error: Administrator's email address has not been set."));
    EXPECT_EQ(Folder("outbox").size(), waiting + 1);
}

TEST(SmtpDateHeader, FollowsTheLocalZoneWithASignedOffset)
{
    const std::time_t noonUtc = 1704110400;  // Mon, 01 Jan 2024 12:00:00 UTC
    ::setenv("TZ", "<+0530>-5:30", 1);
    ::tzset();
    EXPECT_EQ(CSmtpClient::FormatDateHeader(noonUtc), "Date: Mon, 01 Jan 2024 17:30:00 +0530\r\n");
    ::setenv("TZ", "<-0030>0:30", 1);
    ::tzset();
    EXPECT_EQ(CSmtpClient::FormatDateHeader(noonUtc), "Date: Mon, 01 Jan 2024 11:30:00 -0030\r\n");
}

}  // namespace
