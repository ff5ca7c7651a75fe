#include "foundation/codecs.h"
#include "foundation/file_id.h"
#include "foundation/ssp_date_time.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kInstance = 1234567;
constexpr int kTimeout = 600;
constexpr std::string_view kSecret = "0123456789abcdef0123456789abcdef";

struct Parts
{
    std::string table, keyColumn, token, dataColumn, fileName;
};

// The ID of a URL made by MakeFileUrl as the attachment server reads it: the text between
// "fileInDB/" and the last "/", pairs swapped back, base64-decoded.
std::string DecodedId(const std::string& url)
{
    EXPECT_EQ(url.rfind("fileInDB/", 0), 0u) << url;
    const std::size_t last = url.rfind('/');
    std::string id = url.substr(9, last - 9);
    SwapBytePairs(id);
    std::vector<char> buffer(id.size() + 8);
    int length = 0;
    Base64Decode(id.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, true);
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// The names and token of a URL made with kSecret, after its tag was checked and removed.
Parts Decode(const std::string& url)
{
    std::string plain = DecodedId(url);
    EXPECT_TRUE(StripFileIdTag(plain, kSecret)) << plain;
    const std::size_t last = url.rfind('/');
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t dash; (dash = plain.find('-', start)) != std::string::npos; start = dash + 1)
        fields.push_back(plain.substr(start, dash - start));
    fields.push_back(plain.substr(start));
    EXPECT_EQ(fields.size(), 4u) << plain;
    fields.resize(4);
    return {fields[0], fields[1], fields[2], fields[3], url.substr(last + 1)};
}

int Check(const Parts& p, int instance = kInstance, std::int64_t now = 0, int timeout = kTimeout)
{
    return CheckFileId(p.table, p.keyColumn, p.token, p.dataColumn, instance, timeout, now);
}

const std::int64_t kNow = MakeLocalTime(2024, 3, 15, 10, 20, 30);

TEST(FileId, UrlsCarryTheirRowBack)
{
    for (const char* key : {"0", "7", "61", "62", "123456", "2147483647"}) {
        const Parts p = Decode(MakeFileUrl("docs", "id", key, "body", "report.pdf", kInstance, kNow, kSecret));
        EXPECT_EQ(p.table, "docs");
        EXPECT_EQ(p.keyColumn, "id");
        EXPECT_EQ(p.dataColumn, "body");
        EXPECT_EQ(p.fileName, "report.pdf");
        EXPECT_EQ(Check(p, kInstance, kNow), std::stoi(key)) << p.token;
    }
    // The token's fixed places: key digit, instance, time stamp (2024-3-15 10:20), base-62 key.
    const Parts p = Decode(MakeFileUrl("docs", "id", "123", "body", "f", kInstance, kNow, kSecret));
    EXPECT_EQ(p.token.substr(2), "3"
                                 "4567"
                                 "o3fak"
                                 "1Z");
    // Non-ASCII names still give one-digit check sums.
    const Parts wide = Decode(MakeFileUrl("\xc3\xa9t\xc3\xa9", "cl\xc3\xa9", "9",
                                          "donn\xc3\xa9"
                                          "es",
                                          "f", kInstance, kNow, kSecret));
    EXPECT_EQ(Check(wide, kInstance, kNow), 9);
}

TEST(FileId, TheTagBindsTheIdToTheSecretAndToEveryByte)
{
    const std::string url = MakeFileUrl("docs", "id", "42", "body", "f", kInstance, kNow, kSecret);
    const std::string plain = DecodedId(url);
    // One line of base64, whatever the length of the names.
    const std::string longUrl =
        MakeFileUrl(std::string(100, 't'), "id", "42", std::string(100, 'c'), "f", kInstance, kNow, kSecret);
    EXPECT_EQ(longUrl.find_first_of("\r\n"), std::string::npos) << longUrl;

    std::string copy = plain;
    EXPECT_FALSE(StripFileIdTag(copy, "another installation's secret"));
    EXPECT_EQ(copy, plain) << "a refused ID stays as it was";
    EXPECT_FALSE(StripFileIdTag(copy, ""));
    // Another table and column with check digits that fit them, as a visitor can compute them:
    // the tag still belongs to the first names.
    const Parts p = Decode(url);
    const Parts other = Decode(MakeFileUrl("users", "id", "42", "password", "f", kInstance, kNow, kSecret));
    std::string forged = "users-id-" + other.token + "-password" + plain.substr(plain.rfind('-'));
    EXPECT_FALSE(StripFileIdTag(forged, kSecret)) << forged;
    // A changed byte anywhere, the tag's own included, and a missing tag.
    for (std::size_t at = 0; at < plain.size(); ++at) {
        std::string changed = plain;
        changed[at] = changed[at] == 'x' ? 'y' : 'x';
        ASSERT_FALSE(StripFileIdTag(changed, kSecret)) << at;
    }
    std::string untagged = "docs-id-" + p.token + "-body";
    EXPECT_FALSE(StripFileIdTag(untagged, kSecret));
    copy = plain;
    ASSERT_TRUE(StripFileIdTag(copy, kSecret));
    EXPECT_EQ(copy, untagged);
}

TEST(FileId, AlteredStaleOrForeignIdsAreRefused)
{
    const Parts p = Decode(MakeFileUrl("docs", "id", "42", "body", "f", kInstance, kNow, kSecret));
    EXPECT_EQ(Check(Parts{p.table, p.keyColumn, p.token.substr(0, 12), p.dataColumn, ""}, kInstance, kNow),
              kFileIdTooShort);
    // Another row's table or column changes the check digits.
    EXPECT_EQ(Check(Parts{"users", p.keyColumn, p.token, p.dataColumn, ""}, kInstance, kNow), kFileIdBadCheckDigits);
    EXPECT_EQ(Check(Parts{p.table, p.keyColumn, p.token, "password", ""}, kInstance, kNow), kFileIdBadCheckDigits);
    EXPECT_EQ(Check(p, kInstance + 1, kNow), kFileIdOtherInstance);
    // The stamp holds the minute (10:20:00); the age counts whole minutes from there.
    const std::int64_t made = kNow - 30;
    EXPECT_EQ(Check(p, kInstance, made + kTimeout * 60 + 59), 42);
    EXPECT_EQ(Check(p, kInstance, made + (kTimeout + 1) * 60), kFileIdExpired);

    // A key edited with its check digits recomputed is still caught by the key digit.
    const Parts other = Decode(MakeFileUrl("docs", "id", "43", "body", "f", kInstance, kNow, kSecret));
    std::string forged = p.token.substr(0, 12) + other.token.substr(12);
    for (char a = '0'; a <= '9'; ++a) {
        for (char b = '0'; b <= '9'; ++b) {
            forged[0] = a;
            forged[1] = b;
            const int result = Check(Parts{p.table, p.keyColumn, forged, p.dataColumn, ""}, kInstance, kNow);
            EXPECT_TRUE(result == kFileIdBadCheckDigits || result == kFileIdBadKey) << result;
        }
    }
}

}  // namespace
