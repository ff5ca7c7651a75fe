// Prefix matching without regard to case for the names the database code compares (commands,
// DBMS names, URL path prefixes, error-text prefixes), on top of the foundation's ASCII folding.
// No locale is involved.
#pragma once

#include "foundation/ascii_text.h"

#include <string_view>

// An empty prefix never matches: a table row without a prefix must not claim every text.
inline bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return !prefix.empty() && text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}
