#include "foundation/codecs.h"

#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"

#include <array>
#include <cstdint>
#include <new>
#include <utility>

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBase64LineLength = 76;
constexpr std::uint8_t kNotInAlphabet = 127;
constexpr std::uint8_t kPadding = 64;

// Built by the compiler, so no thread ever sees it half filled.
constexpr std::array<std::uint8_t, 256> kBase64Values = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(kNotInAlphabet);
    for (std::uint8_t i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    values['='] = kPadding;
    return values;
}();

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The replacement of one byte, or null when the byte stays as it is.
const char* HtmlReplacement(char c, bool lines)
{
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\r': return lines ? "" : nullptr;
    case '\n': return lines ? "<br>\r\n" : nullptr;
    default: return nullptr;
    }
}

// Base64 with a CR LF before every group that would start past `lineLength` (0: one line).
void EncodeBase64Lines(const void* data, std::size_t length, std::size_t lineLength, std::string& out)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t characters = (length + 2) / 3 * 4;
    const std::size_t breaks = characters == 0 || lineLength == 0 ? 0 : (characters - 1) / lineLength;
    out.clear();
    out.reserve(characters + 2 * breaks);

    for (std::size_t at = 0; at < length; at += 3) {
        if (at != 0 && lineLength != 0 && at / 3 * 4 % lineLength == 0)
            out += "\r\n";
        const std::size_t left = length - at;
        std::uint32_t group = static_cast<std::uint32_t>(bytes[at]) << 16;
        if (left > 1)
            group |= static_cast<std::uint32_t>(bytes[at + 1]) << 8;
        if (left > 2)
            group |= bytes[at + 2];
        out += kBase64Alphabet[group >> 18 & 63];
        out += kBase64Alphabet[group >> 12 & 63];
        out += left > 1 ? kBase64Alphabet[group >> 6 & 63] : '=';
        out += left > 2 ? kBase64Alphabet[group & 63] : '=';
    }
}

}  // namespace

void Base64Encode(const void* data, std::size_t length, std::string& out)
{
    EncodeBase64Lines(data, length, kBase64LineLength, out);
}

void Base64EncodeString(std::string_view text, std::string& out)
{
    Base64Encode(text.data(), text.size(), out);
}

void Base64EncodeId(std::string_view text, std::string& out)
{
    EncodeBase64Lines(text.data(), text.size(), 0, out);
}

int Base64Decode(const char* text, char* buffer, int size, int& outLength, bool flush)
{
    outLength = 0;
    if (text == nullptr || buffer == nullptr || size <= 0)
        return 0;

    int out = 0;
    int consumed = 0;
    std::uint32_t bits = 0;
    int pending = 0;  // alphabet characters of the group being collected
    int at = 0;
    for (; text[at] != '\0'; ++at) {
        // Room for a whole group and the NUL, checked before a group starts.
        if (pending == 0 && size - out < 4)
            break;
        const std::uint8_t value = kBase64Values[static_cast<unsigned char>(text[at])];
        if (value >= kPadding)
            continue;
        bits = bits << 6 | value;
        if (++pending == 4) {
            buffer[out++] = static_cast<char>(bits >> 16);
            buffer[out++] = static_cast<char>(bits >> 8);
            buffer[out++] = static_cast<char>(bits);
            bits = 0;
            pending = 0;
            consumed = at + 1;
        }
    }
    if (flush && text[at] == '\0') {
        for (int left = pending * 6; left >= 8 && out < size - 1; left -= 8)
            buffer[out++] = static_cast<char>(bits >> (left - 8));
        consumed = at;
    }
    buffer[out] = '\0';
    outLength = out;
    return consumed;
}

int QuotedPrintableDecode(const char* text, char* buffer, int size, int& outLength, bool underscore)
{
    outLength = 0;
    if (text == nullptr || buffer == nullptr || size < 1)
        return 0;

    int out = 0;
    int at = 0;
    while (text[at] != '\0' && out < size - 1) {
        const char c = text[at];
        if (c != '=') {
            buffer[out++] = underscore && c == '_' ? ' ' : c;
            ++at;
            continue;
        }
        const char first = text[at + 1];
        if (first == '\0') {
            at += 1;
        } else if (first == '\r') {
            at += text[at + 2] == '\n' ? 3 : 2;
        } else if (first == '\n') {
            at += 2;
        } else if (HexValue(first) >= 0 && HexValue(text[at + 2]) >= 0) {
            buffer[out++] = static_cast<char>(HexValue(first) << 4 | HexValue(text[at + 2]));
            at += 3;
        } else {
            // Not an escape: the "=" stands for itself and what follows is read as text.
            buffer[out++] = '=';
            at += 1;
        }
    }
    buffer[out] = '\0';
    outLength = out;
    return at;
}

void QuotedPrintableEncode(std::string_view data, std::string& out)
{
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    // Characters a line holds before a soft break, whose "=" makes the 76th.
    constexpr std::size_t kRoom = 75;
    auto breakAt = [&data](std::size_t at) { return at + 1 < data.size() && data[at] == '\r' && data[at + 1] == '\n'; };
    out.clear();
    out.reserve(data.size() + data.size() / 8);
    std::size_t column = 0;
    for (std::size_t at = 0; at < data.size(); ++at) {
        if (breakAt(at)) {
            out += "\r\n";
            column = 0;
            ++at;
            continue;
        }
        const char c = data[at];
        const auto byte = static_cast<unsigned char>(c);
        const bool lineEnds = at + 1 == data.size() || breakAt(at + 1);
        const bool literal = (byte > ' ' && byte < 127 && c != '=') || ((c == ' ' || c == '\t') && !lineEnds);
        const std::size_t width = literal ? 1 : 3;
        if (column + width > kRoom) {
            out += "=\r\n";
            column = 0;
        }
        if (literal) {
            out += c;
        } else {
            out += '=';
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 15];
        }
        column += width;
    }
}

void HtmlEscape(std::string& text, bool lines)
{
    std::size_t escapedSize = 0;
    bool changes = false;
    for (char c : text) {
        const char* replacement = HtmlReplacement(c, lines);
        changes = changes || replacement != nullptr;
        escapedSize += replacement ? std::char_traits<char>::length(replacement) : 1;
    }
    if (!changes)
        return;

    std::string escaped;
    try {
        escaped.reserve(escapedSize);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, kNoPosition);
    }
    for (char c : text) {
        if (const char* replacement = HtmlReplacement(c, lines))
            escaped += replacement;
        else
            escaped += c;
    }
    text.swap(escaped);
}

void SwapBytePairs(std::string& text)
{
    for (std::size_t at = 0; at + 1 < text.size(); at += 2)
        std::swap(text[at], text[at + 1]);
}
