// Server threads serve accepted connections, one at a time each and at most kMaxThreads at once.
// The listener hands each connection to CServerThreadPool, which gives it to an idle thread or
// starts a new one; what a thread does with the connection is the program's CConnectionHandler.
// A connection that has not yet sent its whole request must not keep a new client out: when every
// thread is busy, the pool cuts the one that has waited longest for its request and gives its
// thread to the newcomer. Only when every thread serves a request is a new connection refused.
//
// A thread that ends a request takes the next connection already waiting at its listener itself
// (CAcceptSource) and stays busy; it turns idle only when none waits.
//
// Lock order: the pool's lock, then a server thread's own lock, then the connection's lock or the
// thread's current-engine slot. A server thread takes only its own lock while it serves; it takes
// the pool's only between two connections, to hand itself the next.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "language/current_engine.h"
#include "network/tcp_socket.h"
#include "platform/message_thread.h"
#include "webserver/log_throttle.h"

class CServerThread;

// Tells a listener that waits for room when a server thread turns idle. Threads and the pool
// share it, so that a thread given up at a stop never reaches the pool it has outlived.
class CIdleSignal
{
public:
    void Note();
    // The number of times a thread turned idle.
    std::uint64_t Count() const;
    // Waits until the count differs from `seen`, at most `milliseconds`.
    void WaitForChange(std::uint64_t seen, int milliseconds) const;
    // True while a listener waits for a thread to turn idle: threads that end a request then turn
    // idle rather than take the next connection themselves.
    bool HasWaiters() const { return m_waiters.load(std::memory_order_relaxed) > 0; }

private:
    // m_lock guards m_count; it is taken alone.
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::uint64_t m_count = 0;
    mutable std::atomic<int> m_waiters{0};
};

// A listener's socket, shared with the threads it hands connections to: a thread that has ended
// its request takes the next connection already waiting there itself, so that under load a
// connection needs neither the listener nor a sleeping thread woken. The listener closes the
// source before it closes the socket, so a thread never accepts on a descriptor freed meanwhile.
class CAcceptSource
{
public:
    CAcceptSource(CTcpSocket& listening, bool secure);
    // Accepts a waiting connection into `out`, marked TLS for a secure listener; false when none
    // waits or the source is closed.
    bool TryAccept(CTcpSocket& out);
    void Close();

private:
    // Shared while a thread accepts, exclusive to close.
    std::shared_mutex m_lock;
    CTcpSocket* m_listening;
    const bool m_secure;
};

// The work a server thread does for one connection, installed by the program.
class CConnectionHandler
{
public:
    virtual ~CConnectionHandler() = default;
    // Runs on `thread` for its connection (thread.GetConnection()). Afterwards the thread closes
    // the connection and becomes idle, whatever happened here.
    virtual void ServeConnection(CServerThread& thread) = 0;
    // Runs on the stopping thread when `thread` did not end in time after StopAll: logs where its
    // current work hangs. An exception thrown here is logged and ignored.
    virtual void LogHangPosition(CServerThread& thread) { (void)thread; }
};

class CServerThreadPool;

class CServerThread final : public CMessageThread
{
public:
    // The message that tells the thread to serve the connection it was handed.
    static constexpr unsigned kServeRequest = kThreadMessageApp + 1;

    CServerThread(CServerThreadPool& pool, std::shared_ptr<CConnectionHandler> handler,
                  std::shared_ptr<CIdleSignal> idle, unsigned generation);

    // Takes the idle thread for a new connection: false when it is busy.
    bool Claim();
    bool IsBusy() const;
    // Marks the thread idle and clears its status text; true when it was busy.
    bool SetIdle();
    // What the thread is doing, for the console: the text (null counts as empty) followed by
    // " (https)" or " (http)" after the connection's kind.
    void SetStatusText(const char* text);
    std::string GetStatusText() const;
    // Seconds since 1970 at which the current or latest connection was handed over.
    std::int64_t GetStartTime() const;
    // The handler tells that the whole request has arrived: from now on the thread serves it and
    // is never cut to make room. False when the pool cut the connection first; the handler then
    // drops the request.
    bool SetRequestReceived();

    // For a connection the thread will never read because it has ended: closes the connection
    // on the calling thread and marks the thread idle, so it never stays busy.
    void AbandonConnection();

    CServerThreadPool& GetPool() const { return m_pool; }
    // The connection being served; the thread owns it while it is busy.
    CTcpSocket& GetConnection() { return m_connection; }
    // The run the thread is in: the handler names it for each run, so that the hang log of a stuck
    // thread can say where the run stands.
    CCurrentEngine& CurrentEngine() { return m_currentEngine; }

protected:
    void OnMessage(const CThreadMessage& message) override;
    int ExitInstance(int quitCode) override;

private:
    friend class CServerThreadPool;
    void OnServeRequest();
    void Serve();
    // True while the thread ends a request whose connection was cut to make room.
    bool IsEndingCut() const;

    CServerThreadPool& m_pool;
    const std::shared_ptr<CConnectionHandler> m_handler;
    const std::shared_ptr<CIdleSignal> m_idle;
    CTcpSocket m_connection;
    CCurrentEngine m_currentEngine;
    // The pool's stop count when the thread was made: a thread of a stopped pool takes nothing more.
    const unsigned m_generation;
    // Where the current connection came from; set at the hand-over, used only by the thread.
    std::shared_ptr<CAcceptSource> m_source;

