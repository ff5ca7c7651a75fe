// Statements and control flow. A statement is recognised by its first token (without regard to case).
// Control flow works on the cursor: `if` and `while` push small nodes on engine-owned stacks, jumps
// move the cursor back to a `while` keyword or forward by skipping tokens, and nodes are found again
// by their keyword's position, so a loop that passes an `if` a thousand times makes its node once.
// A loop may span template text and several code blocks: a jump restores the code mode too.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/name_index.h"
#include "foundation/script_error.h"
#include "language/output_sink.h"
#include "language/ssp_scan_memo.h"

#include <array>
#include <new>

namespace {

constexpr int kMsgOutOfMemoryIf = 31;     // "Out of memory when processing if."
constexpr int kMsgOutOfMemoryWhile = 32;  // "Out of memory when processing while."
constexpr int kMsgOutOfMemorySet = 33;    // "Out of memory in set statement"
constexpr int kMsgNoMatchingIf = 82;      // "Found an 'elseif', 'else' or 'endif' without a matching 'if'"
constexpr int kMsgNoMatchingWhile = 83;   // "Missing matching while. "
constexpr int kMsgBreakOutside = 84;      // "Break must be inside a while loop."
constexpr int kMsgContinueOutside = 85;   // "continue must be inside a while loop."
constexpr int kMsgSetWithoutDot = 86;     // "Missing . in set a.b = ... statement."
constexpr int kMsgSetWithoutEquals = 87;  // "Missing = in set statement."

enum class Statement
{
    kIf,
    kElseIf,
    kElse,
    kEndIf,
    kWhile,
    kEndWhile,
    kBreak,
    kContinue,
    kSet,
    kError,
    kReturn,
    kWrite,
    kLog,
    kDeclaration,
    kFunction,
    kOther,
};

struct Keyword
{
    std::string_view text;
    Statement statement;
    int objectKind;  // declarations only
};

constexpr Keyword kKeywords[] = {
    {"if", Statement::kIf, -1},
    {"elseif", Statement::kElseIf, -1},
    {"else", Statement::kElse, -1},
    {"endif", Statement::kEndIf, -1},
    {"while", Statement::kWhile, -1},
    {"endwhile", Statement::kEndWhile, -1},
    {"break", Statement::kBreak, -1},
    {"continue", Statement::kContinue, -1},
    {"set", Statement::kSet, -1},
    {"error", Statement::kError, -1},
    {"return", Statement::kReturn, -1},
    {"write", Statement::kWrite, -1},
    {"log", Statement::kLog, -1},
    {"LDAP", Statement::kDeclaration, kLdapObject},
    {"sql", Statement::kDeclaration, kSqlObject},
    {"FileUpload", Statement::kDeclaration, kFileObject},
    {"file", Statement::kDeclaration, kFileObject},
    {"tokenizer", Statement::kDeclaration, kTokenizerObject},
    {"email_in", Statement::kDeclaration, kEmailInObject},
    {"email_out", Statement::kDeclaration, kEmailOutObject},
    {"datetime", Statement::kDeclaration, kDateTimeObject},
    {"array", Statement::kDeclaration, kArrayObject},
    {"function", Statement::kFunction, -1},
};

// Most first tokens (Local.x = ..., Response.write(...)) have a length no keyword has.
const Keyword* KeywordOf(std::string_view text)
{
    static constexpr CNameIndex<Keyword, &Keyword::text, 10, 8> kIndex(kKeywords);
    return kIndex.Find(text);
}

}  // namespace

