// CSqlScriptSplitter: cuts a table-creation script into the statements that the table-creation
// dialog runs one by one. It knows comments ("/* */", "--"), the statement ends ";", a line that
// holds only "go" or "/", and the bodies of stored code (trigger, package, function, procedure),
// inside which ";" does not end a statement and the text is kept as written. Outside such a body,
// runs of white space become one blank.
#pragma once

#include <string>

class CSqlScriptSplitter {
public:
    explicit CSqlScriptSplitter(std::string script) : m_script(std::move(script)) {}

    // The next statement, without its end mark and trailing blanks; false at the end of the
    // script (text after the last statement end is not a statement).
    bool Next(std::string& statement);

private:
    bool AtLineStart(std::size_t position) const;
    bool StartsWithNoCase(std::size_t position, const char* word) const;
    // "go" or "/" at the start of a line followed by CR or LF: the length of the mark, else 0.
    std::size_t LineEndMark(std::size_t position) const;

    std::string m_script;
    std::size_t m_position = 0;
};
