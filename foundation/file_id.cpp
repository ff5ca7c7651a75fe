#include "foundation/file_id.h"

#include "foundation/codecs.h"
#include "foundation/number_parse.h"
#include "foundation/ssp_date_time.h"
#include "foundation/url_encoding.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>
#include <ctime>

namespace {

constexpr char kBase62Digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::size_t kMinimumTokenLength = 13;  // 2 check digits + key digit + 4 + 5 + 1
constexpr std::size_t kInstanceOffset = 3;
constexpr std::size_t kTimeOffset = 7;
constexpr std::size_t kKeyOffset = 12;

// The last decimal digit of a number as a character. Negative numbers count by their magnitude, so
// the digit is always one character and the token keeps its fixed offsets.
char LastDigit(long long value)
{
    return static_cast<char>('0' + (value % 10 + 10) % 10);
}

std::string Base62(int value)
{
    if (value < 0)
        return {};
    if (value == 0)
        return "0";
    std::string digits;
    for (; value > 0; value /= 62)
        digits.insert(digits.begin(), kBase62Digits[value % 62]);
    return digits;
}

int Base62Digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 36;
    return 0;
}

// One base-62 digit of a time field; the year is clamped so the stamp stays five digits long.
char TimeDigit(int value)
{
    return kBase62Digits[value < 0 ? 0 : value > 61 ? 61 : value];
}

std::string TimeStamp(std::int64_t now)
{
    std::tm tm{};
    const std::time_t time = static_cast<std::time_t>(now);
    if (localtime_r(&time, &tm) == nullptr)
        return "00000";
    const int year = tm.tm_year + 1900 - 2000;
    return {TimeDigit(year < 0 ? 10 : year), TimeDigit(tm.tm_mon + 1), TimeDigit(tm.tm_mday), TimeDigit(tm.tm_hour),
            TimeDigit(tm.tm_min)};
}

// The two check digits over the ID text and the three names: the bytes at even offsets of each
// text (counted from that text's start) go into the first sum, those at odd offsets into the second.
std::string CheckDigits(std::string_view id, std::string_view table, std::string_view keyColumn,
                        std::string_view dataColumn)
{
    long long sums[2] = {0, 0};
    for (std::string_view text : {id, table, keyColumn, dataColumn}) {
        for (std::size_t at = 0; at < text.size(); ++at)
            sums[at % 2] += static_cast<signed char>(text[at]);
    }
    return {LastDigit(sums[0]), LastDigit(sums[1])};
}

// The first half of HMAC-SHA256 as lower-case hexadecimal: 128 bits is far beyond guessing, and
// keeps the URL short.
std::string FileIdTag(std::string_view id, std::string_view secret)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // OpenSSL reads a null key as "keep the last key": an empty one must still point somewhere.
    const char* key = secret.empty() ? "" : secret.data();
    if (HMAC(EVP_sha256(), key, static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(id.data()),
             id.size(), digest, &length) == nullptr)
        return {};
    std::string tag;
    for (unsigned int i = 0; i < length / 2; ++i)
        tag += ByteToHex(digest[i]);
    return tag;
}

}  // namespace

std::string MakeFileUrl(std::string_view table, std::string_view keyColumn, std::string_view keyValue,
                        std::string_view dataColumn, std::string_view fileName, int serverInstance, std::int64_t now,
                        std::string_view secret)
{
    const int key = ParseInt32(keyValue);
    const int instance = (serverInstance % 10000 + 10000) % 10000;
    std::string id(1, LastDigit(key));
    id += std::to_string(10000 + instance).substr(1);
    id += TimeStamp(now);
    id += Base62(key);

    std::string plain(table);
    plain += '-';
    plain += keyColumn;
    plain += '-';
    plain += CheckDigits(id, table, keyColumn, dataColumn);
    plain += id;
    plain += '-';
    plain += dataColumn;
    const std::string tag = FileIdTag(plain, secret);
    plain += '-';
    plain += tag;

    std::string encoded;
    Base64EncodeId(plain, encoded);
    SwapBytePairs(encoded);
    return "fileInDB/" + encoded + "/" + std::string(fileName);
}

bool StripFileIdTag(std::string& id, std::string_view secret)
{
    const std::size_t dash = id.rfind('-');
    if (secret.empty() || dash == std::string::npos)
        return false;
    const std::string expected = FileIdTag(std::string_view(id).substr(0, dash), secret);
    const std::string_view tag = std::string_view(id).substr(dash + 1);
    if (expected.empty() || tag.size() != expected.size() ||
        CRYPTO_memcmp(tag.data(), expected.data(), tag.size()) != 0)
        return false;
    id.resize(dash);
    return true;
}

int CheckFileId(std::string_view table, std::string_view keyColumn, std::string_view keyToken,
                std::string_view dataColumn, int serverInstance, int timeoutMinutes, std::int64_t now)
{
    if (keyToken.size() < kMinimumTokenLength)
        return kFileIdTooShort;
    if (keyToken.substr(0, 2) != CheckDigits(keyToken.substr(2), table, keyColumn, dataColumn))
        return kFileIdBadCheckDigits;
    if (ParseInt32(keyToken.substr(kInstanceOffset, 4)) != (serverInstance % 10000 + 10000) % 10000)
        return kFileIdOtherInstance;

    int fields[5];
    for (int i = 0; i < 5; ++i)
        fields[i] = Base62Digit(keyToken[kTimeOffset + static_cast<std::size_t>(i)]);
    const std::int64_t made = MakeLocalTime(2000 + fields[0], fields[1], fields[2], fields[3], fields[4], 0);
    if (made < 0 || (now - made) / 60 > timeoutMinutes)
        return kFileIdExpired;

    long long key = 0;
    for (char c : keyToken.substr(kKeyOffset)) {
        key = key * 62 + Base62Digit(c);
        // Only a forged token runs past the keys MakeFileUrl writes.
        if (key > INT_MAX)
            return kFileIdBadKey;
    }
    if (keyToken[2] != LastDigit(key))
        return kFileIdBadKey;
    return static_cast<int>(key);
}
