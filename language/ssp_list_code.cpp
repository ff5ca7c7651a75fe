#include "language/ssp_list_code.h"

#include "foundation/ascii_text.h"
#include "foundation/ssp_exception.h"

#include <iterator>

namespace {

constexpr int kMsgMissingParameterBeforeComma = 122;
constexpr int kMsgAndOrMissingBefore = 103;
constexpr int kMsgAndOrMissingAfter = 104;
constexpr int kMsgTwoComparisons = 105;
constexpr int kMsgComparisonMissingBefore = 106;
constexpr int kMsgComparisonMissingAfter = 107;
constexpr int kMsgMissingOperator = 108;
constexpr int kMsgMissingLeftOperand = 109;
constexpr int kMsgMissingRightOperand = 110;

// Every member that Local answers itself; any other name is a local variable, or with
// parentheses a function of the run's file. A member added to Local must be listed here, or it
// stays a variable.
constexpr std::string_view kLocalMembers[] = {
    "BeginTransaction",
    "CommitTransaction",
    "RollbackTransaction",
    "GetUniqueID",
    "dbType",
    "dbVer",
    "UseDataSource",
    "setErrorFile",
    "url",
    "urlPath",
    "SetVar",
    "Var",
};

// Bit n set when some member of Local has n letters.
constexpr unsigned LocalMemberLengths()
{
    unsigned lengths = 0;
    for (std::string_view name : kLocalMembers)
        lengths |= 1u << name.size();
    return lengths;
}

bool IsValueKind(int kind)
{
    return kind == kOperandToken || kind == kCallToken || kind == kComputedToken;
}

// Members whose argument is the name of a field or variable as written, not a value.
bool TakesRawArguments(std::string_view object, std::string_view member)
{
    if (EqualsNoCase(object, "Request"))
        return EqualsNoCase(member, "exist") || EqualsNoCase(member, "size");
    if (EqualsNoCase(object, "Session"))
        return EqualsNoCase(member, "exist");
    return EqualsNoCase(object, "Server") && EqualsNoCase(member, "GetUniqueID");
}

// A raise ends the stretch of steps it stands in: nothing after it runs.
struct StopRange
{};

CSspCodeStep MakeStep(CSspCodeStep::Code code, int target)
{
    CSspCodeStep step;
    step.code = code;
    step.target = target;
    return step;
}

}  // namespace

bool IsLocalMemberName(std::string_view member)
{
    // Variable names are mostly short, and no member is shorter than three letters.
    constexpr unsigned kLengths = LocalMemberLengths();
    if (member.size() >= 32 || (kLengths & (1u << member.size())) == 0)
        return false;
    for (std::string_view name : kLocalMembers) {
        if (EqualsNoCase(member, name))
            return true;
    }
    return false;
}

// Plays the reduction of a list through against its kinds and depths and writes down the steps.
class CSspListCompiler
{
public:
    CSspListCompiler(const CSspTokenList& list, CSspListCode& code, CSspLocalNames* names, int depth,
                     std::pmr::memory_resource* memory)
        : m_list(list), m_code(code), m_names(names), m_depth(depth), m_memory(memory)
    {
        const size_t count = list.Size();
        m_kinds.resize(count);
        m_depths.resize(count);
        m_evaluated.assign(count, false);
        for (size_t i = 0; i < count; ++i) {
            m_kinds[i] = list[i].kind;
            m_depths[i] = list[i].depth;
        }
    }

