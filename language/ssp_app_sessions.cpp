// The session list of the application state. Sessions are appended in creation order and expire a
// fixed time after creation, so the expired ones are always at the head of the list. The list
// holds one reference on each session; a run that found a session keeps its own until it ends.
#include "language/ssp_app.h"

#include "foundation/ascii_text.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "language/script_error.h"

#include <algorithm>
#include <new>

namespace {

constexpr int kMsgOutOfMemorySession = 57;  // "Out of memory when creating session object."

}  // namespace

std::shared_ptr<CSspSession> CSspApp::NewSession(std::string_view userId, const std::string& ipAddress,
                                                 const std::string& appPath)
{
    std::lock_guard guard(ListLock());
    ExpireSessions();
    std::shared_ptr<CSspSession> session;
    try {
        session = std::make_shared<CSspSession>(ipAddress, appPath, m_config.m_sessionTimeout, m_clock);
        session->MakeId(userId);
        m_sessions.push_back(session);
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemorySession, kNoPosition);
    }
    return session;
}

std::shared_ptr<CSspSession> CSspApp::FindSession(std::string_view id)
{
    std::lock_guard guard(ListLock());
    for (const auto& session : m_sessions) {
        if (CSspSession::SameId(session->GetId(), id)) {
            session->SetLastAccess(session->Now());
            return session;
        }
    }
    return nullptr;
}

void CSspApp::RemoveSession(std::string_view id)
{
    std::lock_guard guard(ListLock());
    const auto found = std::find_if(m_sessions.begin(), m_sessions.end(),
                                    [id](const auto& session) { return CSspSession::SameId(session->GetId(), id); });
    if (found != m_sessions.end())
        m_sessions.erase(found);
}

void CSspApp::RemoveUserSessions(std::string_view userId)
{
    std::lock_guard guard(ListLock());
    std::erase_if(m_sessions, [userId](const auto& session) { return EqualsNoCase(session->GetUserId(), userId); });
}

void CSspApp::ExpireSessions()
{
    std::lock_guard guard(ListLock());
    const int timeout = m_config.m_sessionTimeout;
    const auto live = std::find_if(m_sessions.begin(), m_sessions.end(),
                                   [timeout](const auto& session) { return !session->IsExpired(timeout); });
    m_sessions.erase(m_sessions.begin(), live);
}

std::vector<std::string> CSspApp::GetSessionRows() const
{
    std::lock_guard guard(ListLock());
    std::vector<std::string> rows;
    rows.reserve(m_sessions.size());
    for (const auto& session : m_sessions) {
        std::string row = session->GetUserId() + "\n" + session->GetIpAddress() + "\n" +
                          CSspDateTime(session->GetStartTime()).GetDateTimeStr() + "\n" +
                          CSspDateTime(session->GetLastAccess()).GetDateTimeStr() + "\n" + session->GetAppPath();
        // Before the first row that sorts after it, so equal rows keep the list's order.
        const auto before = std::upper_bound(rows.begin(), rows.end(), row, [](const auto& a, const auto& b) {
            return CompareNoCase(a, b) < 0;
        });
        rows.insert(before, std::move(row));
    }
    return rows;
}
