#pragma once
// One parsed member call of a script: `obj.member(args)`, a free call `name(args)` or a declaration's
// statement. The expression evaluator builds it with the evaluated arguments; every script object's
// member handler takes a CSspCall and a result CSspValue. It lives in the foundation so that script
// objects of the database, web server and mail layers can take calls without depending on the
// interpreter.

#include <string>
#include <vector>

#include "foundation/ssp_value.h"

class CSspCall
{
public:
    // Text of argument `index`. Throws CSspException "out of bound in GetParamStr." without a source
    // position when there is no such argument.
    std::string GetParamStr(int index) const;
    // ParseInt32 of the text of argument `index`, read straight from an integer; same bounds rule.
    int GetParamInt32(int index) const { return ToInt32(GetParam(index)); }
    // ParseInt32 of the text of value, read straight from an integer.
    static int ToInt32(const CSspValue& value);
    // The argument itself; same bounds rule as GetParamStr.
    const CSspValue& GetParam(int index) const;
    int ParamCount() const { return static_cast<int>(m_args.size()); }

    std::string m_object;   // text before the ".", or the whole name of a free call
    std::string m_member;   // text after the ".", or the statement text of an sql declaration
    int m_position = 0;     // where the call stands in the source; errors point here
    int m_endPosition = 0;  // end of an sql declaration's statement
    std::vector<CSspValue> m_args;
    bool m_hasParentheses = false;
    // The member as the object bound it for the place of the call (CSspScriptObject::BindMember),
    // so that the object need not compare its name again; -1 where it is not bound.
    int m_boundMember = -1;
};
