// Script variables by name without regard to case: the local variables of a run (Local), an
// application's (App), the server's (Server) and a session's. Not locked: each owner guards its own.
//
// A run's local variables (CSspLocals) are found mostly by names that its program writes out
// (Local.total): the program gives each such name a slot (CSspLocalNames), and the run keeps those
// variables in an array by slot. Names that only the run computes (Local.SetVar(name, ...)) live
// in a map beside it; a name is either in the program's table or not, so each variable has one place.
#pragma once

#include "foundation/ssp_call.h"
#include "foundation/ssp_value.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Hash and equality of names without regard to case, for maps keyed by lower-cased names that are
// looked up in any spelling without making a lower-cased copy first.
struct CSspNameHash
{
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
};
struct CSspNameEqual
{
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

class CSspVariables
{
public:
    // A copy of value under the lower-cased name; throws std::bad_alloc.
    void Set(std::string_view name, const CSspValue& value);
    // The same, taking the value over; a failure (std::bad_alloc) leaves the variables unchanged.
    // The variable stays where it is until Clear.
    CSspValue& Set(std::string_view name, CSspValue&& value);
    const CSspValue* Find(std::string_view name) const;
    bool Empty() const { return m_values.empty(); }
    // The variable a member names (as written); a missing one raises notDefinedSlot's text with the
    // name at position.
    const CSspValue& FindNamed(std::string_view name, int notDefinedSlot, int position) const;
    void Clear()
    {
        // Clearing a map clears its buckets even when it is empty.
        if (!m_values.empty())
            m_values.clear();
    }

    // The Var member: at least one argument (else "Incorrect number of parameter."); the value of
    // the variable, else the second argument's text, else notDefinedSlot's text and the name.
    void ReadVar(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;
    // A member that is itself the variable's name; the error names it as written.
    void ReadNamed(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;

private:
    std::unordered_map<std::string, CSspValue, CSspNameHash, CSspNameEqual> m_values;
};

// The local variable names that one program writes out, each with its slot; and, for the body of
// a function, its parameters, by which the program's arg.<name> reads are resolved.
class CSspLocalNames
{
public:
    // The slot of name (without regard to case), or -1.
    int Find(std::string_view name) const;
    // The slot of name, a new one when the name has none yet.
    int Add(std::string_view name);
    int Count() const { return static_cast<int>(m_slots.size()); }

    void SetParameters(std::vector<std::string> parameters) { m_parameters = std::move(parameters); }
    // The index of the first parameter named name (without regard to case), or -1.
    int FindParameter(std::string_view name) const;

private:
    std::unordered_map<std::string, int, CSspNameHash, CSspNameEqual> m_slots;
    std::vector<std::string> m_parameters;
};

// The local variables of one run.
class CSspLocals
{
public:
    // Starts afresh with the slots of names (none: every variable by its name).
    void Bind(const CSspLocalNames* names)
    {
        Clear();
        m_names = names;
    }
    void Clear()
    {
        // Runs of functions without locals are many: they end with nothing to clear.
        if (!m_values.empty() || !m_set.empty() || !m_others.Empty())
            ClearAll();
    }

    // The variable of slot, or null when the run has not set it.
    const CSspValue* At(int slot) const
    {
        return static_cast<size_t>(slot) < m_set.size() && m_set[static_cast<size_t>(slot)]
                   ? &m_values[static_cast<size_t>(slot)]
                   : nullptr;
    }
    // The place of slot's variable, for the caller to compute its new value in; it counts as set
    // only after MarkSet. A failure to make room (std::bad_alloc) leaves the variables unchanged.
    // The variable stays where it is until Clear.
    CSspValue& Prepare(int slot)
    {
        if (m_values.empty())
            MakeSlots();
        return m_values[static_cast<size_t>(slot)];
    }
    void MarkSet(int slot) { m_set[static_cast<size_t>(slot)] = 1; }

    // As CSspVariables, by name.
    const CSspValue* Find(std::string_view name) const;
    void Set(std::string_view name, const CSspValue& value);
    CSspValue& Set(std::string_view name, CSspValue&& value);
    const CSspValue& FindNamed(std::string_view name, int notDefinedSlot, int position) const;
    void ReadVar(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;
    void ReadNamed(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;

private:
    void ClearAll();
    void MakeSlots();
    int SlotOf(std::string_view name) const { return m_names ? m_names->Find(name) : -1; }

    const CSspLocalNames* m_names = nullptr;
    std::vector<CSspValue> m_values;   // one per slot of m_names once the first is assigned
    std::vector<unsigned char> m_set;  // 1: the slot's variable is set
    CSspVariables m_others;            // names that m_names does not hold
};
