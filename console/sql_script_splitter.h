// CSqlScriptSplitter: cuts a table-creation script into the statements that the table-creation
// dialog runs one by one. It knows quoted texts and names (a ";" or a comment mark inside them is
// text), comments ("/* */", "--"), the statement ends ";", a line that holds only "go" or "/", and
// stored code, told by the statement's first words:
// - CREATE [OR REPLACE] PROCEDURE, FUNCTION or PACKAGE: inner semicolons stay, and the statement
//   ends only at a "go" or "/" line;
// - CREATE [OR REPLACE] TRIGGER: inner semicolons stay until the body's BEGIN ... END is closed;
//   the ";" after that END ends the statement and stays with it.
// Stored code is kept as written (less its CRs); elsewhere runs of white space become one blank.
#pragma once

#include <string>
#include <string_view>

class CSqlScriptSplitter
{
public:
    explicit CSqlScriptSplitter(std::string script) : m_script(std::move(script)) {}

    // The next statement, without its end mark and trailing blanks; a text after the last end
    // mark that is not blank is a statement too. False at the end of the script.
    bool Next(std::string& statement);

private:
    enum class Kind
    {
        kPlain,
        kTrigger,
        kStoredCode
    };

    bool AtLineStart(std::size_t position) const;
    // The script from `position` on, empty past its end.
    std::string_view RestAt(std::size_t position) const;
    // "go" or "/" alone on a line (blanks may follow): the length of the mark, else 0.
    std::size_t LineEndMark(std::size_t position) const;
    // The word (letters, digits, '_') that starts at `position`, empty when none does.
    std::string WordAt(std::size_t position) const;
    // The word that follows the one ending at `position`, white space between them skipped.
    std::string NextWordAfter(std::size_t position) const;
    // What the statement starting at `position` is, by its first words.
    Kind ClassifyAt(std::size_t position) const;
    // Copies the quoted text that opens at m_position into `statement`, quotes included.
    void CopyQuoted(std::string& statement);
    // Adds a word of stored code and follows its BEGIN ... END nesting.
    void FollowBlockWord(const std::string& word, std::size_t end);

    std::string m_script;
    std::size_t m_position = 0;
    Kind m_kind = Kind::kPlain;
    int m_depth = 0;
    bool m_bodyClosed = false;
};
