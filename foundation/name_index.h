// A fixed few names (a language's keywords, an object's methods) indexed by their length at
// compile time, for lookups without regard to case. Most texts looked up (column names, Local.x)
// have a length that none of the names has and are rejected without a comparison; the others are
// compared only with the few names of their length, and first by their first letter.
#pragma once

#include "foundation/ascii_text.h"

#include <array>
#include <cstddef>
#include <string_view>

// Entry is a type with a std::string_view member Name; kLongest and kPerLength bound the index.
template <typename Entry, std::string_view Entry::*Name, size_t kLongest, size_t kPerLength>
class CNameIndex
{
public:
    template <size_t N>
    constexpr explicit CNameIndex(const Entry (&entries)[N])
    {
        for (const Entry& entry : entries) {
            const size_t length = (entry.*Name).size();
            if (length > kLongest || m_counts[length] == kPerLength)
                throw "the name index is too small";  // fails the compile
            m_entries[length][m_counts[length]++] = &entry;
        }
    }

    const Entry* Find(std::string_view text) const
    {
        const size_t count = text.size() <= kLongest ? m_counts[text.size()] : 0;
        if (count == 0)
            return nullptr;
        const char first = ToLowerAscii(text.front());
        for (size_t i = 0; i < count; ++i) {
            const Entry* entry = m_entries[text.size()][i];
            if (ToLowerAscii((entry->*Name).front()) == first && EqualsNoCase(text, entry->*Name))
                return entry;
        }
        return nullptr;
    }

private:
    std::array<std::array<const Entry*, kPerLength>, kLongest + 1> m_entries{};
    std::array<size_t, kLongest + 1> m_counts{};
};
