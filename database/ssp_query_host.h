// CSspQueryHost: what a script sql object (CSspQuery) needs from the interpreter that declared it,
// without the database layer depending on the interpreter. The engine implements it (or hands an
// adapter) when it creates the object for an `sql` declaration, and keeps it alive for as long as
// the object: both belong to the same run.
//
// Positions are byte offsets in the declaring engine's source text, as in CSspCall and
// CSspException.
#pragma once

#include <string_view>

class CDataSource;
class CSspValue;

// One token of the declaration's source text; an empty text means the end.
struct CSspSqlToken
{
    std::string_view text;
    int start = 0;
};

class CSspQueryHost
{
public:
    virtual ~CSspQueryHost() = default;

    // The run's data source: taken from the pool for the running page's URL path on the first
    // database use of the run and given back when the run ends. Throws CSspException on failure.
    virtual CDataSource* GetRunDataSource() = 0;

    // The next token at cursor, not beyond end, read with the engine's lexer; moves the cursor past it.
    virtual CSspSqlToken NextSqlToken(int& cursor, int end) = 0;

    // Evaluates the script expression whose tokens lie in [start, end) into result. Returns false
    // (result untouched) when the range holds no token. Errors are CSspException at their token.
    virtual bool EvaluateSqlExpression(int start, int end, CSspValue& result) = 0;

    // True while the debugger evaluates a watch expression: reading a column of a statement that has
    // not run must then not run it.
    virtual bool IsEvaluatingWatch() const { return false; }
};
