// Evaluation of compiled lists (CSspListCode): the steps that reducing a list comes to, run over one
// frame of values, and the "and"/"or" tree of a condition.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"
#include "language/output_sink.h"

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace {

constexpr int kMsgOutOfMemoryParam = 39;  // "Out of memory in EvalParam"

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

}  // namespace

// The values of one evaluation of a list: each entry points at its value once it has one. A value
// is the list's own literal, a local variable read in place, or one the frame holds (a member's
// result, an operator's result). Reading variables in place is safe only while nothing in the list
// can assign them, that is, while the list calls no member with parentheses: such lists copy the
// variable, as it stood when read, into the frame. Small lists, which are most, keep their slots
// and first values inside the frame, so evaluating them allocates nothing.
struct CSspEngine::EvalFrame
{
    struct Slot
    {
        const CSspValue* value;
        bool owned;  // the value is one of the frame's own
    };

    explicit EvalFrame(const CSspListCode& listCode) : code(listCode)
    {
        const size_t count = code.EntryCount();
        if (count > kInlineSlots) {
            spilledSlots.resize(count);
            slots = spilledSlots.data();
        }
        for (size_t i = 0; i < count; ++i)
            slots[i] = Slot{nullptr, false};
        for (int entry : code.LiteralEntries())
            slots[entry].value = code.Operand(entry).value;
    }
    ~EvalFrame()
    {
        for (int i = 0; i < inlineValuesUsed; ++i)
            InlineValue(i).~CSspValue();
    }
    EvalFrame(const EvalFrame&) = delete;
    EvalFrame& operator=(const EvalFrame&) = delete;

    Slot& operator[](int index) { return slots[index]; }
    const CSspValue& Value(int index) const { return index < 0 ? EmptyText() : *slots[index].value; }

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
    CSspValue& InlineValue(int index) { return *std::launder(reinterpret_cast<CSspValue*>(inlineStorage[index])); }

    static constexpr size_t kInlineSlots = 16;
    static constexpr int kInlineValues = 2;

    const CSspListCode& code;
    std::array<Slot, kInlineSlots> inlineSlots;
    std::vector<Slot> spilledSlots;
    Slot* slots = inlineSlots.data();
    alignas(CSspValue) unsigned char inlineStorage[kInlineValues][sizeof(CSspValue)];
    int inlineValuesUsed = 0;
    std::vector<std::unique_ptr<CSspValue>> spilledValues;
};

void CSspEngine::Apply(CSspValue& target, const CSspValue& left, CSspValue::Operator op, const CSspValue& right,
                       int position)
{
    if (target.ApplyToIntegers(left, op, right))
        return;
    int result = 0;
    try {
        result = target.ApplyOperator(left, op, right);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, position);
    }
    if (result < 0)
        RaiseCatalogText(OperatorFailureSlot(result), position);
}

void CSspEngine::EvalExpression(const CSspListCode& code, CSspValue& result)
{
    switch (code.GetShape()) {
    case CSspListCode::Shape::kOperand:
        if (const CSspValue& value = InPlaceValue(code.LeftOperand()); &value != &result)
            result = value;
        return;
    case CSspListCode::Shape::kApply: ApplyInPlaceOperands(code, result); return;
    case CSspListCode::Shape::kApplyCall:
        if (ApplyWithCall(code, result))
            return;
        break;
    case CSspListCode::Shape::kMember: {
        // Made apart and moved, as the frame would: result may be the variable being assigned,
        // which a failing call must leave as it was.
        CSspValue made;
        if (const CSspValue& value = MemberValue(code, made); &value == &made)
            result = std::move(made);
        else
            result = value;
        return;
    }
    default: break;
    }
    EvalInFrame(code, result);
}

void CSspEngine::ApplyInPlaceOperands(const CSspListCode& code, CSspValue& result)
{
    const CSspValue& left = code.Left() < 0 ? MinusOne() : InPlaceValue(code.LeftOperand());
    const CSspValue& right = InPlaceValue(code.RightOperand());
    Apply(result, left, code.ArithmeticOp(), right, code.Position());
}

void CSspEngine::EvalInFrame(const CSspListCode& code, CSspValue& result)
{
    EvalRangeInFrame(code, code.Program(), result);
}

