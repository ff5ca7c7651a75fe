// The named objects that twServer and twConsole share through the installation folder: a
// program's single-instance lock and the server's stop event. Both live in <install>/tmp, so
// installations side by side never meet, and the kernel drops both with the process that holds
// them, so a crashed server leaves nothing that blocks the next start.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// One running copy of a program per installation: an exclusive flock on "<folder>/<name>.lock".
// The file itself stays; removing it would let a second process lock a new file while the first
// still holds the old one.
class CSingleInstanceLock
{
public:
    enum Result
    {
        kAcquired,
        kHeldElsewhere,
        kFailed
    };

    CSingleInstanceLock() = default;
    ~CSingleInstanceLock();
    CSingleInstanceLock(const CSingleInstanceLock&) = delete;
    CSingleInstanceLock& operator=(const CSingleInstanceLock&) = delete;

    // kHeldElsewhere when another process holds the lock; kFailed (errno kept) when the file could
    // not be opened or locked for another reason.
    [[nodiscard]] Result Acquire(const std::string& folder, const std::string& name);
    // What a kFailed of Acquire met, for the log: the lock file and the system's error text.
    static std::string DescribeFailure(const std::string& folder, const std::string& name, int error);
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The stop event of a server: a UNIX stream socket that the server binds while it runs. The
// event exists while a connect succeeds; setting it is connecting and writing one byte. Once set
// it stays set (a manual-reset event), and so does a SIGTERM or SIGINT caught by
// CatchStopSignals, so a request that comes before the wait begins is never lost.
class CStopEvent
{
public:
    enum WaitResult
    {
        kSet,
        kTimeout,
        kFailed
    };

    CStopEvent() = default;
    ~CStopEvent();
    CStopEvent(const CStopEvent&) = delete;
    CStopEvent& operator=(const CStopEvent&) = delete;

    // Binds the socket file `path` (mode 0660) and listens on it. A file left at `path` by a
    // process that died is removed first, so call it only under the program's single-instance
    // lock. False with errno kept on failure.
    [[nodiscard]] bool Create(const std::string& path) { return Bind(path) && Listen(); }
    // The two steps of Create. Until Listen the event does not exist for other programs
    // (Exists and Set answer false), so a server can claim its path before it starts and show
    // itself to the console only once it runs.
    [[nodiscard]] bool Bind(const std::string& path);
    [[nodiscard]] bool Listen();
    // Waits until the event is set or `milliseconds` have passed (-1: no limit; the server waits
    // for nothing but its stop). kFailed (errno kept) when the wait itself failed.
    [[nodiscard]] WaitResult Wait(int milliseconds = -1);
    // Stops listening and removes the socket file; a set event stays set.
    void Close();
    bool IsCreated() const { return m_listener >= 0; }

    // The other side, for the console and for tests.
    // Sets the event of the server that listens at `path`: false when none does.
    [[nodiscard]] static bool Set(const std::string& path);
    // True when a server listens at `path`.
    static bool Exists(const std::string& path);
    // The process that listens at `path` (the kernel's record of it), 0 when none does or its
    // queue is full.
    static pid_t OwnerProcess(const std::string& path);

private:
    void AcceptPending();
    void ReadPeers(const std::vector<bool>& readable);
    void DropPeer(std::size_t index);

    int m_listener = -1;
    std::string m_path;
    bool m_set = false;
    // Connections accepted but not yet written to; bounded so that idle local peers cannot make
    // the waiter hold descriptors without end.
    std::vector<int> m_peers;
};

// Makes SIGTERM and SIGINT set the stop event: from this call on, either signal ends every
// CStopEvent::Wait of the process, including waits that begin later. Unblocks both signals on the
// calling thread, so a signal that was pending since the program started is kept too. Call it
// early in main, before any thread starts. False when the handlers could not be installed.
[[nodiscard]] bool CatchStopSignals();
