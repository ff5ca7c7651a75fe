// The injection guard of the script sql object: SQL text that a script built from strings (a raw
// statement, or the text of a translated SELECT) must not turn a query into a change of data or
// schema. The check looks at words, not at a parse: quoted text is skipped, and the first word
// (the statement's verb) and a last word that the text's end closes are not examined.
#pragma once

#include <string_view>

// True when the text passes: no examined word is "update", "delete", "insert", "create", "drop" or
// "exec" (any case), or holds "--" or ";".
bool PassesSqlInjectionGuard(std::string_view text);
