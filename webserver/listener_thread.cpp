#include "webserver/listener_thread.h"

#include <chrono>
#include <ctime>
#include <utility>

#include "foundation/log.h"
#include "network/tls_server.h"
#include "webserver/server_thread.h"

CListenerThread::CListenerThread(CServerThreadPool& pool, std::string address, int port, bool secure)
    : m_pool(pool), m_address(std::move(address)), m_secure(secure),
      m_startTime(static_cast<std::int64_t>(std::time(nullptr))), m_port(port)
{}

bool CListenerThread::WaitUntilRunning(int milliseconds)
{
    std::unique_lock lock(m_lock);
    m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_running || m_finished; });
    return m_running;
}

void CListenerThread::Stop()
{
    std::lock_guard lock(m_lock);
    m_stop = true;
    m_listening.Close();
    m_changed.notify_all();
}

bool CListenerThread::IsRunning() const
{
    std::lock_guard lock(m_lock);
    return m_running;
}

int CListenerThread::GetPort() const
{
    std::lock_guard lock(m_lock);
    return m_port;
}

bool CListenerThread::StopRequested() const
{
    std::lock_guard lock(m_lock);
    return m_stop;
}

bool CListenerThread::BeginListening()
{
    int port;
    {
        std::lock_guard lock(m_lock);
        port = m_port;
    }
    if (!m_listening.Listen(m_address, port)) {
        TheLog().WriteLine("Web server failed to start.");
        return false;
    }
    if (m_secure)
        m_listening.DeferAccept(kSecureHelloWaitSeconds);
    const int bound = m_listening.GetLocalPort();
    std::lock_guard lock(m_lock);
    // A Stop that came before the socket existed had nothing to shut down; honour it here.
    if (m_stop)
        return false;
    if (bound != 0)
        m_port = bound;
    m_running = true;
    m_changed.notify_all();
    return true;
}

bool CListenerThread::InitInstance()
{
    CTcpSocket accepted;
    accepted.SetTls(m_secure);
    // The accepted connections' sockets need the TLS layer factory, credentials or not: without
    // credentials a client fails its handshake rather than talk plain to a secure port.
    if (m_secure)
        LoadSecurityInterface();
    const auto source = std::make_shared<CAcceptSource>(m_listening, m_secure);
    if (BeginListening()) {
        while (!StopRequested()) {
            if (m_listening.Accept(accepted)) {
                HandOver(accepted, source);
                continue;
            }
            if (StopRequested())
                break;
            TheLog().WriteLine("Listener failed to accept.");
            std::unique_lock lock(m_lock);
            m_changed.wait_for(lock, std::chrono::milliseconds(kAcceptRetryMilliseconds), [this] { return m_stop; });
        }
    }
    source->Close();
    m_listening.Close();
    return false;
}

void CListenerThread::HandOver(CTcpSocket& accepted, const std::shared_ptr<CAcceptSource>& source)
{
    std::shared_ptr<CServerThread> thread = m_pool.AssignConnection(accepted, source);
    if (!thread) {
        // The client sees its connection closed without a reply.
        accepted.Close();
        return;
    }
    if (!thread->Post(CServerThread::kServeRequest))
        thread->AbandonConnection();
}

int CListenerThread::ExitInstance(int quitCode)
{
    std::lock_guard lock(m_lock);
    m_running = false;
    m_finished = true;
    m_changed.notify_all();
    return quitCode;
}