    void Operands()
    {
        // Each array is allocated once at its size, so that the code lies in one piece: the
        // operands first, then the literals, then what the argument lists of calls compile to.
        const size_t count = m_list.Size();
        m_code.m_operands.Make(m_memory, count);
        size_t literals = 0;
        for (size_t i = 0; i < count; ++i)
            literals += m_list[i].literal >= 0 ? 1 : 0;
        m_code.m_more->literals.Make(m_memory, literals);
        m_code.m_more->literalEntries.Make(CSspCodeMemory::ColdOf(m_memory), literals);
        size_t literal = 0;
        for (size_t i = 0; i < count; ++i) {
            const CSspListEntry& entry = m_list[i];
            CSspCodeOperand& operand = m_code.m_operands[i];
            operand.form = entry.form;
            operand.call = entry.kind == kCallToken;
            operand.start = entry.start;
            operand.end = entry.end;
            operand.name = entry.name;
            operand.dot = entry.dot;
            if (entry.kind == kCallToken)
                ++m_code.m_callCount;
            if (entry.literal >= 0) {
                m_code.m_more->literals[literal] = m_list.Literal(entry.literal);
                m_code.m_more->literalEntries[literal] = static_cast<int>(i);
                operand.value = &m_code.m_more->literals[literal++];
                continue;
            }
            const std::string_view name = entry.name;
            // object.member, where member is not empty.
            auto isMemberOf = [&](std::string_view object) {
                return entry.form == CSspOperandForm::kMember && name.size() > object.size() + 1 &&
                       name[object.size()] == '.' && EqualsNoCase(name.substr(0, object.size()), object);
            };
            constexpr std::string_view kLocal = "Local";
            const bool localName = isMemberOf(kLocal) && !IsLocalMemberName(name.substr(kLocal.size() + 1));
            operand.localVariable = entry.kind == kOperandToken && localName;
            operand.localFunction = entry.kind == kCallToken && localName;
            if (operand.localVariable && m_names != nullptr)
                operand.slot = m_names->Add(name.substr(kLocal.size() + 1));
            operand.argument = entry.kind == kOperandToken && isMemberOf("arg");
            if (operand.argument && m_names != nullptr)
                operand.slot = m_names->FindParameter(name.substr(std::string_view("arg").size() + 1));
            if (!operand.call)
                continue;
            // Empty parentheses, the commonest call (x.fetch()), have no list to collect or evaluate.
            operand.emptyCall = entry.text.size() == name.size() + 2;
            if (!operand.emptyCall && m_depth < CSspListCode::kMaxNestedLists)
                operand.arguments = CompileCallArguments(operand, m_list.Source(), m_names, m_depth + 1, m_memory);
        }
    }

    void Expression()
    {
        m_code.m_more->program = Range([&] { return EvalRange(0, Last()); });
    }

    void Condition() { m_code.m_more->conditionRoot = ConditionOf(0, Last()); }

    void Arguments(bool raw)
    {
        m_code.m_more->program = Range([&] {
            const int count = static_cast<int>(m_list.Size());
            int first = 0;
            for (int i = 0; i <= count; ++i) {
                if (i < count && m_list[static_cast<size_t>(i)].text != ",")
                    continue;
                if (i == first) {
                    if (i == count)
                        break;  // no arguments, or a comma at the very end
                    Raise(kMsgMissingParameterBeforeComma, CSspListCode::kCallPosition);
                }
                if (raw) {
                    std::vector<std::string>& texts = m_code.m_more->RareParts().rawTexts;
                    Emit(MakeStep(CSspCodeStep::kPushRaw, static_cast<int>(texts.size())));
                    texts.emplace_back(m_list[static_cast<size_t>(first)].text);
                } else {
                    const int value = EvalRange(first, i - 1);
                    Emit(MakeStep(CSspCodeStep::kPush, value));
                }
                first = i + 1;
            }
            return -1;
        });
    }

    // Moves the steps and conditions into the code, at their size.
    void Finish()
    {
        std::pmr::memory_resource* cold = CSspCodeMemory::ColdOf(m_memory);
        m_code.m_more->steps.Make(cold, m_steps.size(), m_steps.data());
        m_code.m_more->conditions.Make(cold, m_conditions.size(), m_conditions.data());
    }

private:
    int Last() const { return static_cast<int>(m_list.Size()) - 1; }

