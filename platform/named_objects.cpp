#include "platform/named_objects.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "platform/file_system.h"

namespace {

// Peers that connect and write nothing (probes of Exists) are dropped beyond this many.
constexpr std::size_t kMaxPendingPeers = 16;

volatile std::sig_atomic_t g_stopSignalled = 0;
// The handler writes here so that a poll in progress wakes up; the byte is never read, so every
// later wait sees it too.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int)
{
    const int saved = errno;
    g_stopSignalled = 1;
    if (g_signalPipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    }
    errno = saved;
}

// A socket address for `path`. sun_path holds only 107 bytes; a longer path is reached through
// its folder's descriptor ("/proc/self/fd/N/name"), which the caller closes after bind or connect.
bool MakeAddress(const std::string& path, sockaddr_un& address, int& folderFd)
{
    folderFd = -1;
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::string target = path;
    if (target.size() >= sizeof address.sun_path) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            errno = ENAMETOOLONG;
            return false;
        }
        folderFd = open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0)
            return false;
        target = "/proc/self/fd/" + std::to_string(folderFd) + path.substr(slash);
        if (target.size() >= sizeof address.sun_path) {
            close(folderFd);
            folderFd = -1;
            errno = ENAMETOOLONG;
            return false;
        }
    }
    std::memcpy(address.sun_path, target.c_str(), target.size() + 1);
    return true;
}

// A connected client socket, -1 (errno kept) when nobody listens at `path`.
int ConnectTo(const std::string& path)
{
    sockaddr_un address;
    int folderFd;
    if (!MakeAddress(path, address, folderFd))
        return -1;
    // Non-blocking: a listener that has stopped accepting (a hung or stopped server) fills its
    // queue, and a blocking connect would then wait for it without end; EAGAIN says so instead.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        fd = -1;
        errno = saved;
    }
    if (folderFd >= 0)
        close(folderFd);
    return fd;
}

void CloseKeepingErrno(int fd)
{
    const int saved = errno;
    close(fd);
    errno = saved;
}

}  // namespace

CSingleInstanceLock::~CSingleInstanceLock()
{
    Release();
}

CSingleInstanceLock::Result CSingleInstanceLock::Acquire(const std::string& folder, const std::string& name)
{
    Release();
    const std::string path = folder + "/" + name + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return kFailed;
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const Result result = errno == EWOULDBLOCK ? kHeldElsewhere : kFailed;
        CloseKeepingErrno(fd);
        return result;
    }
    m_fd = fd;
    return kAcquired;
}

std::string CSingleInstanceLock::DescribeFailure(const std::string& folder, const std::string& name, int error)
{
    return "Failed to lock " + folder + "/" + name +
           ".lock, which keeps a second copy from starting: " + GetSystemErrorText(error);
}

void CSingleInstanceLock::Release()
{
    if (m_fd >= 0) {
        close(m_fd);  // closing the last descriptor of the open file drops the lock
        m_fd = -1;
    }
}

CStopEvent::~CStopEvent()
{
    Close();
}

bool CStopEvent::Bind(const std::string& path)
{
    Close();
    // Only a socket is taken for a stale event; anything else at the path is someone's file.
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            errno = EEXIST;
            return false;
        }
        if (unlink(path.c_str()) != 0)
            return false;
    }
    sockaddr_un address;
    int folderFd;
    if (!MakeAddress(path, address, folderFd))
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (folderFd >= 0)
        CloseKeepingErrno(folderFd);
    ok = ok && chmod(path.c_str(), 0660) == 0;
    if (!ok) {
        if (fd >= 0) {
            CloseKeepingErrno(fd);
            const int saved = errno;
            unlink(path.c_str());
            errno = saved;
        }
        return false;
    }
    m_listener = fd;
    m_path = path;
    return true;
}

bool CStopEvent::Listen()
{
    if (m_listener < 0) {
        errno = EBADF;
        return false;
    }
    return listen(m_listener, SOMAXCONN) == 0;
}

CStopEvent::WaitResult CStopEvent::Wait(int milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (m_set || g_stopSignalled) {
            m_set = true;
            return kSet;
        }
        std::vector<pollfd> fds;
        fds.push_back({g_signalPipe[0], POLLIN, 0});  // a negative descriptor is ignored by poll
        fds.push_back({m_listener, POLLIN, 0});
        for (int peer : m_peers)
            fds.push_back({peer, POLLIN, 0});
        int timeout = -1;
        if (milliseconds >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        const int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return kFailed;
        }
        if (ready == 0)
            return kTimeout;
        if (fds[0].revents != 0) {
            m_set = true;
            continue;
        }
        std::vector<bool> readable;
        for (std::size_t i = 2; i < fds.size(); ++i)
            readable.push_back(fds[i].revents != 0);
        ReadPeers(readable);
        if (fds[1].revents != 0)
            AcceptPending();
    }
}

void CStopEvent::ReadPeers(const std::vector<bool>& readable)
{
    // Walk backwards so that dropping a peer does not shift the ones still to be read.
    for (std::size_t i = readable.size(); i-- > 0;) {
        if (!readable[i])
            continue;
        char byte;
        const ssize_t got = recv(m_peers[i], &byte, 1, MSG_DONTWAIT);
        if (got > 0)
            m_set = true;
        if (got >= 0 || (errno != EAGAIN && errno != EINTR))
            DropPeer(i);
    }
}

void CStopEvent::AcceptPending()
{
    for (;;) {
        const int peer = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (peer < 0)
            return;
        if (m_peers.size() >= kMaxPendingPeers)
            DropPeer(0);
        m_peers.push_back(peer);
    }
}

void CStopEvent::DropPeer(std::size_t index)
{
    close(m_peers[index]);
    m_peers.erase(m_peers.begin() + static_cast<std::ptrdiff_t>(index));
}

void CStopEvent::Close()
{
    while (!m_peers.empty())
        DropPeer(m_peers.size() - 1);
    if (m_listener >= 0) {
        close(m_listener);
        m_listener = -1;
        unlink(m_path.c_str());
    }
}

bool CStopEvent::Set(const std::string& path)
{
    const int fd = ConnectTo(path);
    if (fd < 0)
        return false;
    const char byte = 1;
    ssize_t sent;
    do {
        sent = send(fd, &byte, 1, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    CloseKeepingErrno(fd);
    return sent == 1;
}

bool CStopEvent::Exists(const std::string& path)
{
    const int fd = ConnectTo(path);
    if (fd < 0)
        return errno == EAGAIN;  // someone listens there, though without accepting
    close(fd);
    return true;
}

pid_t CStopEvent::OwnerProcess(const std::string& path)
{
    const int fd = ConnectTo(path);
    if (fd < 0)
        return 0;
    ucred owner{};
    socklen_t length = sizeof owner;
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &owner, &length) == 0;
    close(fd);
    return known ? owner.pid : 0;
}

bool CatchStopSignals()
{
    if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action
    {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Other threads' system calls go on undisturbed; only the stop event's poll needs to wake.
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0)
        return false;
    // A parent may have started the program with the signals blocked; they would then never stop
    // it. One that is already pending is delivered here and kept.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    return pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr) == 0;
}
