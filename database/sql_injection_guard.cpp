#include "database/sql_injection_guard.h"

#include "foundation/ascii_text.h"

#include <string>

namespace {

bool IsSuspiciousWord(std::string_view word)
{
    static constexpr std::string_view kVerbs[] = {"update", "delete", "insert", "create", "drop", "exec"};
    for (std::string_view verb : kVerbs)
        if (word == verb)
            return true;
    // A comment hides the rest of a statement, or stands in for the blanks between its words.
    return word.find("--") != std::string_view::npos || word.find("/*") != std::string_view::npos ||
           word.find(';') != std::string_view::npos;
}

}  // namespace

bool PassesSqlInjectionGuard(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && IsWhiteAscii(text[i]))
        ++i;
    // The verb itself is the statement the script meant to run.
    while (i < text.size() && !IsWhiteAscii(text[i]))
        ++i;
    std::string word;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (IsWhiteAscii(c)) {
            if (!word.empty() && IsSuspiciousWord(word))
                return false;
            word.clear();
        } else if (c == '\'') {
            // A literal holds data, not statements; the word goes on after its closing quote. A
            // quote that is never closed is no literal the statement meant.
            size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos)
                return false;
            i = close;
        } else {
            word += ToLowerAscii(c);
        }
    }
    // The word that the end of the text closes is examined like every other.
    return word.empty() || !IsSuspiciousWord(word);
}

bool IsSqlName(std::string_view name, bool qualified)
{
    bool partEmpty = true;
    for (char c : name) {
        if (c == '.' && qualified && !partEmpty) {
            partEmpty = true;
            continue;
        }
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
        partEmpty = false;
    }
    return !partEmpty;
}
