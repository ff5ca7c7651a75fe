#include "webserver/listener_thread.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "network/tls_server.h"
#include "platform/file_system.h"

CListenerThread::CListenerThread(CServerThreadPool& pool, std::string address, int port, bool secure,
                                 std::size_t capacity)
    : m_pool(pool), m_address(std::move(address)), m_secure(secure), m_capacity(capacity),
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
    // Without the deferral the reception waits for the client hello itself: slower, still right.
    if (m_secure && !m_listening.DeferAccept(kSecureHelloWaitSeconds))
        TheLog().WriteLine("%s when deferring accepts until the client hello on port %d",
                           GetSystemErrorText(errno).c_str(), port);
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
    // The accepted connections' sockets need the TLS layer factory, credentials or not: without
    // credentials a client fails its handshake rather than talk plain to a secure port. Without
    // the factory every secure connection would fail, so the port is not opened (logged).
    const bool tlsReady = !m_secure || LoadSecurityInterface();
    if (tlsReady && BeginListening()) {
        // TLS handshakes are processor work done in the reception: a secure port receives on a
        // loop per processor, each with its share of the connections, or one core would bound the
        // handshakes of the whole port. A plain port's reception only reads, and one loop keeps
        // its connections in a single order of arrival.
        const std::size_t loops = m_secure ? std::max(1u, std::thread::hardware_concurrency()) : 1;
        const std::size_t share = std::max<std::size_t>(m_capacity / loops, 1);
        std::vector<std::thread> helpers;
        for (std::size_t i = 1; i < loops; ++i)
            helpers.emplace_back([this, share] {
                Receive(share);
                ReleaseThreadTlsState();
            });
        Receive(share);
        for (std::thread& helper : helpers)
            helper.join();
    }
    m_listening.Close();
    return false;
}

void CListenerThread::Receive(std::size_t capacity)
{
    CConnectionReception reception(m_pool, capacity);
    reception.Run(m_listening, m_secure, [this] { return StopRequested(); });
}

int CListenerThread::ExitInstance(int quitCode)
{
    // The reception ran TLS handshakes on this thread.
    ReleaseThreadTlsState();
    std::lock_guard lock(m_lock);
    m_running = false;
    m_finished = true;
    m_changed.notify_all();
    return quitCode;
}
