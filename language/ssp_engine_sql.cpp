// The `sql` declaration and the engine's side of the sql objects. A declaration `sql q = statement;`
// keeps its statement either as script-level SQL, whose tokens the object reads again from this
// engine's source each time it executes, or, when the statement is an expression (a request field,
// a local or session value, a quoted text), as the raw text that expression gives once.
#include "language/ssp_engine.h"

#include "database/ssp_query.h"
#include "foundation/ascii_text.h"
#include "foundation/script_error.h"
#include "language/ssp_scan_memo.h"

namespace {

constexpr int kMsgMissingSqlEquals = 88;  // "Missing = in SQL definition statement."

std::unique_ptr<CSspScriptObject> MakeQuery(CSspEngine& engine)
{
    return std::make_unique<CSspQuery>(engine);
}

// A statement that the script computes rather than writes out.
bool IsStatementExpression(std::string_view text)
{
    return StartsWithNoCase(text, "Request.") || StartsWithNoCase(text, "Local.") ||
           StartsWithNoCase(text, "Session.") || text.starts_with('\'');
}

}  // namespace

void CSspEngine::DeclareSql()
{
    CSspToken name = ReadToken();
    CSspToken equals = ReadToken();
    if (equals.text != "=")
        RaiseCatalogText(kMsgMissingSqlEquals, equals.start);
    // The key is the place after "=", where the object finds its statement's tokens again.
    const int key = Cursor();
    if (CSspDeclaredObject* known = FindDeclaration(kSqlObject, key)) {
        // Declared again (in a loop): the object forgets its result and its own data source first.
        CSspCall close;
        close.m_member = "close";
        close.m_position = key;
        CSspValue ignored;
        known->object->CallMember(close, ignored);
    }
    auto& query = static_cast<CSspQuery&>(*DeclareObject(kSqlObject, key, name, MakeQuery).object);

    CSspCall declaration;
    declaration.m_object = name.text;
    declaration.m_position = key;
    declaration.m_member = ReadSqlStatement(key);
    declaration.m_endPosition = Cursor();
    const bool raw = IsStatementExpression(declaration.m_member);
    if (raw) {
        int cursor = key;
        const CSspTokenList& list = CollectMemo(CSspCollector::kSqlListItem, *m_sourceFile, cursor, m_end);
        CSspValue value;
        EvalExpression(CodeOf(list, CSspListCode::Use::kExpression), value);
        declaration.m_member = value.ToString();
    }
    query.Init(declaration, raw);
}

std::string CSspEngine::ReadSqlStatement(int key)
{
    std::string text;
    for (;;) {
        CSspToken token = ReadToken();
        if (token.text == ";")
            return text;
        // The end of the code block ends the statement as the end of the text does: a statement
        // without its ";" must not swallow the template text after it.
        if (token.text.empty() || token.text == "}--" || IsControlKeyword(token.text))
            RaiseCatalogText(kMsgMissingSemicolon, key);
        text.append(token.text).push_back(' ');
    }
}

CSspSqlToken CSspEngine::NextSqlToken(int& cursor, int end)
{
    CSspToken token = NextMemoToken(*m_sourceFile, cursor, end);
    return {token.text, token.start};
}

bool CSspEngine::EvaluateSqlExpression(int start, int end, CSspValue& result)
{
    int cursor = start;
    const CSspTokenList& list = CollectMemo(CSspCollector::kSqlValue, *m_sourceFile, cursor, end);
    if (list.Empty())
        return false;
    EvalExpression(CodeOf(list, CSspListCode::Use::kExpression), result);
    return true;
}
