#include "language/ssp_to_library.h"

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/file_id.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_value.h"
#include "foundation/url_encoding.h"
#include "language/ssp_app.h"
#include "language/ssp_library.h"
#include "platform/secure_random.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <locale.h>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kMsgUnknownToMember = 117;  // "Unknown conversion library "to" function: "

constexpr const char* kTextTooLong = "text to be encrypted cannot exceed 256 characters.";
constexpr const char* kCiphertextTooLong = "Ciphertext limited to 256.";
constexpr const char* kNoCipherKey = "Call to.createCipherKey first.";
constexpr const char* kHashFailed = "HashData failed.";

// ---- Case mapping -------------------------------------------------------------------------------

// The Unicode case mappings of the C.UTF-8 locale, held apart from the process locale (which stays
// "C"). Null where that locale is missing; case mapping then covers ASCII only.
locale_t Utf8Locale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

// The code point of the well-formed UTF-8 sequence at `at` and its length, or 0 for a byte that
// does not start one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t DecodeUtf8(const std::string& text, std::size_t at, char32_t& code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void AppendUtf8(std::string& out, char32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Upper or lower case of a UTF-8 text, character by character; bytes that are not part of a
// well-formed character pass unchanged, so no text is corrupted whatever its encoding.
std::string MapCase(const std::string& text, bool upper)
{
    const locale_t locale = Utf8Locale();
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const std::size_t length = static_cast<unsigned char>(text[at]) < 0x80 ? 1 : DecodeUtf8(text, at, code);
        // ASCII, bytes outside a well-formed character, or no Unicode tables: the ASCII mapping
        // leaves every byte from 128 up as it is.
        if (length <= 1 || locale == static_cast<locale_t>(0)) {
            const char c = text[at++];
            out += upper ? ToUpperAscii(c) : ToLowerAscii(c);
            continue;
        }
        const wint_t mapped =
            upper ? towupper_l(static_cast<wint_t>(code), locale) : towlower_l(static_cast<wint_t>(code), locale);
        AppendUtf8(out, static_cast<char32_t>(mapped));
        at += length;
    }
    return out;
}

// ---- Conversions --------------------------------------------------------------------------------

void Cgi(const CSspCall& call, CSspValue& result)
{
    std::string text = call.GetParamStr(0);
    UrlEncode(text);
    result.SetString(std::move(text));
}

void Html(const CSspCall& call, CSspValue& result)
{
    std::string text = call.GetParamStr(0);
    if (text.empty())
        text = "None";
    HtmlEscape(text, true);
    result.SetString(std::move(text));
}

void Html2(const CSspCall& call, CSspValue& result)
{
    std::string text = call.GetParamStr(0);
    HtmlEscape(text, false);
    result.SetString(std::move(text));
}

void Sql(const CSspCall& call, CSspValue& result)
{
    std::string text = call.GetParamStr(0);
    CSspValue::EscapeSqlQuotes(text);
    result.SetString(std::move(text));
}

// The escape of one byte inside a quoted JavaScript string, or null when the byte stays. Quotes
// and the backslash would end the string or change its escapes, line ends would end the line, and
// "<" and ">" would let "</script>" or "<!--" end the script block of the HTML page around it.
const char* JsReplacement(char c)
{
    switch (c) {
    case '\\': return "\\\\";
    case '\'': return "\\'";
    case '"': return "\\\"";
    case '\r': return "\\r";
    case '\n': return "\\n";
    case '<': return "\\x3c";
    case '>': return "\\x3e";
    default: return nullptr;
    }
}

void Js(const CSspCall& call, CSspValue& result)
{
    // U+2028 and U+2029 end a line in JavaScript as well (UTF-8 E2 80 A8 and E2 80 A9).
    constexpr std::string_view kLineSeparator = "\xE2\x80\xA8";
    constexpr std::string_view kParagraphSeparator = "\xE2\x80\xA9";
    const std::string text = call.GetParamStr(0);
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const std::string_view rest = std::string_view(text).substr(at);
        if (rest.starts_with(kLineSeparator) || rest.starts_with(kParagraphSeparator)) {
            out += rest[2] == kLineSeparator[2] ? "\\u2028" : "\\u2029";
            at += 2;
        } else if (const char* replacement = JsReplacement(text[at])) {
            out += replacement;
        } else {
            out += text[at];
        }
    }
    result.SetString(std::move(out));
}

void Upper(const CSspCall& call, CSspValue& result)
{
    result.SetString(MapCase(call.GetParamStr(0), true));
}

void Lower(const CSspCall& call, CSspValue& result)
{
    result.SetString(MapCase(call.GetParamStr(0), false));
}

