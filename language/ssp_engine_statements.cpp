// Statements and control flow, run from the ops of the run's program (CSspProgram). `if` and
// `while` push nodes on engine-owned stacks; a jump goes back to a `while` op or forward to where
// the program's skip lands, so a loop that passes an `if` a thousand times makes its node once. A
// loop may span template text and several code blocks.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/script_error.h"
#include "language/debug_hooks.h"
#include "language/output_sink.h"

#include <new>
#include <utility>

namespace {

constexpr int kMsgOutOfMemoryIf = 31;     // "Out of memory when processing if."
constexpr int kMsgOutOfMemoryWhile = 32;  // "Out of memory when processing while."
constexpr int kMsgOutOfMemorySet = 33;    // "Out of memory in set statement"
constexpr int kMsgNoMatchingIf = 82;      // "Found an 'elseif', 'else' or 'endif' without a matching 'if'"
constexpr int kMsgNoMatchingWhile = 83;   // "Missing matching while. "
constexpr int kMsgBreakOutside = 84;      // "Break must be inside a while loop."
constexpr int kMsgContinueOutside = 85;   // "continue must be inside a while loop."

// The node of an if or while op, in a table made for all of the program's nodes on first use, so
// that the stacks may link nodes by their addresses.
template <typename Node>
Node& NodeOf(std::vector<Node>& nodes, int count, const CSspOp& op, int outOfMemorySlot)
{
    if (nodes.empty()) {
        try {
            nodes.resize(static_cast<size_t>(count));
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(outOfMemorySlot, op.first);
        }
    }
    return nodes[static_cast<size_t>(op.node)];
}

}  // namespace

int CSspEngine::ExecuteOp(const CSspOp& op, int& pc)
{
    // The commonest statements (conditions, loops, assignments, expressions, returns) have their
    // own cases in RunLoop; these are the others.
    switch (op.code) {
    case CSspOp::kEndIf:
        if (m_ifTop == nullptr)
            RaiseCatalogText(kMsgNoMatchingIf, op.first);
        PopIf();
        break;
    case CSspOp::kBreak:
        if (m_whileTop == nullptr)
            RaiseCatalogText(kMsgBreakOutside, op.first);
        BreakLoop(op, pc);
        return kRunCompleted;
    case CSspOp::kContinue:
        if (m_whileTop == nullptr)
            RaiseCatalogText(kMsgContinueOutside, op.first);
        // The while op runs again, with its hooks, and tests its condition again.
        pc = m_whileTop->whilePc;
        m_ifTop = m_whileTop->ifTop;
        return kRunCompleted;
    case CSspOp::kDeclare: ExecuteDeclaration(op); break;
    case CSspOp::kFunction: ExecuteDefinition(op); break;
    default: {
        if (op.fails)
            RaiseFailure(op);
        SetCursor(op.next);
        switch (op.code) {
        case CSspOp::kError: {
            // The text is the whole report: no file, line or position.
            CSspValue value;
            EvalExpression(*op.list, value);
            m_errorText = value.ToString();
            return kRunFailed;
        }
        case CSspOp::kWrite: WriteExpression(*op.list); break;
        case CSspOp::kLog: {
            CSspValue value;
            EvalExpression(*op.list, value);
            TheLog().WriteText(value.ToString());
            break;
        }
        default: break;
        }
    }
    }
    ++pc;
    return kRunCompleted;
}

CSspToken CSspEngine::FirstToken(const CSspOp& op) const
{
    std::string_view word = m_program->Detail(op).word;
    if (word.empty())
        word =
            m_sourceFile->Text().substr(static_cast<size_t>(op.first), static_cast<size_t>(op.afterFirst - op.first));
    return CSspToken{word, op.first};
}

int CSspEngine::ExecuteStatement(const CSspOp& op)
{
    if (op.fails)
        RaiseFailure(op);
    SetCursor(op.next);
    return RunExpressionStatement(op);
}

bool CSspEngine::RunTextLines(const CSspOp& op)
{
    // The debugger hears of every line before it is written, and may stop the run there.
    int cursor = op.first;
    while (cursor < m_end) {
        SetCursor(cursor);
        m_hooks->OnTextLine(*this);
        if (m_hooks->IsStopRequested())
            return false;
        std::string_view text;
        const int mode = ReadText(m_sourceFile->Text(), cursor, m_end, text, true);
        SetCursor(cursor);
        if (!text.empty() && m_response)
            m_response->Write(text);
        if (mode != kTextMode)
            break;
    }
    return true;
}

void CSspEngine::RaiseFailure(const CSspOp& op) const
{
    m_program->Detail(op).failure->Raise();
}

void CSspEngine::Jump(const CSspOp& op, int& pc) const
{
    if (op.jump < 0)
        m_program->Detail(op).jumpFailure->Raise();
    pc = op.jump;
}

void CSspEngine::Jump(const CSspJump& skip, int& pc)
{
    if (skip.failure)
        skip.failure->Raise();
    pc = skip.pc;
}

