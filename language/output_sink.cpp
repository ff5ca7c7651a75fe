#include "language/output_sink.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"

#include <algorithm>

namespace {

bool IsControl(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

bool EndsCookieToken(char c)
{
    return c == ';' || c == ',' || IsWhiteAscii(c) || IsControl(c);
}

bool EndsCookieDate(char c)
{
    return c == ';' || IsControl(c);
}

void Refuse(std::string_view text, int position)
{
    throw CSspException(CMessageCatalog::Text(kMsgCookieTextRefused) + std::string(text), position);
}

}  // namespace

void CSspOutputSink::CallMember(CSspCall& call, CSspValue&)
{
    throw CSspException(CMessageCatalog::Text(kMsgUnknownResponseField) + call.m_member, call.m_position);
}

void CSspOutputSink::CheckCookieTexts(std::string_view name, std::string_view path, std::string_view expires,
                                      int position)
{
    std::string_view trimmedPath = path;
    while (!trimmedPath.empty() && IsWhiteAscii(trimmedPath.front()))
        trimmedPath.remove_prefix(1);
    if (std::any_of(name.begin(), name.end(), EndsCookieToken))
        Refuse(name, position);
    if (std::any_of(trimmedPath.begin(), trimmedPath.end(), EndsCookieToken))
        Refuse(path, position);
    if (std::any_of(expires.begin(), expires.end(), EndsCookieDate))
        Refuse(expires, position);
}
