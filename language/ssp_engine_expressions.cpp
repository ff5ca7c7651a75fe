// Evaluation of collected expressions. A list is reduced in place: the deepest parenthesised run
// first, and inside a run "*", "/", "%" before "+", "-", "||", left to right. A condition splits at
// "and"/"or" (equal precedence, grouping to the right) and holds at most one comparison.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"
#include "language/output_sink.h"
#include "language/ssp_scan_memo.h"

#include <array>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr int kMsgOutOfMemoryParam = 39;  // "Out of memory in EvalParam"
constexpr int kMsgMissingParameterBeforeComma = 122;
constexpr int kMsgAndOrMissingBefore = 103;
constexpr int kMsgAndOrMissingAfter = 104;
constexpr int kMsgTwoComparisons = 105;
constexpr int kMsgComparisonMissingBefore = 106;
constexpr int kMsgComparisonMissingAfter = 107;
constexpr int kMsgMissingOperator = 108;
constexpr int kMsgMissingLeftOperand = 109;
constexpr int kMsgMissingRightOperand = 110;

// The message of a failed operator, by the result code of CSspValue::ApplyOperator.
int OperatorFailureSlot(int code)
{
    switch (code) {
    case CSspValue::kNeedsTimeSpan: return 111;
    case CSspValue::kNeedsDateTime: return 112;
    case CSspValue::kNeedsTimeSpanOrDate: return 113;
    default: return 115;
    }
}

// Values that evaluation hands out unchanged, made once instead of on every use: the left
// operand of a negation, and the value of an empty range.
const CSspValue& MinusOne()
{
    static const CSspValue minusOne = [] {
        CSspValue value;
        value.SetInteger(-1);
        return value;
    }();
    return minusOne;
}

const CSspValue& EmptyText()
{
    static const CSspValue empty = [] {
        CSspValue value;
        value.SetString(std::string());
        return value;
    }();
    return empty;
}

bool IsValueKind(int kind)
{
    return kind == kOperandToken || kind == kCallToken || kind == kComputedToken;
}

// Members whose argument is the name of a field or variable as written, not a value.
bool TakesRawArguments(const CSspCall& call)
{
    const std::string& object = call.m_object;
    const std::string& member = call.m_member;
    if (EqualsNoCase(object, "Request"))
        return EqualsNoCase(member, "exist") || EqualsNoCase(member, "size");
    if (EqualsNoCase(object, "Session"))
        return EqualsNoCase(member, "exist");
    return EqualsNoCase(object, "Server") && EqualsNoCase(member, "GetUniqueID");
}

}  // namespace

// The working state of one evaluation of a list: kinds and depths change as the list is reduced, and
// evaluated entries point at their values. An operand evaluated as a parenthesised group of its own
// keeps its value, so the operator around the group uses that value instead of evaluating the operand
// again (a call in parentheses runs once).
//
// A value is the list's own literal, a local variable read in place, or one the frame holds (a
// member's result, an operator's result). Reading variables in place is safe only while nothing in
// the list can assign them, that is, while the list calls no member with parentheses: such lists
// copy the variable, as it stood when read, into the frame. Small lists, which are most, keep their
// slots and first values inside the frame, so evaluating them allocates nothing.
struct CSspEngine::EvalFrame
{
    // Set up by the constructor for the list's entries only: a frame of a short list does not pay
    // for the unused inline slots.
    struct Slot
    {
        int kind;
        int depth;
        const CSspValue* value;  // set once the entry is evaluated or computed
        bool owned;              // the value is one of the frame's own
    };

    explicit EvalFrame(const CSspTokenList& tokens) : list(tokens)
    {
        const size_t count = tokens.Size();
        if (count > kInlineSlots) {
            spilledSlots.resize(count);
            slots = spilledSlots.data();
        }
        for (size_t i = 0; i < count; ++i) {
            slots[i] = Slot{list[i].kind, list[i].depth, nullptr, false};
            if (slots[i].kind == kCallToken)
                variablesInPlace = false;
        }
    }
    ~EvalFrame()
    {
        for (int i = 0; i < inlineValuesUsed; ++i)
            InlineValue(i).~CSspValue();
    }
    EvalFrame(const EvalFrame&) = delete;
    EvalFrame& operator=(const EvalFrame&) = delete;

    Slot& operator[](int index) { return slots[index]; }
    const CSspListEntry& Entry(int index) const { return list[static_cast<size_t>(index)]; }