    template <class Body>
    CSspCodeRange Range(Body body)
    {
        CSspCodeRange range;
        range.begin = static_cast<int>(m_steps.size());
        try {
            range.result = body();
        } catch (const StopRange&) {
            range.result = -1;
        }
        range.end = static_cast<int>(m_steps.size());
        return range;
    }

    void Emit(const CSspCodeStep& step) { m_steps.push_back(step); }

    [[noreturn]] void Raise(int message, int position)
    {
        CSspCodeStep step = MakeStep(CSspCodeStep::kRaise, -1);
        step.message = message;
        step.position = position;
        Emit(step);
        throw StopRange();
    }

    void OperandValue(int index)
    {
        if (m_evaluated[static_cast<size_t>(index)])
            return;
        m_evaluated[static_cast<size_t>(index)] = true;
        if (m_code.m_operands[static_cast<size_t>(index)].value == nullptr)
            Emit(MakeStep(CSspCodeStep::kEvaluate, index));
    }

    // The result entry of [first, last], or -1 for the empty text.
    int EvalRange(int first, int last)
    {
        if (first == last) {
            OperandValue(first);
            return first;
        }
        int result = -1;
        while (last >= first) {
            // The first run of contiguous entries of the greatest depth.
            int top = -1;
            int runFirst = first;
            int runLast = first;
            bool shallowerSeen = false;
            for (int i = first; i <= last; ++i) {
                int depth = m_depths[static_cast<size_t>(i)];
                if (depth > top) {
                    top = depth;
                    runFirst = runLast = i;
                    shallowerSeen = false;
                } else if (depth < top) {
                    shallowerSeen = true;
                } else if (!shallowerSeen) {
                    runLast = i;
                }
            }
            if (int reduced = ReduceFlat(runFirst, runLast); reduced >= 0)
                result = reduced;
            if (top > 0) {
                for (int i = runFirst; i <= runLast; ++i)
                    --m_depths[static_cast<size_t>(i)];
            }
            if (runFirst == first && runLast == last)
                break;
        }
        return result;
    }

    // The entry holding the value of the last step, or -1 when there was nothing to apply.
    int ReduceFlat(int first, int last)
    {
        if (first == last) {
            OperandValue(first);
            return first;
        }
        int result = -1;
        for (;;) {
            int multiply = -1;
            int add = -1;
            int operands = 0;
            for (int i = first; i <= last; ++i) {
                int kind = m_kinds[static_cast<size_t>(i)];
                if (kind == kMultiplyToken && multiply < 0)
                    multiply = i;
                else if (kind == kAddToken && add < 0)
                    add = i;
                else if (kind == kOperandToken || kind == kCallToken)
                    ++operands;
            }
            int op = multiply >= 0 ? multiply : add;
            if (op < 0) {
                if (operands > 0)
                    Raise(kMsgMissingOperator, m_list[static_cast<size_t>(first)].end);
                return result;
            }
            ApplyBinary(first, last, op);
            result = op;
        }
    }

    void ApplyBinary(int first, int last, int op)
    {
        int left = op - 1;
        while (left >= first && !IsValueKind(m_kinds[static_cast<size_t>(left)]))
            --left;
        int right = op + 1;
        while (right <= last && !IsValueKind(m_kinds[static_cast<size_t>(right)]))
            ++right;

        const CSspListEntry& entry = m_list[static_cast<size_t>(op)];
        CSspValue::Operator operation = CSspValue::OperatorOf(entry.text);
        if (left < first) {
            // A minus without a left operand negates: it multiplies by -1.
            if (operation != CSspValue::Operator::Subtract)
                Raise(kMsgMissingLeftOperand, entry.start);
            operation = CSspValue::Operator::Multiply;
        }
        if (right > last)
            Raise(kMsgMissingRightOperand, entry.start);
        if (left >= first)
            OperandValue(left);
        OperandValue(right);
        CSspCodeStep step = MakeStep(CSspCodeStep::kApply, op);
        step.left = left >= first ? left : -1;
        step.right = right;
        step.op = operation;
        Emit(step);
        m_kinds[static_cast<size_t>(op)] = kComputedToken;
        m_evaluated[static_cast<size_t>(op)] = true;
        if (left >= first)
            m_kinds[static_cast<size_t>(left)] = kConsumedToken;
        m_kinds[static_cast<size_t>(right)] = kConsumedToken;
    }

