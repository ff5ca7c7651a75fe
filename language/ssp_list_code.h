// The compiled form of a collected list (CSspTokenList): what evaluating it as an expression, a
// condition or an argument list comes to, worked out once instead of on every pass.
//
// A list is reduced by the kinds and depths of its entries alone: the deepest, leftmost run first,
// and in it "*", "/", "%" before "+", "-", "||", left to right. Which operand is evaluated when, which
// operator applies to which values and which of the collector's errors is raised where follow from
// the kinds and depths, never from the values, so the whole order can be played through once
// against the kinds and written down as a straight-line program of steps: evaluate operand i, apply
// the operator at p to the values of l and r, push an argument, raise an error. Running the steps
// does what reducing the list does, in the same order, with the same errors at the same places.
// Only "and" and "or" depend on values (the right part runs only when needed): a condition is a
// small tree of such programs.
//
// Each entry of the list has one value slot while the list is evaluated; steps name entries by
// their index.
#pragma once

#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"
#include "language/ssp_token_list.h"
#include "language/ssp_variables.h"

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

class CSspListCode;

// Compiled lists live in the memory of the program they belong to (see CSspProgram), or on the
// heap; the pointer that owns one gives it back to where it came from.
struct CSspListCodeDelete
{
    void operator()(CSspListCode* code) const;
};
using CSspListCodePtr = std::unique_ptr<CSspListCode, CSspListCodeDelete>;

// An operand as written: everything the evaluation of one entry of the list needs.
struct CSspCodeOperand
{
    CSspOperandForm form = CSspOperandForm::kMember;
    bool call = false;           // written with an argument list (the entry's kind was a call)
    bool emptyCall = false;      // ... and the list was empty: "()"
    bool localVariable = false;  // Local.<name> without an argument list, where name is no member of Local
    bool argument = false;       // arg.<name> without an argument list: a call's argument
    bool localFunction = false;  // Local.<name>(...) where name is no member of Local
    // Local.<name>: the slot of name in the program's local names, if it has one. arg.<name> in the
    // body of a function: the index of the parameter name, if it is one.
    int slot = -1;
    int dot = -1;  // offset of the first "." in name; -1 when it has none
    // What reading a literal or a variable in place needs ends here, in the first 24 bytes.
    const CSspValue* value = nullptr;  // a literal's value; null for any other operand
    int start = 0;                     // where the entry starts; errors of the operand point here
    int end = 0;                       // the cursor after the entry
    std::string_view name;             // the whole name, object.member, as written
    // The argument list of a call whose list is not empty, compiled with the list; null when the
    // calls nest too deep to compile them all at once (the evaluation compiles it then).
    CSspListCodePtr arguments;

    // The cursor where a call's argument list, its "(", is looked for.
    int ArgumentsStart() const { return start + static_cast<int>(name.size()); }
};

// An array of compiled code: its items and their count in 16 bytes, the memory from the code's
// resource, which the owner names again when it frees the array.
template <class T>
class CSspCodeArray
{
public:
    CSspCodeArray() = default;
    CSspCodeArray(const CSspCodeArray&) = delete;
    CSspCodeArray& operator=(const CSspCodeArray&) = delete;
    CSspCodeArray(CSspCodeArray&& other) noexcept
        : m_items(std::exchange(other.m_items, nullptr)), m_size(std::exchange(other.m_size, 0))
    {}
    CSspCodeArray& operator=(CSspCodeArray&&) = delete;

    // Makes count items, each made from the item of source at its index when a source is given,
    // else made empty. The array must be empty.
    void Make(std::pmr::memory_resource* memory, size_t count, const T* source = nullptr)
    {
        if (count == 0)
            return;
        std::pmr::polymorphic_allocator<T> allocator(memory);
        T* items = allocator.allocate(count);
        size_t made = 0;
        try {
            for (; made < count; ++made) {
                if constexpr (std::is_copy_constructible_v<T>) {
                    if (source != nullptr) {
                        new (items + made) T(source[made]);
                        continue;
                    }
                }
                new (items + made) T();
            }
        } catch (...) {
            std::destroy_n(items, made);
            allocator.deallocate(items, count);
            throw;
        }
        m_items = items;
        m_size = static_cast<std::uint32_t>(count);
    }
    void Free(std::pmr::memory_resource* memory)
    {
        if (m_items == nullptr)
            return;
        std::destroy_n(m_items, m_size);
        std::pmr::polymorphic_allocator<T>(memory).deallocate(m_items, m_size);
        m_items = nullptr;
        m_size = 0;
    }

