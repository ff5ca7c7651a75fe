#include "language/ssp_variables.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"

#include <cstdint>
#include <utility>

namespace {}  // namespace

size_t CSspVariables::NameHash::operator()(std::string_view name) const
{
    // FNV-1a over the lower-cased bytes.
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(ToLowerAscii(c));
        hash *= 0x100000001b3ull;
    }
    return static_cast<size_t>(hash);
}

bool CSspVariables::NameEqual::operator()(std::string_view a, std::string_view b) const
{
    return EqualsNoCase(a, b);
}

void CSspVariables::Set(std::string_view name, const CSspValue& value)
{
    if (auto it = m_values.find(name); it != m_values.end())
        it->second = value;
    else
        m_values.emplace(LowerAscii(name), value);
}

CSspValue& CSspVariables::Set(std::string_view name, CSspValue&& value)
{
    if (auto it = m_values.find(name); it != m_values.end()) {
        it->second = std::move(value);
        return it->second;
    }
    return m_values.emplace(LowerAscii(name), std::move(value)).first->second;
}

const CSspValue* CSspVariables::Find(std::string_view name) const
{
    auto it = m_values.find(name);
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