void CSspEngine::EvalRangeInFrame(const CSspListCode& code, const CSspCodeRange& range, CSspValue& result)
{
    EvalFrame frame(code);
    const int entry = RunSteps(frame, range, nullptr);
    // A value the frame made (a result of an operator or a call) goes with the frame: it is moved,
    // not copied. Literals and variables are copied.
    if (entry >= 0 && frame[entry].owned)
        result = std::move(const_cast<CSspValue&>(*frame[entry].value));
    else if (const CSspValue& value = frame.Value(entry); &value != &result)
        result = value;
}

void CSspEngine::WriteExpression(const CSspListCode& code)
{
    // Written from where the value stands, without a copy.
    if (code.GetShape() == CSspListCode::Shape::kOperand) {
        const CSspValue& value = InPlaceValue(code.LeftOperand());
        if (m_response)
            m_response->WriteValue(value);
        return;
    }
    if (code.GetShape() == CSspListCode::Shape::kMember || code.GetShape() == CSspListCode::Shape::kApply) {
        CSspValue made;
        const CSspValue* value = &made;
        if (code.GetShape() == CSspListCode::Shape::kMember)
            value = &MemberValue(code, made);
        else
            EvalExpression(code, made);
        if (m_response)
            m_response->WriteValue(*value);
        return;
    }
    EvalFrame frame(code);
    const CSspValue& value = frame.Value(RunSteps(frame, code.Program(), nullptr));
    if (m_response)
        m_response->WriteValue(value);
}

const CSspValue& CSspEngine::MemberValue(const CSspListCode& code, CSspValue& made)
{
    // Read where the object holds it, as the frame reads the whole list's only operand.
    const CSspCodeOperand& operand = code.LeftOperand();
    if (operand.call) {
        CSspValue computed;
        if (const BoundArrayCall bound = BindArrayCall(code, operand, &computed); bound.array != nullptr)
            return ArrayCallValue(bound, operand.start, made);
    } else if (const CSspValue* held = HeldMemberValue(code, operand)) {
        return *held;
    }
    EvalOperand(code, operand, made);
    return made;
}

bool CSspEngine::EvalCondition(const CSspListCode& code)
{
    switch (code.GetShape()) {
    case CSspListCode::Shape::kCompare: {
        const CSspValue& left = InPlaceValue(code.LeftOperand());
        return left.Compare(code.ComparisonOp(), InPlaceValue(code.RightOperand()));
    }
    case CSspListCode::Shape::kTruth: return InPlaceValue(code.LeftOperand()).ToInt64() == 1;
    case CSspListCode::Shape::kCompareCall:
        if (const std::optional<bool> result = CompareWithCall(code))
            return *result;
        break;
    default: break;
    }
    return EvalConditionInFrame(code);
}

bool CSspEngine::EvalConditionInFrame(const CSspListCode& code)
{
    EvalFrame frame(code);
    return EvalConditionPart(frame, code.ConditionRoot());
}

const CSspValue* CSspEngine::CallShapeValues(const CSspListCode& code, CSspValue& made, const CSspValue*& other)
{
    const int call = code.CallEntry();
    const int otherEntry = call == code.Left() ? code.Right() : code.Left();
    if (otherEntry < 0)
        other = &MinusOne();
    else if (!code.CallFirst())
        other = &InPlaceValue(code.Operand(otherEntry));
    const CSspCodeOperand& operand = code.Operand(call);
    const CSspValue* value = &made;
    // A function of the file runs with variables of its own: it cannot assign the other operand.
    if (operand.localFunction) {
        CallLocalOperand(code, operand, made);
    } else {
        const BoundArrayCall bound = BindArrayCall(code, operand);
        if (bound.array == nullptr)
            return nullptr;
        value = &ArrayCallValue(bound, operand.start, made);
    }
    if (otherEntry >= 0 && code.CallFirst())
        other = &InPlaceValue(code.Operand(otherEntry));
    return value;
}

bool CSspEngine::ApplyWithCall(const CSspListCode& code, CSspValue& result)
{
    CSspValue made;
    const CSspValue* other = nullptr;
    const CSspValue* value = CallShapeValues(code, made, other);
    if (value == nullptr)
        return false;
    const bool callLeft = code.CallEntry() == code.Left();
    Apply(result, callLeft ? *value : *other, code.ArithmeticOp(), callLeft ? *other : *value, code.Position());
    return true;
}

std::optional<bool> CSspEngine::CompareWithCall(const CSspListCode& code)
{
    CSspValue made;
    const CSspValue* other = nullptr;
    const CSspValue* value = CallShapeValues(code, made, other);
    if (value == nullptr)
        return std::nullopt;
    if (code.CallEntry() == code.Left())
        return value->Compare(code.ComparisonOp(), *other);
    return other->Compare(code.ComparisonOp(), *value);
}

