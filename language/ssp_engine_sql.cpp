// The `sql` declaration and the engine's side of the sql objects. A declaration `sql q = statement;`
// keeps its statement either as script-level SQL, whose tokens the object reads again from this
// engine's source each time it executes, or, when the statement is an expression (a request field,
// a local or session value, a quoted text), as the raw text that expression gives once.
#include "language/ssp_engine.h"

#include "database/ssp_query.h"
#include "foundation/ascii_text.h"
#include "foundation/script_error.h"

namespace {

std::unique_ptr<CSspScriptObject> MakeQuery(CSspEngine& engine)
{
    return std::make_unique<CSspQuery>(engine);
}

}  // namespace

void CSspEngine::DeclareSql(const CSspDeclarationCode& declaration)
{
    // The key is the place after "=", where the object finds its statement's tokens again.
    const int key = declaration.key;
    if (CSspDeclaredObject* known = FindDeclaration(kSqlObject, key)) {
        // Declared again (in a loop): the object forgets its result and its own data source first.
        CSspCall close;
        close.m_member = "close";
        close.m_position = key;
        CSspValue ignored;
        known->object->CallMember(close, ignored);
    }
    auto& query = static_cast<CSspQuery&>(*DeclareObject(kSqlObject, key, declaration.name, MakeQuery).object);
    if (declaration.failure)
        declaration.failure->Raise();

    CSspCall statement;
    statement.m_object = declaration.name.text;
    statement.m_position = key;
    statement.m_member = declaration.text;
    statement.m_endPosition = declaration.statementEnd;
    if (declaration.raw) {
        CSspValue value;
        EvalExpression(*declaration.source, value);
        statement.m_member = value.ToString();
    }
    query.Init(statement, declaration.raw);
}

CSspSqlToken CSspEngine::NextSqlToken(int& cursor, int end)
{
    CSspToken token = NextToken(*m_sourceFile, cursor, end);
    return {token.text, token.start};
}

bool CSspEngine::EvaluateSqlExpression(int start, int end, CSspValue& result)
{
    const CSspListCode& code = m_sourceFile->SqlValue(start, end);
    if (code.Failed())
        throw CSspException(code.Failure(), code.FailurePosition());
    if (code.EntryCount() == 0)
        return false;
    EvalExpression(code, result);
    return true;
}
