// Helpers for the socket and pool tests: a plain POSIX client that plays the peer over loopback,
// with the shared log capture and bounded wait, and the events these tests wait on: bytes that
// reached or were read by the other end, and a thread that blocks in a given system call.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/wait_for.h"

class CTestClient
{
public:
    bool closed = false;  // the server ended the connection cleanly
    bool reset = false;   // it ended with an error

    explicit CTestClient(int port) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ~CTestClient() { close(m_fd); }
    CTestClient(const CTestClient&) = delete;
    CTestClient& operator=(const CTestClient&) = delete;
    int Fd() const { return m_fd; }

    bool SendText(std::string_view text)
    {
        for (ssize_t sent; !text.empty(); text.remove_prefix(static_cast<size_t>(sent)))
            if ((sent = send(m_fd, text.data(), text.size(), MSG_NOSIGNAL)) <= 0)
                return false;
        return true;
    }

    // Waits until everything sent has reached the other end's socket: none of it is left
    // unacknowledged here, which over loopback means it lies in the receiver's queue.
    bool WaitUntilDelivered()
    {
        return WaitFor([this] {
            int unacknowledged = 0;
            return ioctl(m_fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
        });
    }

    // Waits until everything sent has been read from `peerHandle`, the other end's socket in this
    // process: what is sent next reaches its reader in a read of its own.
    bool WaitUntilRead(int peerHandle)
    {
        return WaitUntilDelivered() && WaitFor([peerHandle] {
                   int queued = 0;
                   return ioctl(peerHandle, FIONREAD, &queued) == 0 && queued == 0;
               });
    }

    // What arrives until the server ends the connection or `limit` passes.
    std::string ReadUntilClosed(std::chrono::milliseconds limit)
    {
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (char chunk[65536];;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd entry{m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                return received;
            const ssize_t got = recv(m_fd, chunk, sizeof chunk, 0);
            reset = got < 0;
            closed = got == 0;
            if (got <= 0)
                return received;
            received.append(chunk, static_cast<size_t>(got));
        }
    }

private:
    int m_fd;
};

// The descriptor of this process that holds the server's end of `client`'s connection, -1 when
// none does: a test that wants to see what the server has read from it finds it so whichever part
// of the server holds it.
inline int ServerEndOf(const CTestClient& client)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return -1;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        if (fd != client.Fd() && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
            peer.sin_family == AF_INET && peer.sin_port == local.sin_port &&
            peer.sin_addr.s_addr == local.sin_addr.s_addr)
            return fd;
    }
    return -1;
}

// The blocking calls a test waits for another thread to reach.
enum class BlockingCall
{
    Poll,
    EpollWait,
    Receive,
    Accept
};

// True while thread `tid` of this process is blocked in `call`, as /proc/self/task/<tid>/syscall
// tells (the system call's number, or "running").
inline bool IsBlockedIn(pid_t tid, BlockingCall call)
{
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    if (!(file >> number))
        return false;
    switch (call) {
    case BlockingCall::Poll:
#ifdef SYS_poll
        if (number == SYS_poll)
            return true;
#endif
        return number == SYS_ppoll;
    case BlockingCall::EpollWait:
#ifdef SYS_epoll_wait
        if (number == SYS_epoll_wait)
            return true;
#endif
        return number == SYS_epoll_pwait;
    case BlockingCall::Receive:
#ifdef SYS_recv
        if (number == SYS_recv)
            return true;
#endif
        return number == SYS_recvfrom || number == SYS_recvmsg;
    case BlockingCall::Accept:
#ifdef SYS_accept
        if (number == SYS_accept)
            return true;
#endif
        return number == SYS_accept4;
    }
    return false;
}

// Waits until thread `tid` has reached `call`: the point where a test wants to wake it or to
// feed it.
inline bool WaitUntilBlockedIn(pid_t tid, BlockingCall call)
{
    return WaitFor([=] { return IsBlockedIn(tid, call); });
}
