#include "console/sql_script_splitter.h"

#include <cstring>

#include "foundation/ascii_text.h"

namespace {

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

bool IsWordChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Letters, '_' and the bytes of non-ASCII characters may open a dollar-quote tag; digits may
// follow ($1 is a parameter, not a tag).
bool IsTagStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool IsTagChar(char c)
{
    return IsTagStart(c) || (c >= '0' && c <= '9');
}

bool IsOneOf(const std::string& word, std::initializer_list<const char*> choices)
{
    for (const char* choice : choices)
        if (EqualsNoCase(word, choice))
            return true;
    return false;
}

}  // namespace

bool CSqlScriptSplitter::AtLineStart(std::size_t position) const
{
    return position == 0 || m_script[position - 1] == '\n';
}

std::string_view CSqlScriptSplitter::RestAt(std::size_t position) const
{
    return position < m_script.size() ? std::string_view(m_script).substr(position) : std::string_view();
}

std::size_t CSqlScriptSplitter::LineEndMark(std::size_t position) const
{
    if (!AtLineStart(position))
        return 0;
    for (const char* mark : {"go", "/"}) {
        if (!StartsWithNoCase(RestAt(position), mark))
            continue;
        std::size_t end = position + std::strlen(mark);
        while (end < m_script.size() && (m_script[end] == ' ' || m_script[end] == '\t'))
            ++end;
        if (end == m_script.size() || IsLineEnd(m_script[end]))
            return end - position;
    }
    return 0;
}

std::string CSqlScriptSplitter::WordAt(std::size_t position) const
{
    std::size_t end = position;
    while (end < m_script.size() && IsWordChar(m_script[end]))
        ++end;
    return m_script.substr(position, end - position);
}

std::string CSqlScriptSplitter::NextWordAfter(std::size_t position) const
{
    while (position < m_script.size() && IsWhiteAscii(m_script[position]))
        ++position;
    return WordAt(position);
}

CSqlScriptSplitter::Kind CSqlScriptSplitter::ClassifyAt(std::size_t position) const
{
    std::string word = WordAt(position);
    if (!EqualsNoCase(word, "create"))
        return Kind::kPlain;
    position += word.size();
    word = NextWordAfter(position);
    // CREATE OR REPLACE / OR ALTER, CREATE TEMP / TEMPORARY: the kind is the word after them.
    for (int skipped = 0; skipped < 3 && IsOneOf(word, {"or", "replace", "alter", "temp", "temporary"}); ++skipped) {
        position = m_script.find(word, position) + word.size();
        word = NextWordAfter(position);
    }
    if (EqualsNoCase(word, "trigger"))
        return Kind::kTrigger;
    if (IsOneOf(word, {"procedure", "proc", "function", "package"}))
        return Kind::kStoredCode;
    return Kind::kPlain;
}

std::size_t CSqlScriptSplitter::DollarTagAt(std::size_t position) const
{
    // A '$' inside a name ("a$b") opens nothing.
    if (m_script[position] != '$' || (position > 0 && IsWordChar(m_script[position - 1])))
        return 0;
    std::size_t end = position + 1;
    if (end < m_script.size() && IsTagStart(m_script[end]))
        while (end < m_script.size() && IsTagChar(m_script[end]))
            ++end;
    return end < m_script.size() && m_script[end] == '$' ? end + 1 - position : 0;
}

void CSqlScriptSplitter::CopyQuoted(std::string& statement)
{
    // A doubled quote inside the text stands for the quote itself and does not close it; in an
    // E'...' text a backslash takes the next character as it is too.
    const char quote = m_script[m_position];
    const bool escapes = quote == '\'' && m_position > 0 && (m_script[m_position - 1] | 0x20) == 'e' &&
                         (m_position < 2 || !IsWordChar(m_script[m_position - 2]));
    statement += quote;
    ++m_position;
    while (m_position < m_script.size()) {
        const char c = m_script[m_position++];
        statement += c;
        if (escapes && c == '\\' && m_position < m_script.size()) {
            statement += m_script[m_position++];
            continue;
        }
        if (c != quote)
            continue;
        if (m_position < m_script.size() && m_script[m_position] == quote) {
            statement += quote;
            ++m_position;
            continue;
        }
        return;
    }
}

void CSqlScriptSplitter::CopyDollarQuoted(std::string& statement, std::size_t tagLength)
{
    // Everything up to the same tag is text, quotes, semicolons and other tags included.
    const std::string_view tag = std::string_view(m_script).substr(m_position, tagLength);
    const std::size_t close = m_script.find(tag, m_position + tagLength);
    const std::size_t end = close == std::string::npos ? m_script.size() : close + tagLength;
    statement.append(m_script, m_position, end - m_position);
    m_position = end;
}

