// Case folding and trimming in ASCII only, for names that the system compares without regard to
// case (form fields, header names, script members). The engine never calls locale-dependent
// functions, and the bytes of multi-byte characters pass unchanged.
#pragma once

#include <string>
#include <string_view>

inline char ToLowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline char ToUpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    // Names mostly match as written (Local against "Local"): equal bytes skip the case folding.
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && ToLowerAscii(a[i]) != ToLowerAscii(b[i]))
            return false;
    }
    return true;
}

// As std::string_view::starts_with without regard to case: an empty prefix starts every text.
inline bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// Orders like a byte comparison of both texts in lower case: below 0, 0 or above 0.
inline int CompareNoCase(std::string_view a, std::string_view b)
{
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(ToLowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(ToLowerAscii(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

inline std::string LowerAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = ToLowerAscii(c);
    return out;
}

// As text.find(part) != npos without regard to case: an empty part is found in every text.
inline bool ContainsNoCase(std::string_view text, std::string_view part)
{
    return LowerAscii(text).find(LowerAscii(part)) != std::string::npos;
}

inline bool IsAlnumAscii(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

inline bool IsHexDigitAscii(char c)
{
    return (c >= '0' && c <= '9') || (ToLowerAscii(c) >= 'a' && ToLowerAscii(c) <= 'f');
}

// The digits that ByteToHex writes: a text this system made recognised as it made it.
inline bool IsLowerHexDigitAscii(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Blank, tab, CR, LF, vertical tab and form feed: the white space of the C locale.
inline bool IsWhiteAscii(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline std::string_view TrimRightWhiteAscii(std::string_view text)
{
    while (!text.empty() && IsWhiteAscii(text.back()))
        text.remove_suffix(1);
    return text;
}

inline std::string_view TrimWhiteAscii(std::string_view text)
{
    while (!text.empty() && IsWhiteAscii(text.front()))
        text.remove_prefix(1);
    return TrimRightWhiteAscii(text);
}