    int AddCondition(const CSspCodeCondition& condition)
    {
        m_conditions.push_back(condition);
        return static_cast<int>(m_conditions.size()) - 1;
    }

    int RaiseCondition(int message, int position)
    {
        CSspCodeCondition node;
        node.kind = CSspCodeCondition::kRaise;
        node.message = message;
        node.position = position;
        return AddCondition(node);
    }

    // "and" and "or" bind alike and group to the right: a and b or c is a and (b or c). The right
    // parts are taken in this loop, so a long chain needs no deep recursion.
    int ConditionOf(int first, int last)
    {
        int root = -1;
        int parent = -1;  // the "and" or "or" whose right part comes next
        for (;;) {
            int node = -1;
            int split = -1;
            if (last < first) {
                node = AddCondition(CSspCodeCondition{});
            } else {
                for (int i = first; i <= last; ++i) {
                    if (m_kinds[static_cast<size_t>(i)] == kLogicToken &&
                        (split < 0 || m_depths[static_cast<size_t>(i)] < m_depths[static_cast<size_t>(split)]))
                        split = i;
                }
                const int start = split < 0 ? 0 : m_list[static_cast<size_t>(split)].start;
                if (split < 0) {
                    node = Comparison(first, last);
                } else if (split == first) {
                    node = RaiseCondition(kMsgAndOrMissingBefore, start);
                    split = -1;
                } else if (split == last) {
                    node = RaiseCondition(kMsgAndOrMissingAfter, start);
                    split = -1;
                } else {
                    CSspCodeCondition logic;
                    logic.kind = EqualsNoCase(m_list[static_cast<size_t>(split)].text, "and") ? CSspCodeCondition::kAnd
                                                                                              : CSspCodeCondition::kOr;
                    logic.position = start;
                    logic.left = ConditionOf(first, split - 1);
                    node = AddCondition(logic);
                }
            }
            if (parent >= 0)
                m_conditions[static_cast<size_t>(parent)].right = node;
            else
                root = node;
            if (split < 0)
                return root;
            parent = node;
            first = split + 1;
        }
    }

    int Comparison(int first, int last)
    {
        int comparison = -1;
        for (int i = first; i <= last; ++i) {
            if (m_kinds[static_cast<size_t>(i)] != kCompareToken)
                continue;
            if (comparison >= 0)
                return RaiseCondition(kMsgTwoComparisons, m_list[static_cast<size_t>(i)].start);
            comparison = i;
        }
        CSspCodeCondition node;
        if (comparison < 0) {
            // Without a comparison a condition holds only for a value that is the number 1.
            node.kind = CSspCodeCondition::kTruth;
            node.range = Range([&] { return EvalRange(first, last); });
            return AddCondition(node);
        }
        const CSspListEntry& entry = m_list[static_cast<size_t>(comparison)];
        if (comparison == first)
            return RaiseCondition(kMsgComparisonMissingBefore, entry.start);
        if (comparison == last)
            return RaiseCondition(kMsgComparisonMissingAfter, entry.start);
        node.kind = CSspCodeCondition::kCompare;
        node.comparison = CSspValue::ComparisonOf(entry.text);
        node.range = Range([&] {
            node.left = EvalRange(first, comparison - 1);
            node.right = EvalRange(comparison + 1, last);
            return -1;
        });
        return AddCondition(node);
    }

