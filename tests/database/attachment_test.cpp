// Attachment downloads from database columns on SQLite and PostgreSQL: the plain and the encrypted
// URL forms, the bytes of binary and long-text columns, and what a broken, forged, expired or unsafe
// URL gets instead.
#include "database/data_source.h"
#include "foundation/codecs.h"
#include "foundation/file_id.h"
#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"
#include "tests/database/test_databases.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr int kInstance = 4711;
constexpr int kTimeoutMinutes = 20;
constexpr int64_t kNow = 1700000000;
constexpr std::string_view kSecret = "the installation's secret";

std::string AllByteValues()
{
    std::string bytes;
    for (int round = 0; round < 300; ++round)
        for (int value = 0; value < 256; ++value)
            bytes += static_cast<char>((value + round) & 0xFF);
    return bytes;
}

class AttachmentTest : public testdb::TableTest
{
protected:
    AttachmentTest() : TableTest("docs") {}
    void SetUp() override
    {
        TableTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        const char* binary = IsPostgres() ? "BYTEA" : "BLOB";
        m_db.ExecuteSQL("CREATE TABLE " + m_table + " (id INTEGER, body " + binary + ", note TEXT, title VARCHAR(40))");
        COdbcStatement insert(m_db);
        insert.Prepare("INSERT INTO " + m_table + " (id, body, note, title) VALUES (?, ?, ?, ?)");
        insert.BindInteger(1, 7);
        insert.BindBinary(2, m_file);
        insert.BindText(3, m_note, SQL_LONGVARCHAR);
        insert.BindText(4, "report");
        insert.Execute();
        m_ds = std::make_unique<CDataSource>(Connect(), 0);
        m_ds->DoCommand("Open");
    }
    void TearDown() override
    {
        m_ds.reset();
        TableTest::TearDown();
    }

    // Serves a URL path; the failure text, or "" with the bytes in m_served.
    std::string Serve(const std::string& path, bool encrypted, int64_t now = kNow, int instance = kInstance)
    {
        m_served.clear();
        CAttachmentRequest request;
        request.urlPath = path;
        request.encrypted = encrypted;
        request.serverInstance = instance;
        request.timeoutMinutes = kTimeoutMinutes;
        request.now = now;
        request.fileIdSecret = kSecret;
        request.write = [this](std::string_view bytes) { m_served.append(bytes); };
        try {
            m_ds->ServeFileFromDb(request);
        } catch (const CSspException& error) {
            return error.GetMessage();
        }
        return {};
    }
    // The path of an encrypted URL as a page links it; by default signed with this server's secret.
    std::string EncryptedPath(const std::string& table, const std::string& key, const std::string& column,
                              std::string_view secret = kSecret)
    {
        return "/" + MakeFileUrl(table, "id", key, column, "report.pdf", kInstance, kNow, secret);
    }

    const std::string m_file = AllByteValues();
    const std::string m_note = "line one\r\nline two \xC3\xA9\n";
    std::unique_ptr<CDataSource> m_ds;
    std::string m_served;
};

TEST_P(AttachmentTest, PlainUrlsServeOneColumnOfOneRowWhole)
{
    EXPECT_EQ(Serve("/x/FileDB/" + m_table + "/id/7/body/report.pdf", false), "");
    EXPECT_EQ(m_served, m_file) << "every byte, NUL and 0xFF included";
    EXPECT_EQ(Serve("/filedb/" + m_table + "/ID/7/note", false), "") << "segment and names in any case";
    EXPECT_EQ(m_served, m_note);
}

TEST_P(AttachmentTest, PlainUrlFailures)
{
    const std::string base = "/x/FileDB/" + m_table;
    EXPECT_EQ(Serve("/x/FileDB/", false), CMessageCatalog::Text(40));
    EXPECT_EQ(Serve(base, false), CMessageCatalog::Text(41));
    EXPECT_EQ(Serve(base + "/id//body", false), CMessageCatalog::Text(42));
    EXPECT_EQ(Serve(base + "/id/7/", false), CMessageCatalog::Text(43));
    EXPECT_EQ(Serve(base + "/id/seven/body/x.pdf", false), "The attachment has already been deleted")
        << "a word is key 0";
    EXPECT_EQ(Serve(base + "/id/8/body/x.pdf", false), "The attachment has already been deleted");
    EXPECT_EQ(Serve(base + "/id/7/title/x.pdf", false), "Please specify the column where the file is stored.");
    EXPECT_EQ(Serve(EncryptedPath(m_table, "7", "body"), false), CMessageCatalog::Text(1));

    const std::string text = Serve("/x/FileDB/" + m_table + "_none/id/7/body", false);
    EXPECT_NE(text.find(m_table + "_none"), std::string::npos) << "the driver's text: " << text;
    const std::string tail = " ODBC data source used: [].";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_TRUE(m_ds->IsOpen());

    // Names that are not identifiers never become SQL, and are not echoed.
    for (const std::string& forged :
         {"/FileDB/" + m_table + ";DELETE FROM " + m_table + "/id/7/body",
          "/FileDB/" + m_table + "/id/7/body%20FROM%20x", "/FileDB/" + m_table + "/(id)/7/body"})
        EXPECT_EQ(Serve(forged, false), CMessageCatalog::Text(2)) << forged;
    EXPECT_EQ(Serve(base + "/id/7/body", false), "");
    EXPECT_EQ(m_served, m_file) << "the table is still there";
}

