#include "language/ssp_array.h"

#include "foundation/ascii_text.h"
#include "foundation/format_text.h"
#include "foundation/script_error.h"

#include <iterator>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

constexpr int kMsgUnknownMember = 145;  // "Unknown array function: "

void RequireArguments(const CSspCall& call, int count)
{
    if (call.ParamCount() < count)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
}

constexpr int kMsgArrayTooLarge = 168;  // "An array may hold at most 1000000 entries."

// One page may not claim the server's memory through one array: sizes are checked against this
// before anything is spent, so a request can never push the server into swap.
constexpr size_t kMaxEntries = 1000000;

void RequireRoomFor(size_t count, int position)
{
    if (count > kMaxEntries)
        RaiseCatalogText(kMsgArrayTooLarge, position);
}

}  // namespace

int CSspArray::BindMember(std::string_view member) const
{
    static constexpr std::string_view kNames[] = {"GetSize", "SetSize",  "GetAt",   "SetAt",
                                                  "Add",     "InsertAt", "RemoveAt"};
    for (size_t i = 0; i < std::size(kNames); ++i) {
        if (EqualsNoCase(member, kNames[i]))
            return static_cast<int>(i);
    }
    return -1;
}

void CSspArray::CallMember(CSspCall& call, CSspValue& result)
{
    const int member = call.m_boundMember >= 0 ? call.m_boundMember : BindMember(call.m_member);
    result.SetInteger(0);
    try {
        switch (member) {
        case kGetSize: result.SetInteger(static_cast<int>(m_values.size())); return;
        case kSetSize: SetSize(call); break;
        case kGetAt:
            RequireArguments(call, 1);
            result = m_values[CheckedIndex(call)];
            return;
        case kSetAt:
            RequireArguments(call, 2);
            m_values[CheckedIndex(call)] = std::move(call.m_args[1]);
            break;
        case kAdd:
            RequireArguments(call, 1);
            RequireRoomFor(m_values.size() + 1, call.m_position);
            m_values.push_back(std::move(call.m_args[0]));
            break;
        case kInsertAt: {
            RequireArguments(call, 2);
            size_t index = CheckedIndex(call);
            RequireRoomFor(m_values.size() + 1, call.m_position);
            m_values.insert(m_values.begin() + static_cast<std::ptrdiff_t>(index), std::move(call.m_args[1]));
            break;
        }
        case kRemoveAt:
            RequireArguments(call, 1);
            m_values.erase(m_values.begin() + static_cast<std::ptrdiff_t>(CheckedIndex(call)));
            break;
        default: throw CSspException(CMessageCatalog::Text(kMsgUnknownMember) + call.m_member, call.m_position);
        }
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, call.m_position);
    } catch (const std::length_error&) {
        RaiseCatalogText(kMsgOutOfMemory, call.m_position);
    }
    result.SetInteger(1);
}

void CSspArray::SetSize(const CSspCall& call)
{
    // The second argument, a growth step, is accepted for the scripts that pass it; storage
    // grows as the vector sees fit, so it has no effect on what a script sees.
    RequireArguments(call, 1);
    int size = call.GetParamInt32(0);
    size_t count = size < 0 ? 0 : static_cast<size_t>(size);
    RequireRoomFor(count, call.m_position);
    m_values.clear();
    m_values.resize(count);
}

size_t CSspArray::CheckedIndex(const CSspValue& indexValue, int position) const
{
    int index = CSspCall::ToInt32(indexValue);
    int last = static_cast<int>(m_values.size()) - 1;
    if (index < 0 || index > last)
        throw CSspException(FormatText("Array index %d out of bound. Valid: 0 - %d", index, last), position);
    return static_cast<size_t>(index);
}

void CSspArray::Append(const CSspValue& value, int position)
{
    AppendValue(value, position);
}

void CSspArray::Append(CSspValue&& value, int position)
{
    AppendValue(std::move(value), position);
}

template <class Value>
void CSspArray::AppendValue(Value&& value, int position)
{
    RequireRoomFor(m_values.size() + 1, position);
    try {
        m_values.push_back(std::forward<Value>(value));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, position);
    } catch (const std::length_error&) {
        RaiseCatalogText(kMsgOutOfMemory, position);
    }
}
