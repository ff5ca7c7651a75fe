// The String object: tests and slicing of texts. Lengths and positions count bytes, and positions
// that scripts see start at 1.
#include "language/ssp_library.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"
#include "foundation/ssp_value.h"
#include "platform/secure_random.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>

namespace {

constexpr int kMsgUnknownStringMember = 116;  // "Unknown string library "string" function: "

// Absent or empty counts as valid: an optional form field that was left blank passes the test.
bool IsBlankArgument(const CSspCall& call)
{
    return call.ParamCount() == 0 || call.GetParamStr(0).empty();
}

// No date, given or left blank, is no valid date.
void IsValidDateTime(const CSspCall& call, CSspValue& result)
{
    result.SetInteger(!IsBlankArgument(call) && call.GetParam(0).IsDateLike() ? 1 : 0);
}

void IsValidNumber(const CSspCall& call, CSspValue& result)
{
    result.SetInteger(IsBlankArgument(call) || call.GetParam(0).IsNumericText() ? 1 : 0);
}

void Trim(const CSspCall& call, CSspValue& result)
{
    result.SetString(std::string(TrimWhiteAscii(call.GetParamStr(0))));
}

void FindOneOf(const CSspCall& call, CSspValue& result)
{
    const std::size_t at = call.GetParamStr(0).find_first_of(call.GetParamStr(1));
    result.SetInteger(at == std::string::npos ? 0 : static_cast<int>(at) + 1);
}

void FindString(const CSspCall& call, CSspValue& result)
{
    const std::string text = call.GetParamStr(0);
    const int start = call.ParamCount() > 2 ? call.GetParamInt32(2) : 1;
    // A start outside the text (1 to length + 1) finds nothing rather than reading outside it.
    if (start < 1 || static_cast<std::size_t>(start) - 1 > text.size()) {
        result.SetInteger(0);
        return;
    }
    const std::size_t at = text.find(call.GetParamStr(1), static_cast<std::size_t>(start) - 1);
    result.SetInteger(at == std::string::npos ? 0 : static_cast<int>(at) + 1);
}

void Length(const CSspCall& call, CSspValue& result)
{
    result.SetInteger(static_cast<int>(std::min<std::size_t>(call.GetParamStr(0).size(), INT32_MAX)));
}

void Substring(const CSspCall& call, CSspValue& result)
{
    const std::string text = call.GetParamStr(0);
    const long long begin = std::max(0LL, static_cast<long long>(call.GetParamInt32(1)) - 1);
    if (static_cast<std::size_t>(begin) >= text.size()) {
        result.SetString(std::string());
        return;
    }
    const long long count = std::max(0, call.GetParamInt32(2));
    result.SetString(text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(count)));
}

// The number of bytes that left and right take: atoi of the argument, clipped to 0..length.
std::size_t ClippedCount(const CSspCall& call, std::size_t length)
{
    const int n = call.GetParamInt32(1);
    return n <= 0 ? 0 : std::min(static_cast<std::size_t>(n), length);
}

void Left(const CSspCall& call, CSspValue& result)
{
    const std::string text = call.GetParamStr(0);
    result.SetString(text.substr(0, ClippedCount(call, text.size())));
}

void Right(const CSspCall& call, CSspValue& result)
{
    const std::string text = call.GetParamStr(0);
    result.SetString(text.substr(text.size() - ClippedCount(call, text.size())));
}

// A number in 0..32767 as decimal text; with a digit count above 0, exactly that many digits: the
// number zero-padded on the left, or its last digits when it is longer. The number comes from the
// kernel, so two calls in the same second differ and no page can predict another's number.
void Random(const CSspCall& call, CSspValue& result)
{
    const std::string number = std::to_string(SecureRandomBelow(32768));
    const int digits = call.ParamCount() > 0 ? call.GetParamInt32(0) : 0;
    if (digits <= 0) {
        result.SetString(number);
        return;
    }
    const std::size_t wanted = static_cast<std::size_t>(digits);
    CheckCallTextSize(wanted, call);
    try {
        if (number.size() >= wanted)
            result.SetString(number.substr(number.size() - wanted));
        else
            result.SetString(std::string(wanted - number.size(), '0') + number);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, call.m_position);
    }
}

constexpr CSspLibraryMember kStringMembers[] = {
    {"IsValidDateTime", 0, IsValidDateTime},
    {"IsValidNumber", 0, IsValidNumber},
    {"trim", 1, Trim},
    {"FindOneOf", 2, FindOneOf},
    {"FindString", 2, FindString},
    {"length", 1, Length},
    {"substring", 3, Substring},
    {"mid", 3, Substring},
    {"left", 2, Left},
    {"right", 2, Right},
    {"random", 0, Random},
};

}  // namespace

const CSspLibraryMember* FindLibraryMember(std::span<const CSspLibraryMember> members, std::string_view name)
{
    for (const CSspLibraryMember& member : members) {
        if (EqualsNoCase(member.name, name))
            return &member;
    }
    return nullptr;
}

const CSspLibraryMember* FindStringMember(std::string_view name)
{
    return FindLibraryMember(kStringMembers, name);
}

void CheckCallTextSize(std::size_t size, const CSspCall& call)
{
    if (size > kMaxCallText)
        RaiseCatalogText(kMsgTextTooLong, call.m_position);
}

void CallLibraryMember(const CSspLibraryMember& member, const CSspCall& call, CSspValue& result)
{
    if (call.ParamCount() < member.minArguments)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
    member.handler(call, result);
    if (result.IsString())
        CheckCallTextSize(result.m_text.size(), call);
}

void CallStringLibrary(const CSspCall& call, CSspValue& result)
{
    const CSspLibraryMember* member = FindStringMember(call.m_member);
    if (member == nullptr)
        throw CSspException(CMessageCatalog::Text(kMsgUnknownStringMember) + call.m_member, call.m_position);
    CallLibraryMember(*member, call, result);
}
