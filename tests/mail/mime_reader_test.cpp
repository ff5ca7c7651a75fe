// The MIME reader on messages built by Python's email package (tests/mail/make_mime_messages.py)
// and on hand-made broken ones: header fields, text and HTML bodies, attachments and the limits
// that end the reading of a hostile message.
#include "mail/email_in.h"

#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "tests/support/log_capture.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

class MimeReaderTest : public ::testing::Test
{
protected:
    MimeReaderTest()
    {
        // Two extensions for text/plain: the table's own order decides, not the names' order.
        for (auto [extension, type] : {std::pair{"htm", "text/html"},
                                       {"txt", "text/plain"},
                                       {"bas", "text/plain"},
                                       {"png", "image/png"},
                                       {"pdf", "application/pdf"},
                                       {"*", "application/octet-stream"}}) {
            config.m_mimeMap[extension] = type;
            config.m_mimeOrder.push_back(extension);
        }
    }

    // Builds the Python-made messages into the folder (once per test).
    void MakeMessages()
    {
        const char* source = std::getenv("TW_SOURCE_DIR");
        ASSERT_EQ(RunProgram({"/usr/bin/python3",
                              std::string(source ? source : ".") + "/tests/mail/make_mime_messages.py", folder.Path()},
                             folder.Path() + "/python.log"),
                  0);
    }

    std::string Write(const std::string& name, const std::string& text)
    {
        const std::string path = folder.Path() + "/" + name + ".eml";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    CEmailIn& Load(const std::string& name)
    {
        email.SetCurrentFile(folder.Path() + "/" + name + ".eml");
        email.LoadMessage();
        return email;
    }

    std::string Field(const char* member)
    {
        CSspCall call;
        call.m_object = "m";
        call.m_member = member;
        CSspValue result;
        email.CallMember(call, result);
        return result.ToString();
    }

    static std::string Bytes(const CEmailAttachment& attachment)
    {
        return std::string(attachment.data.begin(), attachment.data.end());
    }

    CServerConfig config;
    TempFolder folder{"tw-mime"};
    CEmailIn email{config, folder.Path()};
};

}  // namespace

TEST_F(MimeReaderTest, AlternativePartsGiveTextAndHtmlAndTheHeaderGivesItsFields)
{
    MakeMessages();
    Load("alternative");
    EXPECT_EQ(email.From(), "jane.doe@example.org");
    EXPECT_EQ(email.FromName(), "Doe, Jane");
    EXPECT_EQ(email.To(), "one@example.org, two@example.org, three@example.org");
    EXPECT_EQ(email.Cc(), "copy@example.org");
    EXPECT_EQ(email.Subject(), "Weekly report");
    EXPECT_EQ(email.Priority(), "1");
    EXPECT_EQ(Field("XMailer"), "ReportBot 2.1");
    EXPECT_EQ(Field("xloop"), "reports@example.org");
    EXPECT_EQ(email.Content(), "Plain text body.\r\nSecond line.");
    EXPECT_EQ(email.HtmlContent(), "\r\n<p>Hello</p>\r\n");
    EXPECT_TRUE(email.Attachments().empty());
    // The raw top block, folded lines as they stand, and nothing of the body.
    EXPECT_EQ(email.Headers().rfind("From: \"Doe, Jane\" <jane.doe@example.org>\r\n", 0), 0u);
    EXPECT_NE(email.Headers().find("multipart/alternative;\r\n boundary=\"="), std::string::npos);
    EXPECT_EQ(email.Headers().find("Plain text"), std::string::npos);
}

