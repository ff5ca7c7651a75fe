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

}  // namespace

bool CSqlScriptSplitter::AtLineStart(std::size_t position) const
{
    return position == 0 || m_script[position - 1] == '\n';
}

bool CSqlScriptSplitter::StartsWithNoCase(std::size_t position, const char* word) const
{
    const std::size_t length = std::strlen(word);
    return position + length <= m_script.size() &&
           EqualsNoCase(std::string_view(m_script).substr(position, length), word);
}

std::size_t CSqlScriptSplitter::LineEndMark(std::size_t position) const
{
    if (!AtLineStart(position))
        return 0;
    for (const char* mark : {"go", "/"}) {
        const std::size_t length = std::strlen(mark);
        if (StartsWithNoCase(position, mark) && position + length < m_script.size() &&
            IsLineEnd(m_script[position + length]))
            return length;
    }
    return 0;
}

bool CSqlScriptSplitter::Next(std::string& statement)
{
    statement.clear();
    bool block = false;
    const std::size_t size = m_script.size();
    while (m_position < size) {
        const std::size_t at = m_position;
        const char c = m_script[at];
        if (!block) {
            // Stored code keeps its inner semicolons; the word counts anywhere, also inside a
            // longer name, so such a statement ends only at a "go" or "/" line.
            for (const char* word : {"trigger", "package", "function", "procedure"})
                block = block || StartsWithNoCase(at, word);
        }
        if (!block) {
            if (StartsWithNoCase(at, "/*")) {
                const std::size_t close = m_script.find("*/", at + 2);
                m_position = close == std::string::npos ? size : close + 2;
                continue;
            }
            if (StartsWithNoCase(at, "--")) {
                const std::size_t lineEnd = m_script.find('\n', at);
                m_position = lineEnd == std::string::npos ? size : lineEnd + 1;
                continue;
            }
            if (IsBlank(c)) {
                ++m_position;
                if (!statement.empty() && !(m_position < size && IsBlank(m_script[m_position])))
                    statement += ' ';
                continue;
            }
        } else if (c == '\r') {
            ++m_position;
            continue;
        }
        const std::size_t mark = LineEndMark(at);
        if (mark > 0 || (c == ';' && !block)) {
            m_position = at + (mark > 0 ? mark : 1);
            while (!statement.empty() && IsBlank(statement.back()))
                statement.pop_back();
            return true;
        }
        statement += c;
        ++m_position;
    }
    statement.clear();
    return false;
}
