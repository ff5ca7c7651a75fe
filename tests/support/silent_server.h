// A server that hangs: a loopback listener that accepts one connection and never answers, for
// tests of what a client's wait for a reply holds up. Its accept is the sign that the client has
// connected and now waits.
#pragma once

#include "tests/support/loopback_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <utility>

class SilentServer
{
public:
    SilentServer() : m_listener(BindLoopbackSocket(m_port))
    {
        if (listen(m_listener, 4) != 0) {
            close(m_listener);
            throw std::runtime_error("cannot listen on a loopback port");
        }
        m_acceptor = std::thread([this] {
            m_peer = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            m_accepted.set_value();
        });
    }
    ~SilentServer() { Stop(); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    int Port() const { return m_port; }
    bool WaitAccepted(std::chrono::seconds limit)
    {
        return m_acceptedEvent.wait_for(limit) == std::future_status::ready;
    }
    // Hangs up the accepted connection, whose client then fails at once, and stops listening, so
    // that a later connect is refused.
    void Stop()
    {
        if (m_listener < 0)
            return;
        shutdown(m_listener, SHUT_RDWR);  // ends an accept still waiting
        m_acceptor.join();
        if (m_peer >= 0)
            close(std::exchange(m_peer, -1));
        close(std::exchange(m_listener, -1));
    }

private:
    int m_port = 0;
    int m_listener = -1;
    int m_peer = -1;
    std::promise<void> m_accepted;
    std::future<void> m_acceptedEvent = m_accepted.get_future();
    std::thread m_acceptor;
};
