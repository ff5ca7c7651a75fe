#include "network/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>

#include "foundation/log.h"
#include "platform/file_system.h"
#include "platform/message_thread.h"

namespace {

std::atomic<CTcpSocket::TlsLayerFactory> g_tlsLayerFactory{nullptr};

// The layer of a TLS connection in a program that installed no TLS layer factory: the
// connection fails, so that what was meant to be encrypted never leaves in plain text.
class CMissingTlsLayer final : public CSocketLayer
{
public:
    int Read(CTcpSocket&, char*, int) override
    {
        Refuse();
        return -1;
    }
    int Write(CTcpSocket&, const char*, int) override
    {
        Refuse();
        return 0;
    }
    int ReadArrived(CTcpSocket&, char*, int) override
    {
        Refuse();
        return -1;
    }
    void Shutdown(CTcpSocket&) override {}

private:
    void Refuse()
    {
        if (!m_logged)
            TheLog().WriteLine("No TLS support for a secure connection.");
        m_logged = true;
    }
    bool m_logged = false;
};

bool IsDottedAddressText(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// Errors that belong to one aborted connection, not to the listening socket: accept(2) hands
// them on from the new connection, and the next accept works again.
bool IsTransientAcceptError(int error)
{
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH: return true;
    default: return false;
    }
}

// Receives and drops what has arrived on the descriptor, without waiting for more.
void DropPendingBytes(CTcpSocket& socket)
{
    char dropped[8192];
    for (int pending; (pending = socket.PendingInput()) > 0;)
        if (socket.RecvRaw(dropped, std::min(pending, static_cast<int>(sizeof dropped))) <= 0)
            break;
}

// connect(2) on a non-blocking descriptor, waiting for its outcome at most `seconds` (0: no
// limit); the descriptor is blocking again afterwards. 0, or -1 with errno set.
int ConnectWithin(int handle, const sockaddr_in& remote, int seconds)
{
    const int flags = fcntl(handle, F_GETFL);
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    int result = connect(handle, reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        pollfd entry{handle, POLLOUT, 0};
        for (;;) {
            int wait = -1;
            if (seconds > 0) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
            }
            result = poll(&entry, 1, wait);
            if (result >= 0 || errno != EINTR)
                break;
        }
        int error = 0;
        socklen_t errorLength = sizeof error;
        if (result == 0) {
            errno = ETIMEDOUT;
            result = -1;
        } else if (result > 0 && getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0) {
            result = 0;
        } else {
            errno = error != 0 ? error : errno;
            result = -1;
        }
    }
    const int savedErrno = errno;
    fcntl(handle, F_SETFL, flags);
    errno = savedErrno;
    return result;
}

}  // namespace

CTcpSocket::CTcpSocket() = default;

CTcpSocket::~CTcpSocket()
{
    // Whoever destroys the object is its last user, so the descriptor is closed here whichever
    // thread that is.
    std::lock_guard lock(m_lock);
    CloseLocked(true);
}

void CTcpSocket::Attach(int handle)
{
    Attach(handle, CurrentThreadId());
}

void CTcpSocket::Attach(int handle, pid_t owner)
{
    std::lock_guard lock(m_lock);
    AttachLocked(handle, owner);
}

void CTcpSocket::AttachLocked(int handle, pid_t owner)
{
    if (m_socket != -1 && m_socket != handle)
        CloseLocked(true);
    m_socket = handle;
    m_owner = owner;
    m_timeout = 0;
    m_nonBlocking.reset();
    m_deadline = std::chrono::steady_clock::time_point::max();
    m_minimumSendBytes = 0;
    m_layer.reset();
    m_inputStart = m_inputEnd = 0;
}

void CTcpSocket::TakeOver(CTcpSocket& from, pid_t owner)
{
    std::scoped_lock lock(m_lock, from.m_lock);
    AttachLocked(from.m_socket, owner);
    m_nonBlocking = from.m_nonBlocking;
    from.m_socket = -1;
    m_peer = from.m_peer;
    m_arrived = from.m_arrived;
    m_tls = from.m_tls;
    m_layer = std::move(from.m_layer);
    // The bytes are copied rather than the buffer moved: a thread keeps its own buffer for every
    // connection it serves, and what comes along is a request head, seldom more than a few hundred
    // bytes.
    const std::string_view unread = from.BufferedInput();
    if (!unread.empty()) {
        std::memcpy(InputBuffer(), unread.data(), unread.size());
        m_inputEnd = static_cast<int>(unread.size());
    }
    from.m_inputStart = from.m_inputEnd = 0;
}

