#include "language/ssp_lexer.h"

#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"
#include "language/source_file.h"

#include <array>
#include <cstring>

namespace {

constexpr int kMsgUnclosedString = 96;  // "String missing ending single quote."

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Characters that can never end a word: everything except white space, the quote, the operator
// characters and the first characters of "//", "!=", "||" and "}--".
constexpr std::array<bool, 256> kPlainWordChar = [] {
    std::array<bool, 256> plain{};
    plain.fill(true);
    for (unsigned char c : std::string_view(" \t\n\r'%()*+,-/;<=>!|}"))
        plain[c] = false;
    return plain;
}();

bool IsOperatorChar(char c)
{
    switch (c) {
    case '%':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case '-':
    case '/':
    case ';':
    case '<':
    case '=':
    case '>': return true;
    default: return false;
    }
}

bool IsOperatorPair(char a, char b)
{
    switch (a) {
    case '<': return b == '=' || b == '>';
    case '>': return b == '=';
    case '=': return b == '=';
    case '!': return b == '=';
    case '|': return b == '|';
    default: return false;
    }
}

bool IsComment(const char* s, int p, int end)
{
    return s[p] == '/' && p + 1 < end && s[p + 1] == '/';
}

CSspToken Slice(const char* s, int from, int to)
{
    return CSspToken{std::string_view(s + from, static_cast<size_t>(to - from)), from};
}

// Scans one piece of a literal from just after its opening quote; returns the offset of the
// closing quote. Doubled quotes and escaped quotes or backslashes stay inside the piece.
int ScanStringPiece(const char* s, int p, int end, int literalStart)
{
    while (p < end) {
        char c = s[p];
        if (c == '\'') {
            if (p + 1 < end && s[p + 1] == '\'') {
                p += 2;
                continue;
            }
            return p;
        }
        if (c == '\\' && p + 1 < end && (s[p + 1] == '\'' || s[p + 1] == '\\')) {
            p += 2;
            continue;
        }
        if (c == '\n')
            break;
        ++p;
    }
    RaiseCatalogText(kMsgUnclosedString, literalStart);
}

}  // namespace

int ReadText(std::string_view source, int& cursor, int end, std::string_view& text, bool stopAtNewline)
{
    const char* s = source.data();
    int from = cursor;
    int limit = end;
    if (stopAtNewline && from < end) {
        const void* newline = std::memchr(s + from, '\n', static_cast<size_t>(end - from));
        if (newline != nullptr)
            limit = static_cast<int>(static_cast<const char*>(newline) - s) + 1;
    }
    // Both openers end in "--{", so look for that and then check for the "<!" in front of it.
    int scan = from;
    while (scan < limit) {
        const void* dash = std::memchr(s + scan, '-', static_cast<size_t>(limit - scan));
        if (dash == nullptr)
            break;
        int d = static_cast<int>(static_cast<const char*>(dash) - s);
        if (d + 2 < end && s[d + 1] == '-' && s[d + 2] == '{') {
            cursor = d + 3;
            if (d - 2 >= from && s[d - 2] == '<' && s[d - 1] == '!') {
                text = std::string_view(s + from, static_cast<size_t>(d - 2 - from));
                return kStatementMode;
            }
            text = std::string_view(s + from, static_cast<size_t>(d - from));
            return kOutputMode;
        }
        scan = d + 1;
    }
    text = std::string_view(s + from, static_cast<size_t>(limit - from));
    cursor = limit;
    return kTextMode;
}

CSspToken NextToken(CSourceFile& file, int& cursor, int end)
{
    const char* s = file.Text().data();
    int p = cursor;
    int start = p;
    while (p < end) {
        while (p < end && kPlainWordChar[static_cast<unsigned char>(s[p])])
            ++p;
        if (p >= end)
            break;
        char c = s[p];
        bool gathered = p > start;
        if (IsComment(s, p, end)) {
            // A comment ends the word before it; it never glues the next line's word onto it.
            if (gathered)
                break;
            SkipToLineEnd(file.Text(), p, end);
            start = p;
            continue;
        }
        if (IsSpace(c)) {
            if (gathered)
                break;
            start = ++p;
            continue;
        }
        if (c == '\'') {
            if (gathered)
                break;
            cursor = p;
            return ReadString(file, cursor, end);
        }
        if (p + 1 < end && IsOperatorPair(c, s[p + 1])) {
            if (gathered)
                break;
            cursor = p + 2;
            return Slice(s, p, p + 2);
        }
        if (IsOperatorChar(c)) {
            if (gathered)
                break;
            cursor = p + 1;
            return Slice(s, p, p + 1);
        }
        if (c == '}' && p + 2 < end && s[p + 1] == '-' && s[p + 2] == '-') {
            if (gathered)
                break;
            cursor = p + 3;
            return Slice(s, p, p + 3);
        }
        ++p;  // "!", "|" or "}" that starts no operator belongs to the word
    }
    cursor = p;
    return Slice(s, start, p);
}

CSspToken ReadString(CSourceFile& file, int& cursor, int end)
{
    std::string_view source = file.Text();
    const char* s = source.data();
    int open = cursor;
    int close = ScanStringPiece(s, open + 1, end, open);
    std::string joined;
    for (;;) {
        int next = close + 1;
        SkipSpaceAndComments(source, next, end);
        if (next >= end || s[next] != '\'') {
            cursor = next;
            if (joined.empty())
                return Slice(s, open, close + 1);
            joined += '\'';
            return CSspToken{file.KeepJoinedLiteral(open, next, std::move(joined)), open};
        }
        // Another literal follows: its text continues this one, as if written in one piece.
        if (joined.empty())
            joined.assign(s + open, static_cast<size_t>(close - open));
        int pieceStart = next + 1;
        close = ScanStringPiece(s, pieceStart, end, open);
        joined.append(s + pieceStart, static_cast<size_t>(close - pieceStart));
    }
}

std::string DecodeString(std::string_view raw)
{
    std::string value;
    value.reserve(raw.size());
    size_t i = raw.empty() ? 0 : 1;  // past the opening quote
    while (i < raw.size()) {
        char c = raw[i];
        if (c == '\'') {
            if (i + 1 < raw.size() && raw[i + 1] == '\'') {
                value += "''";
                i += 2;
                continue;
            }
            break;
        }
        if (c == '\\' && i + 1 < raw.size()) {
            char next = raw[i + 1];
            char decoded = next == '\\'   ? '\\'
                           : next == '\'' ? '\''
                           : next == 'r'  ? '\r'
                           : next == 'n'  ? '\n'
                           : next == 't'  ? '\t'
                                          : '\0';
            if (decoded != '\0') {
                value += decoded;
                i += 2;
                continue;
            }
        }
        value += c;
        ++i;
    }
    return value;
}

void SkipToLineEnd(std::string_view source, int& cursor, int end)
{
    if (cursor >= end)
        return;
    const void* newline = std::memchr(source.data() + cursor, '\n', static_cast<size_t>(end - cursor));
    cursor = newline ? static_cast<int>(static_cast<const char*>(newline) - source.data()) + 1 : end;
}

void SkipSpaceAndComments(std::string_view source, int& cursor, int end)
{
    const char* s = source.data();
    while (cursor < end) {
        if (IsSpace(s[cursor]))
            ++cursor;
        else if (IsComment(s, cursor, end))
            SkipToLineEnd(source, cursor, end);
        else
            break;
    }
}