    // A fresh value that lives as long as the frame.
    CSspValue& NewValue()
    {
        if (inlineValuesUsed < kInlineValues) {
            // Made on first use only: many lists need no value of their own.
            CSspValue* value = new (inlineStorage[inlineValuesUsed]) CSspValue();
            ++inlineValuesUsed;
            return *value;
        }
        return *spilledValues.emplace_back(std::make_unique<CSspValue>());
    }

    static constexpr size_t kInlineSlots = 16;
    static constexpr int kInlineValues = 2;

    const CSspTokenList& list;
    bool variablesInPlace = true;
    std::array<Slot, kInlineSlots> inlineSlots;
    std::vector<Slot> spilledSlots;
    Slot* slots = inlineSlots.data();
    bool Owns(const CSspValue& value)
    {
        for (int i = 0; i < inlineValuesUsed; ++i) {
            if (&value == &InlineValue(i))
                return true;
        }
        for (const auto& spilled : spilledValues) {
            if (&value == spilled.get())
                return true;
        }
        return false;
    }

    CSspValue& InlineValue(int index) { return *std::launder(reinterpret_cast<CSspValue*>(inlineStorage[index])); }

    alignas(CSspValue) unsigned char inlineStorage[kInlineValues][sizeof(CSspValue)];
    int inlineValuesUsed = 0;
    std::vector<std::unique_ptr<CSspValue>> spilledValues;
};

void CSspEngine::EvalExpression(const CSspTokenList& list, CSspValue& result)
{
    EvalFrame frame(list);
    const CSspValue& value = EvalRange(frame, 0, static_cast<int>(list.Size()) - 1);
    // A value the frame made (a result of an operator or a call) goes with the frame: it is moved,
    // not copied. Literals and variables are copied.
    if (frame.Owns(value))
        result = std::move(const_cast<CSspValue&>(value));
    else if (&value != &result)
        result = value;
}

bool CSspEngine::AppendToLocal(std::string_view name, const CSspTokenList& list)
{
    // A text built piece by piece would otherwise be copied whole for every piece. The operands are
    // read as the general evaluation reads them, left first, and have no effects of their own, so
    // when this declines the general evaluation reads them again to the same values.
    if (list.Size() != 3 || list[0].kind != kOperandToken || list[1].kind != kAddToken || list[2].kind != kOperandToken)
        return false;
    const CSspValue* variable = m_locals.Find(name);
    if (variable == nullptr || !variable->IsString() || FindLocalRead(list, 0) != variable)
        return false;
    const CSspListEntry& piece = list[2];
    const CSspValue* right = piece.literal >= 0 ? &list.Literal(piece.literal) : FindLocalRead(list, 2);
    if (right == nullptr)
        return false;
    try {
        return const_cast<CSspValue*>(variable)->AppendInPlace(list[1].text, *right);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, list[1].start);
    }
}

void CSspEngine::WriteExpression(const CSspTokenList& list)
{
    // Written from where the value stands, without a copy.
    EvalFrame frame(list);
    const CSspValue& value = EvalRange(frame, 0, static_cast<int>(list.Size()) - 1);
    if (m_response)
        m_response->WriteValue(value);
}

bool CSspEngine::EvalCondition(const CSspTokenList& list)
{
    EvalFrame frame(list);
    return EvalConditionRange(frame, 0, static_cast<int>(list.Size()) - 1);
}

void CSspEngine::EvalParam(const CSspTokenList& list, CSspCall& call)
{
    EvalFrame frame(list);
    EvalParamRange(frame, call);
}

