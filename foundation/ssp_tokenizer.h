#pragma once
// Splits a text into alternating runs of delimiter and non-delimiter bytes. The engine, the web
// server and the mail code use it to take texts apart, and it is the object behind the script's
// `tokenizer` declaration (members NextToken and NextPart).
//
// Without the copy flag the tokenizer reads the caller's text and delimiter set in place: the caller
// keeps both alive and unchanged while the tokenizer is used. With it, both are copied.

#include <string>

class CSspValue;

class CSspTokenizer
{
public:
    CSspTokenizer() = default;
    CSspTokenizer(const char* text, const char* delimiters, bool copy);
    CSspTokenizer(const CSspTokenizer& other);
    CSspTokenizer& operator=(const CSspTokenizer& other);

    // Restarts at position 0. A null text or delimiter set makes every read return "".
    void SetText(const char* text, const char* delimiters, bool copy);
    // Positions past the end of the text are clamped to its end, negative ones to 0.
    void SetPosition(int index);
    int GetPosition() const { return m_position; }

    // NUL is never a delimiter.
    bool IsDelimiter(char c) const;
    // Advances over the bytes that are in `set` (not the delimiter set).
    void SkipChars(const char* set);
    // The next maximal run of delimiters or of non-delimiters, whichever starts at the position.
    std::string NextPart();
    // The next run of non-delimiters, skipping delimiters first; "" at the end.
    std::string NextToken();
    // NextToken with another delimiter set for this one call.
    std::string NextTokenWith(const char* delimiters);

    // The script members "NextToken" and "NextPart" (names exact); the result is text (kind 12).
    // Any other name throws CSspException "Unknown tokenizer field: <name>" at `position`.
    void CallMethod(const std::string& method, int position, CSspValue& result);

private:
    char CurrentChar() const { return m_text[m_position]; }

    std::string m_ownText;
    std::string m_ownDelimiters;
    const char* m_text = nullptr;
    const char* m_delimiters = nullptr;
    int m_position = 0;
    bool m_copied = false;  // m_text and m_delimiters point into the own strings
};