    const CSspTokenList& m_list;
    CSspListCode& m_code;
    CSspLocalNames* m_names;
    int m_depth;
    std::pmr::memory_resource* m_memory;
    std::vector<CSspCodeStep> m_steps;
    std::vector<CSspCodeCondition> m_conditions;
    std::vector<int> m_kinds;
    std::vector<int> m_depths;
    std::vector<bool> m_evaluated;
};

CSspListCode::CSspListCode(const CSspTokenList& list, Use use, CSspLocalNames* names, bool raw, int depth,
                           std::pmr::memory_resource* memory)
    : m_source(&list.Source())
{
    // Compiled with its rarer parts apart, which are kept in the memory after all the rest.
    More more;
    more.memory = memory;
    m_more = &more;
    try {
        CSspListCompiler compiler(list, *this, names, depth, memory);
        compiler.Operands();
        switch (use) {
        case Use::kExpression: compiler.Expression(); break;
        case Use::kCondition: compiler.Condition(); break;
        case Use::kArguments: compiler.Arguments(raw); break;
        }
        compiler.Finish();
        FindShape(use);
        Keep(std::move(more));
    } catch (...) {
        m_more = nullptr;
        more.FreeArrays();
        m_operands.Free(memory);
        throw;
    }
}

std::pmr::memory_resource* CSspCodeMemory::ColdOf(std::pmr::memory_resource* memory)
{
    auto* code = dynamic_cast<CSspCodeMemory*>(memory);
    return code != nullptr ? code->Cold() : memory;
}

void CSspListCode::Keep(More&& more)
{
    std::pmr::polymorphic_allocator<More> allocator(CSspCodeMemory::ColdOf(more.memory));
    More* kept = allocator.allocate(1);
    m_more = new (kept) More(std::move(more));
}

const std::string& CSspListCode::Failure() const
{
    static const std::string kNone;
    return m_failed ? m_more->rare->failure : kNone;
}

CSspListCode::More::Rare& CSspListCode::More::RareParts()
{
    if (!rare)
        rare = std::make_unique<Rare>();
    return *rare;
}

void CSspListCode::More::FreeArrays()
{
    std::pmr::memory_resource* cold = CSspCodeMemory::ColdOf(memory);
    steps.Free(cold);
    conditions.Free(cold);
    literalEntries.Free(cold);
    literals.Free(memory);
}

bool CSspListCode::IsPlainOperand(int entry) const
{
    if (entry < 0)
        return false;
    const CSspCodeOperand& operand = m_operands[static_cast<size_t>(entry)];
    return operand.value != nullptr || operand.argument || operand.localVariable;
}

bool CSspListCode::FindCallShape(int left, int right, const CSspCodeRange& before)
{
    if (m_callCount != 1 || right < 0)
        return false;
    const bool leftCalls = left >= 0 && m_operands[static_cast<size_t>(left)].call;
    const int call = leftCalls ? left : right;
    const int other = leftCalls ? right : left;
    const CSspCodeOperand& called = m_operands[static_cast<size_t>(call)];
    if (!called.call || (other >= 0 && !IsPlainOperand(other)))
        return false;
    // The steps before evaluate the call once and the other operand at most once, nothing else.
    int callStep = -1;
    int otherStep = -1;
    for (int i = before.begin; i < before.end; ++i) {
        const CSspCodeStep& step = m_more->steps[static_cast<size_t>(i)];
        if (step.code != CSspCodeStep::kEvaluate)
            return false;
        int* seen = step.target == call ? &callStep : step.target == other ? &otherStep : nullptr;
        if (seen == nullptr || *seen >= 0)
            return false;
        *seen = i;
    }
    if (callStep < 0)
        return false;
    m_callEntry = call;
    m_callFirst = otherStep < 0 || callStep < otherStep;
    return true;
}

bool CSspListCode::ReadsInPlace(int entry) const
{
    if (entry < 0)
        return false;
    const CSspCodeOperand& operand = m_operands[static_cast<size_t>(entry)];
    // A call's arguments stay as they are for the whole run of the function: nothing can assign them.
    return operand.value != nullptr || operand.argument || (operand.localVariable && m_callCount == 0);
}

