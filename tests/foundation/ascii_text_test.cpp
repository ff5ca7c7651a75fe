#include "foundation/ascii_text.h"

#include <gtest/gtest.h>

namespace {

TEST(AsciiText, StartsWithNoCaseMatchesLikeStartsWithIgnoringCase)
{
    EXPECT_TRUE(StartsWithNoCase("SELECT * FROM t", "select"));
    EXPECT_TRUE(StartsWithNoCase("multipart/mixed", "MULTIPART"));
    EXPECT_TRUE(StartsWithNoCase("abc", "abc"));
    EXPECT_FALSE(StartsWithNoCase("ab", "abc"));
    EXPECT_FALSE(StartsWithNoCase("xabc", "abc"));
    // Folding is ASCII only: the bytes of other characters must match as they are.
    EXPECT_FALSE(StartsWithNoCase("\xC3\xA4x", "\xC3\x84"));
    // An empty prefix starts every text, the empty one too, as std::string_view::starts_with says.
    EXPECT_TRUE(StartsWithNoCase("anything", ""));
    EXPECT_TRUE(StartsWithNoCase("", ""));
}

}  // namespace
