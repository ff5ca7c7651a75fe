// CSqlScriptSplitter: cuts a table-creation script into the statements that the table-creation
// dialog runs one by one. It knows quoted texts and names ('...', E'...' with backslash escapes,
// "...", and PostgreSQL's dollar quotes $$...$$ and $tag$...$tag$), in which a ";" or a comment
// mark is text; comments ("/* */", "--"); the statement ends ";", and a line that holds only "go"
// or "/"; and stored code, told by the statement's first words:
// - CREATE [OR REPLACE] PROCEDURE, FUNCTION or PACKAGE: inner semicolons stay, and the statement
//   ends only at a "go" or "/" line, unless its body is quoted (AS $$ ... $$ or AS '...'): then the
//   ";" after the quoted body ends it;
// - CREATE [OR REPLACE] TRIGGER: inner semicolons stay until the body's BEGIN ... END (with its
//   DECLARE part) is closed, and the ";" after that END ends the statement and stays with it; a
//   trigger without such a body (EXECUTE FUNCTION f()) ends at its ";" like any statement.
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
    // The length of the dollar-quote tag ("$$" or "$name$") that opens at `position`, else 0.
    std::size_t DollarTagAt(std::size_t position) const;
    // Copies the quoted text that opens at m_position into `statement`, quotes included.
    void CopyQuoted(std::string& statement);
    // Copies the dollar-quoted text whose tag, `tagLength` long, opens at m_position.
    void CopyDollarQuoted(std::string& statement, std::size_t tagLength);
    // Whether a ";" at depth 0 ends the statement of the current kind.
    bool SemicolonEnds() const;
    // Adds a word of stored code and follows its BEGIN ... END nesting.
    void FollowBlockWord(const std::string& word, std::size_t end);

    std::string m_script;
    std::size_t m_position = 0;
    Kind m_kind = Kind::kPlain;
    int m_depth = 0;
    bool m_bodyClosed = false;
    // A trigger's BEGIN or DECLARE was seen: its semicolons stay until the body is closed.
    bool m_blockOpened = false;
    // The last word was AS, so that a quote that follows opens a quoted body.
    bool m_afterAs = false;
    bool m_quotedBody = false;
};
