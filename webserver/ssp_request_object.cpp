// The members of the script object `Request`.
#include "webserver/ssp_request.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"
#include "network/tcp_socket.h"

#include <string_view>
#include <utility>

namespace {

constexpr int kMissingFieldName = 13;
constexpr int kNotRequestMember = 72;
constexpr int kWrongParameterCount = 143;

enum class Member
{
    FieldExist,
    FieldSize,
    FieldValue,
    BrowserType,
    BrowserVerMajor,
    BrowserVerMinor,
    IpAddress,
    Host,
    Referer,
    AllHeaders,
    Via,
    UrlPath,
    Url,
    UrlFull,
    Protocol,
    GetCookie,
    SetField,
};

constexpr std::pair<std::string_view, Member> kMembers[] = {
    {"FieldExist", Member::FieldExist},
    {"exist", Member::FieldExist},
    {"FieldSize", Member::FieldSize},
    {"size", Member::FieldSize},
    {"FieldValue", Member::FieldValue},
    {"BrowserType", Member::BrowserType},
    {"BrowserVerMajor", Member::BrowserVerMajor},
    {"BrowserVerMinor", Member::BrowserVerMinor},
    {"IpAddress", Member::IpAddress},
    {"Host", Member::Host},
    {"Referer", Member::Referer},
    {"AllHeaders", Member::AllHeaders},
    {"Via", Member::Via},
    {"UrlPath", Member::UrlPath},
    {"Url", Member::Url},
    {"UrlFull", Member::UrlFull},
    {"protocol", Member::Protocol},
    {"getCookie", Member::GetCookie},
    {"SetField", Member::SetField},
    {"SetVar", Member::SetField},
};

const Member* FindMember(std::string_view name)
{
    for (const auto& [memberName, member] : kMembers) {
        if (EqualsNoCase(memberName, name))
            return &member;
    }
    return nullptr;
}

[[noreturn]] void Raise(int slot, const CSspCall& call)
{
    RaiseCatalogText(slot, call.m_position);
}

// The first argument's text: the field name of the field members.
std::string FieldName(const CSspCall& call)
{
    if (call.ParamCount() < 1)
        Raise(kMissingFieldName, call);
    return call.GetParamStr(0);
}

}  // namespace

void CSspRequest::InvokeMethod(CSspCall& call, CSspValue& value)
{
    const Member* member = FindMember(call.m_member);
    if (member == nullptr) {
        std::string field;
        if (!m_fields.GetValue(call.m_member, field))
            throw CSspException(call.m_member + CMessageCatalog::Text(kNotRequestMember) + m_referer, call.m_position);
        value.SetString(std::move(field));
        return;
    }

    switch (*member) {
    case Member::FieldExist: value.SetInteger(m_fields.Exists(FieldName(call)) ? 1 : 0); return;
    case Member::FieldSize: value.SetInteger(m_fields.GetLength(FieldName(call))); return;
    case Member::FieldValue: {
        std::string field;
        m_fields.GetValue(FieldName(call), field);
        value.SetString(std::move(field));
        return;
    }
    case Member::BrowserType: value.SetString(m_browserType); return;
    case Member::BrowserVerMajor: value.SetInteger(m_browserMajor); return;
    case Member::BrowserVerMinor: value.SetInteger(m_browserMinor); return;
    case Member::IpAddress:
        value.SetString(m_connection != nullptr ? m_connection->GetPeerAddress() : std::string());
        return;
    case Member::Host: value.SetString(m_host); return;
    case Member::Referer: value.SetString(m_referer); return;
    case Member::AllHeaders: value.SetString(m_allHeaders); return;
    case Member::Via: value.SetString(m_via); return;
    case Member::UrlPath: value.SetString(GetUrlFolder()); return;
    case Member::Url: value.SetString(m_urlPath); return;
    case Member::UrlFull: value.SetString(m_fullUrl); return;
    case Member::Protocol:
        value.SetString(m_connection == nullptr ? "sspRun" : m_connection->IsTls() ? "https" : "http");
        return;
    case Member::GetCookie:
        if (call.ParamCount() < 1)
            Raise(kMsgMissingParameter, call);
        value.SetString(GetCookie(call.GetParamStr(0)));
        return;
    case Member::SetField:
        if (call.ParamCount() != 2)
            Raise(kWrongParameterCount, call);
        m_fields.Set(call.GetParamStr(0), call.GetParamStr(1));
        return;
    }
}