int CTcpSocket::Detach()
{
    std::lock_guard lock(m_lock);
    const int handle = m_socket;
    m_socket = -1;
    m_timeout = 0;
    m_nonBlocking.reset();
    m_deadline = std::chrono::steady_clock::time_point::max();
    m_layer.reset();
    m_inputStart = m_inputEnd = 0;
    return handle;
}

namespace {

// Says what keeps the listener from its address, in words an administrator can act on.
void LogBindFailure(const std::string& address, int port, int error)
{
    switch (error) {
    case EADDRINUSE:
        TheLog().WriteLine("Failed to bind to %s:%d. Another program uses this address and port; "
                           "\"ss -ltnp\" shows which.",
                           address.c_str(), port);
        break;
    case EADDRNOTAVAIL:
        TheLog().WriteLine("Failed to bind to %s:%d. No network interface of this computer has the address %s.",
                           address.c_str(), port, address.c_str());
        break;
    case EACCES:
        TheLog().WriteLine("Failed to bind to %s:%d. Ports below 1024 need root or the CAP_NET_BIND_SERVICE "
                           "capability; choose a port of 1024 or above, or grant the program that capability.",
                           address.c_str(), port);
        break;
    default:
        TheLog().WriteLine("Failed to bind to %s:%d. %s", address.c_str(), port, GetSystemErrorText(error).c_str());
        break;
    }
}

}  // namespace

int CTcpSocket::Listen(const std::string& address, int port)
{
    // Non-blocking, so that threads other than the owner can take a waiting connection without
    // ever blocking in accept; the owner's Accept waits in poll instead.
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (handle < 0) {
        TheLog().WriteLine("Failed to create server socket.");
        return 0;
    }
    Attach(handle);
    // A restarted server must not fail on the connections of its predecessor in TIME_WAIT.
    const int on = 1;
    setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Responses leave in a few whole-buffer sends; without this the second one could wait for the
    // peer's delayed acknowledgement. Accepted connections inherit it, which saves a call on each.
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_aton(address.c_str(), &local.sin_addr) == 0) {
        TheLog().WriteLine("Failed to bind to %s:%d. [%s] is not an IPv4 address.", address.c_str(), port,
                           address.c_str());
        return 0;
    }
    if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        LogBindFailure(address, port, errno);
        return 0;
    }
    if (listen(handle, ListenBacklog()) != 0) {
        TheLog().WriteLine("Server socket failed to listen.");
        return 0;
    }
    return 1;
}

int CTcpSocket::DeferAccept(int seconds)
{
    return setsockopt(m_socket, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0;
}

int CTcpSocket::ListenBacklog()
{
    std::ifstream limit("/proc/sys/net/core/somaxconn");
    int backlog = 0;
    if (limit >> backlog && backlog > 0)
        return backlog;
    return SOMAXCONN;
}

int CTcpSocket::Accept(CTcpSocket& out)
{
    for (;;) {
        if (TryAccept(out))
            return out.SetTimeout(0);
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return 0;
        // Another thread took the waiting connection, or none was there: wait for the next. A
        // shutdown of the listening socket ends the wait, and the accept after it fails.
        pollfd entry{m_socket, POLLIN, 0};
        if (poll(&entry, 1, -1) < 0 && errno != EINTR)
            return 0;
    }
}

int CTcpSocket::TryAccept(CTcpSocket& out)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const int handle =
            accept4(m_socket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (handle >= 0) {
            out.Attach(handle);
            out.m_nonBlocking = true;
            out.m_peer = peer;
            out.m_arrived = std::chrono::steady_clock::now();
            return 1;
        }
        if (!IsTransientAcceptError(errno))
            return 0;
    }
}

