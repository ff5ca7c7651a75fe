#include "webserver/connection_reception.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "foundation/log.h"
#include "platform/file_system.h"
#include "webserver/server_thread.h"
#include "webserver/ssp_request.h"

namespace {

// Connections accepted in one turn of the loop, so that a burst on one port cannot starve the
// connections that are already talking.
constexpr int kAcceptsPerTurn = 256;
constexpr int kEventsPerWait = 256;
// Descriptors kept back from the limit for the threads' own files, database connections and logs.
constexpr std::size_t kReservedDescriptors = 1024;
constexpr std::size_t kMinimumConnections = 64;

}  // namespace

CConnectionReception::CConnectionReception(CServerThreadPool& pool, std::size_t capacity)
    : m_pool(pool), m_capacity(std::max(capacity, std::size_t{1}))
{}

CConnectionReception::~CConnectionReception()
{
    if (m_epoll >= 0)
        close(m_epoll);
}

std::size_t CConnectionReception::AffordableConnections()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1 << 16;
    const auto descriptors = static_cast<std::size_t>(limit.rlim_cur);
    return std::max(descriptors > kReservedDescriptors * 2 ? descriptors - kReservedDescriptors : descriptors / 2,
                    kMinimumConnections);
}

bool CConnectionReception::Watch(int fd, void* key, unsigned events)
{
    epoll_event event{};
    event.events = events;
    event.data.ptr = key;
    return epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool CConnectionReception::Run(CTcpSocket& listening, bool secure, const std::function<bool()>& stopRequested)
{
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    // The listening socket is the one entry without a connection behind it. Receptions of one
    // listening socket each watch it exclusively, so that a new connection wakes one of them.
    constexpr unsigned kListeningEvents = EPOLLIN | EPOLLEXCLUSIVE;
    if (m_epoll < 0 || !Watch(listening.GetHandle(), nullptr, kListeningEvents)) {
        TheLog().WriteLine("Web server failed to start: %s", GetSystemErrorText(errno).c_str());
        return false;
    }
    epoll_event events[kEventsPerWait];
    bool listeningRests = false;
    auto restUntil = std::chrono::steady_clock::time_point::min();
    int wait = kTickMilliseconds;
    while (!stopRequested()) {
        const int ready = epoll_wait(m_epoll, events, kEventsPerWait, wait);
        if (ready < 0 && errno != EINTR)
            break;
        const auto now = std::chrono::steady_clock::now();
        // Connections first: accepting may close the oldest of them to make room, and an event of
        // this turn must not name one that is gone.
        bool acceptable = false;
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.ptr == nullptr)
                acceptable = true;
            else
                Receive(static_cast<Arrival*>(events[i].data.ptr)->self, true);
        }
        if (acceptable && !listeningRests && !AcceptWaiting(listening, secure)) {
            if (stopRequested())
                break;
            TheLog().WriteLine("Listener failed to accept.");
            // A lasting failure (out of descriptors) must neither spin a core nor flood the log.
            // An exclusive entry cannot be modified, only removed and added again.
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, listening.GetHandle(), nullptr);
            listeningRests = true;
            restUntil = now + std::chrono::milliseconds(kAcceptRetryMilliseconds);
        }
        if (listeningRests && now >= restUntil)
            listeningRests = !Watch(listening.GetHandle(), nullptr, kListeningEvents);
        wait = CloseExpired(now);
        if (listeningRests)
            wait = std::min(wait, kAcceptRetryMilliseconds);
    }
    while (!m_arrivals.empty())
        Drop(m_arrivals.begin());
    return true;
}

bool CConnectionReception::AcceptWaiting(CTcpSocket& listening, bool secure)
{
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        // The pool's waiting connections hold descriptors too.
        if (m_arrivals.size() + m_pool.WaitingCount() >= m_capacity) {
            // Only a connection that is still to send its request makes room; connections that
            // wait for a thread stay, and the newcomers wait in the system's accept queue.
            if (m_arrivals.empty())
                return true;
            Drop(m_arrivals.begin());
            m_evictions.Note();
        }
        auto connection = std::make_unique<CTcpSocket>();
        if (!listening.TryAccept(*connection))
            return errno == EAGAIN || errno == EWOULDBLOCK;
        connection->SetTls(secure);
        // A connection whose sends could block would stall every connection of this loop; the
        // failure is logged, and the connection closes when it goes out of scope here.
        if (!connection->SetTimeout(kSendTimeoutSeconds))
            return true;
        const int fd = connection->GetHandle();
        auto arrival = m_arrivals.insert(m_arrivals.end(), Arrival{std::move(connection), {}, false, false, {}});
        arrival->arrived = std::chrono::steady_clock::now();
        arrival->self = arrival;
        // A client's request (or a secure port's client hello, which the accept waits for) has
        // often come with the connection: read it at once, and watch only what has to wait.
        if (Receive(arrival, false)) {
            arrival->watched = Watch(fd, &*arrival, EPOLLIN | EPOLLRDHUP);
            if (!arrival->watched)
                Drop(arrival);
        }
    }
    return true;
}

bool CConnectionReception::Receive(Arrivals::iterator arrival, bool woken)
{
    CTcpSocket& connection = *arrival->connection;
    const CTcpSocket::Arrival read = connection.ReadArrived();
    switch (read) {
    case CTcpSocket::Arrival::kNothing:
        // Bytes that woke the loop went into a TLS handshake.
        arrival->spoke = arrival->spoke || woken;
        return true;
    case CTcpSocket::Arrival::kBytes:
        arrival->spoke = true;
        if (!CSspRequest::IsHeadComplete(connection.BufferedInput()))
            return true;
        break;
    case CTcpSocket::Arrival::kFull:
        // A head that fills the buffer is over the limit: the server thread refuses it.
        break;
    case CTcpSocket::Arrival::kClosed:
        // A request cut short still reaches the handler: the console's Disconnect ends so.
        if (!connection.BufferedInput().empty())
            break;
        Drop(arrival);
        return false;
    case CTcpSocket::Arrival::kFailed: Drop(arrival); return false;
    }
    HandOver(arrival);
    return false;
}

void CConnectionReception::HandOver(Arrivals::iterator arrival)
{
    if (arrival->watched)
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, arrival->connection->GetHandle(), nullptr);
    m_pool.Enqueue(std::move(arrival->connection));
    m_arrivals.erase(arrival);
}

void CConnectionReception::Drop(Arrivals::iterator arrival)
{
    // Closing the descriptor takes it out of the epoll set.
    arrival->connection->Close();
    m_arrivals.erase(arrival);
}

int CConnectionReception::CloseExpired(std::chrono::steady_clock::time_point now)
{
    const CRequestTimeLimits limits;
    const auto silence = std::chrono::seconds(limits.firstByteSeconds);
    const auto whole = std::chrono::seconds(limits.requestSeconds);
    auto next = now + std::chrono::milliseconds(kTickMilliseconds);
    for (auto arrival = m_arrivals.begin(); arrival != m_arrivals.end();) {
        // Later arrivals have waited less: none of them is past even the first limit.
        if (arrival->arrived + silence > now) {
            next = std::min(next, arrival->arrived + silence);
            break;
        }
        if (!arrival->spoke || arrival->arrived + whole <= now) {
            Drop(arrival++);
            continue;
        }
        next = std::min(next, arrival->arrived + whole);
        ++arrival;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}