void Integer(const CSspCall& call, CSspValue& result)
{
    result.SetInteger(0);
    result.SetFromText(call.GetParamStr(0));
}

void Number(const CSspCall& call, CSspValue& result)
{
    const std::string scale = call.ParamCount() > 1 ? call.GetParamStr(1) : std::string();
    result.SetNumberText(call.GetParamStr(0),
                         call.ParamCount() > 1 ? std::optional<std::string_view>(scale) : std::nullopt);
}

// The date of argument 0: an empty text gives an empty literal, which a statement takes for NULL.
CSspDateTime DateArgument(const CSspCall& call)
{
    return CSspDateTime::FromScriptValue(call.GetParam(0), call.m_position);
}

void OdbcDateStr(const CSspCall& call, CSspValue& result)
{
    result.SetString(DateArgument(call).GetOdbcDateStr());
}

void OdbcDateTimeStr(const CSspCall& call, CSspValue& result)
{
    result.SetString(DateArgument(call).GetOdbcDateTimeStr());
}

// Numbers pass unchanged; a time span becomes its whole minutes in hours; anything else is read as
// a number. Without a decimals argument the scale text is empty, which reads as scale 0, so the
// result is the whole hours as an integer.
void Hours(const CSspCall& call, CSspValue& result)
{
    const CSspValue& value = call.GetParam(0);
    if (value.IsNumeric()) {
        result = value;
        return;
    }
    const std::string scale = call.ParamCount() > 1 ? call.GetParamStr(1) : std::string();
    const std::string text =
        value.IsTimeSpan() ? std::to_string(static_cast<double>(value.m_span / 60) / 60.0) : value.ToString();
    result.SetNumberText(text, scale);
}

void Minutes(const CSspCall& call, CSspValue& result)
{
    const CSspValue& value = call.GetParam(0);
    if (value.IsNumeric()) {
        result.SetInteger(value.ToInt64());
    } else if (value.IsTimeSpan()) {
        result.SetInteger(value.m_span / 60);
    } else {
        result.SetInteger(0);
        result.SetFromText(value.ToString());
    }
}

void TimeSpan(const CSspCall& call, CSspValue& result)
{
    const std::int64_t days = call.GetParamInt32(0);
    const std::int64_t hours = call.GetParamInt32(1);
    const std::int64_t minutes = call.GetParamInt32(2);
    const std::int64_t seconds = call.ParamCount() > 3 ? call.GetParamInt32(3) : 0;
    result.SetTimeSpan(((days * 24 + hours) * 60 + minutes) * 60 + seconds);
}

// A light scrambling that keeps values out of plain sight in links and hidden fields (no secrecy):
// a random letter in front, the byte pairs swapped, base64, the pairs swapped again.
void Encrypted(const CSspCall& call, CSspValue& result)
{
    const std::string text = call.GetParamStr(0);
    if (text.empty()) {
        result.SetString(std::string());
        return;
    }
    try {
        std::string scrambled(1, static_cast<char>('a' + SecureRandomBelow(20)));
        scrambled += text;
        SwapBytePairs(scrambled);
        // On one line: the value goes into links and hidden fields.
        std::string encoded;
        Base64EncodeId(scrambled, encoded);
        SwapBytePairs(encoded);
        result.SetString(std::move(encoded));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, call.m_position);
    }
}

void Decrypted(const CSspCall& call, CSspValue& result)
{
    std::string text = call.GetParamStr(0);
    if (text.empty()) {
        result.SetString(std::string());
        return;
    }
    std::string plain;
    try {
        SwapBytePairs(text);
        if (text.size() > INT_MAX / 3)
            throw std::bad_alloc();
        std::vector<char> buffer(text.size() / 4 * 3 + 8);
        int length = 0;
        Base64Decode(text.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, true);
        plain.assign(buffer.data(), strnlen(buffer.data(), static_cast<std::size_t>(length)));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, call.m_position);
    }
    if (plain.size() < 2) {
        result.SetString(std::string());
        return;
    }
    SwapBytePairs(plain);
    result.SetString(plain.substr(1));
}

void Hex(const CSspCall& call, CSspValue& result)
{
    const CSspValue& value = call.GetParam(0);
    // A binary value's bytes as they are, even a single blank.
    const std::string bytes = value.IsBinary() ? value.m_text : value.ToString();
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char c : bytes)
        text += ByteToHex(static_cast<unsigned char>(c));
    result.SetString(std::move(text));
}

