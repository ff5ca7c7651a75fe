// CListenerThread accepts the TCP connections of one port and receives them until their request
// heads have come (CConnectionReception), then hands each to the server-thread pool. twServer runs
// one for HTTP and one for HTTPS, the studio one for its debugger's server.
//
// Starting: make it with std::make_shared, Start it (false: the thread could not be created),
// then WaitUntilRunning(kStartWaitMilliseconds); false means the listener did not start and the
// starter drops it. Stopping: Stop, then WaitForExit.
//
// Lock order: the listener's lock, then its listening socket's lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "network/tcp_socket.h"
#include "platform/message_thread.h"
#include "webserver/connection_reception.h"

class CServerThreadPool;

class CListenerThread final : public CMessageThread
{
public:
    static constexpr int kStartWaitMilliseconds = 5000;
    // A secure listener takes a connection once its client hello has arrived (a TLS client speaks
    // first), or once the client has been silent this long; then it meets the request's first-byte
    // limit as before. The system holds a silent client meanwhile, at no cost to the listener.
    static constexpr int kSecureHelloWaitSeconds = 3;

    // `secure` makes every accepted connection a TLS connection. Port 0 takes a free port.
    // `capacity` bounds the connections that wait for their request heads or for a thread.
    CListenerThread(CServerThreadPool& pool, std::string address, int port, bool secure,
                    std::size_t capacity = CConnectionReception::AffordableConnections());

    // Waits until the accept loop runs (true) or the listener has given up (false).
    [[nodiscard]] bool WaitUntilRunning(int milliseconds);
    // Makes the accept loop end: sets the stop flag and shuts the listening socket down, which
    // wakes the pending accept. Any thread may call it, before or after the loop started.
    void Stop();
    bool IsRunning() const;

    const std::string& GetAddress() const { return m_address; }
    // The port asked for, or once running, the port actually bound.
    int GetPort() const;
    bool IsSecure() const { return m_secure; }
    // Seconds since 1970 at construction; the console shows it as the service's start.
    std::int64_t GetStartTime() const { return m_startTime; }

protected:
    bool InitInstance() override;
    int ExitInstance(int quitCode) override;

private:
    [[nodiscard]] bool BeginListening();
    // Runs a reception of `capacity` connections on the calling thread until the stop.
    void Receive(std::size_t capacity);
    bool StopRequested() const;

    CServerThreadPool& m_pool;
    const std::string m_address;
    const bool m_secure;
    const std::size_t m_capacity;
    const std::int64_t m_startTime;

    // m_lock guards the fields below it and the stop's shutdown of m_listening.
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    int m_port;
    bool m_stop = false;
    bool m_running = false;
    bool m_finished = false;

    CTcpSocket m_listening;
};
