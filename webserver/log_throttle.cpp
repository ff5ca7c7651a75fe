#include "webserver/log_throttle.h"

#include <utility>

#include "foundation/log.h"

CLogThrottle::CLogThrottle(std::string text) : m_text(std::move(text))
{}

CLogThrottle::~CLogThrottle()
{
    Flush();
}

void CLogThrottle::Note()
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(m_lock);
    ++m_untold;
    if (m_lastLine == std::chrono::steady_clock::time_point() || now - m_lastLine >= std::chrono::seconds(1))
        WriteLocked(now);
}

void CLogThrottle::Flush()
{
    std::lock_guard lock(m_lock);
    if (m_untold > 0)
        WriteLocked(std::chrono::steady_clock::now());
}

void CLogThrottle::WriteLocked(std::chrono::steady_clock::time_point now)
{
    TheLog().WriteLine("%s %d.", m_text.c_str(), m_untold);
    m_untold = 0;
    m_lastLine = now;
}
