#include "mail/email_out.h"

#include "foundation/server_config.h"
#include "language/ssp_app.h"
#include "language/ssp_declared_kind.h"
#include "mail/mail_store.h"
#include "tests/language/script_runner.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::string kHead = "From: admin@site.test\r\nTo: a@x.test\r\nCc: \r\nBcc: \r\nSubject: S\r\n";
const std::string kBoundary = CEmailOut::kBoundary;

class EmailOutTest : public ScriptTest
{
protected:
    EmailOutTest() : m_config(m_install.Path() + "/etc/settings.conf", m_install.Path())
    {
        m_config.m_emAdminEmail = "admin@site.test";
        m_config.m_mimeTextEncoding = "utf-8";
        m_config.m_mimeMap = {{"txt", "text/plain"}, {"*", "application/x-any"}};
        RegisterEmailOutObjects(TheSspApp(), m_config, m_install.Path());
    }
    ~EmailOutTest() override
    {
        RegisterDeclaredKind(kEmailOutObject, nullptr);
        TheSspApp().SetMailQueue({});
    }
    // The outbox files' contents, oldest first.
    std::vector<std::string> Outbox() const
    {
        std::vector<std::string> paths;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(m_install.Path() + "/mail/outbox", error))
            paths.push_back(entry.path().string());
        std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
            return MailFileOrder(std::filesystem::path(a).filename().string()) <
                   MailFileOrder(std::filesystem::path(b).filename().string());
        });
        std::vector<std::string> contents;
        for (const std::string& path : paths) {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            contents.push_back(text.str());
        }
        return contents;
    }
    // Runs a script that declares `m` with the given settings, sends it and writes the result and
    // the content type it went with.
    std::string Send(const std::string& settings)
    {
        return Output("email_out m; m.SetVar('to', 'a@x.test'); m.SetVar('subject', 'S'); " + settings +
                      " write m.Send() + '|' + m.contentType;");
    }

    TempFolder m_install{"tw-emailout"};
    CServerConfig m_config;
    CLogCapture m_log;
};

TEST_F(EmailOutTest, TextWithoutAContentTypeIsLabelledAndOtherTypesStayPlain)
{
    EXPECT_EQ(Output("email_out m; m.SetVar('subject', 'Hi'); m.SetVar('CONTENT', 'Body');"
                     "write m.Send() + '|' + m.to + '|' + m.From + '|' + m.contentType;"),
              "1|admin@site.test|admin@site.test|text/plain");
    // Any type but text/plain and text/html, without attachments and encoding, stays plain.
    EXPECT_EQ(Send("m.SetVar('contentType', 'application/x-foo'); m.SetVar('content', 'Line');"),
              "1|application/x-foo");
    // A site without a text encoding setting labels its text utf-8.
    m_config.m_mimeTextEncoding.clear();
    EXPECT_EQ(Send("m.SetVar('content', 'Gr\xC3\xBC\xC3\x9F');"), "1|text/plain");
    EXPECT_EQ(Outbox(), (std::vector<std::string>{
                            "From: admin@site.test\r\nTo: admin@site.test\r\nCc: \r\nBcc: \r\nSubject: Hi\r\n"
                            "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"utf-8\"\r\n"
                            "Content-Transfer-Encoding: 8bit\r\n\r\n"
                            "Error: Intended receiver has no email address\r\nBody",
                            kHead + "\r\nLine",
                            kHead + "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"utf-8\"\r\n"
                                    "Content-Transfer-Encoding: 8bit\r\n\r\nGr\xC3\xBC\xC3\x9F"}));
}

