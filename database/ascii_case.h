// ASCII case folding for the names the database code compares without regard to case (commands,
// DBMS names, URL path prefixes, error-text prefixes). No locale is involved.
#pragma once

#include <string_view>

inline char FoldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

// An empty prefix never matches: a table row without a prefix must not claim every text.
inline bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return !prefix.empty() && text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}
