#include "mail/encoded_words.h"

#include "foundation/ascii_text.h"
#include "foundation/codecs.h"
#include "foundation/server_config.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace {

// An encoded word may be at most 75 characters long, its delimiters and charset included; these
// are kept shorter, so that a header's name and its first word ("Subject: =?utf-8?B?...?=") fit
// into the 78 characters of a folded line.
constexpr std::size_t kMaxWordLength = 66;

bool IsPlainAscii(std::string_view text)
{
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || (byte < 0x20 && c != '\t'))
            return false;
    }
    // Text that reads as an encoded word would be decoded by the receiver: it is encoded too.
    return text.find("=?") == std::string_view::npos;
}

// "UTF-8", "utf8" and "Utf_8" are one charset.
std::string CharsetKey(std::string_view charset)
{
    std::string key;
    for (char c : charset) {
        if (c != '-' && c != '_')
            key += ToUpperAscii(c);
    }
    return key;
}

// Charsets in which a word may end after any byte (single-byte ones), or after any byte that does
// not continue a character (UTF-8). Other multi-byte charsets, stateful ones among them, are kept
// in one word so that no character is cut in two.
bool CanSplit(std::string_view charset)
{
    const std::string key = CharsetKey(charset);
    return key == "UTF8" || key == "USASCII" || key.rfind("ISO8859", 0) == 0 || key.rfind("WINDOWS", 0) == 0;
}

// The text as B-encoded words of at most kMaxWordLength characters, separated by blanks.
std::string EncodeWords(std::string_view text, std::string_view charset)
{
    const std::string prefix = "=?" + std::string(charset) + "?B?";
    const std::size_t room = kMaxWordLength > prefix.size() + 2 ? kMaxWordLength - prefix.size() - 2 : 4;
    const std::size_t maxBytes = std::max<std::size_t>(room / 4 * 3, 3);
    const bool split = CanSplit(charset);
    const bool utf8 = CharsetKey(charset) == "UTF8";
    std::string words;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = split ? std::min(text.size(), start + maxBytes) : text.size();
        while (utf8 && end < text.size() && end > start + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        std::string encoded;
        Base64Encode(text.data() + start, end - start, encoded);
        if (!words.empty())
            words += ' ';
        words += prefix + encoded + "?=";
        start = end;
    }
    return words;
}

