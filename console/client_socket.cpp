#include "console/client_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/log.h"
#include "platform/file_system.h"

namespace {

constexpr int kSendPiece = 2048000;

bool IsDottedText(const std::string& host)
{
    return std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

}  // namespace

CClientSocket::~CClientSocket()
{
    Close();
}

int CClientSocket::Connect(const std::string& host, int port)
{
    Close();
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    if (IsDottedText(host)) {
        if (inet_pton(AF_INET, host.c_str(), &where.sin_addr) != 1) {
            TheLog().WriteLine("[%s] is an invalid IP address", host.c_str());
            return 0;
        }
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
            TheLog().WriteLine("[%s] not found", host.c_str());
            return 0;
        }
        where.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        TheLog().WriteLine("Failed to create socket");
        return 0;
    }
    int result;
    do
        result = connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        TheLog().WriteLine("Failed to connect to %s:%d", host.c_str(), port);
        close(fd);
        return 0;
    }
    std::lock_guard guard(m_lock);
    m_socket = fd;
    m_timeout = 0;
    return 1;
}

int CClientSocket::SetTimeout(int seconds)
{
    m_timeout = seconds;
    const int flags = fcntl(m_socket, F_GETFL);
    const int wanted = seconds > 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (flags < 0 || fcntl(m_socket, F_SETFL, wanted) != 0) {
        TheLog().WriteLine("Failed to set non-blocking mode");
        return 0;
    }
    return 1;
}

CClientSocket::Wait CClientSocket::WaitUntilReady(short events) const
{
    pollfd entry{m_socket, events, 0};
    int ready;
    do
        ready = poll(&entry, 1, m_timeout * 1000);
    while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return Wait::kFailed;
    return ready == 0 ? Wait::kTimeout : Wait::kReady;
}

int CClientSocket::TransferOnce(bool receiving, char* buffer, int size)
{
    ssize_t moved;
    do
        moved = receiving ? recv(m_socket, buffer, static_cast<std::size_t>(size), 0)
                          : send(m_socket, buffer, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    while (moved < 0 && errno == EINTR);
    return moved >= 0 ? static_cast<int>(moved) : -1;
}

// One receive or send; when the socket would block, one wait for readiness up to the time-out
// and one more try.
int CClientSocket::Transfer(bool receiving, char* buffer, int size)
{
    const int moved = TransferOnce(receiving, buffer, size);
    if (moved >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        return moved;
    switch (WaitUntilReady(receiving ? POLLIN : POLLOUT)) {
    case Wait::kTimeout:
        TheLog().WriteLine(receiving ? "Timeout receiving on socket" : "Timeout sending on socket");
        return -1;
    case Wait::kFailed:
        TheLog().WriteLine("Failed to select on socket");
        return -1;
    case Wait::kReady:
        break;
    }
    return TransferOnce(receiving, buffer, size);
}

int CClientSocket::Receive(char* buffer, int size)
{
    return Transfer(true, buffer, size);
}

int CClientSocket::Send(const char* data, int length)
{
    return Transfer(false, const_cast<char*>(data), length);
}

int CClientSocket::SendAll(const char* data, int length)
{
    if (length < 0)
        length = static_cast<int>(std::strlen(data));
    while (length > 0) {
        const int sent = Send(data, std::min(length, kSendPiece));
        if (sent < 0)
            return 0;
        data += sent;
        length -= sent;
    }
    return 1;
}

int CClientSocket::ReadLine(char* buffer, int capacity, int* length)
{
    int stored = 0;
    bool afterCr = false;
    int result;
    for (;;) {
        if (stored >= capacity - 1) {
            result = -1;
            break;
        }
        char c;
        const int received = Receive(&c, 1);
        if (received < 0) {
            result = -2;
            break;
        }
        if (received == 0) {
            result = -3;
            break;
        }
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
    if (capacity > 0)
        buffer[stored] = '\0';
    if (length)
        *length = stored;
    return result;
}

int CClientSocket::Close()
{
    std::lock_guard guard(m_lock);
    if (m_socket < 0)
        return 1;
    int result = 1;
    if (shutdown(m_socket, SHUT_RDWR) != 0 && errno != ENOTCONN) {
        TheLog().WriteLine("%s Failed to shutdown socket [%d]", GetSystemErrorText(errno).c_str(), m_socket);
        result = 0;
    }
    if (close(m_socket) != 0) {
        TheLog().WriteLine("%s Failed to closesocket [%d]", GetSystemErrorText(errno).c_str(), m_socket);
        result = 0;
    }
    m_socket = -1;
    return result;
}