bool CSspEngine::EvalConditionPart(EvalFrame& frame, int index)
{
    // "and" and "or" bind alike and group to the right: the right part is taken in this loop, so a
    // long chain needs no deep recursion.
    for (;;) {
        const CSspCodeCondition& node = frame.code.Condition(index);
        switch (node.kind) {
        case CSspCodeCondition::kFalse: return false;
        case CSspCodeCondition::kRaise: RaiseCatalogText(node.message, node.position);
        case CSspCodeCondition::kTruth: return frame.Value(RunSteps(frame, node.range, nullptr)).ToInt64() == 1;
        case CSspCodeCondition::kCompare:
            RunSteps(frame, node.range, nullptr);
            return frame.Value(node.left).Compare(node.comparison, frame.Value(node.right));
        case CSspCodeCondition::kAnd:
        case CSspCodeCondition::kOr: {
            bool left;
            {
                NestingLevel level(node.position);
                left = EvalConditionPart(frame, node.left);
            }
            if (node.kind == CSspCodeCondition::kAnd ? !left : left)
                return left;
            index = node.right;
            break;
        }
        }
    }
}

void CSspEngine::EvalParam(const CSspListCode& code, CSspCall& call)
{
    if (code.Failed())
        throw CSspException(code.Failure(), code.FailurePosition());
    if (code.GetShape() == CSspListCode::Shape::kPushes) {
        // Each argument is read where it stands when it is pushed, which is when its steps would
        // have read it.
        const auto push = [&](const CSspValue& value) {
            try {
                call.m_args.push_back(value);
            } catch (const std::bad_alloc&) {
                RaiseCatalogText(kMsgOutOfMemoryParam, call.m_position);
            }
        };
        if (const int single = code.SinglePush(); single >= 0)
            return push(InPlaceValue(code.Operand(single)));
        const CSspCodeRange& program = code.Program();
        for (int i = program.begin; i < program.end; ++i) {
            const CSspCodeStep& step = code.Step(i);
            if (step.code == CSspCodeStep::kPush)
                push(InPlaceValue(code.Operand(step.target)));
        }
        return;
    }
    EvalFrame frame(code);
    RunSteps(frame, code.Program(), &call);
}

int CSspEngine::RunSteps(EvalFrame& frame, const CSspCodeRange& range, CSspCall* call)
{
    const CSspListCode& code = frame.code;
    for (int i = range.begin; i < range.end; ++i) {
        const CSspCodeStep& step = code.Step(i);
        switch (step.code) {
        case CSspCodeStep::kEvaluate: OperandValue(frame, step.target); break;
        case CSspCodeStep::kApply: ApplyStep(frame, step); break;
        case CSspCodeStep::kRaise:
            RaiseCatalogText(step.message,
                             step.position == CSspListCode::kCallPosition ? call->m_position : step.position);
        case CSspCodeStep::kPush:
        case CSspCodeStep::kPushRaw:
            try {
                // A value the frame made is the argument's alone: it moves into the call.
                if (step.code == CSspCodeStep::kPush && step.target >= 0 && frame[step.target].owned)
                    call->m_args.push_back(std::move(const_cast<CSspValue&>(*frame[step.target].value)));
                else if (step.code == CSspCodeStep::kPush)
                    call->m_args.push_back(frame.Value(step.target));
                else
                    call->m_args.emplace_back().SetString(code.RawText(step.target));
            } catch (const std::bad_alloc&) {
                RaiseCatalogText(kMsgOutOfMemoryParam, call->m_position);
            }
            break;
        }
    }
    return range.result;
}

void CSspEngine::ApplyStep(EvalFrame& frame, const CSspCodeStep& step)
{
    const CSspValue& leftValue = step.left < 0 ? MinusOne() : *frame[step.left].value;
    const CSspValue& rightValue = *frame[step.right].value;
    // The result goes into a value of the frame: the left operand's own when it has one (a chain
    // a + b + c computes in one place), else a fresh one.
    const bool reuseLeft = step.left >= 0 && frame[step.left].owned;
    CSspValue& target = reuseLeft ? const_cast<CSspValue&>(leftValue) : frame.NewValue();
    Apply(target, leftValue, step.op, rightValue, frame.code.Operand(step.target).start);
    EvalFrame::Slot& slot = frame[step.target];
    slot.value = &target;
    slot.owned = true;
    if (step.left >= 0)
        frame[step.left].owned = false;
}

