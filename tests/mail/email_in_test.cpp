// The email_in object as scripts use it: stepping through a mailbox folder, loading fields once,
// attachments, moves and deletions, the mailbox folder's name, and a whole fetch from dovecot.
#include "mail/email_in.h"

#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "language/ssp_declared_kind.h"
#include "pop3_test_server.h"
#include "tests/language/script_runner.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

class EmailInTest : public ScriptTest
{
protected:
    EmailInTest()
    {
        config.m_pop3Timeout = 10;
        RegisterEmailInObjects(config, install.Path());
    }
    ~EmailInTest() override { RegisterDeclaredKind(kEmailInObject, nullptr); }

    std::string Store(const std::string& folder, const std::string& name, const std::string& text)
    {
        std::filesystem::create_directories(install.Path() + "/mail/" + folder);
        const std::string path = install.Path() + "/mail/" + folder + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::vector<std::string> Files(const std::string& folder) const
    {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(install.Path() + "/mail/" + folder, error))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    CServerConfig config;
    TempFolder install{"tw-email-in"};
};

std::string MailText(const std::string& subject, const std::string& body = "body\r\n")
{
    return "From: a@example.org\r\nSubject: " + subject + "\r\n\r\n" + body;
}

}  // namespace

TEST_F(EmailInTest, ALoopVisitsEveryStoredMessageOnceInArrivalOrderAndEmptiesTheFolder)
{
    for (const char* suffix : {"", "-1", "-2", "-10"})
        Store("box", std::string("20240102-030405") + suffix + ".eml", MailText(std::string("s") + suffix));
    Store("box", "notes.txt", "not a message");
    CLogCapture log;
    EXPECT_EQ(Output("email_in m; m.SetVar('Address', 'box');\n"
                     "while (m.FetchMail()) write m.subject + '|'; m.DeleteMail(); endwhile\n"
                     "write m.FetchMail();"),
              "s|s-1|s-2|s-10|0");
    // Without a host nothing is fetched, and what is stored is read all the same.
    EXPECT_TRUE(log.Contains("Email_In.Pop3Host has not been set yet."));
    EXPECT_EQ(Files("box"), std::vector<std::string>{"notes.txt"});
}

TEST_F(EmailInTest, FieldsAreReadOnceAndTheNextMessageIsReadOnItsFirstField)
{
    const std::string first = Store("box", "20240102-030405.eml", MailText("first"));
    Store("box", "20240102-030405-1.eml", MailText("second"));
    CEmailIn email(config, install.Path());
    email.SetSetting("address", "box");
    auto get = [&email](const char* member) {
        CSspCall call;
        call.m_member = member;
        CSspValue result;
        email.CallMember(call, result);
        return result.ToString();
    };
    EXPECT_EQ(get("FetchMail"), "1");
    EXPECT_EQ(get("Subject"), "first");
    std::ofstream(first, std::ios::binary) << MailText("rewritten");
    EXPECT_EQ(get("SUBJECT"), "first");
    EXPECT_EQ(get("FileName"), first);
    EXPECT_EQ(get("size"), std::to_string(MailText("rewritten").size()));
    EXPECT_EQ(get("FetchMail"), "1");
    EXPECT_EQ(get("subject"), "second");
    // After the last message the listing starts again: what was not deleted is met once more.
    EXPECT_EQ(get("FetchMail"), "0");
    EXPECT_EQ(get("FetchMail"), "1");
    EXPECT_EQ(get("subject"), "rewritten");
}