    size_t size() const { return m_size; }
    T& operator[](size_t index) { return m_items[index]; }
    const T& operator[](size_t index) const { return m_items[index]; }
    T* begin() { return m_items; }
    T* end() { return m_items + m_size; }
    const T* begin() const { return m_items; }
    const T* end() const { return m_items + m_size; }

private:
    T* m_items = nullptr;
    std::uint32_t m_size = 0;
};

// One step of a program. Entries are indexes into the list; -1 as the left operand of kApply
// stands for the integer -1 of a negation.
struct CSspCodeStep
{
    enum Code : unsigned char
    {
        kEvaluate,  // the value of operand `target`
        kApply,     // target = left op right (op's text), its value a new one of the list's
        kRaise,     // throws CSspException(message, position)
        kPush,      // appends a copy of the value of `target` (-1: the empty text) to the call's arguments
        kPushRaw,   // appends raw text `target` (an argument taken as written)
    };
    Code code = kEvaluate;
    int target = -1;
    int left = -1;
    int right = -1;
    CSspValue::Operator op = CSspValue::Operator::None;  // kApply
    int message = -1;                                    // kRaise: catalogue slot
    int position = kNoPosition;
};

// One stretch of steps, and the entry whose value is its result (-1: the empty text).
struct CSspCodeRange
{
    int begin = 0;
    int end = 0;
    int result = -1;
};

// A condition: "and"/"or" split into parts, the parts comparisons or tests for the value 1.
struct CSspCodeCondition
{
    enum Kind : unsigned char
    {
        kFalse,    // an empty part
        kRaise,    // message at position
        kTruth,    // range's value converted to an integer is 1
        kCompare,  // range computes both sides (results left and right), compared by op
        kAnd,
        kOr,
    };
    Kind kind = kFalse;
    CSspCodeRange range;
    int left = -1;  // kCompare: entries of the two sides; kAnd, kOr: the parts' conditions
    int right = -1;
    CSspValue::Comparison comparison = CSspValue::Comparison::None;  // kCompare
    int message = -1;
    int position = kNoPosition;  // kRaise; kAnd, kOr: the operator's place (nesting limit)
};

// The memory of a program's compiled code. What runs read on the usual way (the lists of the
// commonest shapes, their operands and literals) is allocated one after another as the compiler
// makes it; what they seldom read (the steps of the general shape, the parts kept only to be
// freed) goes into a memory of its own, so that it does not lie between the former.
class CSspCodeMemory : public std::pmr::memory_resource
{
public:
    std::pmr::memory_resource* Cold() { return &m_cold; }
    // The cold memory of memory when it is a CSspCodeMemory, else memory itself.
    static std::pmr::memory_resource* ColdOf(std::pmr::memory_resource* memory);

private:
    void* do_allocate(size_t bytes, size_t alignment) override { return m_hot.allocate(bytes, alignment); }
    void do_deallocate(void* pointer, size_t bytes, size_t alignment) override
    {
        m_hot.deallocate(pointer, bytes, alignment);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    std::pmr::monotonic_buffer_resource m_hot;
    std::pmr::monotonic_buffer_resource m_cold;
};

class CSspListCode
{
public:
    // The commonest lists have a shape that evaluates without a frame of values: one operand, or
    // one operator between two operands, or one comparison of two operands, where each operand is a
    // literal or a local variable read in place; or one operand that is a member call.
    enum class Shape : unsigned char
    {
        kGeneral,
        kOperand,  // expression: the value of entry Left()
        kApply,    // expression: Left() ArithmeticOp() Right() (Left() -1: a negation), errors at Position()
        kCompare,  // condition: Left() ComparisonOp() Right()
        kTruth,    // condition: the value of Left() converted to an integer is 1
        kMember,   // expression: the value of operand Left(), a member call
        kPushes,   // arguments: each is one operand read in place, pushed by the program's kPush steps
        // As kApply and kCompare, where one operand, CallEntry(), is a call and the other is read
        // in place (a literal, a call's argument or a local variable). The variable is read in
        // place only where the call cannot assign it (a declared array's member, a function of
        // the file); any other call takes the general way.
        kApplyCall,
        kCompareCall,
    };