bool CSspListCode::OnlyReadsInPlace(const CSspCodeRange& range) const
{
    for (int i = range.begin; i < range.end; ++i) {
        const CSspCodeStep& step = m_more->steps[static_cast<size_t>(i)];
        if (step.code != CSspCodeStep::kEvaluate || !ReadsInPlace(step.target))
            return false;
    }
    return true;
}

void CSspListCode::FindShape(Use use)
{
    if (use == Use::kCondition) {
        const CSspCodeCondition& root = m_more->conditions[static_cast<size_t>(m_more->conditionRoot)];
        if (root.kind == CSspCodeCondition::kCompare && root.left >= 0 &&
            FindCallShape(root.left, root.right, root.range)) {
            m_shape = Shape::kCompareCall;
            m_left = root.left;
            m_right = root.right;
            m_comparison = root.comparison;
            return;
        }
        if (!OnlyReadsInPlace(root.range))
            return;
        if (root.kind == CSspCodeCondition::kTruth && ReadsInPlace(root.range.result)) {
            m_shape = Shape::kTruth;
            m_left = root.range.result;
        } else if (root.kind == CSspCodeCondition::kCompare && ReadsInPlace(root.left) && ReadsInPlace(root.right)) {
            m_shape = Shape::kCompare;
            m_left = root.left;
            m_right = root.right;
            m_comparison = root.comparison;
        }
        return;
    }
    if (use == Use::kArguments) {
        int pushes = 0;
        int pushed = -1;
        for (int i = m_more->program.begin; i < m_more->program.end; ++i) {
            const CSspCodeStep& step = m_more->steps[static_cast<size_t>(i)];
            const bool inPlace = step.code == CSspCodeStep::kEvaluate || step.code == CSspCodeStep::kPush;
            if (!inPlace || !ReadsInPlace(step.target))
                return FindComputedArgument();
            if (step.code == CSspCodeStep::kPush) {
                ++pushes;
                pushed = step.target;
            }
        }
        m_shape = Shape::kPushes;
        if (pushes == 1)
            m_pushed = pushed;
        return;
    }
    if (use != Use::kExpression || m_more->program.result < 0)
        return;
    if (ReadsInPlace(m_more->program.result) && OnlyReadsInPlace(m_more->program)) {
        m_shape = Shape::kOperand;
        m_left = m_more->program.result;
        return;
    }
    if (m_more->program.end - m_more->program.begin == 1) {
        const CSspCodeStep& only = m_more->steps[static_cast<size_t>(m_more->program.begin)];
        if (only.code == CSspCodeStep::kEvaluate && only.target == m_more->program.result) {
            m_shape = Shape::kMember;
            m_left = m_more->program.result;
            return;
        }
    }
    // One operator: its step is the last, and the steps before it read its operands.
    const CSspCodeRange before{m_more->program.begin, m_more->program.end - 1, -1};
    if (m_more->program.end <= m_more->program.begin)
        return;
    const CSspCodeStep& apply = m_more->steps[static_cast<size_t>(m_more->program.end - 1)];
    if (apply.code == CSspCodeStep::kApply && apply.target == m_more->program.result &&
        FindCallShape(apply.left, apply.right, before)) {
        m_shape = Shape::kApplyCall;
        m_left = apply.left;
        m_right = apply.right;
        m_operator = apply.op;
        m_position = m_operands[static_cast<size_t>(apply.target)].start;
        return;
    }
    if (!OnlyReadsInPlace(before))
        return;
    if (apply.code != CSspCodeStep::kApply || apply.target != m_more->program.result || !ReadsInPlace(apply.right) ||
        (apply.left >= 0 && !ReadsInPlace(apply.left)))
        return;
    m_shape = Shape::kApply;
    m_left = apply.left;
    m_right = apply.right;
    m_operator = apply.op;
    m_position = m_operands[static_cast<size_t>(apply.target)].start;
}