int CTcpSocket::Connect(const std::string& host, int port, int timeoutSeconds)
{
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    if (host.empty() || IsDottedAddressText(host)) {
        if (inet_aton(host.c_str(), &remote.sin_addr) == 0) {
            TheLog().WriteLine("[%s] is an invalid IP address", host.c_str());
            return 0;
        }
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
            TheLog().WriteLine("[%s] not found", host.c_str());
            return 0;
        }
        remote.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        TheLog().WriteLine("Failed to create socket");
        return 0;
    }
    Attach(handle);
    const int result = ConnectWithin(handle, remote, timeoutSeconds);
    if (result != 0) {
        TheLog().WriteLine("Failed to connect to %s:%d", host.c_str(), port);
        Close();
        return 0;
    }
    m_peer = remote;
    return 1;
}

int CTcpSocket::SetTimeout(int seconds)
{
    m_timeout = seconds;
    // A server's connection comes non-blocking from TryAccept, and its time-out is set at its
    // arrival and again when a thread takes it: each finds the mode already set and leaves the
    // descriptor alone.
    const bool nonBlocking = seconds > 0;
    if (m_nonBlocking == nonBlocking)
        return 1;
    const int flags = fcntl(m_socket, F_GETFL);
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (flags < 0 || (wanted != flags && fcntl(m_socket, F_SETFL, wanted) != 0)) {
        TheLog().WriteLine("Failed to set non-blocking mode");
        return 0;
    }
    m_nonBlocking = nonBlocking;
    return 1;
}

CTcpSocket::WaitResult CTcpSocket::WaitUntilReady(short events) const
{
    return WaitUntil(events, std::chrono::steady_clock::now() + std::chrono::seconds(m_timeout));
}

CTcpSocket::WaitResult CTcpSocket::WaitUntil(short events, std::chrono::steady_clock::time_point deadline) const
{
    using Clock = std::chrono::steady_clock;
    deadline = std::min(deadline, m_deadline);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{m_socket, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX)));
        if (ready > 0)
            return WaitResult::Ready;
        if (ready == 0) {
            if (Clock::now() >= deadline)
                return WaitResult::Timeout;
            continue;
        }
        if (errno != EINTR)
            return WaitResult::Failed;
    }
}

int CTcpSocket::RecvRaw(char* buffer, int size)
{
    return Transfer(true, buffer, size);
}

int CTcpSocket::TryRecvRaw(char* buffer, int size)
{
    ssize_t done;
    do
        done = recv(m_socket, buffer, static_cast<size_t>(std::max(size, 0)), MSG_DONTWAIT);
    while (done < 0 && errno == EINTR);
    return done >= 0 ? static_cast<int>(done) : -1;
}

int CTcpSocket::SendRaw(const char* data, int length)
{
    return Transfer(false, const_cast<char*>(data), length);
}

int CTcpSocket::RecvRawWhenReady(char* buffer, int size, int atLeast)
{
    // The receive low-water mark keeps poll (and a blocking receive) from reporting input until
    // that much has arrived; it is set back to one byte at once, so that no later wait depends on it.
    const bool lowWater = atLeast > 1 && setsockopt(m_socket, SOL_SOCKET, SO_RCVLOWAT, &atLeast, sizeof atLeast) == 0;
    const bool ready = m_timeout <= 0 || AwaitReady(true);
    const int received = ready ? RecvRaw(buffer, size) : -1;
    if (lowWater) {
        const int oneByte = 1;
        setsockopt(m_socket, SOL_SOCKET, SO_RCVLOWAT, &oneByte, sizeof oneByte);
    }
    return received;
}