TEST_F(MimeReaderTest, NestedPartsDecodeAndAttachmentsKeepOrderBytesAndSafeNames)
{
    MakeMessages();
    Load("mixed_nested");
    EXPECT_EQ(email.From(), "bare@example.org");
    EXPECT_EQ(email.FromName(), "Bare Comment");
    EXPECT_EQ(email.Content(), "Caf\xC3\xA9 cr\xC3\xA8me, a line long enough that quoted-printable must wrap it: " +
                                   std::string(70, 'x') + "\r\nlast =line");
    EXPECT_EQ(email.HtmlContent(), "<p>Caf\xC3\xA9</p>");

    const auto& attachments = email.Attachments();
    ASSERT_EQ(attachments.size(), 5u);
    // Paths in names are cut to their last part, so a script that saves by name stays in its folder.
    EXPECT_EQ(attachments[0].name, "passwd");
    EXPECT_EQ(Bytes(attachments[0]), "root:x:0:0\n");
    EXPECT_EQ(attachments[1].name, "shot.png");
    ASSERT_EQ(attachments[1].data.size(), 1024u);
    for (size_t i = 0; i < attachments[1].data.size(); ++i)
        ASSERT_EQ(attachments[1].data[i], i % 256) << i;
    // Parameters in the extended form (filename*=) are not read: the type names the file.
    EXPECT_EQ(attachments[2].name, "Unknown.pdf");
    EXPECT_EQ(Bytes(attachments[2]), "%PDF-1.4\n");
    EXPECT_EQ(attachments[3].name, "Unknown.txt");
    EXPECT_EQ(Bytes(attachments[3]), "second plain part\r\n\r\n");
    EXPECT_EQ(attachments[4].name, "Unknown.eml");
    EXPECT_EQ(Bytes(attachments[4]).rfind("Subject: inner\r\n", 0), 0u);
    EXPECT_NE(Bytes(attachments[4]).find("\r\n\r\ninner body\r\n"), std::string::npos);
}

