#include "language/ssp_variables.h"

#include "foundation/ascii_text.h"
#include "language/script_error.h"

#include <utility>

namespace {

constexpr int kMsgIncorrectParameterCount = 143;  // "Incorrect number of parameter."

}  // namespace

std::string_view CSspVariables::Lowered(std::string_view name, char (&buffer)[64], std::string& spill)
{
    if (name.size() > sizeof buffer) {
        spill = LowerAscii(name);
        return spill;
    }
    for (size_t i = 0; i < name.size(); ++i)
        buffer[i] = ToLowerAscii(name[i]);
    return {buffer, name.size()};
}

void CSspVariables::Set(std::string_view name, const CSspValue& value)
{
    char buffer[64];
    std::string spill;
    std::string_view key = Lowered(name, buffer, spill);
    if (auto it = m_values.find(key); it != m_values.end())
        it->second = value;
    else
        m_values.emplace(std::string(key), value);
}

void CSspVariables::Set(std::string_view name, CSspValue&& value)
{
    char buffer[64];
    std::string spill;
    std::string_view key = Lowered(name, buffer, spill);
    if (auto it = m_values.find(key); it != m_values.end())
        it->second = std::move(value);
    else
        m_values.emplace(std::string(key), std::move(value));
}

const CSspValue* CSspVariables::Find(std::string_view name) const
{
    char buffer[64];
    std::string spill;
    auto it = m_values.find(Lowered(name, buffer, spill));
    return it == m_values.end() ? nullptr : &it->second;
}

const CSspValue& CSspVariables::FindNamed(std::string_view name, int notDefinedSlot, int position) const
{
    const CSspValue* value = Find(name);
    if (value == nullptr)
        throw CSspException(CMessageCatalog::Text(notDefinedSlot) + std::string(name), position);
    return *value;
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
    result = FindNamed(call.m_member, notDefinedSlot, call.m_position);
}