void CTcpSocket::AcknowledgeAtOnce()
{
    // Only a hint: a socket that refuses it acknowledges late, which costs time, not data.
    const int on = 1;
    setsockopt(m_socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

void CTcpSocket::SetMinimumSendRate(int minimumBytes, int windowSeconds)
{
    m_minimumSendBytes = minimumBytes;
    m_sendWindow = std::chrono::seconds(windowSeconds);
    m_sendWindowEnd = std::chrono::steady_clock::now() + m_sendWindow;
    m_windowSent = 0;
}

std::chrono::steady_clock::time_point CTcpSocket::SendWaitingSince() const
{
    const std::int64_t since = m_sendWaitingSince.load(std::memory_order_relaxed);
    if (since == 0)
        return std::chrono::steady_clock::time_point::max();
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(since));
}

bool CTcpSocket::AwaitSendable()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begun = Clock::now();
    m_sendWaitingSince.store(begun.time_since_epoch().count(), std::memory_order_relaxed);
    const Clock::time_point timeout = begun + std::chrono::seconds(m_timeout);
    // A window that ended before this wait saw no wait of its own: the peer's reading is judged
    // from now on, not by the time the response took to be made.
    if (m_sendWindowEnd <= begun) {
        m_sendWindowEnd = begun + m_sendWindow;
        m_windowSent = 0;
    }
    bool ready = false;
    for (;;) {
        const bool rated = m_minimumSendBytes > 0 && m_sendWindowEnd < timeout;
        const WaitResult waited = WaitUntil(POLLOUT, rated ? m_sendWindowEnd : timeout);
        if (waited == WaitResult::Ready) {
            ready = true;
            break;
        }
        if (waited == WaitResult::Failed) {
            TheLog().WriteLine("Failed to select on socket");
            break;
        }
        if (!rated || Clock::now() < m_sendWindowEnd) {
            TheLog().WriteLine("Timeout sending on socket");
            break;
        }
        // A window has ended while the peer was not reading: judged by what it took.
        if (m_windowSent < m_minimumSendBytes) {
            TheLog().WriteLine("Response to %s was read slower than %d bytes in %lld seconds; connection closed.",
                               GetPeerAddress().c_str(), m_minimumSendBytes,
                               static_cast<long long>(m_sendWindow.count()));
            break;
        }
        m_sendWindowEnd = Clock::now() + m_sendWindow;
        m_windowSent = 0;
    }
    m_sendWaitingSince.store(0, std::memory_order_relaxed);
    return ready;
}

bool CTcpSocket::AwaitReady(bool receiving)
{
    if (!receiving)
        return AwaitSendable();
    switch (WaitUntilReady(POLLIN)) {
    case WaitResult::Ready: return true;
    case WaitResult::Timeout: TheLog().WriteLine("Timeout receiving on socket"); return false;
    case WaitResult::Failed: TheLog().WriteLine("Failed to select on socket"); return false;
    }
    return false;
}

int CTcpSocket::Transfer(bool receiving, char* buffer, int size, int sendFlags)
{
    const size_t count = static_cast<size_t>(std::max(size, 0));
    for (;;) {
        // MSG_NOSIGNAL: a peer that has gone away is an error code here, never a SIGPIPE.
        const ssize_t done =
            receiving ? recv(m_socket, buffer, count, 0) : send(m_socket, buffer, count, MSG_NOSIGNAL | sendFlags);
        if (done >= 0) {
            if (!receiving)
                CountSent(done);
            return static_cast<int>(done);
        }
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || m_timeout <= 0) {
            LogSocketError(receiving, errno);
            return -1;
        }
        if (!AwaitReady(receiving))
            return -1;
    }
}

void CTcpSocket::LogSocketError(bool receiving, int error) const
{
    if (!m_logSocketErrors)
        return;
    if (receiving)
        TheLog().WriteLine("Socket error [%d] when receiving.", error);
    else
        TheLog().WriteLine("Socket error [%d] when sending.", error);
}

int CTcpSocket::SendAllRaw(const char* data, int length)
{
    return SendAllFlagged(data, length, 0);
}

int CTcpSocket::SendAllFlagged(const char* data, int length, int sendFlags)
{
    while (length > 0) {
        const int sent = Transfer(false, const_cast<char*>(data), length, sendFlags);
        if (sent <= 0)
            return 0;
        data += sent;
        length -= sent;
    }
    return 1;
}

void CTcpSocket::SetTlsLayerFactory(TlsLayerFactory factory)
{
    g_tlsLayerFactory.store(factory);
}

CSocketLayer* CTcpSocket::ActiveLayer()
{
    if (!m_layer && m_tls) {
        const TlsLayerFactory factory = g_tlsLayerFactory.load();
        if (factory != nullptr)
            m_layer = factory();
        else
            m_layer = std::make_unique<CMissingTlsLayer>();
    }
    return m_layer.get();
}

int CTcpSocket::Send(const char* data, int length)
{
    if (length == -1)
        length = static_cast<int>(std::min<size_t>(std::strlen(data), INT_MAX));
    if (CSocketLayer* layer = ActiveLayer())
        return layer->Write(*this, data, length);
    return SendAllRaw(data, length);
}

