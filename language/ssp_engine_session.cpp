// The Session and SessMan objects. A page logs a user on with Session.logon, which makes a session
// in the application state and hands its ID to the browser in the cookie "sspSessionID"; on later
// requests the first Session member finds the session again by that ID. A run keeps the session it
// found or made until it ends; nested runs look it up again for themselves. SessMan lists every
// session, one row at a time, and ends the sessions of a user.
#include "language/ssp_engine.h"

#include "foundation/ascii_text.h"
#include "foundation/format_text.h"
#include "foundation/script_error.h"
#include "language/output_sink.h"
#include "language/ssp_app.h"
#include "language/ssp_session.h"

namespace {

constexpr int kMsgSessionTerminated = 14;    // "Your session (%s) has been terminated. ..."
constexpr int kMsgNoSessionId = 15;          // "Your browser did not send your Session ID. ..."
constexpr int kMsgUserNotFound = 48;         // "User not found."
constexpr int kMsgPasswordIncorrect = 49;    // "Password incorrect."
constexpr int kMsgSessionOutOfBound = 51;    // "Session information out of bound. ..."
constexpr int kMsgSessionOnlyInPages = 124;  // "Session object can only be used in .twp files."
constexpr int kMsgUnknownSessManField = 125;
constexpr int kMsgUserIdLineBreak = 166;  // "A user ID may not hold a line break."

constexpr const char* kSessionIdName = "sspSessionID";

// The SessMan members that read a field of the current row, in the row's order.
constexpr std::string_view kSessionRowFields[] = {"USER_ID", "IP_ADDRESS", "START_TIME", "LAST_ACCESS", "APP_PATH"};

// Field `index` of a row of lines; empty fields count, so an empty user ID does not shift the rest.
std::string RowField(std::string_view row, size_t index)
{
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        const size_t lineFeed = row.find('\n', start);
        if (lineFeed == std::string_view::npos)
            return {};
        start = lineFeed + 1;
    }
    return std::string(row.substr(start, row.find('\n', start) - start));
}

}  // namespace

void CSspEngine::CallSession(CSspCall& call, CSspValue& result)
{
    // A background task's request has no browser behind it, so there is no cookie to carry a
    // session: scripts are told so rather than failing on a missing session ID.
    if (m_request == nullptr || !m_request->HasClient())
        RaiseCatalogText(kMsgSessionOnlyInPages, call.m_position);
    const std::string& member = call.m_member;
    if (EqualsNoCase(member, "logon"))
        return LogOn(call, result);

    // IsValid and Logoff are how a page asks, so they answer 0 rather than fail without a session.
    const bool mayLack = EqualsNoCase(member, "IsValid") || EqualsNoCase(member, "Logoff");
    if (m_session == nullptr) {
        const std::string id = FindSessionId();
        if (!id.empty()) {
            m_session = TheSspApp().FindSession(id);
            if (m_session == nullptr && !mayLack)
                throw CSspException(
                    FormatText(CMessageCatalog::Format(kMsgSessionTerminated), CSspSession::DescribeId(id).c_str()),
                    kNoPosition);
        } else if (!mayLack) {
            RaiseCatalogText(kMsgNoSessionId, call.m_position);
        }
    }

    result.SetInteger(0);
    if (EqualsNoCase(member, "Logoff")) {
        if (m_session != nullptr) {
            TheSspApp().RemoveSession(m_session->GetId());
            result.SetInteger(1);
        }
        return;
    }
    if (m_session != nullptr)
        m_session->SessionCall(call, result);
}

void CSspEngine::LogOn(CSspCall& call, CSspValue& result)
{
    CSspApp& app = TheSspApp();
    if (m_session != nullptr) {
        app.RemoveSession(m_session->GetId());
        m_session.reset();
    }
    result.SetInteger(0);
    std::string appPath = "/";
    switch (call.ParamCount()) {
    case 1: break;
    case 2: appPath = call.GetParamStr(1); break;
    case 4:
        // (user ID, password, stored user ID, stored password): the page read the stored pair.
        if (call.GetParamStr(2).empty())
            RaiseCatalogText(kMsgUserNotFound, kNoPosition);
        if (call.GetParamStr(1) != call.GetParamStr(3))
            RaiseCatalogText(kMsgPasswordIncorrect, kNoPosition);
        break;
    default: RaiseCatalogText(kMsgMissingParameter, call.m_position);
    }
    // The user ID goes into the lines of SessMan's rows and the path into the cookie's header line:
    // neither may add lines, fields or attributes of its own.
    const std::string userId = call.GetParamStr(0);
    if (userId.find_first_of("\r\n") != std::string::npos)
        RaiseCatalogText(kMsgUserIdLineBreak, call.m_position);
    CSspOutputSink::CheckCookieTexts(kSessionIdName, appPath, {}, call.m_position);
    m_session = app.NewSession(userId, m_request->GetClientAddress(), appPath);
    if (m_response != nullptr) {
        m_response->AddSessionCookie(kSessionIdName, m_session->GetId(), appPath);
        result.SetInteger(1);
    }
}

std::string CSspEngine::FindSessionId() const
{
    // The response's cookie first: a function called after a logon on the same page runs in an
    // engine of its own and finds the new session only there.
    std::string id = m_response != nullptr ? m_response->FindCookie(kSessionIdName) : std::string();
    if (id.empty())
        id = m_request->GetCookie(kSessionIdName);
    if (id.empty())
        m_request->GetField(kSessionIdName, id);
    return id;
}

void CSspEngine::CallSessMan(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    result.SetInteger(1);
    if (EqualsNoCase(member, "PrepareForFetch")) {
        m_sessionRows = TheSspApp().GetSessionRows();
        m_sessionRow = -1;
        return;
    }
    const int rowCount = static_cast<int>(m_sessionRows.size());
    if (EqualsNoCase(member, "fetch")) {
        if (m_sessionRow + 1 < rowCount)
            ++m_sessionRow;
        else
            result.SetInteger(0);
        return;
    }
    if (EqualsNoCase(member, "Remove")) {
        if (call.ParamCount() < 1)
            RaiseCatalogText(kMsgMissingParameter, call.m_position);
        TheSspApp().RemoveUserSessions(call.GetParamStr(0));
        return;
    }
    for (size_t field = 0; field < std::size(kSessionRowFields); ++field) {
        if (!EqualsNoCase(member, kSessionRowFields[field]))
            continue;
        if (m_sessionRow < 0 || m_sessionRow >= rowCount)
            RaiseCatalogText(kMsgSessionOutOfBound, call.m_position);
        result.SetString(RowField(m_sessionRows[static_cast<size_t>(m_sessionRow)], field));
        return;
    }
    RaiseCatalogText(kMsgUnknownSessManField, call.m_position);
}