    // m_lock guards the fields below it.
    mutable std::mutex m_lock;
    bool m_busy = false;
    std::string m_statusText;
    std::int64_t m_startTime = 0;
    // Set at the hand-over until SetRequestReceived: the connection may be cut to make room.
    bool m_awaitingRequest = false;
    bool m_cut = false;
    std::chrono::steady_clock::time_point m_handedOver;
};

class CServerThreadPool
{
public:
    static constexpr int kMaxThreads = 50;
    // How long StopAll waits for each thread after asking it to quit.
    static constexpr int kStopWaitMilliseconds = 5000;
    // How long the listener waits for a cut thread to turn idle before it refuses the connection it
    // cut for, and how many it cuts for one connection when the threads it freed go to other
    // listeners' connections first. The wait is generous: a cut thread only has to notice the
    // closed connection, but on a loaded machine that can take more than a second.
    static constexpr int kRoomWaitMilliseconds = 5000;
    static constexpr int kMaxCutsPerConnection = 3;
    // How long a connection has waited for its request before it may be cut for a newcomer. A
    // client that is still in its TLS handshake, or a request on its way, is not cut; the newcomer
    // waits for a thread to turn idle meanwhile, which under load of fast clients comes first.
    static constexpr int kCutAfterMilliseconds = 500;

    explicit CServerThreadPool(std::shared_ptr<CConnectionHandler> handler);
    // Stops every thread. A thread that hangs is left running on its own reference; it must not
    // use the pool after this.
    ~CServerThreadPool();
    CServerThreadPool(const CServerThreadPool&) = delete;
    CServerThreadPool& operator=(const CServerThreadPool&) = delete;

    // Moves the accepted connection to an idle thread, or to a new one while fewer than
    // kMaxThreads exist, or else to the thread freed by cutting the connection that has waited
    // longest for its request. Returns the thread, claimed and holding the connection, which the
    // caller then posts kServeRequest; null when no thread can take it, and the connection then
    // stays in `accepted`. Refusals and cuts are logged at most once a second, with their counts.
    // `source` is the listener's socket, from which the thread may take later connections itself.
    std::shared_ptr<CServerThread> AssignConnection(CTcpSocket& accepted,
                                                    std::shared_ptr<CAcceptSource> source = nullptr);
    // On `thread`, which has ended its request and is still busy: takes the next connection
    // waiting at the thread's source and hands it over as AssignConnection does. False when none
    // waits, a listener waits for room, the thread's connection was cut or the pool has stopped.
    bool TakeNextConnection(CServerThread& thread);
    // Asks the page runs of every thread to end at their next statement, and every later run of
    // these threads at its first: the server is stopping. A page that loops, and the pages that
    // wait for the application lock it holds, then let their threads end in time.
    void EndRuns();
    // Ends the runs (EndRuns), cuts the connections being served, tells every thread to quit and
    // waits for each. Returns 0, or -1 when a thread did not end in time (logged and left to
    // itself). The list is empty afterwards; refusals and cuts not yet logged are logged.
    int StopAll();
    // The number of threads in the list: the most connections served at once since the last
    // StopAll.
    int GetThreadCount() const;

    // The console's request list: "<peer>*<thread id>*<start>*<status>\r\n" for every busy thread
    // but `asking` (the one that answers the console), then "watermark*<thread count>\r\n\r\n".
    std::string FormatRequestList(const CServerThread* asking) const;
    // Cuts the connection of every busy thread whose id is `threadId`; that thread then finds its
    // connection closed and ends its request, and a page it runs ends at its next statement.
    // Returns how many were cut.
    int DisconnectById(pid_t threadId);

private:
    // Under m_lock: an idle thread claimed, or a new one started. `failed` tells that a thread
    // could not be started.
    std::shared_ptr<CServerThread> ClaimThread(bool& failed);
    void HandOver(CServerThread& thread, CTcpSocket& accepted, std::shared_ptr<CAcceptSource> source);
    // Under m_lock: cuts the connection that has waited longest for its request, once it has
    // waited kCutAfterMilliseconds, and returns its thread. Null when it has not waited that long
    // yet, with `cuttableAt` the time when it will have; null with time_point::max() there when
    // every busy thread serves a request.
    std::shared_ptr<CServerThread> CutLongestWaiting(std::chrono::steady_clock::time_point& cuttableAt);

    const std::shared_ptr<CConnectionHandler> m_handler;
    // m_lock guards m_threads. Threads are appended and only ever removed all together.
    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<CServerThread>> m_threads;
    // How often StopAll ran; guarded by m_lock.
    unsigned m_generation = 0;

    const std::shared_ptr<CIdleSignal> m_idle = std::make_shared<CIdleSignal>();

    CLogThrottle m_refusals{"New connection request denied: all 50 server threads are serving requests. Refused since "
                            "the last such line:"};
    CLogThrottle m_cuts{"All 50 server threads were busy: connections that had not sent a complete request were closed "
                        "to make room. Closed since the last such line:"};
};