int CTcpSocket::SendMore(const char* data, int length)
{
    if (CSocketLayer* layer = ActiveLayer())
        return layer->Write(*this, data, length);
    return SendAllFlagged(data, length, MSG_MORE);
}

int CTcpSocket::SendFile(int fd, std::int64_t offset, std::int64_t length)
{
    if (CSocketLayer* layer = ActiveLayer())
        return SendFileThroughLayer(*layer, fd, offset, length);
    off_t position = static_cast<off_t>(offset);
    while (length > 0) {
        const size_t piece = static_cast<size_t>(std::min<std::int64_t>(length, 1 << 30));
        const ssize_t sent = sendfile(m_socket, fd, &position, piece);
        if (sent > 0) {
            length -= sent;
            CountSent(sent);
            continue;
        }
        if (sent == 0) {
            TheLog().WriteLine("File ended before all of it was sent.");
            return 0;
        }
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || m_timeout <= 0) {
            LogSocketError(false, errno);
            return 0;
        }
        if (!AwaitReady(false))
            return 0;
    }
    return 1;
}

int CTcpSocket::SendFileThroughLayer(CSocketLayer& layer, int fd, std::int64_t offset, std::int64_t length)
{
    auto piece = std::make_unique_for_overwrite<char[]>(kFilePiece);
    while (length > 0) {
        const ssize_t got = pread(fd, piece.get(), static_cast<size_t>(std::min<std::int64_t>(length, kFilePiece)),
                                  static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            TheLog().WriteLine("%s when reading a file to send.", GetSystemErrorText(got < 0 ? errno : EIO).c_str());
            return 0;
        }
        offset += got;
        length -= got;
        if (layer.Write(*this, piece.get(), static_cast<int>(got)) != 1)
            return 0;
    }
    return 1;
}

int CTcpSocket::ReadSome(char* buffer, int size)
{
    if (CSocketLayer* layer = ActiveLayer())
        return layer->Read(*this, buffer, size);
    return RecvRaw(buffer, size);
}

int CTcpSocket::FillInput()
{
    m_inputStart = m_inputEnd = 0;
    const int received = ReadSome(InputBuffer(), kInputBufferSize);
    if (received > 0)
        m_inputEnd = received;
    return received;
}

int CTcpSocket::Recv(char* buffer, int size)
{
    if (size <= 0)
        return 0;
    if (m_inputStart == m_inputEnd) {
        // A read as large as the buffer gains nothing from a copy through it.
        if (size >= kInputBufferSize)
            return ReadSome(buffer, size);
        const int received = FillInput();
        if (received <= 0)
            return received;
    }
    const int count = std::min(size, m_inputEnd - m_inputStart);
    std::memcpy(buffer, m_input.get() + m_inputStart, static_cast<size_t>(count));
    m_inputStart += count;
    return count;
}

int CTcpSocket::RecvExact(char* buffer, int length)
{
    while (length > 0) {
        const int received = Recv(buffer, length);
        if (received <= 0)
            return 0;
        buffer += received;
        length -= received;
    }
    return 1;
}

int CTcpSocket::ReadLine(char* buffer, int capacity, int* length)
{
    if (capacity <= 0) {
        if (length)
            *length = 0;
        return -1;
    }
    int stored = 0;
    bool afterCr = false;
    int result;
    for (;;) {
        if (stored >= capacity - 1) {
            result = -1;
            break;
        }
        if (m_inputStart == m_inputEnd) {
            const int received = FillInput();
            if (received < 0) {
                result = -2;
                break;
            }
            if (received == 0) {
                result = -3;
                break;
            }
        }
        const char c = m_input[m_inputStart++];
        if (afterCr) {
            afterCr = false;
            if (c == '\n') {
                result = stored;
                break;
            }
            continue;
        }
        if (c == '\r')
            afterCr = true;
        else
            buffer[stored++] = c;
    }
    buffer[stored] = '\0';
    if (length)
        *length = stored;
    return result;
}

char* CTcpSocket::InputBuffer()
{
    // Not zeroed: only bytes that were read are ever read back, and zeroing 64 KiB for each
    // connection cost more than the rest of reading its request and pushed other data out of the
    // processor's caches.
    if (!m_input)
        m_input = std::make_unique_for_overwrite<char[]>(kInputBufferSize);
    return m_input.get();
}

