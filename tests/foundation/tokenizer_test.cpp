#include "foundation/ssp_exception.h"
#include "foundation/ssp_tokenizer.h"
#include "foundation/ssp_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> AllParts(CSspTokenizer& t)
{
    std::vector<std::string> parts;
    for (std::string part = t.NextPart(); !part.empty(); part = t.NextPart())
        parts.push_back(part);
    return parts;
}

}  // namespace

TEST(Tokenizer, PartsAlternateBetweenDelimiterRunsAndWords)
{
    CSspTokenizer t("a,,b", ",", false);
    EXPECT_EQ(AllParts(t), (std::vector<std::string>{"a", ",,", "b"}));
    EXPECT_EQ(t.NextPart(), "");
    EXPECT_EQ(t.GetPosition(), 4);
}

TEST(Tokenizer, TokensSkipDelimiterRuns)
{
    CSspTokenizer t(",;a,,b;", ",;", false);
    EXPECT_EQ(t.NextToken(), "a");
    EXPECT_EQ(t.NextToken(), "b");
    EXPECT_EQ(t.NextToken(), "");
    EXPECT_EQ(t.NextToken(), "");
}

TEST(Tokenizer, EmptyDelimiterSetGivesTheWholeRest)
{
    CSspTokenizer t("one two", "", false);
    t.SetPosition(4);
    EXPECT_EQ(t.NextPart(), "two");
    EXPECT_EQ(t.NextPart(), "");
}

TEST(Tokenizer, NullTextOrDelimitersGiveNothing)
{
    CSspTokenizer noText(nullptr, ",", true);
    EXPECT_EQ(noText.NextPart(), "");
    EXPECT_EQ(noText.NextToken(), "");
    noText.SkipChars(",");
    noText.SetPosition(5);
    EXPECT_EQ(noText.GetPosition(), 0);

    CSspTokenizer noDelimiters("a,b", nullptr, true);
    EXPECT_EQ(noDelimiters.NextPart(), "");
    EXPECT_EQ(noDelimiters.NextToken(), "");
    noDelimiters.SkipChars("a");
    EXPECT_EQ(noDelimiters.GetPosition(), 0);
    EXPECT_FALSE(noDelimiters.IsDelimiter(','));

    CSspTokenizer t("x", "x", false);
    EXPECT_TRUE(t.IsDelimiter('x'));
    EXPECT_FALSE(t.IsDelimiter('\0'));  // strchr would find the terminator
}

TEST(Tokenizer, TemporaryDelimitersApplyToOneCallOnly)
{
    CSspTokenizer t("k=v;next=w", ";", false);
    EXPECT_EQ(t.NextTokenWith("="), "k");
    EXPECT_EQ(t.NextToken(), "=v");
    EXPECT_EQ(t.NextTokenWith("="), ";next");
    EXPECT_EQ(t.NextToken(), "=w");
}

TEST(Tokenizer, SkipCharsUsesTheGivenSet)
{
    CSspTokenizer t("  \tword rest", " ", false);
    t.SkipChars(" \t");
    EXPECT_EQ(t.GetPosition(), 3);
    EXPECT_EQ(t.NextPart(), "word");
    t.SkipChars("xyz");
    EXPECT_EQ(t.NextPart(), " ");
}

TEST(Tokenizer, PositionIsClampedToTheText)
{
    CSspTokenizer t("abc", ",", false);
    t.SetPosition(100);
    EXPECT_EQ(t.GetPosition(), 3);
    EXPECT_EQ(t.NextPart(), "");
    t.SetPosition(-2);
    EXPECT_EQ(t.NextPart(), "abc");
}

TEST(Tokenizer, CopiedTextOutlivesTheCaller)
{
    std::string text = "left|right";
    std::string delimiters = "|";
    CSspTokenizer t(text.c_str(), delimiters.c_str(), true);
    text.assign("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
    delimiters.assign("x");
    EXPECT_EQ(t.NextToken(), "left");

    // A copy must keep reading its own text, even after the original is gone.
    CSspTokenizer copy(t);
    {
        CSspTokenizer gone = t;
        copy = gone;
    }
    EXPECT_EQ(copy.NextToken(), "right");
    EXPECT_EQ(t.NextToken(), "right");

    t.SetText("c d", " ", false);
    EXPECT_EQ(t.NextToken(), "c");
}

TEST(SspException, CarriesMessageAndPosition)
{
    try {
        throw CSspException("Missing parameter.", 42);
    } catch (const CSspException& e) {
        EXPECT_EQ(e.GetMessage(), "Missing parameter.");
        EXPECT_EQ(e.GetPosition(), 42);
        EXPECT_STREQ(e.what(), "Missing parameter.");
    }
    const char* none = nullptr;
    EXPECT_EQ(CSspException(none, 3).GetMessage(), "");
}

TEST(Tokenizer, ScriptMembers)
{
    CSspTokenizer t("a,,b", ",", true);
    CSspValue result;
    t.CallMethod("NextPart", 7, result);
    EXPECT_EQ(result.m_type, CSspValue::kVarChar);
    EXPECT_EQ(result.ToString(), "a");
    t.CallMethod("NextToken", 7, result);
    EXPECT_EQ(result.ToString(), "b");
    try {
        t.CallMethod("nexttoken", 31, result);
        FAIL() << "member names are case-sensitive";
    } catch (const CSspException& e) {
        EXPECT_EQ(e.GetMessage(), "Unknown tokenizer field: nexttoken");
        EXPECT_EQ(e.GetPosition(), 31);
    }
}