TEST_P(AttachmentTest, EncryptedIdsServeOnlyForThisInstanceWithinTheTimeOut)
{
    const std::string path = EncryptedPath(m_table, "7", "body");
    EXPECT_EQ(Serve(path, true), "");
    EXPECT_EQ(m_served, m_file);
    EXPECT_EQ(Serve(path, true, kNow + kTimeoutMinutes * 60), "") << "still valid at the time-out";

    const std::string invalid = CMessageCatalog::Text(2);
    EXPECT_EQ(Serve(path, true, kNow + (kTimeoutMinutes + 2) * 60), invalid) << "expired";
    EXPECT_EQ(Serve(path, true, kNow, kInstance + 1), invalid) << "made before a restart";
    EXPECT_EQ(Serve("/x/fileInDB/" + path.substr(path.find("fileInDB/") + 9, 12), true), invalid)
        << "no last slash after the ID";
    EXPECT_EQ(Serve("/fileInDB/bm90IGFuIElE/x.pdf", true), invalid) << "not four parts";
    EXPECT_EQ(Serve("/x/FileDB/" + m_table + "/id/7/body", true), CMessageCatalog::Text(0));

    // Names that are not identifiers never reach the SQL, even in an ID this server signed.
    EXPECT_EQ(Serve(EncryptedPath(m_table + " WHERE 1=1 --", "7", "body"), true), invalid);
    EXPECT_EQ(Serve(EncryptedPath(m_table, "8", "body"), true), "The attachment has already been deleted");
}

// The ID of an encrypted path turned back into its text, and the text into a path, as anyone can.
std::string IdText(const std::string& path)
{
    const size_t start = path.find("fileInDB/") + 9;
    std::string id = path.substr(start, path.rfind('/') - start);
    SwapBytePairs(id);
    std::vector<char> buffer(id.size() + 8);
    int length = 0;
    Base64Decode(id.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, true);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string PathOfIdText(const std::string& text, bool lineBreaks)
{
    std::string id;
    if (lineBreaks)
        Base64EncodeString(text, id);
    else
        Base64EncodeId(text, id);
    SwapBytePairs(id);
    return "/fileInDB/" + id + "/report.pdf";
}

TEST_P(AttachmentTest, ForgedOrChangedIdsAreRefusedAndIdsWithLineBreaksStillServe)
{
    const std::string invalid = CMessageCatalog::Text(2);
    const std::string text = IdText(EncryptedPath(m_table, "7", "body"));
    const std::string tag = text.substr(text.rfind('-'));
    ASSERT_EQ(Serve(PathOfIdText(text, false), true), "");
    EXPECT_EQ(m_served, m_file);

    // The ID is longer than one line of 76-column base64; written with its line breaks (as IDs were
    // made before they came on one line) it is still read.
    const std::string broken = PathOfIdText(text, true);
    ASSERT_NE(broken.find('\n'), std::string::npos);
    EXPECT_EQ(EncryptedPath(m_table, "7", "body").find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Serve(broken, true), "");
    EXPECT_EQ(m_served, m_file);

    // Another column of the same row, and another table: the ID text as a visitor makes it, with
    // check digits that fit the new names, and the tag of the link the visitor was given.
    for (const auto& [table, column] :
         {std::pair<std::string, std::string>{m_table, "note"}, {"tw3_registry", "body"}}) {
        const std::string own = IdText(EncryptedPath(table, "7", column, "the visitor's key"));
        const std::string forged = own.substr(0, own.rfind('-'));
        EXPECT_EQ(Serve(PathOfIdText(forged + tag, false), true), invalid) << forged;
        EXPECT_EQ(Serve(PathOfIdText(forged, false), true), invalid) << "without a tag: " << forged;
        EXPECT_EQ(Serve(PathOfIdText(own, false), true), invalid) << "signed with another key: " << forged;
    }
    EXPECT_EQ(Serve(PathOfIdText(text.substr(0, text.rfind('-')) + "-" + std::string(32, '0'), false), true), invalid);
    EXPECT_EQ(m_served, "");
}

TW_INSTANTIATE_BACKENDS(AttachmentTest);

}  // namespace
