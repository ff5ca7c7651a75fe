#include "language/ssp_variables.h"

#include "foundation/ascii_text.h"
#include "language/script_error.h"

namespace {

constexpr int kMsgIncorrectParameterCount = 143;  // "Incorrect number of parameter."

}  // namespace

void CSspVariables::Set(std::string_view name, const CSspValue& value)
{
    m_values[LowerAscii(name)] = value;
}

const CSspValue* CSspVariables::Find(std::string_view name) const
{
    auto it = m_values.find(LowerAscii(name));
    return it == m_values.end() ? nullptr : &it->second;
}

void CSspVariables::ReadVar(const CSspCall& call, int notDefinedSlot, CSspValue& result) const
{
    if (call.ParamCount() < 1)
        RaiseCatalogText(kMsgIncorrectParameterCount, call.m_position);
    std::string name = LowerAscii(call.GetParamStr(0));
    if (const CSspValue* value = Find(name))
        result = *value;
    else if (call.ParamCount() > 1)
        result.SetString(call.GetParamStr(1));
    else
        throw CSspException(CMessageCatalog::Text(notDefinedSlot) + name, call.m_position);
}

void CSspVariables::ReadNamed(const CSspCall& call, int notDefinedSlot, CSspValue& result) const
{
    const CSspValue* value = Find(call.m_member);
    if (value == nullptr)
        throw CSspException(CMessageCatalog::Text(notDefinedSlot) + call.m_member, call.m_position);
    result = *value;
}
