#include "foundation/ascii_text.h"

#include "foundation/name_index.h"

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

struct Word
{
    std::string_view text;
    int id;
};

constexpr Word kWords[] = {{"if", 1}, {"else", 2}, {"endif", 3}, {"write", 4}, {"while", 5}, {"ColumnCount", 6}};

TEST(NameIndex, FindsEachNameInAnyCaseAndNothingElse)
{
    static constexpr CNameIndex<Word, &Word::text, 12, 3> kIndex(kWords);
    for (const Word& word : kWords)
        ASSERT_EQ(kIndex.Find(word.text), &word) << word.text;
    // Names of one length told apart past their first letter, and by it.
    EXPECT_EQ(kIndex.Find("WHILE")->id, 5);
    EXPECT_EQ(kIndex.Find("Write")->id, 4);
    EXPECT_EQ(kIndex.Find("columncount")->id, 6);
    EXPECT_EQ(kIndex.Find("whale"), nullptr);
    EXPECT_EQ(kIndex.Find("endit"), nullptr);
    EXPECT_EQ(kIndex.Find("elsee"), nullptr);
    // No name of that length, longer than any, and empty.
    EXPECT_EQ(kIndex.Find("els"), nullptr);
    EXPECT_EQ(kIndex.Find("ColumnCountX"), nullptr);
    EXPECT_EQ(kIndex.Find("a very long text beyond the index"), nullptr);
    EXPECT_EQ(kIndex.Find(""), nullptr);
}

}  // namespace
