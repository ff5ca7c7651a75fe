#include "language/ssp_lexer.h"

#include "foundation/ssp_exception.h"
#include "language/source_file.h"
#include "script_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Loads code into a source file so that tokens point into a real buffer.
class LexerTest : public ::testing::Test
{
protected:
    CSourceFile& Load(std::string_view code)
    {
        m_cache.CloseAll();
        CSourceFile* file = m_cache.Get(m_folder.Write("code.tws", code));
        if (file == nullptr)
            throw std::runtime_error(m_cache.ErrorText());
        return *file;
    }

    std::vector<std::string> Tokens(std::string_view code)
    {
        CSourceFile& file = Load(code);
        std::vector<std::string> tokens;
        int cursor = 0;
        for (;;) {
            CSspToken token = NextToken(file, cursor, file.Size());
            if (token.text.empty())
                return tokens;
            tokens.emplace_back(token.text);
        }
    }

    // The message and position of the error that tokenising raises.
    std::pair<std::string, int> TokenError(std::string_view code)
    {
        try {
            Tokens(code);
        } catch (const CSspException& e) {
            return {e.GetMessage(), e.GetPosition()};
        }
        return {"", -2};
    }

    ScriptFolder m_folder;
    CSourceFileCache m_cache;
};

using List = std::vector<std::string>;

TEST_F(LexerTest, OperatorsPairsAndWords)
{
    EXPECT_EQ(Tokens("a<=b"), (List{"a", "<=", "b"}));
    EXPECT_EQ(Tokens("x=-1"), (List{"x", "=", "-", "1"}));
    EXPECT_EQ(Tokens("a<>b a!=b a||b a==b"), (List{"a", "<>", "b", "a", "!=", "b", "a", "||", "b", "a", "==", "b"}));
    EXPECT_EQ(Tokens("!done |x| {ts '2004-01-02'}"), (List{"!done", "|x|", "{ts", "'2004-01-02'", "}"}));
    EXPECT_EQ(Tokens("Local.f(1.5,2);"), (List{"Local.f", "(", "1.5", ",", "2", ")", ";"}));
    EXPECT_EQ(Tokens("a%b*c/d+e"), (List{"a", "%", "b", "*", "c", "/", "d", "+", "e"}));
    EXPECT_EQ(Tokens("x}-->"), (List{"x", "}--", ">"}));
    EXPECT_EQ(Tokens("}-"), (List{"}", "-"}));
}

TEST_F(LexerTest, CommentsEndTheWordBeforeThem)
{
    EXPECT_EQ(Tokens("write 1; // note\nwrite 2;"), (List{"write", "1", ";", "write", "2", ";"}));
    EXPECT_EQ(Tokens("abc//x\ndef"), (List{"abc", "def"}));
    EXPECT_EQ(Tokens("// only a comment"), List{});
    EXPECT_EQ(Tokens("a / b"), (List{"a", "/", "b"}));
}

TEST_F(LexerTest, TokenPositionsAndCursor)
{
    CSourceFile& file = Load("  if(x)");
    int cursor = 0;
    CSspToken token = NextToken(file, cursor, file.Size());
    EXPECT_EQ(token.text, "if");
    EXPECT_EQ(token.start, 2);
    EXPECT_EQ(cursor, 4);  // stops at the parenthesis, which is the next token
    token = NextToken(file, cursor, file.Size());
    EXPECT_EQ(token.text, "(");
    EXPECT_EQ(token.start, 4);

    // The run's end bounds the scan even inside a word.
    cursor = 0;
    EXPECT_EQ(NextToken(file, cursor, 3).text, "i");
}

TEST_F(LexerTest, AdjacentLiteralsJoinAcrossSpaceLinesAndComments)
{
    CSourceFile& file = Load("'ab' 'cd'\n  // c\n 'e' x");
    int cursor = 0;
    CSspToken token = NextToken(file, cursor, file.Size());
    EXPECT_EQ(token.text, "'abcde'");
    EXPECT_EQ(token.start, 0);
    EXPECT_EQ(DecodeString(token.text), "abcde");
    EXPECT_EQ(NextToken(file, cursor, file.Size()).text, "x");

    // Scanning the same literal again yields the same kept text, not a new copy.
    int again = 0;
    EXPECT_EQ(NextToken(file, again, file.Size()).text.data(), token.text.data());
}

TEST_F(LexerTest, LiteralQuotesAndEscapes)
{
    EXPECT_EQ(Tokens("'it''s' x"), (List{"'it''s'", "x"}));
    EXPECT_EQ(DecodeString("'it''s'"), "it''s");
    EXPECT_EQ(Tokens("'it\\'s'"), (List{"'it\\'s'"}));
    EXPECT_EQ(DecodeString("'it\\'s'"), "it's");
    EXPECT_EQ(DecodeString("'a\\tb\\r\\n\\\\c\\qd'"), "a\tb\r\n\\c\\qd");
    // An escaped backslash before the closing quote ends the literal.
    EXPECT_EQ(Tokens("'C:\\\\' x"), (List{"'C:\\\\'", "x"}));
    EXPECT_EQ(DecodeString("'C:\\\\'"), "C:\\");
    EXPECT_EQ(Tokens("word'lit'"), (List{"word", "'lit'"}));
}

TEST_F(LexerTest, UnclosedLiteralIsReportedAtItsOpeningQuote)
{
    auto [message, position] = TokenError("x = 'abc\n';");
    EXPECT_EQ(message, "String missing ending single quote.");
    EXPECT_EQ(position, 4);
    EXPECT_EQ(TokenError("'ab' 'cd").second, 0);
    EXPECT_EQ(TokenError("  'abc").second, 2);
}

TEST_F(LexerTest, TemplateTextStopsAtOpenersAndLineEnds)
{
    std::string_view source = "a <!--{x}--> b\nc --{y}-- <!-- note --{z";
    int end = static_cast<int>(source.size());
    int cursor = 0;
    std::string_view text;
    EXPECT_EQ(ReadText(source, cursor, end, text, true), kStatementMode);
    EXPECT_EQ(text, "a ");
    EXPECT_EQ(source.substr(static_cast<size_t>(cursor), 1), "x");

    cursor = 12;  // after "}-->"
    EXPECT_EQ(ReadText(source, cursor, end, text, true), kTextMode);
    EXPECT_EQ(text, " b\n");
    EXPECT_EQ(ReadText(source, cursor, end, text, true), kOutputMode);
    EXPECT_EQ(text, "c ");

    cursor = 24;  // after "}--": an opener inside an HTML comment still opens an output block
    EXPECT_EQ(ReadText(source, cursor, end, text, false), kOutputMode);
    EXPECT_EQ(text, " <!-- note ");
    EXPECT_EQ(cursor, end - 1);

    cursor = 0;
    EXPECT_EQ(ReadText("no code\nat all", cursor, 14, text, false), kTextMode);
    EXPECT_EQ(text, "no code\nat all");
    EXPECT_EQ(cursor, 14);
}

TEST_F(LexerTest, OpenerSplitByTheRunEndIsText)
{
    std::string_view source = "ab--{";
    int cursor = 0;
    std::string_view text;
    EXPECT_EQ(ReadText(source, cursor, 4, text, true), kTextMode);
    EXPECT_EQ(text, "ab--");
    // Dashes before the opener stay text.
    cursor = 0;
    EXPECT_EQ(ReadText("x---{", cursor, 5, text, true), kOutputMode);
    EXPECT_EQ(text, "x-");
}

}  // namespace