void CSspEngine::OperandValue(EvalFrame& frame, int index)
{
    const CSspCodeOperand& operand = frame.code.Operand(index);
    EvalFrame::Slot& slot = frame[index];
    if (operand.argument) {
        slot.value = &InPlaceValue(operand);
        return;
    }
    const CSspValue* variable = operand.localVariable ? &FindLocalRead(operand) : nullptr;
    if (variable != nullptr && !frame.code.CopiesVariables()) {
        slot.value = variable;
        return;
    }
    if (variable == nullptr && operand.call) {
        // A function of the file is no array's member.
        const BoundArrayCall bound = operand.localFunction ? BoundArrayCall{} : BindArrayCall(frame.code, operand);
        if (bound.array != nullptr) {
            // An element is read where the array holds it while no other call of the list can
            // change the array.
            if (bound.member == CSspArray::kGetAt && frame.code.CallCount() == 1) {
                slot.value = &bound.array->At(*bound.argument, operand.start);
                return;
            }
            CSspValue& value = frame.NewValue();
            if (const CSspValue& made = ArrayCallValue(bound, operand.start, value); &made != &value)
                value = made;
            slot.value = &value;
            slot.owned = true;
            return;
        }
    } else if (variable == nullptr) {
        // A column of a declared sql object. Any other operand of the list could move its result
        // to another row, even without parentheses (x.fetch), so the value is read in place only
        // when it is the whole list, and is otherwise copied, as the member call would.
        variable = HeldMemberValue(frame.code, operand);
        if (variable != nullptr && frame.code.EntryCount() == 1) {
            slot.value = variable;
            return;
        }
    }
    CSspValue& value = frame.NewValue();
    if (variable != nullptr)
        value = *variable;
    else
        EvalOperand(frame.code, operand, value);
    slot.value = &value;
    slot.owned = true;
}

void CSspEngine::EvalOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspValue& result)
{
    if (operand.value != nullptr) {
        result = *operand.value;
        return;
    }
    if (operand.localFunction)
        return CallLocalOperand(code, operand, result);
    PooledCall call(*this);
    ParseOperand(code, operand, *call);
    CallOperand(code, operand, *call, result);
}

void CSspEngine::GrowCallPool()
{
    m_calls.push_back(std::make_unique<CSspCall>());
}

void CSspEngine::CallLocalOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspValue& result)
{
    // What Local does with the call, without making its names: a call of the pool holds the
    // argument values, in a list that keeps its memory for the next call.
    PooledCall pooled(*this);
    CSspCall& call = *pooled;
    call.m_position = operand.start;
    call.m_endPosition = operand.end;
    call.m_hasParentheses = true;
    EvalCallArguments(code, operand, call);
    CallLocalFunction(operand.name.substr(static_cast<size_t>(operand.dot) + 1), call.m_args, call.m_position, result,
                      nullptr);
}

void CSspEngine::ParseOperand(const CSspListCode& code, const CSspCodeOperand& operand, CSspCall& call)
{
    std::string_view name = operand.name;
    const size_t dot = operand.dot < 0 ? name.size() : static_cast<size_t>(operand.dot);
    // A pooled call mostly held this operand's names last time: they are copied only when not.
    const std::string_view object = name.substr(0, dot);
    if (call.m_object != object)
        call.m_object.assign(object);
    const std::string_view member = operand.dot < 0 ? std::string_view() : name.substr(dot + 1);
    if (call.m_member != member)
        call.m_member.assign(member);
    call.m_position = operand.start;
    call.m_endPosition = operand.end;
    call.m_args.clear();
    call.m_hasParentheses = operand.call;
    call.m_boundMember = -1;
    if (operand.call)
        EvalCallArguments(code, operand, call);
}

void CSspEngine::EvalCallArguments(const CSspListCode& code, const CSspCodeOperand& operand, CSspCall& call)
{
    if (operand.emptyCall) {
        NestingLevel level(call.m_position);
        return;
    }
    // Argument lists that nest too deep to be compiled with their list are compiled now.
    CSspListCodePtr late;
    const CSspListCode* arguments = operand.arguments.get();
    if (arguments == nullptr) {
        late = CompileCallArguments(operand, *code.Source());
        arguments = late.get();
    }
    if (arguments->Failed())
        throw CSspException(arguments->Failure(), arguments->FailurePosition());
    NestingLevel level(call.m_position);
    EvalParam(*arguments, call);
}