    enum class Use
    {
        kExpression,  // one value
        kCondition,   // true or false
        kArguments,   // the values of a call's arguments, split at its commas
    };
    // The code for evaluating list the way use says. names: the program's local names, which the
    // list's variables join; none for a list outside a program (its variables are found by name).
    // raw: argument lists of the members that take their arguments as written (Request.exist, ...).
    // depth: how many argument lists enclose list. memory: where the code's arrays are allocated.
    CSspListCode(const CSspTokenList& list, Use use, CSspLocalNames* names = nullptr, bool raw = false, int depth = 0,
                 std::pmr::memory_resource* memory = std::pmr::get_default_resource());
    // A list that could not be collected: evaluating it raises the collector's error.
    CSspListCode(std::string message, int position,
                 std::pmr::memory_resource* memory = std::pmr::get_default_resource());
    ~CSspListCode();
    CSspListCode(const CSspListCode&) = delete;
    CSspListCode& operator=(const CSspListCode&) = delete;

    // Where the code and its arrays are allocated.
    std::pmr::memory_resource* Memory() const { return m_more->memory; }

    // True for a list that could not be collected; Failure() then says why.
    bool Failed() const { return m_failed; }
    const std::string& Failure() const;
    int FailurePosition() const { return m_failed ? m_more->rare->failurePosition : kNoPosition; }

    size_t EntryCount() const { return m_operands.size(); }
    const CSspCodeOperand& Operand(int index) const { return m_operands[static_cast<size_t>(index)]; }
    const CSspCodeStep& Step(int index) const { return m_more->steps[static_cast<size_t>(index)]; }
    const std::string& RawText(int index) const { return m_more->rare->rawTexts[static_cast<size_t>(index)]; }
    // Variables read while a call of the list may assign them are copied as they stood when read.
    bool CopiesVariables() const { return m_callCount > 0; }
    // How many of the list's operands are calls (written with an argument list).
    int CallCount() const { return m_callCount; }
    // The file the list was collected from, where the argument lists of its calls are read.
    CSourceFile* Source() const { return m_source; }
    // Entries whose value is a literal's from the start, without a step.
    std::span<const int> LiteralEntries() const
    {
        return {m_more->literalEntries.begin(), m_more->literalEntries.end()};
    }

    // kExpression and kArguments: the program.
    const CSspCodeRange& Program() const { return m_more->program; }
    // A raise of kArguments code at this position names the call's position instead.
    static constexpr int kCallPosition = -2;
    // kCondition: the root part.
    const CSspCodeCondition& Condition(int index) const { return m_more->conditions[static_cast<size_t>(index)]; }
    int ConditionRoot() const { return m_more->conditionRoot; }

    Shape GetShape() const { return m_shape; }
    int Left() const { return m_left; }
    int Right() const { return m_right; }
    const CSspCodeOperand& LeftOperand() const { return m_operands[static_cast<size_t>(m_left)]; }
    const CSspCodeOperand& RightOperand() const { return m_operands[static_cast<size_t>(m_right)]; }
    CSspValue::Operator ArithmeticOp() const { return m_operator; }
    CSspValue::Comparison ComparisonOp() const { return m_comparison; }
    int Position() const { return m_position; }
    // kPushes code of one argument: its entry; -1 for any other code.
    int SinglePush() const { return m_computedPush ? -1 : m_pushed; }
    // Argument code of one argument computed from literals and variables by operators, without a
    // call: the entry whose value the program's last step pushes; -1 for any other code. The steps
    // before that push compute it (ComputedArgument).
    int ComputedPush() const { return m_computedPush ? m_pushed : -1; }
    CSspCodeRange ComputedArgument() const { return {m_more->program.begin, m_more->program.end - 1, m_pushed}; }
    // A computed argument that is one operator between two operands read in place, evaluated left
    // to right: Left() ArithmeticOp() Right(), errors at Position(), as the kApply shape.
    bool ComputedByApply() const { return m_computedApply; }
    // kApplyCall and kCompareCall: the call's entry, and whether the steps evaluate it before the
    // other operand.
    int CallEntry() const { return m_callEntry; }
    bool CallFirst() const { return m_callFirst; }

