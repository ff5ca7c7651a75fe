// The session list of the application state. Sessions are appended in creation order and expire a
// fixed time after creation, so the expired ones are always at the head of the list. The list
// holds one reference on each session; a run that found a session keeps its own until it ends.
#include "language/ssp_app.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"

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
        do
            session->MakeId(userId);
        while (m_sessionsById.contains(session->GetId()));
        m_sessions.push_back(session);
        m_sessionsById.emplace(session->GetId(), session);
    } catch (const std::bad_alloc&) {
        if (session != nullptr && !m_sessions.empty() && m_sessions.back() == session)
            m_sessions.pop_back();
        RaiseCatalogText(kMsgOutOfMemorySession, kNoPosition);
    }
    return session;
}

std::shared_ptr<CSspSession> CSspApp::FindSession(std::string_view id)
{
    std::lock_guard guard(ListLock());
    const auto found = m_sessionsById.find(std::string(id));
    if (found == m_sessionsById.end())
        return nullptr;
    found->second->SetLastAccess(found->second->Now());
    return found->second;
}

void CSspApp::RemoveSession(std::string_view id)
{
    std::lock_guard guard(ListLock());
    const auto found = m_sessionsById.find(std::string(id));
    if (found == m_sessionsById.end())
        return;
    std::erase(m_sessions, found->second);
    m_sessionsById.erase(found);
}

void CSspApp::RemoveUserSessions(std::string_view userId)
{
    std::lock_guard guard(ListLock());
    std::erase_if(m_sessions, [this, userId](const auto& session) {
        if (!EqualsNoCase(session->GetUserId(), userId))
            return false;
        m_sessionsById.erase(session->GetId());
        return true;
    });
}

void CSspApp::ExpireSessions()
{
    std::lock_guard guard(ListLock());
    const int timeout = m_config.m_sessionTimeout;
    while (!m_sessions.empty() && m_sessions.front()->IsExpired(timeout)) {
        m_sessionsById.erase(m_sessions.front()->GetId());
        m_sessions.pop_front();
    }
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
        const auto before = std::upper_bound(rows.begin(), rows.end(), row,
                                             [](const auto& a, const auto& b) { return CompareNoCase(a, b) < 0; });
        rows.insert(before, std::move(row));
    }
    return rows;
}
