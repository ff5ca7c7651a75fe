// The owner of the programs that CChildProcess objects leave running: one thread for all of
// them reaps each when it ends, so none lingers as a zombie and no thread is spent per program.
// The thread starts with the first program handed over and waits on the end of every program at
// once (a pidfd each; where the kernel gives none it looks again every 100 ms), and on an
// eventfd that tells it of programs handed over since.
//
// Lock order: the reaper's lock is taken alone.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <thread>
#include <vector>

class CChildReaper
{
public:
    // The one reaper of the process.
    static CChildReaper& Instance();

    // Takes the running child `pid` and its pidfd (-1 when there is none; closed by the reaper).
    // Without a thread (the system refused one) the program stays listed and the next hand-over
    // tries again to start it.
    void Adopt(pid_t pid, int pidfd);

    // The programs handed over that have not been reaped yet.
    int PendingCount() const;

private:
    struct CChild
    {
        pid_t pid;
        int pidfd;
    };

    CChildReaper();
    // Stops and joins the thread at the process's end; programs still running are then left to
    // the system, which adopts them when the process exits.
    ~CChildReaper();
    CChildReaper(const CChildReaper&) = delete;
    CChildReaper& operator=(const CChildReaper&) = delete;

    void Run();
    void Wake();
    // Under m_lock: reaps the programs that have ended and drops them from the list.
    void ReapEnded();

    const int m_wake;  // eventfd
    mutable std::mutex m_lock;
    // m_lock guards the fields below it.
    std::vector<CChild> m_children;
    bool m_stop = false;
    std::thread m_thread;
};
