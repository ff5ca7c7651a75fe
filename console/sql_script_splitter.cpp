#include "console/sql_script_splitter.h"

#include <cstring>

#include "foundation/ascii_text.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

bool IsWordChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsOneOf(const std::string& word, std::initializer_list<const char*> choices)
{
    for (const char* choice : choices)
        if (EqualsNoCase(word, choice))
            return true;
    return false;
}

void TrimTrailingBlanks(std::string& text)
{
    while (!text.empty() && IsBlank(text.back()))
        text.pop_back();
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
    while (position < m_script.size() && IsBlank(m_script[position]))
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

void CSqlScriptSplitter::CopyQuoted(std::string& statement)
{
    // A doubled quote inside the text stands for the quote itself and does not close it.
    const char quote = m_script[m_position];
    statement += quote;
    ++m_position;
    while (m_position < m_script.size()) {
        const char c = m_script[m_position++];
        statement += c;
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

void CSqlScriptSplitter::FollowBlockWord(const std::string& word, std::size_t end)
{
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
    };
    startOver();
    // A statement ends: it is handed out unless it is blank (two end marks in a row).
    auto finish = [&] {
        TrimTrailingBlanks(statement);
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
        if (!classified && !IsBlank(c)) {
            m_kind = ClassifyAt(at);
            classified = true;
        }
        if (c == '\'' || c == '"') {
            CopyQuoted(statement);
            continue;
        }
        if (!block && IsBlank(c)) {
            ++m_position;
            if (!statement.empty() && !(m_position < size && IsBlank(m_script[m_position])))
                statement += ' ';
            continue;
        }
        if (block && c == '\r') {
            ++m_position;
            continue;
        }
        if (c == ';' && (m_kind == Kind::kPlain || (m_kind == Kind::kTrigger && m_bodyClosed && m_depth == 0))) {
            ++m_position;
            if (m_kind == Kind::kTrigger)
                statement += ';';
            if (finish())
                return true;
            continue;
        }
        if (IsWordChar(c) && (at == 0 || !IsWordChar(m_script[at - 1]))) {
            const std::string word = WordAt(at);
            m_position = at + word.size();
            if (m_kind == Kind::kTrigger)
                FollowBlockWord(word, m_position);
            statement.append(m_script, at, m_position - at);
            continue;
        }
        statement += c;
        ++m_position;
    }
    return finish();
}