// Hexadecimal pairs in steps of three bytes: two digits, then one separator that is skipped.
void Dec(const CSspCall& call, CSspValue& result)
{
    const std::string text = call.GetParamStr(0);
    std::string bytes;
    for (std::size_t at = 0; at + 2 <= text.size(); at += 3)
        bytes += static_cast<char>(HexToByte(std::string_view(text).substr(at, 2)));
    result.SetString(std::move(bytes));
}

void FileUrl(const CSspCall& call, CSspValue& result)
{
    result.SetString(MakeFileUrl(call.GetParamStr(0), call.GetParamStr(1), call.GetParamStr(2), call.GetParamStr(3),
                                 call.GetParamStr(4), TheSspApp().GetServerInstance(),
                                 static_cast<std::int64_t>(std::time(nullptr)), TheServerConfig().m_fileIdSecret));
}

constexpr CSspLibraryMember kConversionMembers[] = {
    {"cgi", 1, Cgi},
    {"html", 1, Html},
    {"html2", 1, Html2},
    {"2QuoteStr", 1, Sql},
    {"sql", 1, Sql},
    {"js", 1, Js},
    {"upper", 1, Upper},
    {"lower", 1, Lower},
    {"Integer", 1, Integer},
    {"Number", 1, Number},
    {"OdbcDateStr", 1, OdbcDateStr},
    {"OdbcDateTimeStr", 1, OdbcDateTimeStr},
    {"Hours", 1, Hours},
    {"Minutes", 1, Minutes},
    {"TimeSpan", 3, TimeSpan},
    {"Encrypted", 1, Encrypted},
    {"Decrypted", 1, Decrypted},
    {"hex", 1, Hex},
    {"dec", 1, Dec},
    {"fileUrl", 5, FileUrl},
};

}  // namespace

const CSspLibraryMember* FindConversionMember(std::string_view name)
{
    return FindLibraryMember(kConversionMembers, name);
}

// ---- The To object and its cipher ---------------------------------------------------------------

void CSspToLibrary::CallMember(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    if (EqualsNoCase(member, "cipherKeyCreated")) {
        result.SetInteger(HasCipherKey() ? 1 : 0);
    } else if (EqualsNoCase(member, "createCipherKey")) {
        CreateCipherKey(call, result);
    } else if (EqualsNoCase(member, "destroyCipherKey")) {
        m_cipher.store(nullptr);
    } else if (EqualsNoCase(member, "cipher")) {
        Cipher(call, result);
    } else if (EqualsNoCase(member, "decipher")) {
        Decipher(call, result);
    } else if (const CSspLibraryMember* conversion = FindConversionMember(member)) {
        CallLibraryMember(*conversion, call, result);
    } else {
        throw CSspException(CMessageCatalog::Text(kMsgUnknownToMember) + member, call.m_position);
    }
}

void CSspToLibrary::CreateCipherKey(const CSspCall& call, CSspValue& result)
{
    if (call.ParamCount() < 1)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
    // A key stays until destroyCipherKey: later pass phrases are ignored.
    if (HasCipherKey())
        return;
    std::shared_ptr<const CValueCipher> cipher = CValueCipher::FromPassPhrase(call.GetParamStr(0));
    if (cipher == nullptr)
        throw CSspException(kHashFailed, call.m_position);
    std::shared_ptr<const CValueCipher> none;
    if (m_cipher.compare_exchange_strong(none, std::move(cipher)))
        result.SetInteger(1);
}

std::shared_ptr<const CValueCipher> CSspToLibrary::RequireKey(const CSspCall& call) const
{
    std::shared_ptr<const CValueCipher> cipher = m_cipher.load();
    if (cipher == nullptr)
        throw CSspException(kNoCipherKey, call.m_position);
    return cipher;
}

void CSspToLibrary::Cipher(const CSspCall& call, CSspValue& result) const
{
    if (call.ParamCount() < 1)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
    result.SetString(std::string());
    const std::string text = call.GetParamStr(0);
    if (text.size() > CValueCipher::kMaxTextLength)
        throw CSspException(kTextTooLong, call.m_position);
    if (text.empty())
        return;
    std::string base64;
    if (!RequireKey(call)->Encrypt(text, base64))
        throw CSspException(kTextTooLong, call.m_position);
    result.SetString(std::move(base64));
}

void CSspToLibrary::Decipher(const CSspCall& call, CSspValue& result) const
{
    if (call.ParamCount() < 1)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
    result.SetString(std::string());
    const std::string text = call.GetParamStr(0);
    if (text.empty())
        return;
    std::string plain;
    if (!RequireKey(call)->Decrypt(text, plain))
        throw CSspException(kCiphertextTooLong, call.m_position);
    result.SetString(std::move(plain));
}

CSspToLibrary& TheToLibrary()
{
    static CSspToLibrary library;
    return library;
}
