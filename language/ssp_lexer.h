// The scanner of pages and scripts. There is no parse tree: the engine moves one cursor through a
// source file's buffer and, as it goes, splits template text (copied to the output) from code
// blocks, and code into tokens. These routines work in place on the buffer; a token is a view into
// it (or, for a literal joined from several pieces, into text the file keeps), so scanning allocates
// nothing. Cursors and positions are byte offsets from the file's first byte; `end` bounds the run.
#pragma once

#include <string>
#include <string_view>

class CSourceFile;

// Where the cursor stands: template text, a statement block "<!--{ ... }-->", or an output block
// "--{ ... }--" whose expression statements write their values.
enum : int
{
    kTextMode = 0,
    kStatementMode = 1,
    kOutputMode = 2,
};

struct CSspToken
{
    std::string_view text;  // empty at the end of the input
    int start = 0;          // offset of the token's first byte
};

// Reads template text from the cursor up to the next code opener (moving past it) or, with
// stopAtNewline, up to and including the next line feed. Returns the code mode that follows.
int ReadText(std::string_view source, int& cursor, int end, std::string_view& text, bool stopAtNewline);

// The next token of code, skipping white space and // comments. A word runs up to white space, a
// quote, an operator character, a comment or "}--"; a string literal (with any literals that follow
// it across white space) is one token, quotes included.
CSspToken NextToken(CSourceFile& file, int& cursor, int end);

// The raw text of the string literal whose opening quote is at the cursor; adjacent literals join.
// Throws "String missing ending single quote." at the opening quote.
CSspToken ReadString(CSourceFile& file, int& cursor, int end);

// The value of a raw literal: escapes \\ \r \n \t \' decoded, doubled quotes kept as written.
std::string DecodeString(std::string_view raw);

// Moves past the next line feed, or to the end.
void SkipToLineEnd(std::string_view source, int& cursor, int end);

// Moves over white space and // comments.
void SkipSpaceAndComments(std::string_view source, int& cursor, int end);
