// Script variables by lower-cased name: the local variables of a run (Local), an application's
// (App) and the server's (Server). Not locked: each owner guards its own.
#pragma once

#include "foundation/ssp_call.h"
#include "foundation/ssp_value.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

class CSspVariables
{
public:
    // A copy of value under the lower-cased name; throws std::bad_alloc.
    void Set(std::string_view name, const CSspValue& value);
    // The same, taking the value over; a failure (std::bad_alloc) leaves the variables unchanged.
    // The variable stays where it is until Clear.
    CSspValue& Set(std::string_view name, CSspValue&& value);
    const CSspValue* Find(std::string_view name) const;
    // The variable a member names (as written); a missing one raises notDefinedSlot's text with the
    // name at position.
    const CSspValue& FindNamed(std::string_view name, int notDefinedSlot, int position) const;
    void Clear() { m_values.clear(); }

    // The Var member: at least one argument (else "Incorrect number of parameter."); the value of
    // the variable, else the second argument's text, else notDefinedSlot's text and the name.
    void ReadVar(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;
    // A member that is itself the variable's name; the error names it as written.
    void ReadNamed(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;

private:
    // Names are stored lower-cased and hashed and compared without regard to case, so a lookup
    // finds a name in any spelling without making a lower-cased copy of it first.
    struct NameHash
    {
        using is_transparent = void;
        size_t operator()(std::string_view name) const;
    };
    struct NameEqual
    {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };

    std::unordered_map<std::string, CSspValue, NameHash, NameEqual> m_values;
};
