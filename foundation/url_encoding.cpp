#include "foundation/url_encoding.h"

#include <array>
#include <utility>

namespace {

constexpr char kLowerHexDigits[] = "0123456789abcdef";

// The bytes that UrlEncode escapes. Built by the compiler, so no thread sees it half filled.
constexpr std::array<bool, 256> kEscapedBytes = [] {
    std::array<bool, 256> escaped{};
    auto mark = [&escaped](unsigned char first, unsigned char last) {
        for (unsigned c = first; c <= last; ++c)
            escaped[c] = true;
    };
    mark('\r', '\r');
    mark('\n', '\n');
    mark(0x21, 0x29);  // ! " # $ % & ' ( )
    mark(0x2B, 0x2C);  // + ,
    mark(0x2F, 0x2F);  // /
    mark(0x3A, 0x3F);  // : ; < = > ?
    mark(0x5B, 0x5E);  // [ \ ] ^
    mark(0x60, 0x60);  // `
    mark(0x7B, 0x7E);  // { | } ~
    return escaped;
}();

int LooseHexValue(char c)
{
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    if (c >= '0' && c <= '9')
        return c - '0';
    return static_cast<unsigned char>(c) - 55;
}

}  // namespace

unsigned char HexToByte(std::string_view twoCharacters)
{
    if (twoCharacters.size() != 2)
        return '?';
    const int value = LooseHexValue(twoCharacters[0]) * 16 + LooseHexValue(twoCharacters[1]);
    return static_cast<unsigned char>(value & 0xFF);
}

std::string ByteToHex(unsigned char byte)
{
    return {kLowerHexDigits[byte >> 4], kLowerHexDigits[byte & 0x0F]};
}

void UrlDecode(std::string& text)
{
    // Blanks first, as two passes: "%+4" decodes the pair " 4", not "+4".
    for (char& c : text) {
        if (c == '+')
            c = ' ';
    }
    std::size_t write = 0;
    for (std::size_t read = 0; read < text.size(); ++write) {
        const char c = text[read];
        if (c == '%' && text.size() - read > 2) {
            text[write] = static_cast<char>(HexToByte(std::string_view(text).substr(read + 1, 2)));
            read += 3;
        } else {
            text[write] = c;
            ++read;
        }
    }
    text.resize(write);
}

void UrlEncode(std::string& text)
{
    std::string encoded;
    encoded.reserve(text.size() + text.size() / 4);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (kEscapedBytes[byte]) {
            encoded += '%';
            encoded += kLowerHexDigits[byte >> 4];
            encoded += kLowerHexDigits[byte & 0x0F];
        } else {
            encoded += c == ' ' ? '+' : c;
        }
    }
    text = std::move(encoded);
}

std::string EscapePercent(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        escaped += c;
        if (c == '%')
            escaped += '%';
    }
    return escaped;
}