int CSspEngine::ExecuteStatement(const CSspToken& first)
{
    // A statement that ran before knows its keyword, or, without one, goes straight to the list
    // it evaluates.
    const Keyword* keyword = nullptr;
    if (const StatementPlan* known = m_statements.Find(static_cast<std::uint32_t>(first.start))) {
        const StatementPlan plan = *known;
        if (plan.keyword >= 0) {
            keyword = &kKeywords[plan.keyword];
        } else {
            SetCursor(plan.after);
            if (plan.localName < 0)
                return RunExpressionStatement(first, *plan.list);
            RunLocalAssignment(first, static_cast<size_t>(plan.localName), *plan.list);
            return kRunCompleted;
        }
    } else {
        keyword = KeywordOf(first.text);
        if (keyword != nullptr)
            KeepStatement(first.start, StatementPlan{.keyword = static_cast<int>(keyword - kKeywords),
                                                     .list = nullptr,
                                                     .after = 0,
                                                     .localName = -1});
    }
    switch (keyword ? keyword->statement : Statement::kOther) {
    case Statement::kIf:
    case Statement::kElseIf:
    case Statement::kElse: ExecuteConditional(first); return kRunCompleted;
    case Statement::kEndIf:
        if (m_ifTop == nullptr)
            RaiseCatalogText(kMsgNoMatchingIf, first.start);
        PopIf();
        return kRunCompleted;
    case Statement::kWhile: ExecuteWhile(first.start); return kRunCompleted;
    case Statement::kEndWhile: ExecuteEndWhile(first.start); return kRunCompleted;
    case Statement::kBreak: ExecuteBreak(first.start); return kRunCompleted;
    case Statement::kContinue: ExecuteContinue(first.start); return kRunCompleted;
    case Statement::kSet: ExecuteAssignment(ReadToken()); return kRunCompleted;
    case Statement::kError: {
        // The text is the whole report: no file, line or position.
        CSspValue value;
        EvalExpressionAtCursor(value);
        m_errorText = value.ToString();
        return kRunFailed;
    }
    case Statement::kReturn: return ExecuteReturn();
    case Statement::kWrite:
        WriteExpression(CodeOf(CollectExpressionAtCursor(), CSspListCode::Use::kExpression));
        return kRunCompleted;
    case Statement::kLog: {
        CSspValue value;
        EvalExpressionAtCursor(value);
        TheLog().WriteText(value.ToString());
        return kRunCompleted;
    }
    case Statement::kDeclaration: ExecuteDeclaration(keyword->objectKind, first); return kRunCompleted;
    case Statement::kFunction:
        // A definition met while running is skipped, never executed in line.
        DeclareFunction(first.start);
        return kRunCompleted;
    case Statement::kOther: break;
    }
    int afterNext = Cursor();
    if (NextMemoToken(*m_sourceFile, afterNext, m_end).text == "=") {
        ExecuteAssignment(first, afterNext);
        return kRunCompleted;
    }
    return ExecuteExpressionStatement(first);
}

bool CSspEngine::EvalConditionAtCursor()
{
    int cursor = Cursor();
    const CSspTokenList& list = CollectMemo(CSspCollector::kArguments, *m_sourceFile, cursor, m_end);
    SetCursor(cursor);
    return EvalCondition(CodeOf(list, CSspListCode::Use::kCondition));
}

void CSspEngine::EvalExpressionAtCursor(CSspValue& result)
{
    EvalExpression(CodeOf(CollectExpressionAtCursor(), CSspListCode::Use::kExpression), result);
}

const CSspTokenList& CSspEngine::CollectExpressionAtCursor()
{
    int cursor = Cursor();
    const CSspTokenList& list = CollectMemo(CSspCollector::kExpression, *m_sourceFile, cursor, m_end);
    SetCursor(cursor);
    return list;
}

void CSspEngine::ExecuteConditional(const CSspToken& keyword)
{
    if (EqualsNoCase(keyword.text, "if")) {
        IfNode* node = nullptr;
        try {
            std::unique_ptr<IfNode>& slot = *m_ifNodes.Insert(static_cast<std::uint32_t>(keyword.start)).first;
            if (!slot)
                slot = std::make_unique<IfNode>(IfNode{m_ifTop, keyword.start, false});
            node = slot.get();
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgOutOfMemoryIf, keyword.start);
        }
        m_ifTop = node;
        m_ifTop->taken = EvalConditionAtCursor();
        if (!m_ifTop->taken)
            Skip(SkipTarget::kNextBranch);
        return;
    }
    if (m_ifTop == nullptr)
        RaiseCatalogText(kMsgNoMatchingIf, keyword.start);
    if (m_ifTop->taken) {
        // A branch before this one ran: the rest of the if is skipped, conditions unevaluated.
        Skip(SkipTarget::kEndIf);
        PopIf();
        return;
    }
    if (EqualsNoCase(keyword.text, "elseif")) {
        m_ifTop->taken = EvalConditionAtCursor();
        if (!m_ifTop->taken)
            Skip(SkipTarget::kNextBranch);
    }
}

