#include "language/current_engine.h"

#include "language/ssp_engine.h"

void CCurrentEngine::EndRuns()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopping = true;
    Apply();
}

void CCurrentEngine::Disconnect()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_disconnected = true;
    Apply();
}

void CCurrentEngine::ClearDisconnect()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_disconnected = false;
}

void CCurrentEngine::Set(CSspEngine* engine)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_engine = engine;
    Apply();
}

void CCurrentEngine::Apply() const
{
    if (m_engine == nullptr)
        return;
    if (m_stopping)
        m_engine->RequestEnd(CSspEngine::EndRequest::kServerStop);
    else if (m_disconnected)
        m_engine->RequestEnd(CSspEngine::EndRequest::kDisconnect);
}
