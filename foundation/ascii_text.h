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
    for (size_t i = 0; i < a.size(); ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i]))
            return false;
    }
    return true;
}

inline std::string LowerAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = ToLowerAscii(c);
    return out;
}

// Blank, tab, CR, LF, vertical tab and form feed: the white space of the C locale.
inline bool IsWhiteAscii(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline std::string_view TrimWhiteAscii(std::string_view text)
{
    while (!text.empty() && IsWhiteAscii(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsWhiteAscii(text.back()))
        text.remove_suffix(1);
    return text;
}