void CSspEngine::PopIf()
{
    m_ifTop = m_ifTop->next;
}

void CSspEngine::ExecuteWhile(int position)
{
    WhileNode* node = nullptr;
    try {
        std::unique_ptr<WhileNode>& slot = *m_whileNodes.Insert(static_cast<std::uint32_t>(position)).first;
        if (!slot)
            slot = std::make_unique<WhileNode>(WhileNode{m_whileTop, position, -1, m_codeMode, m_ifTop, kTextMode});
        node = slot.get();
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemoryWhile, position);
    }
    m_whileTop = node;
    // The condition is the same list on every pass: the node keeps it after the first.
    if (node->condition == nullptr) {
        int cursor = Cursor();
        node->condition = &CodeOf(CollectMemo(CSspCollector::kArguments, *m_sourceFile, cursor, m_end),
                                  CSspListCode::Use::kCondition);
        node->afterCondition = cursor;
    }
    SetCursor(node->afterCondition);
    if (!EvalCondition(*node->condition))
        ExecuteBreak(position);
}

void CSspEngine::ExecuteEndWhile(int position)
{
    if (m_whileTop == nullptr)
        RaiseCatalogText(kMsgNoMatchingWhile, position);
    WhileNode& node = *m_whileTop;
    if (node.ifTop != m_ifTop)
        RaiseCatalogText(kMsgMissingEndIf, node.ifTop ? node.ifTop->position : Cursor());
    node.end = Cursor();
    node.endCodeMode = m_codeMode;
    ExecuteContinue(position);
}

void CSspEngine::ExecuteContinue(int position)
{
    if (m_whileTop == nullptr)
        RaiseCatalogText(kMsgContinueOutside, position);
    // The next token read is the "while" itself, which finds its node and tests the condition again.
    const WhileNode& node = *m_whileTop;
    SetCursor(node.position);
    m_ifTop = node.ifTop;
    m_codeMode = node.codeMode;
}

void CSspEngine::ExecuteBreak(int position)
{
    if (m_whileTop == nullptr)
        RaiseCatalogText(kMsgBreakOutside, position);
    WhileNode& node = *m_whileTop;
    if (node.end >= 0) {
        SetCursor(node.end);
        m_codeMode = node.endCodeMode;
    } else {
        Skip(SkipTarget::kEndWhile);
        node.end = Cursor();
        node.endCodeMode = m_codeMode;
    }
    m_ifTop = node.ifTop;
    m_whileTop = node.next;
}

void CSspEngine::Skip(SkipTarget target)
{
    const int began = Cursor();
    const bool loop = target == SkipTarget::kEndWhile;
    const std::string_view opener = loop ? "while" : "if";
    const std::string_view closer = loop ? "endwhile" : "endif";
    // Where the skips of the nested blocks began: an unclosed nested block is reported there.
    std::vector<int> nested;
    for (;;) {
        CSspToken token = ReadSkippedToken();
        std::string_view text = token.text;
        if (text.empty())
            break;
        if (EqualsNoCase(text, opener)) {
            nested.push_back(Cursor());
        } else if (EqualsNoCase(text, closer)) {
            if (nested.empty()) {
                if (target == SkipTarget::kNextBranch)
                    SetCursor(token.start);
                return;
            }
            nested.pop_back();
        } else if (target == SkipTarget::kNextBranch && nested.empty() &&
                   (EqualsNoCase(text, "elseif") || EqualsNoCase(text, "else"))) {
            SetCursor(token.start);
            return;
        }
    }
    RaiseCatalogText(loop ? kMsgMissingEndWhile : kMsgMissingEndIf, nested.empty() ? began : nested.back());
}