TEST_F(EmailInTest, AttachmentsAreSteppedThroughAndWrongUseRaisesItsText)
{
    Store("box", "20240102-030405.eml",
          "Subject: with files\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n\r\ntext\r\n"
          "--b\r\nContent-Type: text/plain; name=\"a.txt\"\r\n\r\nalpha\r\n"
          "--b\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"b.bin\"\r\n\r\n"
          "AAEC\r\n--b--\r\n");
    const std::string open = "email_in m; m.SetVar('address', 'box'); m.FetchMail();";
    EXPECT_EQ(Output(open + "write m.AttachmentCount + '|' + m.AttachName + m.AttachSize;"
                            "while (m.GetAttachment()) write '|' + m.AttachName + ':' + m.AttachSize; endwhile;"
                            "write '|' + m.GetAttachment() + m.AttachName;"),
              "2|0|a.txt:7|b.bin:3|0");
    EXPECT_EQ(Failure(open + "write m.AttachData;"), CMessageCatalog::Text(27));
    EXPECT_EQ(Failure(open + "write m.nosuch;"), std::string(CMessageCatalog::Text(68)) + "nosuch");
    EXPECT_EQ(Failure(open + "m.SetVar('subject', 'x');"), std::string(CMessageCatalog::Text(68)) + "subject");
    EXPECT_EQ(Failure(open + "m.fetch();"), CMessageCatalog::Text(29));
    EXPECT_EQ(Failure(open + "m.MoveToFolder();"), "Missing parameter.");
    EXPECT_EQ(Output("email_in m; write m.size + '|' + m.FileName + '|' + m.Pop3Port;"), "0||110");

    // The bytes of the current attachment come as a binary value of their own.
    CEmailIn email(config, install.Path());
    email.SetSetting("Address", "box");
    CSspCall call;
    CSspValue result;
    for (const char* member : {"FetchMail", "GetAttachment", "GetAttachment", "AttachData"}) {
        call.m_member = member;
        email.CallMember(call, result);
    }
    EXPECT_EQ(result.m_text, std::string("\0\1\2", 3));
}

TEST_F(EmailInTest, MovesStayInsideTheMailStore)
{
    const std::string first = Store("box", "20240102-030405.eml", MailText("one"));
    Store("box", "20240102-030406.eml", MailText("two"));
    EXPECT_EQ(Output("email_in m; m.SetVar('address', 'box');\n"
                     "m.FetchMail(); write m.MoveToFolder('../outside') + '|' + m.MoveToFolder('archive');\n"
                     "m.FetchMail(); write '|' + m.MoveToDeleted();"),
              "0|1|1");
    EXPECT_TRUE(Files("box").empty());
    EXPECT_EQ(Files("archive"), std::vector<std::string>{"20240102-030405.eml"});
    EXPECT_EQ(Files("deleted"), std::vector<std::string>{"20240102-030406.eml"});
    EXPECT_FALSE(std::filesystem::exists(install.Path() + "/outside"));
    EXPECT_FALSE(std::filesystem::exists(install.Path() + "/mail/outside"));
}

TEST_F(EmailInTest, TheMailboxFolderIsNamedAfterTheAccountAndNeverLeavesTheStore)
{
    CEmailIn email(config, install.Path());
    email.SetSetting("Username", "dept/jim");
    email.SetSetting("Pop3Host", "pop.example.org");
    EXPECT_EQ(email.MailboxFolderName(), "dept@pop.example.org");
    email.SetSetting("Address", "jim@example.org");
    EXPECT_EQ(email.MailboxFolderName(), "jim@example.org");
    // A new user name starts the object afresh, Address included.
    email.SetSetting("Username", "other");
    EXPECT_EQ(email.MailboxFolderName(), "other@pop.example.org");

    CLogCapture log;
    email.SetSetting("Pop3Host", "../../etc");
    EXPECT_EQ(email.FetchMail(), -1);
    EXPECT_EQ(email.NextMail(), 0);
    EXPECT_FALSE(log.Contains("Connecting"));
    EXPECT_FALSE(std::filesystem::exists(install.Path() + "/etc"));
}

TEST_F(EmailInTest, AScriptFetchesItsAccountFromAPop3ServerOnceAndReadsEachMessage)
{
    Pop3TestServer server;
    ASSERT_TRUE(server.Deliver("dave", MailText("hello")));
    ASSERT_TRUE(server.Deliver("dave", MailText("world")));
    ASSERT_TRUE(server.Deliver("erin", MailText("for erin")));
    const std::string port = std::to_string(server.Port());
    // Two arguments are not the account: the host stays empty and nothing is fetched.
    EXPECT_EQ(Output("email_in m('127.0.0.1', 'dave'); write m.Pop3Host + m.FetchMail();"), "0");
    EXPECT_EQ(Output("email_in m('127.0.0.1', 'dave', 'secret'); m.SetVar('Pop3Port', " + port +
                     ");\n"
                     "while (m.FetchMail()) write m.subject + '|'; m.DeleteMail(); endwhile\n"
                     "m.SetVar('Username', 'erin');\n"
                     "while (m.FetchMail()) write m.subject + '|'; endwhile"),
              "hello|world|for erin|");
    EXPECT_EQ(server.CountMessages("dave"), 0);
    EXPECT_EQ(server.CountMessages("erin"), 0);
    EXPECT_TRUE(Files("dave@127.0.0.1").empty());
    EXPECT_EQ(Files("erin@127.0.0.1").size(), 1u);
}
