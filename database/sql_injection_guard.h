// The injection guard of the script sql object: SQL text that a script built from strings (a raw
// statement, or the text of a translated SELECT) must not turn a query into a change of data or
// schema. The check looks at words, not at a parse: quoted text is skipped, and the first word
// (the statement's verb) is not examined; every other word is, the last one included.
#pragma once

#include <string_view>

// True when the text passes: no examined word is "update", "delete", "insert", "create", "drop" or
// "exec" (any case), or holds "--", "/*" or ";", and every quote is closed.
bool PassesSqlInjectionGuard(std::string_view text);

// True when a table or column name may be written into a statement as it stands: letters, digits
// and "_" only, or, with `qualified`, such names joined by single dots ("schema.table"). Names that
// come from URLs or from script arguments are checked with it before any SQL is built from them.
bool IsSqlName(std::string_view name, bool qualified = false);