    // How deep the argument lists of calls are compiled along with their list; deeper ones are
    // compiled when they are evaluated.
    static constexpr int kMaxNestedLists = 64;

private:
    friend class CSspListCompiler;

    // True when the steps of range only evaluate operands that are read in place.
    bool OnlyReadsInPlace(const CSspCodeRange& range) const;
    bool ReadsInPlace(int entry) const;
    // True when the entry is a literal, a call's argument or a local variable.
    bool IsPlainOperand(int entry) const;
    // The shapes with one call, for the two operands of a binary step and the steps before it.
    bool FindCallShape(int left, int right, const CSspCodeRange& before);
    void FindComputedArgument();
    void FindComputedApply();
    void FindShape(Use use);

    // What the lists of the general shape read, and what is kept only to be freed: in the cold
    // part of the code's memory, so that the operands and the literals follow the fields below.
    struct More
    {
        std::pmr::memory_resource* memory = nullptr;
        CSspCodeRange program;
        int conditionRoot = -1;
        CSspCodeArray<CSspCodeStep> steps;
        CSspCodeArray<CSspCodeCondition> conditions;
        CSspCodeArray<int> literalEntries;
        CSspCodeArray<CSspValue> literals;
        // What few lists have: a failure, or arguments taken as written.
        struct Rare
        {
            std::string failure;
            int failurePosition = kNoPosition;
            std::vector<std::string> rawTexts;
        };
        std::unique_ptr<Rare> rare;

        Rare& RareParts();

        void FreeArrays();
    };
    // Moves more, built while compiling, into the code's memory.
    void Keep(More&& more);

    // What the commonest shapes read, and no more: 56 bytes.
    Shape m_shape = Shape::kGeneral;
    int m_callCount = 0;
    CSspValue::Operator m_operator = CSspValue::Operator::None;
    bool m_failed = false;
    CSspValue::Comparison m_comparison = CSspValue::Comparison::None;
    int m_left = -1;
    int m_right = -1;
    int m_position = kNoPosition;
    int m_pushed = -1;  // SinglePush or ComputedPush, as m_computedPush says
    int m_callEntry = -1;
    bool m_callFirst = false;
    bool m_computedPush = false;
    bool m_computedApply = false;
    CSspCodeArray<CSspCodeOperand> m_operands;
    CSourceFile* m_source = nullptr;
    More* m_more = nullptr;
};

// True when Local answers member itself rather than as a variable or function of that name.
bool IsLocalMemberName(std::string_view member);

// Makes a CSspListCode from args in memory, which must be the memory the code allocates its
// arrays from (its constructor's last argument).
template <class... Args>
CSspListCodePtr MakeListCode(std::pmr::memory_resource* memory, Args&&... args)
{
    std::pmr::polymorphic_allocator<CSspListCode> allocator(memory);
    CSspListCode* code = allocator.allocate(1);
    try {
        new (code) CSspListCode(std::forward<Args>(args)..., memory);
    } catch (...) {
        allocator.deallocate(code, 1);
        throw;
    }
    return CSspListCodePtr(code);
}

// Collects the argument list of a call operand from its file and compiles it; a list that cannot
// be collected gives the code that raises the collector's error. depth: how many argument lists
// enclose this one in the code being compiled.
CSspListCodePtr CompileCallArguments(const CSspCodeOperand& operand, CSourceFile& file, CSspLocalNames* names = nullptr,
                                     int depth = 0,
                                     std::pmr::memory_resource* memory = std::pmr::get_default_resource());
