// The members of the script object `Response`.
#include "webserver/ssp_response.h"

#include <string_view>
#include <utility>

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"

namespace {

enum class Member
{
    Redirect,
    Write,
    Expires,
    ContentType,
    Charset,
    DateTimeOutputFormat,
    AddHeader,
    SetCookie,
    Error,
    Content,
    Clear,
};

constexpr std::pair<std::string_view, Member> kMembers[] = {
    {"redirect", Member::Redirect},   {"write", Member::Write},
    {"Expires", Member::Expires},     {"ContentType", Member::ContentType},
    {"Charset", Member::Charset},     {"DateTimeOutputFormat", Member::DateTimeOutputFormat},
    {"AddHeader", Member::AddHeader}, {"setCookie", Member::SetCookie},
    {"error", Member::Error},         {"content", Member::Content},
    {"clear", Member::Clear},
};

const Member* FindMember(std::string_view name)
{
    for (const auto& [memberName, member] : kMembers) {
        if (EqualsNoCase(memberName, name))
            return &member;
    }
    return nullptr;
}

void RequireArguments(const CSspCall& call, int count, int slot = kMsgMissingParameter)
{
    if (call.ParamCount() < count)
        RaiseCatalogText(slot, call.m_position);
}

// Argument `index` as text, "" when the call has fewer arguments.
std::string OptionalArgument(const CSspCall& call, int index)
{
    return index < call.ParamCount() ? call.GetParamStr(index) : std::string();
}

}  // namespace

void CSspResponse::InvokeMethod(CSspCall& call, CSspValue& result)
{
    const Member* member = FindMember(call.m_member);
    if (member == nullptr)
        throw CSspException(CMessageCatalog::Text(kMsgUnknownResponseField) + call.m_member, call.m_position);

    switch (*member) {
    case Member::Redirect:
        RequireArguments(call, 1);
        SendRedirect(call.GetParamStr(0), false);
        break;
    case Member::Write:
        RequireArguments(call, 1);
        WriteValue(call.GetParam(0));
        break;
    case Member::Expires:
        RequireArguments(call, 1);
        SetExpires(call.GetParamInt32(0));
        break;
    case Member::ContentType:
        RequireArguments(call, 1);
        SetContentType(call.GetParamStr(0));
        break;
    case Member::Charset:
        RequireArguments(call, 1);
        SetCharset(call.GetParamStr(0));
        break;
    case Member::DateTimeOutputFormat:
        RequireArguments(call, 1);
        result.SetString(std::exchange(m_dateTimeFormat, call.GetParamStr(0)));
        return;
    case Member::AddHeader:
        RequireArguments(call, 1, kMsgMissingHeaderParameter);
        AddHeader(call.GetParamStr(0));
        break;
    case Member::SetCookie:
        RequireArguments(call, 2);
        CheckCookieTexts(call.GetParamStr(0), OptionalArgument(call, 2), OptionalArgument(call, 3), call.m_position);
        AddCookie(call.GetParamStr(0), call.GetParamStr(1), OptionalArgument(call, 2), OptionalArgument(call, 3));
        break;
    case Member::Error: result.SetString(m_errorText); return;
    case Member::Content: result.SetString(GetOutputText()); return;
    case Member::Clear: ClearOutput(); break;
    }
    result.SetInteger(1);
}