void CSspEngine::ExecuteAssignment(const CSspToken& target, int afterEquals)
{
    // target = value is the call target.object.SetVar('member', value): every object that holds
    // variables takes it. Local's SetVar, the commonest by far, is done here without the call.
    std::string_view text = target.text;
    size_t dot = text.find('.');
    if (dot == std::string_view::npos)
        RaiseCatalogText(kMsgSetWithoutDot, Cursor());
    if (EqualsNoCase(text.substr(0, dot), "Local")) {
        ReadEquals(target, afterEquals);
        const CSspTokenList& list = CollectExpressionAtCursor();
        // Only a statement of its own (not the target of a set) is found again by its first token.
        if (afterEquals >= 0)
            KeepStatement(
                target.start,
                StatementPlan{.keyword = -1, .list = &list, .after = Cursor(), .localName = static_cast<int>(dot + 1)});
        RunLocalAssignment(target, dot + 1, list);
        return;
    }
    CSspCall call;
    call.m_object = text.substr(0, dot);
    call.m_member = "SetVar";
    call.m_position = target.start;
    try {
        call.m_args.resize(2);
        call.m_args[0].SetString(std::string(text.substr(dot + 1)));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemorySet, target.start);
    }
    ReadEquals(target, afterEquals);
    EvalExpressionAtCursor(call.m_args[1]);
    CSspValue ignored;
    CallMember(call, ignored);
}

void CSspEngine::RunLocalAssignment(const CSspToken& target, size_t nameStart, const CSspTokenList& list)
{
    if (AppendToLocal(target.text.substr(nameStart), list))
        return;
    CSspValue value;
    EvalExpression(CodeOf(list, CSspListCode::Use::kExpression), value);
    try {
        AssignLocal(target.start, target.text.substr(nameStart), std::move(value));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemoryLocal, 0);
    }
}

void CSspEngine::KeepStatement(int start, const StatementPlan& plan)
{
    KeepIn(m_statements, static_cast<std::uint32_t>(start), plan);
}

void CSspEngine::ReadEquals(const CSspToken& target, int afterEquals)
{
    if (afterEquals >= 0)
        SetCursor(afterEquals);
    else if (ReadToken().text != "=")
        RaiseCatalogText(kMsgSetWithoutEquals, target.start);
}

void CSspEngine::AssignLocal(int key, std::string_view name, CSspValue&& value)
{
    if (CSspValue* const* known = m_localWrites.Find(static_cast<std::uint32_t>(key))) {
        **known = std::move(value);
        return;
    }
    CSspValue* variable = &m_locals.Set(name, std::move(value));
    KeepIn(m_localWrites, static_cast<std::uint32_t>(key), variable);
}

int CSspEngine::ExecuteReturn()
{
    const CSspTokenList& list = CollectExpressionAtCursor();
    // `return a` of a declared array hands back its values whole: array b = Local.f() receives
    // them and the function's array is left empty; a caller that takes one value gets the first.
    if (list.Size() == 1 && list[0].kind == kOperandToken && list[0].form == CSspOperandForm::kMember) {
        if (CSspDeclaredObject* declared = FindObject(kArrayObject, list[0].name)) {
            CSspValueList& values = static_cast<CSspArray&>(*declared->object).Values();
            if (m_returnedValues) {
                m_returnedValues->insert(m_returnedValues->end(), std::make_move_iterator(values.begin()),
                                         std::make_move_iterator(values.end()));
                values.clear();
            } else if (m_returnSlot && !values.empty()) {
                *m_returnSlot = values.front();
            }
            return kRunReturned;
        }
    }
    CSspValue value;
    EvalExpression(CodeOf(list, CSspListCode::Use::kExpression), value);
    if (m_returnSlot)
        *m_returnSlot = value;
    if (m_returnedValues)
        m_returnedValues->push_back(value);
    return kRunReturned;
}

int CSspEngine::ExecuteExpressionStatement(const CSspToken& first)
{
    SetCursor(first.start);
    const CSspTokenList& list = CollectExpressionAtCursor();
    KeepStatement(first.start, StatementPlan{.keyword = -1, .list = &list, .after = Cursor(), .localName = -1});
    return RunExpressionStatement(first, list);
}

int CSspEngine::RunExpressionStatement(const CSspToken& first, const CSspTokenList& list)
{
    if (m_codeMode == kOutputMode && m_response) {
        WriteExpression(CodeOf(list, CSspListCode::Use::kExpression));
    } else {
        CSspValue value;
        EvalExpression(CodeOf(list, CSspListCode::Use::kExpression), value);
    }
    return EqualsNoCase(first.text, "Response.Redirect") ? kRunRedirected : kRunCompleted;
}