TEST_F(MimeReaderTest, RelatedHtmlKeepsItsInlineImageUnderTheTypesName)
{
    MakeMessages();
    Load("related");
    EXPECT_EQ(email.FromName(), "Related");
    EXPECT_EQ(email.Content(), "");
    EXPECT_EQ(email.HtmlContent(), "see <img src=\"cid:logo\">");
    ASSERT_EQ(email.Attachments().size(), 1u);
    EXPECT_EQ(email.Attachments()[0].name, "logo.gif");
    EXPECT_EQ(Bytes(email.Attachments()[0]), std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00,", 14));
}

TEST_F(MimeReaderTest, EncodedWordsOfEveryCharsetAreDecodedIntoTheSiteEncoding)
{
    MakeMessages();
    Load("encoded_subjects");
    // Words folded over three lines join without the folding blanks; "_" is a blank, "=5F" not.
    EXPECT_EQ(email.Subject(), "Gr\xC3\xBC\xC3\x9F"
                               "e aus K\xC3\xB6ln, viele Gr\xC3\xBC\xC3\x9F"
                               "e und noch mehr Text damit die Zeile gefaltet wird_x");
    EXPECT_EQ(email.FromName(), "J\xC3\xBCrgen M\xC3\xBCller");
    EXPECT_EQ(email.From(), "jm@example.org");
    EXPECT_EQ(email.Priority(), "3");
    Load("utf8_subject");
    EXPECT_EQ(email.Subject(), "\xC3\xA9t\xC3\xA9 \xE2\x9C\x93");
    EXPECT_EQ(email.Priority(), "");
    Load("b_subject");
    EXPECT_EQ(email.Subject(), "Ol\xC3\xA9");

    // Charset names and encoding letters in any case; blanks between two words go, blanks
    // between a word and plain text stay; an unknown letter or charset leaves its word as it is.
    Write("cases", "From: =?UTF-8?B?Wm/Dqw==?= <z@example.org>\r\n"
                   "Subject: =?ISO-8859-1?Q?caf=E9?= =?Utf-8?q?_cr=C3=A8me?= and =?iso-8859-15?B?pA==?= "
                   "=?x-no-such-charset?Q?a?= =?iso-8859-1?X?y?= end\r\n\r\nbody\r\n");
    Load("cases");
    EXPECT_EQ(email.FromName(), "Zo\xC3\xAB");
    EXPECT_EQ(email.Subject(), "caf\xC3\xA9 cr\xC3\xA8me and \xE2\x82\xAC =?x-no-such-charset?Q?a?= "
                               "=?iso-8859-1?X?y?= end");

    // A site in ISO-8859-1 gets its own bytes; a word it cannot hold stays encoded.
    config.m_mimeTextEncoding = "ISO-8859-1";
    Write("latin", "Subject: =?utf-8?q?caf=C3=A9?= =?utf-8?b?4pyT?=\r\n\r\nbody\r\n");
    Load("latin");
    EXPECT_EQ(email.Subject(), "caf\xE9 =?utf-8?b?4pyT?=");
}

TEST_F(MimeReaderTest, SinglePartBase64BodyAndDefaults)
{
    MakeMessages();
    Load("single_base64");
    std::string expected;
    for (int i = 0; i < 20; ++i)
        expected += "\xC3\x9C"
                    "berall Text.\n";
    expected.pop_back();
    EXPECT_EQ(email.Content(), expected);
    EXPECT_EQ(email.FromName(), "b64");
    EXPECT_EQ(email.Priority(), "3");
    EXPECT_EQ(email.HtmlContent(), "");

    Write("bare", "Subject: Hello\r\n World\r\n\r\n<no from>\r\n");
    Load("bare");
    EXPECT_EQ(email.Subject(), "Hello World");
    EXPECT_EQ(email.From(), "Unknown");
    EXPECT_EQ(email.Content(), "<no from>");
}

TEST_F(MimeReaderTest, AddressesAndHeaderParameters)
{
    std::string name;
    EXPECT_EQ(CEmailIn::ExtractAddress("<a@b.org>", name), "a@b.org");
    EXPECT_EQ(name, "a");
    EXPECT_EQ(CEmailIn::ExtractAddress("John<john@x.org>", name), "john@x.org");
    EXPECT_EQ(name, "John");
    EXPECT_EQ(CEmailIn::ExtractAddress("  [x@y]  ", name), "x@y");
    EXPECT_EQ(CEmailIn::ExtractAddress("justname", name), "justname");
    EXPECT_EQ(name, "justname");
    EXPECT_EQ(FormatAddressList(" \"a, b\" <a@b>; ;c@d (C)"), "a@b, c@d");
    EXPECT_EQ(GetHeaderParam("Content-Type: text/plain; NAME=\" a b.txt \"", "name"), "a b.txt");
    EXPECT_EQ(GetHeaderParam("Content-Type: multipart/mixed; boundary=xyz", "boundary"), "xyz");
    EXPECT_EQ(GetHeaderParam("Content-Type: text/plain", "name"), "");
    EXPECT_EQ(GetMediaType("Content-Type:  Text/HTML ; charset=x"), "Text/HTML");
}

TEST_F(MimeReaderTest, BrokenMessagesEndTheReadingAndKeepWhatCameBefore)
{
    CLogCapture log;
    const std::string boundary = "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n";
    const std::string tooLong =
        Write("qp", boundary +
                        "--B\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                        "first\r\n" +
                        std::string(81, 'q') + "\r\n--B\r\nContent-Type: image/png\r\n\r\nx\r\n--B--\r\n");
    Load("qp");
    EXPECT_EQ(email.Content(), "first");
    EXPECT_TRUE(email.Attachments().empty());
    EXPECT_TRUE(log.Contains(tooLong + " lines too long."));

    Write("noboundary", "Content-Type: multipart/mixed\r\n\r\ntext\r\n");
    Load("noboundary");
    EXPECT_EQ(email.Content(), "");
    EXPECT_TRUE(log.Contains("Multipart message without boundary"));

    Write("nohtmlend", "Content-Type: text/html\r\n\r\n<html><body>\r\nabc\r\n");
    Load("nohtmlend");
    EXPECT_EQ(email.HtmlContent(), "\r\nabc");

    EXPECT_THROW(
        {
            try {
                email.SetCurrentFile(folder.Path() + "/missing.eml");
                email.LoadMessage(7);
            } catch (const CSspException& error) {
                EXPECT_EQ(error.GetMessage(), CMessageCatalog::Text(64) + folder.Path() + "/missing.eml");
                EXPECT_EQ(error.GetPosition(), 7);
                throw;
            }
        },
        CSspException);
    EXPECT_EQ(email.Subject(), "");
}

TEST_F(MimeReaderTest, NestingAndSizeLimitsHoldBeforeMemoryIsSpent)
{
    CLogCapture log;
    auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i)
            text += "Content-Type: multipart/mixed; boundary=\"L" + std::to_string(i) + "\"\r\n\r\n--L" +
                    std::to_string(i) + "\r\n";
        return text + "\r\ninnermost\r\n";
    };
    Write("deep", nested(10));
    Load("deep");
    EXPECT_EQ(email.Content(), "innermost");
    // Every level is a call: a message nested without end must not exhaust the stack.
    Write("deeper", nested(5000));
    Load("deeper");
    EXPECT_EQ(email.Content(), "");
    EXPECT_TRUE(log.Contains("nests multipart entities deeper than 32 levels."));

    // A file over the limit (sparse, so it costs no disk) gives its header and nothing more.
    const std::string huge = Write("huge", "Subject: huge\r\n\r\nbody\r\n");
    ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(CEmailIn::kMaxMessageSize) + 1), 0);
    Load("huge");
    EXPECT_EQ(email.Subject(), "huge");
    EXPECT_EQ(email.Content(), "");
    EXPECT_TRUE(log.Contains(huge + " is larger than"));
}
