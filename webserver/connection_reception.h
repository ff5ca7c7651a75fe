// CConnectionReception holds a listener's new connections until their request heads have come,
// and only then hands each to the server-thread pool. It runs on the listener's own thread, one
// event loop over every connection that has not yet sent its whole head, so that a client that
// connects and says nothing, trickles its head or stalls in its TLS handshake holds no server
// thread: a flood of such clients costs descriptors, not the threads that serve requests. The
// TLS handshake of a secure connection runs here too, as far as the bytes that have come allow.
//
// A connection is closed when it sends nothing within CRequestTimeLimits::firstByteSeconds, or has
// not sent its whole head within requestSeconds; when the reception holds as many connections as
// the process can afford, the one that came first is closed to make room for the newcomer.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>

#include "network/tcp_socket.h"
#include "webserver/log_throttle.h"

class CServerThreadPool;

class CConnectionReception
{
public:
    // The longest the loop sleeps, so that the expiries are noticed in time.
    static constexpr int kTickMilliseconds = 250;
    // The pause after an accept failure that is not the stop.
    static constexpr int kAcceptRetryMilliseconds = 100;
    // A send of the reception (a TLS handshake's flight) waits at most this long for the peer:
    // one client must not hold up the loop, and a flight fits the socket's buffer anyway.
    static constexpr int kSendTimeoutSeconds = 1;

    // `capacity` bounds the connections held here and waiting in the pool together.
    CConnectionReception(CServerThreadPool& pool, std::size_t capacity);
    // Closes the connections still held.
    ~CConnectionReception();
    CConnectionReception(const CConnectionReception&) = delete;
    CConnectionReception& operator=(const CConnectionReception&) = delete;

    // Accepts on `listening` (connections marked TLS when `secure`) and receives until
    // `stopRequested` answers true, which is asked at least every kTickMilliseconds and after every
    // failed accept; the connections still held are closed then. False when the loop could not
    // start.
    bool Run(CTcpSocket& listening, bool secure, const std::function<bool()>& stopRequested);

    // The connections a process may keep open, from its descriptor limit, less what its threads,
    // files and database connections need; shared by the listeners of the process.
    static std::size_t AffordableConnections();

private:
    struct Arrival
    {
        std::unique_ptr<CTcpSocket> connection;
        std::chrono::steady_clock::time_point arrived;
        // Bytes have come: the first-byte limit is met.
        bool spoke = false;
        // In the epoll set: the request did not come whole with the connection.
        bool watched = false;
        // The entry's own place in m_arrivals, which its epoll events lead back to.
        std::list<Arrival>::iterator self;
    };
    using Arrivals = std::list<Arrival>;

    // Accepts what waits; false after a failed accept, when the listening socket should rest.
    [[nodiscard]] bool AcceptWaiting(CTcpSocket& listening, bool secure);
    // Reads what has come (`woken`: an event said that bytes came); false when the connection
    // was handed over or dropped.
    bool Receive(Arrivals::iterator arrival, bool woken);
    void HandOver(Arrivals::iterator arrival);
    void Drop(Arrivals::iterator arrival);
    // Closes the connections past their limits; returns the milliseconds until the next expiry,
    // at most kTickMilliseconds.
    int CloseExpired(std::chrono::steady_clock::time_point now);
    [[nodiscard]] bool Watch(int fd, void* key, unsigned events);

    CServerThreadPool& m_pool;
    const std::size_t m_capacity;
    int m_epoll = -1;
    // In order of arrival; the loop's thread alone uses them.
    Arrivals m_arrivals;
    CLogThrottle m_evictions{"Connections that had not sent a complete request were closed to make room for new "
                             "ones. Closed since the last such line:"};
};
