#include "language/ssp_variables.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"

#include <cstdint>
#include <utility>

size_t CSspNameHash::operator()(std::string_view name) const
{
    // FNV-1a over the lower-cased bytes.
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(ToLowerAscii(c));
        hash *= 0x100000001b3ull;
    }
    return static_cast<size_t>(hash);
}

bool CSspNameEqual::operator()(std::string_view a, std::string_view b) const
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

namespace {

// The Var and named reads of both kinds of variables: Find is the owner's lookup by name.
template <class Variables>
const CSspValue& FindNamedIn(const Variables& variables, std::string_view name, int notDefinedSlot, int position)
{
    const CSspValue* value = variables.Find(name);
    if (value == nullptr)
        throw CSspException(CMessageCatalog::Text(notDefinedSlot) + std::string(name), position);
    return *value;
}

template <class Variables>
void ReadVarIn(const Variables& variables, const CSspCall& call, int notDefinedSlot, CSspValue& result)
{
    if (call.ParamCount() < 1)
        RaiseCatalogText(kMsgIncorrectParameterCount, call.m_position);
    std::string name = LowerAscii(call.GetParamStr(0));
    if (const CSspValue* value = variables.Find(name))
        result = *value;
    else if (call.ParamCount() > 1)
        result.SetString(call.GetParamStr(1));
    else
        throw CSspException(CMessageCatalog::Text(notDefinedSlot) + name, call.m_position);
}

}  // namespace

const CSspValue& CSspVariables::FindNamed(std::string_view name, int notDefinedSlot, int position) const
{
    return FindNamedIn(*this, name, notDefinedSlot, position);
}

void CSspVariables::ReadVar(const CSspCall& call, int notDefinedSlot, CSspValue& result) const
{
    ReadVarIn(*this, call, notDefinedSlot, result);
}

void CSspVariables::ReadNamed(const CSspCall& call, int notDefinedSlot, CSspValue& result) const
{
    result = FindNamed(call.m_member, notDefinedSlot, call.m_position);
}

int CSspLocalNames::Find(std::string_view name) const
{
    auto it = m_slots.find(name);
    return it == m_slots.end() ? -1 : it->second;
}

int CSspLocalNames::Add(std::string_view name)
{
    if (int slot = Find(name); slot >= 0)
        return slot;
    const int slot = Count();
    m_slots.emplace(LowerAscii(name), slot);
    return slot;
}

int CSspLocalNames::FindParameter(std::string_view name) const
{
    for (size_t i = 0; i < m_parameters.size(); ++i) {
        if (EqualsNoCase(m_parameters[i], name))
            return static_cast<int>(i);
    }
    return -1;
}

void CSspLocals::ClearAll()
{
    m_values.clear();
    m_set.clear();
    m_others.Clear();
}

void CSspLocals::MakeSlots()
{
    // All slots at once, so that a variable never moves while the run holds it.
    const size_t count = static_cast<size_t>(m_names->Count());
    std::vector<unsigned char> set(count, 0);
    m_values.resize(count);
    m_set = std::move(set);
}

const CSspValue* CSspLocals::Find(std::string_view name) const
{
    const int slot = SlotOf(name);
    return slot >= 0 ? At(slot) : m_others.Find(name);
}

void CSspLocals::Set(std::string_view name, const CSspValue& value)
{
    const int slot = SlotOf(name);
    if (slot < 0) {
        m_others.Set(name, value);
        return;
    }
    if (m_values.empty())
        MakeSlots();
    m_values[static_cast<size_t>(slot)] = value;
    m_set[static_cast<size_t>(slot)] = 1;
}

CSspValue& CSspLocals::Set(std::string_view name, CSspValue&& value)
{
    const int slot = SlotOf(name);
    if (slot < 0)
        return m_others.Set(name, std::move(value));
    CSspValue& variable = Prepare(slot);
    variable = std::move(value);
    MarkSet(slot);
    return variable;
}

const CSspValue& CSspLocals::FindNamed(std::string_view name, int notDefinedSlot, int position) const
{
    return FindNamedIn(*this, name, notDefinedSlot, position);
}

void CSspLocals::ReadVar(const CSspCall& call, int notDefinedSlot, CSspValue& result) const
{
    ReadVarIn(*this, call, notDefinedSlot, result);
}

void CSspLocals::ReadNamed(const CSspCall& call, int notDefinedSlot, CSspValue& result) const
{
    result = FindNamed(call.m_member, notDefinedSlot, call.m_position);
}