const CSspValue& CSspEngine::EvalRange(EvalFrame& frame, int first, int last)
{
    // A single entry, the commonest range (a condition's side, an output block's variable).
    if (first == last)
        return OperandValue(frame, first);
    const CSspValue* result = nullptr;
    while (last >= first) {
        // The first run of contiguous entries of the greatest depth.
        int top = -1;
        int runFirst = first;
        int runLast = first;
        bool shallowerSeen = false;
        for (int i = first; i <= last; ++i) {
            int depth = frame[i].depth;
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
        if (const CSspValue* reduced = ReduceFlat(frame, runFirst, runLast))
            result = reduced;
        if (top > 0) {
            for (int i = runFirst; i <= runLast; ++i)
                --frame[i].depth;
        }
        if (runFirst == first && runLast == last)
            break;
    }
    if (result != nullptr)
        return *result;
    // An empty range, or one with nothing to apply, is the empty text.
    return EmptyText();
}

const CSspValue* CSspEngine::ReduceFlat(EvalFrame& frame, int first, int last)
{
    if (first == last)
        return &OperandValue(frame, first);
    // The commonest range with an operator, one operator between two values (Local.i + 1), needs
    // no search for it.
    if (last == first + 2 && IsValueKind(frame[first].kind) && IsValueKind(frame[last].kind) &&
        (frame[first + 1].kind == kAddToken || frame[first + 1].kind == kMultiplyToken)) {
        ApplyBinary(frame, first, last, first + 1);
        return frame[first + 1].value;
    }
    // Each step's result is the range's; a range with nothing left to apply keeps the result of the
    // step before.
    const CSspValue* result = nullptr;
    for (;;) {
        int multiply = -1;
        int add = -1;
        int operands = 0;
        for (int i = first; i <= last; ++i) {
            int kind = frame[i].kind;
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
                RaiseCatalogText(kMsgMissingOperator, frame.Entry(first).end);
            return result;
        }
        ApplyBinary(frame, first, last, op);
        result = frame[op].value;
    }
}

void CSspEngine::ApplyBinary(EvalFrame& frame, int first, int last, int op)
{
    int left = op - 1;
    while (left >= first && !IsValueKind(frame[left].kind))
        --left;
    int right = op + 1;
    while (right <= last && !IsValueKind(frame[right].kind))
        ++right;

    const CSspListEntry& entry = frame.Entry(op);
    std::string_view operation = entry.text;
    if (left < first) {
        // A minus without a left operand negates: it multiplies by -1.
        if (operation != "-")
            RaiseCatalogText(kMsgMissingLeftOperand, entry.start);
        operation = "*";
    }
    if (right > last)
        RaiseCatalogText(kMsgMissingRightOperand, entry.start);

    const CSspValue& leftValue = left < first ? MinusOne() : OperandValue(frame, left);
    const CSspValue& rightValue = OperandValue(frame, right);
    // The result goes into a value of the frame: the left operand's own when it has one (a chain
    // a + b + c computes in one place), else a fresh one.
    const bool reuseLeft = left >= first && frame[left].owned;
    CSspValue& target = reuseLeft ? const_cast<CSspValue&>(leftValue) : frame.NewValue();
    int code = 0;
    try {
        code = target.ApplyOperator(leftValue, operation, rightValue);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, entry.start);
    }
    if (code < 0)
        RaiseCatalogText(OperatorFailureSlot(code), entry.start);
    EvalFrame::Slot& slot = frame[op];
    slot.kind = kComputedToken;
    slot.value = &target;
    slot.owned = true;
    if (left >= first) {
        frame[left].kind = kConsumedToken;
        frame[left].owned = false;
    }
    frame[right].kind = kConsumedToken;
}

const CSspValue& CSspEngine::OperandValue(EvalFrame& frame, int index)
{
    EvalFrame::Slot& slot = frame[index];
    if (slot.value != nullptr)
        return *slot.value;
    const CSspListEntry& entry = frame.Entry(index);
    if (entry.literal >= 0) {
        slot.value = &frame.list.Literal(entry.literal);
        return *slot.value;
    }
    const CSspValue* variable = FindLocalRead(frame.list, index);
    if (variable != nullptr && frame.variablesInPlace) {
        slot.value = variable;
        return *variable;
    }
    return OwnOperandValue(frame, index, variable);
}

const CSspValue& CSspEngine::OwnOperandValue(EvalFrame& frame, int index, const CSspValue* variable)
{
    // Out of line: the frame's own values cost OperandValue's common cases (values known, literals,
    // variables read in place) the saving and restoring of registers on every call.
    if (variable == nullptr) {
        // A column of a declared sql object. Any other operand of the list could move its result
        // to another row, even without parentheses (x.fetch), so the value is read in place only
        // when it is the whole list, and is otherwise copied, as the member call would.
        variable = HeldMemberValue(frame.list, index);
        if (variable != nullptr && frame.list.Size() == 1) {
            frame[index].value = variable;
            return *variable;
        }
    }
    CSspValue& value = frame.NewValue();
    if (variable != nullptr)
        value = *variable;
    else
        EvalOperand(frame.list, index, value);
    EvalFrame::Slot& slot = frame[index];
    slot.value = &value;
    slot.owned = true;
    return value;
}