// A display name as a header holds it: encoded words when it is not plain ASCII, a quoted string
// when it holds characters that would end it early, else as it is.
std::string FormatDisplayName(std::string_view name, std::string_view charset)
{
    if (!IsPlainAscii(name))
        return EncodeWords(name, charset);
    if (name.find_first_of("()<>@,;:\\\".[]") == std::string_view::npos)
        return std::string(name);
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

bool IsAddressHeader(std::string_view name)
{
    for (std::string_view address : {"From", "Sender", "Reply-To", "To", "Cc", "Bcc", "Resent-From", "Resent-Sender",
                                     "Resent-To", "Resent-Cc", "Resent-Bcc", "Disposition-Notification-To"}) {
        if (EqualsNoCase(name, address))
            return true;
    }
    return false;
}

bool IsLeftAlone(std::string_view name)
{
    return EqualsNoCase(name.substr(0, 8), "Content-") || EqualsNoCase(name, "MIME-Version");
}

// `bytes` converted from one charset to another; false when iconv knows either charset not, or the
// bytes are no text of their charset.
bool Convert(std::string_view bytes, std::string_view from, std::string_view to, std::string& converted)
{
    if (CharsetKey(from) == CharsetKey(to)) {
        converted.assign(bytes);
        return true;
    }
    iconv_t converter = iconv_open(std::string(to).c_str(), std::string(from).c_str());
    if (converter == reinterpret_cast<iconv_t>(-1))
        return false;
    std::vector<char> out(bytes.size() * 4 + 16);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* next = out.data();
    std::size_t outLeft = out.size();
    bool ok = true;
    while (ok && inLeft > 0) {
        if (iconv(converter, &in, &inLeft, &next, &outLeft) != static_cast<std::size_t>(-1))
            continue;
        if (errno != E2BIG) {
            ok = false;
            break;
        }
        const std::size_t used = static_cast<std::size_t>(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        outLeft = out.size() - used;
    }
    // A stateful charset ends in its initial shift state.
    if (ok && iconv(converter, nullptr, nullptr, &next, &outLeft) == static_cast<std::size_t>(-1))
        ok = false;
    iconv_close(converter);
    if (ok)
        converted.assign(out.data(), static_cast<std::size_t>(next - out.data()));
    return ok;
}

// One encoded word "=?charset?X?text?=" at `start`: its end (one past "?="), npos when there is no
// well-formed word there. `decoded` receives its text converted to `target`; false when the word
// cannot be decoded (unknown encoding letter or charset).
std::size_t FindWordAt(std::string_view text, std::size_t start, std::string_view target, std::string& decoded,
                       bool& ok)
{
    ok = false;
    const std::size_t charsetEnd = text.find('?', start + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd == start + 2 || charsetEnd + 2 >= text.size() ||
        text[charsetEnd + 2] != '?')
        return std::string_view::npos;
    // The text of a word begins after the '?' that closes the encoding letter, so that an escape
    // "=XX" at its start does not end it.
    const std::size_t textStart = charsetEnd + 3;
    const std::size_t end = text.find("?=", textStart);
    if (end == std::string_view::npos)
        return std::string_view::npos;
    std::string_view charset = text.substr(start + 2, charsetEnd - start - 2);
    const std::string_view encoded = text.substr(textStart, end - textStart);
    if (charset.find_first_of(" \t") != std::string_view::npos ||
        encoded.find_first_of(" \t") != std::string_view::npos)
        return std::string_view::npos;
    // "iso-8859-1*de": the language after '*' (RFC 2231) is no part of the charset.
    charset = charset.substr(0, charset.find('*'));
    const std::string input(encoded);
    std::string bytes(input.size() + 4, '\0');
    int length = 0;
    const char letter = text[charsetEnd + 1];
    if (letter == 'B' || letter == 'b')
        Base64Decode(input.c_str(), bytes.data(), static_cast<int>(bytes.size()), length, true);
    else if (letter == 'Q' || letter == 'q')
        QuotedPrintableDecode(input.c_str(), bytes.data(), static_cast<int>(bytes.size()), length, true);
    else
        return end + 2;
    bytes.resize(static_cast<std::size_t>(length));
    ok = Convert(bytes, charset, target, decoded);
    return end + 2;
}

bool IsWhiteOnly(std::string_view text)
{
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

std::string MailTextCharset(const CServerConfig& config)
{
    return config.m_mimeTextEncoding.empty() ? std::string("utf-8") : config.m_mimeTextEncoding;
}

std::string EncodeHeaderText(std::string_view text, std::string_view charset)
{
    return IsPlainAscii(text) ? std::string(text) : EncodeWords(text, charset);
}

std::string FormatMailbox(const CMailbox& mailbox, std::string_view charset)
{
    if (mailbox.name.empty())
        return mailbox.address;
    return FormatDisplayName(mailbox.name, charset) + " <" + mailbox.address + ">";
}

std::string EncodeAddressList(std::string_view list, std::string_view charset)
{
    std::string encoded;
    for (const CMailbox& mailbox : SplitMailboxes(list)) {
        if (!encoded.empty())
            encoded += ", ";
        encoded += FormatMailbox(mailbox, charset);
    }
    return encoded;
}

std::string EncodeHeaderLine(std::string_view line, std::string_view charset)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || IsPlainAscii(line))
        return std::string(line);
    const std::string_view name = TrimWhiteAscii(line.substr(0, colon));
    if (IsLeftAlone(name))
        return std::string(line);
    const std::string_view value = TrimWhiteAscii(line.substr(colon + 1));
    const std::string encoded =
        IsAddressHeader(name) ? EncodeAddressList(value, charset) : EncodeHeaderText(value, charset);
    return std::string(line.substr(0, colon + 1)) + " " + encoded;
}

std::string FoldHeaderLine(std::string_view line)
{
    constexpr std::size_t kLineLength = 78;
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    std::string folded;
    while (line.size() > kLineLength) {
        // A break may come only after the line's first word (on the first line, the first word
        // of the value), so that no line is white space alone and no value starts on a line of
        // its own, which some readers take for a leading blank.
        std::size_t word = line.find_first_not_of(" \t");
        const std::size_t colon = folded.empty() ? line.find(':') : std::string_view::npos;
        if (colon != std::string_view::npos)
            word = line.find_first_not_of(" \t", colon + 1);
        if (word == std::string_view::npos)
            break;
        std::size_t at = kLineLength;
        while (at > word && !isBlank(line[at]))
            --at;
        if (at <= word) {
            at = word;
            while (at < line.size() && !isBlank(line[at]))
                ++at;
            if (at == line.size())
                break;
        }
        folded += line.substr(0, at);
        folded += "\r\n";
        line.remove_prefix(at);
    }
    folded += line;
    return folded;
}

std::string DecodeEncodedWords(std::string_view text, std::string_view charset)
{
    std::string out;
    std::size_t position = 0;
    bool afterWord = false;
    for (;;) {
        const std::size_t start = text.find("=?", position);
        if (start == std::string_view::npos)
            break;
        std::string decoded;
        bool ok = false;
        const std::size_t end = FindWordAt(text, start, charset, decoded, ok);
        if (!ok) {
            // Not a word, or one that cannot be read here: it stays, and so does the blank before it.
            const std::size_t kept = end == std::string_view::npos ? start + 2 : end;
            out += text.substr(position, kept - position);
            position = kept;
            afterWord = false;
            continue;
        }
        const std::string_view gap = text.substr(position, start - position);
        if (!(afterWord && IsWhiteOnly(gap)))
            out += gap;
        out += decoded;
        position = end;
        afterWord = true;
    }
    out += text.substr(position);
    return out;
}
