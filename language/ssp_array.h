// CSspArray is the object behind a script's `array` declaration: a named, growable list of values
// addressed by a 0-based index. The interpreter keeps it in the declaring run's object list; it is
// the one object that a function's `return` hands back whole, so its values are a plain list that
// a nested run can fill (array a = Local.f()).
#pragma once

#include "foundation/ssp_script_object.h"
#include "foundation/ssp_value.h"

#include <string_view>
#include <vector>

using CSspValueList = std::vector<CSspValue>;

class CSspArray : public CSspScriptObject
{
public:
    // GetSize, SetSize, GetAt, SetAt, Add, InsertAt and RemoveAt (names without regard to case).
    // Errors are thrown as CSspException at the call's position. The value that SetAt, Add and
    // InsertAt store is moved out of the call's arguments.
    void CallMember(CSspCall& call, CSspValue& result) override;
    int BindMember(std::string_view member) const override;

    CSspValueList& Values() { return m_values; }

    // The members that the interpreter calls straight from a place bound to them, with the
    // argument values where they stand; errors as CallMember raises them, at position.
    enum Member : int
    {
        kGetSize,
        kSetSize,
        kGetAt,
        kSetAt,
        kAdd,
        kInsertAt,
        kRemoveAt,
    };
    int Size() const { return static_cast<int>(m_values.size()); }
    // GetAt: the value at index (ParseInt32 of its text), read where the array holds it; it stays
    // valid until the array changes.
    const CSspValue& At(const CSspValue& index, int position) const { return m_values[CheckedIndex(index, position)]; }
    // Add: a copy of value at the end, or the value itself moved there.
    void Append(const CSspValue& value, int position);
    void Append(CSspValue&& value, int position);

private:
    void SetSize(const CSspCall& call);
    // The index of argument 0, checked against the current size.
    size_t CheckedIndex(const CSspCall& call) const { return CheckedIndex(call.GetParam(0), call.m_position); }
    size_t CheckedIndex(const CSspValue& index, int position) const;
    template <class Value>
    void AppendValue(Value&& value, int position);

    CSspValueList m_values;
};