CTcpSocket::Arrival CTcpSocket::ReadArrived()
{
    char* const input = InputBuffer();
    if (m_inputStart > 0) {
        std::memmove(input, input + m_inputStart, static_cast<size_t>(m_inputEnd - m_inputStart));
        m_inputEnd -= m_inputStart;
        m_inputStart = 0;
    }
    if (m_inputEnd == kInputBufferSize)
        return Arrival::kFull;
    CSocketLayer* layer = ActiveLayer();
    int total = 0;
    int received;
    // A layer may hold more than one read hands out (TLS records that came in one segment): it is
    // read empty, since no event of the descriptor will tell of what it holds.
    do {
        char* free = input + m_inputEnd;
        const int room = kInputBufferSize - m_inputEnd;
        if (layer != nullptr) {
            received = layer->ReadArrived(*this, free, room);
        } else {
            received = TryRecvRaw(free, room);
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                received = CSocketLayer::kNothingArrived;
        }
        if (received > 0) {
            m_inputEnd += received;
            total += received;
        }
    } while (received > 0 && layer != nullptr && layer->HasBufferedInput() && m_inputEnd < kInputBufferSize);
    if (total > 0)
        return Arrival::kBytes;
    if (received == 0)
        return Arrival::kClosed;
    return received == CSocketLayer::kNothingArrived ? Arrival::kNothing : Arrival::kFailed;
}

std::string_view CTcpSocket::BufferedInput() const
{
    if (m_inputStart == m_inputEnd)
        return {};
    return std::string_view(m_input.get() + m_inputStart, static_cast<size_t>(m_inputEnd - m_inputStart));
}

bool CTcpSocket::WaitForInput(std::chrono::steady_clock::time_point deadline)
{
    if (m_inputStart != m_inputEnd || (m_layer && m_layer->HasBufferedInput()))
        return true;
    if (m_layer && !m_layer->Flush(*this))
        return false;
    if (m_timeout > 0)
        deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(m_timeout));
    return WaitUntil(POLLIN, deadline) == WaitResult::Ready;
}

void CSocketLayer::DrainInput(CTcpSocket& socket)
{
    DropPendingBytes(socket);
}

void CTcpSocket::DrainInput()
{
    m_inputStart = m_inputEnd = 0;
    // A TLS connection that has not read yet has no session whose records would need decrypting:
    // its bytes are dropped raw, like a plain connection's.
    if (m_layer)
        m_layer->DrainInput(*this);
    else
        DropPendingBytes(*this);
}

bool CTcpSocket::HasPeerLeft() const
{
    pollfd entry{m_socket, POLLRDHUP, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int CTcpSocket::PendingInput() const
{
    int pending = 0;
    return ioctl(m_socket, FIONREAD, &pending) == 0 ? pending : 0;
}

int CTcpSocket::Close()
{
    std::lock_guard lock(m_lock);
    return CloseLocked(m_owner == CurrentThreadId());
}

int CTcpSocket::CloseLocked(bool owner)
{
    // The layer belongs to the owner's thread; another thread only cuts the connection.
    if (owner && m_layer)
        m_layer->Shutdown(*this);
    if (m_socket == -1)
        return 1;
    int result = 1;
    if (shutdown(m_socket, SHUT_RDWR) != 0 && errno != ENOTCONN) {
        TheLog().WriteLine("%s Failed to shutdown socket [%d]", GetSystemErrorText(errno).c_str(), m_socket);
        result = 0;
    }
    if (!owner)
        return result;
    if (close(m_socket) != 0) {
        TheLog().WriteLine("%s Failed to close socket [%d]", GetSystemErrorText(errno).c_str(), m_socket);
        result = 0;
    }
    m_socket = -1;
    m_nonBlocking.reset();
    m_layer.reset();
    m_inputStart = m_inputEnd = 0;
    return result;
}

int CTcpSocket::GetLocalPort() const
{
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    if (getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void CTcpSocket::SetLayer(std::unique_ptr<CSocketLayer> layer)
{
    m_layer = std::move(layer);
}

std::string CTcpSocket::GetPeerAddress() const
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &m_peer.sin_addr, text, sizeof text);
    return text;
}