void CSspEngine::ExecuteConditional(const CSspOp& op, int& pc)
{
    if (op.code == CSspOp::kIf) {
        IfNode& node = NodeOf(m_ifNodes, m_program->IfCount(), op, kMsgOutOfMemoryIf);
        if (!node.made)
            node = IfNode{m_ifTop, op.first, false, true};
        m_ifTop = &node;
        if (op.fails)
            RaiseFailure(op);
        SetCursor(op.next);
        node.taken = TestCondition(*op.list);
        if (node.taken)
            ++pc;
        else
            Jump(op, pc);
        return;
    }
    if (m_ifTop == nullptr)
        RaiseCatalogText(kMsgNoMatchingIf, op.first);
    if (m_ifTop->taken) {
        // A branch before this one ran: the rest of the if is skipped, conditions unevaluated.
        if (op.code == CSspOp::kElseIf)
            Jump(m_program->Detail(op).skipToEnd, pc);
        else
            Jump(op, pc);
        PopIf();
        return;
    }
    if (op.code == CSspOp::kElseIf) {
        if (op.fails)
            RaiseFailure(op);
        SetCursor(op.next);
        m_ifTop->taken = TestCondition(*op.list);
        if (!m_ifTop->taken) {
            Jump(op, pc);
            return;
        }
    }
    ++pc;
}

void CSspEngine::PopIf()
{
    m_ifTop = m_ifTop->next;
}

void CSspEngine::ExecuteWhile(const CSspOp& op, int& pc)
{
    WhileNode& node = NodeOf(m_whileNodes, m_program->WhileCount(), op, kMsgOutOfMemoryWhile);
    if (!node.made)
        node = WhileNode{m_whileTop, op.first, pc, -1, m_ifTop, true};
    m_whileTop = &node;
    TestLoop(op, pc);
}

void CSspEngine::ExecuteEndWhile(const CSspOp& op, int& pc)
{
    if (m_whileTop == nullptr)
        RaiseCatalogText(kMsgNoMatchingWhile, op.first);
    WhileNode& node = *m_whileTop;
    if (node.ifTop != m_ifTop)
        RaiseCatalogText(kMsgMissingEndIf, node.ifTop ? node.ifTop->position : op.next);
    node.endPc = pc + 1;
    // The while op runs again, with its hooks, and tests its condition again.
    pc = node.whilePc;
    m_ifTop = node.ifTop;
}

void CSspEngine::BreakLoop(const CSspOp& op, int& pc)
{
    WhileNode& node = *m_whileTop;
    if (node.endPc >= 0) {
        pc = node.endPc;
    } else {
        Jump(op, pc);
        node.endPc = pc;
    }
    m_ifTop = node.ifTop;
    m_whileTop = node.next;
}

void CSspEngine::ExecuteAssignment(const CSspOp& op)
{
    if (op.fails)
        RaiseFailure(op);
    // target = value is the call target.object.SetVar('member', value): every object that holds
    // variables takes it. Local's SetVar, the commonest by far, is done here without the call.
    if (op.local)
        AssignLocal(op);
    else
        AssignThroughSetVar(op);
}

void CSspEngine::AssignThroughSetVar(const CSspOp& op)
{
    SetCursor(op.next);
    const CSspOpDetail& detail = m_program->Detail(op);
    const std::string_view text = detail.target;
    const size_t dot = static_cast<size_t>(detail.dot);
    CSspCall call;
    call.m_object = text.substr(0, dot);
    call.m_member = "SetVar";
    call.m_position = detail.targetStart;
    try {
        call.m_args.resize(2);
        call.m_args[0].SetString(std::string(text.substr(dot + 1)));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemorySet, detail.targetStart);
    }
    EvalExpression(*op.list, call.m_args[1]);
    CSspValue ignored;
    CallMember(call, ignored);
}

int CSspEngine::ExecuteReturn(const CSspOp& op)
{
    // `return a` of a declared array hands back its values whole: array b = Local.f() receives
    // them and the function's array is left empty; a caller that takes one value gets the first.
    if (const std::string_view returned = op.detail < 0 ? std::string_view() : m_program->Detail(op).returnedArray;
        !returned.empty()) {
        if (CSspDeclaredObject* declared = FindObject(kArrayObject, returned)) {
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
    // A call that takes one value has it computed in its place: a run whose return fails fails its
    // callers too, none of which reads the value then.
    if (m_returnSlot != nullptr && m_returnedValues == nullptr) {
        EvalExpression(*op.list, *m_returnSlot);
        return kRunReturned;
    }
    CSspValue value;
    EvalExpression(*op.list, value);
    if (m_returnedValues)
        m_returnedValues->push_back(value);
    if (m_returnSlot)
        *m_returnSlot = std::move(value);
    return kRunReturned;
}

int CSspEngine::RunExpressionStatement(const CSspOp& op)
{
    if (op.mode == kOutputMode && m_response) {
        WriteExpression(*op.list);
    } else {
        CSspValue value;
        EvalExpression(*op.list, value);
    }
    return op.redirects ? kRunRedirected : kRunCompleted;
}