void CSspListCode::FindComputedArgument()
{
    // Operands evaluated and operators applied, with neither a call nor an error on the way, and
    // then the one push.
    const CSspCodeRange& program = m_more->program;
    if (m_callCount != 0 || program.end <= program.begin)
        return;
    const CSspCodeStep& push = m_more->steps[static_cast<size_t>(program.end - 1)];
    if (push.code != CSspCodeStep::kPush || push.target < 0)
        return;
    for (int i = program.begin; i < program.end - 1; ++i) {
        const CSspCodeStep::Code code = m_more->steps[static_cast<size_t>(i)].code;
        if (code != CSspCodeStep::kEvaluate && code != CSspCodeStep::kApply)
            return;
    }
    m_pushed = push.target;
    m_computedPush = true;
    FindComputedApply();
}

void CSspListCode::FindComputedApply()
{
    const CSspCodeRange& program = m_more->program;
    const int applyStep = program.end - 2;
    if (applyStep < program.begin)
        return;
    const CSspCodeStep& apply = m_more->steps[static_cast<size_t>(applyStep)];
    if (apply.code != CSspCodeStep::kApply || apply.target != m_pushed || !ReadsInPlace(apply.right) ||
        (apply.left >= 0 && !ReadsInPlace(apply.left)))
        return;
    // The steps before evaluate the operands that are no literals, the left one first: the order
    // in which reading them in place raises their errors.
    int evaluated = program.begin;
    for (const int entry : {apply.left, apply.right}) {
        if (entry < 0 || m_operands[static_cast<size_t>(entry)].value != nullptr)
            continue;
        const CSspCodeStep& step = m_more->steps[static_cast<size_t>(evaluated)];
        if (evaluated == applyStep || step.code != CSspCodeStep::kEvaluate || step.target != entry)
            return;
        ++evaluated;
    }
    if (evaluated != applyStep)
        return;
    m_left = apply.left;
    m_right = apply.right;
    m_operator = apply.op;
    m_position = m_operands[static_cast<size_t>(apply.target)].start;
    m_computedApply = true;
}

CSspListCode::CSspListCode(std::string message, int position, std::pmr::memory_resource* memory)
    : m_failed(!message.empty())
{
    More more;
    more.memory = memory;
    more.RareParts() = More::Rare{std::move(message), position, {}};
    Keep(std::move(more));
}

CSspListCode::~CSspListCode()
{
    std::pmr::memory_resource* memory = m_more->memory;
    m_operands.Free(memory);
    m_more->FreeArrays();
    m_more->~More();
    std::pmr::polymorphic_allocator<More>(CSspCodeMemory::ColdOf(memory)).deallocate(m_more, 1);
}

void CSspListCodeDelete::operator()(CSspListCode* code) const
{
    std::pmr::polymorphic_allocator<CSspListCode> allocator(code->Memory());
    code->~CSspListCode();
    allocator.deallocate(code, 1);
}

CSspListCodePtr CompileCallArguments(const CSspCodeOperand& operand, CSourceFile& file, CSspLocalNames* names,
                                     int depth, std::pmr::memory_resource* memory)
{
    CSspTokenList list;
    try {
        int cursor = operand.ArgumentsStart();
        CollectTokens(CSspCollector::kArguments, file, cursor, operand.end, list);
    } catch (const CSspException& error) {
        return MakeListCode(memory, error.GetMessage(), error.GetPosition());
    }
    const std::string_view name = operand.name;
    const size_t dot = operand.dot < 0 ? name.size() : static_cast<size_t>(operand.dot);
    const bool raw = operand.dot >= 0 && TakesRawArguments(name.substr(0, dot), name.substr(dot + 1));
    return MakeListCode(memory, list, CSspListCode::Use::kArguments, names, raw, depth);
}
