// Script variables by lower-cased name: the local variables of a run (Local), an application's
// (App) and the server's (Server). Not locked: each owner guards its own.
#pragma once

#include "foundation/ssp_call.h"
#include "foundation/ssp_value.h"

#include <string>
#include <string_view>
#include <unordered_map>

class CSspVariables {
public:
    // A copy of value under the lower-cased name; throws std::bad_alloc.
    void Set(std::string_view name, const CSspValue& value);
    const CSspValue* Find(std::string_view name) const;
    void Clear() { m_values.clear(); }

    // The Var member: at least one argument (else "Incorrect number of parameter."); the value of
    // the variable, else the second argument's text, else notDefinedSlot's text and the name.
    void ReadVar(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;
    // A member that is itself the variable's name; the error names it as written.
    void ReadNamed(const CSspCall& call, int notDefinedSlot, CSspValue& result) const;

private:
    std::unordered_map<std::string, CSspValue> m_values;
};