bool CSqlScriptSplitter::SemicolonEnds() const
{
    switch (m_kind) {
    case Kind::kPlain: return true;
    case Kind::kTrigger: return m_depth == 0 && (m_bodyClosed || !m_blockOpened);
    case Kind::kStoredCode: return m_quotedBody;
    }
    return true;
}

void CSqlScriptSplitter::FollowBlockWord(const std::string& word, std::size_t end)
{
    if (IsOneOf(word, {"begin", "declare"}))
        m_blockOpened = true;
    if (IsOneOf(word, {"begin", "case"})) {
        ++m_depth;
        return;
    }
    if (!EqualsNoCase(word, "end"))
        return;
    // END IF, END LOOP ... close what never opened a level; END CASE closes its CASE. Either way
    // the second word is taken here, so that a CASE after END does not open a level again.
    const std::string second = NextWordAfter(end);
    const bool closesLevel = !IsOneOf(second, {"if", "loop", "while", "repeat"});
    if (IsOneOf(second, {"if", "loop", "while", "repeat", "case"}))
        m_position = m_script.find(second, end) + second.size();
    if (closesLevel && m_depth > 0 && --m_depth == 0)
        m_bodyClosed = true;
}

bool CSqlScriptSplitter::Next(std::string& statement)
{
    statement.clear();
    const std::size_t size = m_script.size();
    bool classified = false;
    auto startOver = [&] {
        statement.clear();
        classified = false;
        m_kind = Kind::kPlain;
        m_depth = 0;
        m_bodyClosed = false;
        m_blockOpened = false;
        m_afterAs = false;
        m_quotedBody = false;
    };
    startOver();
    // A statement ends: it is handed out unless it is blank (two end marks in a row).
    auto finish = [&] {
        statement.resize(TrimRightWhiteAscii(statement).size());
        if (!statement.empty())
            return true;
        startOver();
        return false;
    };
    while (m_position < size) {
        const std::size_t at = m_position;
        const char c = m_script[at];
        const bool block = m_kind != Kind::kPlain;
        if (const std::size_t mark = LineEndMark(at)) {
            m_position = at + mark;
            if (finish())
                return true;
            continue;
        }
        if (StartsWithNoCase(RestAt(at), "/*") || StartsWithNoCase(RestAt(at), "--")) {
            // Outside stored code a comment leaves no trace; inside it stays, less its CRs.
            const bool line = m_script[at] == '-';
            const std::size_t close = line ? m_script.find('\n', at) : m_script.find("*/", at + 2);
            m_position = close == std::string::npos ? size : close + (line ? 1 : 2);
            if (block)
                for (std::size_t i = at; i < m_position; ++i)
                    if (m_script[i] != '\r')
                        statement += m_script[i];
            continue;
        }
        if (!classified && !IsWhiteAscii(c)) {
            m_kind = ClassifyAt(at);
            classified = true;
        }
        // A quote right after AS opens the quoted body of stored code.
        const std::size_t tag = DollarTagAt(at);
        if (tag || c == '\'' || c == '"') {
            m_quotedBody = m_quotedBody || (m_afterAs && c != '"');
            m_afterAs = false;
            if (tag)
                CopyDollarQuoted(statement, tag);
            else
                CopyQuoted(statement);
            continue;
        }
        if (!block && IsWhiteAscii(c)) {
            ++m_position;
            if (!statement.empty() && !(m_position < size && IsWhiteAscii(m_script[m_position])))
                statement += ' ';
            continue;
        }
        if (block && c == '\r') {
            ++m_position;
            continue;
        }
        if (c == ';' && SemicolonEnds()) {
            ++m_position;
            // The END of a trigger's body ends with its semicolon.
            if (m_kind == Kind::kTrigger && m_blockOpened && m_bodyClosed)
                statement += ';';
            if (finish())
                return true;
            continue;
        }
        if (IsWordChar(c) && (at == 0 || !IsWordChar(m_script[at - 1]))) {
            const std::string word = WordAt(at);
            m_position = at + word.size();
            m_afterAs = EqualsNoCase(word, "as");
            if (m_kind == Kind::kTrigger)
                FollowBlockWord(word, m_position);
            statement.append(m_script, at, m_position - at);
            continue;
        }
        m_afterAs = m_afterAs && IsWhiteAscii(c);
        statement += c;
        ++m_position;
    }
    return finish();
}