TEST_F(EmailOutTest, SinglePartAndMultipartForms)
{
    EXPECT_EQ(Send("m.SetVar('contentType', 'TEXT/HTML'); m.SetVar('contentTransferEncoding', 'Base64');"
                   "m.SetVar('content', 'hello');"),
              "1|TEXT/HTML");
    EXPECT_EQ(Send("m.AddHeader('X-Tag: 1'); m.SetVar('content', 'Body'); m.attach('notes', 'abc');"
                   "m.attach('a.TXT', 'xyz');"),
              "1|text/plain");
    const std::vector<std::string> files = Outbox();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], kHead + "MIME-Version: 1.0\r\nContent-Type: TEXT/HTML; charset=\"utf-8\"\r\n"
                                "Content-Transfer-Encoding: Base64\r\n\r\naGVsbG8=");
    EXPECT_EQ(files[1], kHead + "X-Tag: 1\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"" +
                            kBoundary + "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + kBoundary +
                            "\r\nContent-Type: text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: 8bit\r\n"
                            "\r\nBody\r\n--" +
                            kBoundary +
                            "\r\nContent-Type: application/x-any;\r\n\tname=\"notes\"\r\n"
                            "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
                            "\tfilename=\"notes\"\r\n\r\nYWJj\r\n--" +
                            kBoundary +
                            "\r\nContent-Type: text/plain;\r\n\tname=\"a.TXT\"\r\n"
                            "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
                            "\tfilename=\"a.TXT\"\r\n\r\neHl6\r\n--" +
                            kBoundary + "--\r\n");

    // Without a "*" entry an unknown extension is application/octet-stream.
    m_config.m_mimeMap.erase("*");
    EXPECT_EQ(CEmailOut(m_config, m_install.Path()).AttachmentContentType("x.zip"), "application/octet-stream");
}

TEST_F(EmailOutTest, ScriptsCannotAddHeaderLinesThroughValues)
{
    EXPECT_EQ(Output("email_out m; m.SetVar('to', 'a@x.test\\r\\nBcc: spy@x.test');"
                     "m.SetVar('subject', 'S\\r\\nBcc: spy@x.test\\r\\n\\r\\nfake body'); m.AddHeader('');"
                     "m.AddHeader('X-A: 1\\nX-B: 2'); m.SetVar('content', 'Body'); write m.Send();"),
              "1");
    EXPECT_EQ(Outbox(),
              (std::vector<std::string>{
                  "From: admin@site.test\r\nTo: a@x.test  Bcc: spy@x.test\r\nCc: \r\nBcc: \r\n"
                  "Subject: S  Bcc: spy@x.test    fake body\r\nX-A: 1 X-B: 2\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\nBody"}));
}

TEST_F(EmailOutTest, DoNotSendToBlocksAnyRecipientInAnyCase)
{
    EXPECT_EQ(Send("m.SetVar('bcc', 'x@x.test; Boss@Site.TEST'); m.SetVar('DoNotSendTo', 'boss@site.test');"), "0|");
    EXPECT_TRUE(Outbox().empty());
    EXPECT_TRUE(m_log.Contains("The following email can not be sent back to boss@site.test because you've set it "
                               "in DoNotSendTo: S"));
    EXPECT_EQ(Send("m.SetVar('bcc', 'boss@site.test.other'); m.SetVar('DoNotSendTo', 'boss@site.test');"),
              "1|text/plain");
}

TEST_F(EmailOutTest, MemberErrorsAndRedeclaration)
{
    EXPECT_EQ(Failure("email_out m; write m.nothing;"), "Unknown Email_Out field: nothing");
    EXPECT_EQ(Failure("email_out m; m.SetVar('reply', 'x');"), "Unknown Email_Out field: reply");
    EXPECT_EQ(Failure("email_out m; m.AddHeader();"), "Missing parameter for AddHeader.");
    EXPECT_EQ(Failure("email_out m; m.attach('a');"), "Missing parameter.attach");
    EXPECT_EQ(Failure("datetime m(2004, 1, 1); email_out M;"),
              "The variable or function name has been used. Please choose another one: M");
    // The arguments are not evaluated (an unknown object would fail), and a declaration that
    // runs again starts its object afresh.
    EXPECT_EQ(Output("Local.i = 0; while (Local.i < 2) email_out m(Nobody.here); write '[' + m.subject + ']';"
                     "m.SetVar('subject', 'S'); m.attach('a', 'b'); Local.i = Local.i + 1; endwhile"),
              "[][]");
}

TEST_F(EmailOutTest, ServerSendMailQueuesAMessageFromTheAdministrator)
{
    CServerConfig& settings = TheServerConfig();
    settings.m_emSmtpServer = "smtp.site.test";
    settings.m_emAdminEmail = "admin@site.test";
    EXPECT_EQ(Output("write Server.SendMail('a@x.test', 'S', 'Note');"), "1");
    EXPECT_EQ(Outbox(),
              (std::vector<std::string>{kHead + "MIME-Version: 1.0\r\nContent-Type: text/plain; "
                                                "charset=\"utf-8\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\nNote"}));
}

}  // namespace