bool CSspEngine::EvalConditionRange(EvalFrame& frame, int first, int last)
{
    // "and" and "or" bind alike and group to the right: a and b or c is a and (b or c). The right
    // part is taken in this loop, so a long chain needs no deep recursion.
    for (;;) {
        if (last < first)
            return false;
        int split = -1;
        for (int i = first; i <= last; ++i) {
            if (frame[i].kind == kLogicToken && (split < 0 || frame[i].depth < frame[split].depth))
                split = i;
        }
        if (split < 0)
            return EvalComparison(frame, first, last);
        if (split == first)
            RaiseCatalogText(kMsgAndOrMissingBefore, frame.Entry(split).start);
        if (split == last)
            RaiseCatalogText(kMsgAndOrMissingAfter, frame.Entry(split).start);
        bool isAnd = EqualsNoCase(frame.Entry(split).text, "and");
        bool left;
        {
            NestingLevel level(frame.Entry(split).start);
            left = EvalConditionRange(frame, first, split - 1);
        }
        if (isAnd ? !left : left)
            return left;
        first = split + 1;
    }
}

bool CSspEngine::EvalComparison(EvalFrame& frame, int first, int last)
{
    int comparison = -1;
    for (int i = first; i <= last; ++i) {
        if (frame[i].kind != kCompareToken)
            continue;
        if (comparison >= 0)
            RaiseCatalogText(kMsgTwoComparisons, frame.Entry(i).start);
        comparison = i;
    }
    if (comparison < 0) {
        // Without a comparison a condition holds only for a value that is the number 1.
        return EvalRange(frame, first, last).ToInt64() == 1;
    }
    if (comparison == first)
        RaiseCatalogText(kMsgComparisonMissingBefore, frame.Entry(comparison).start);
    if (comparison == last)
        RaiseCatalogText(kMsgComparisonMissingAfter, frame.Entry(comparison).start);
    // The ranges on either side are disjoint, so evaluating the right one leaves the left's value.
    const CSspValue& left = EvalRange(frame, first, comparison - 1);
    const CSspValue& right = EvalRange(frame, comparison + 1, last);
    return left.Compare(frame.Entry(comparison).text, right);
}

void CSspEngine::EvalOperand(const CSspTokenList& list, int index, CSspValue& result)
{
    const CSspListEntry& entry = list[static_cast<size_t>(index)];
    if (entry.literal >= 0) {
        result = list.Literal(entry.literal);
        return;
    }
    CSspCall call = ParseOperand(list, index);
    CallOperand(list, index, call, result);
}

CSspCall CSspEngine::ParseOperand(const CSspTokenList& list, int index)
{
    // The names are made in place: assigning them to the strings of a finished call costs twice as
    // much, and an operand is parsed on every pass of a loop.
    const CSspListEntry& entry = list[static_cast<size_t>(index)];
    std::string_view name = entry.name;
    const size_t dot = entry.dot < 0 ? name.size() : static_cast<size_t>(entry.dot);
    CSspCall call{.m_object = std::string(name.substr(0, dot)),
                  .m_member = entry.dot < 0 ? std::string() : std::string(name.substr(dot + 1)),
                  .m_position = entry.start,
                  .m_endPosition = entry.end,
                  .m_args = {},
                  .m_hasParentheses = entry.kind == kCallToken};
    if (call.m_hasParentheses) {
        // Empty parentheses, the commonest call (x.fetch()), have no list to collect or evaluate.
        if (entry.text.size() == name.size() + 2) {
            NestingLevel level(call.m_position);
            return call;
        }
        int cursor = entry.start + static_cast<int>(name.size());
        // From the list's own file: a watch expression is not part of the run's source.
        const CSspTokenList& arguments = CollectMemo(CSspCollector::kArguments, list.Source(), cursor, entry.end);
        NestingLevel level(call.m_position);
        EvalParam(arguments, call);
    }
    return call;
}

void CSspEngine::EvalParamRange(EvalFrame& frame, CSspCall& call)
{
    const bool raw = TakesRawArguments(call);
    const int count = static_cast<int>(frame.list.Size());
    int first = 0;
    for (int i = 0; i <= count; ++i) {
        if (i < count && frame.Entry(i).text != ",")
            continue;
        if (i == first) {
            if (i == count)
                break;  // no arguments, or a comma at the very end
            RaiseCatalogText(kMsgMissingParameterBeforeComma, call.m_position);
        }
        CSspValue value;
        if (raw) {
            value.SetString(std::string(frame.Entry(first).text));
        } else {
            const CSspValue& argument = EvalRange(frame, first, i - 1);
            if (&argument != &value)
                value = argument;
        }
        try {
            call.m_args.push_back(std::move(value));
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgOutOfMemoryParam, call.m_position);
        }
        first = i + 1;
    }
}
