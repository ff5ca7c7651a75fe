// Server threads serve connections whose request heads have come (CConnectionReception), one at a
// time each and at most kMaxThreads at once. A connection that finds every thread busy waits in
// the pool, in the order the requests came, until a thread is free; one that has waited longer
// than the setting ConnectionWaitLimit is answered "503 Service Unavailable" with a Retry-After
// line. The console's commands have a thread of their own, so that the administrator can see and
// end what runs while every other thread is busy. While connections wait, a thread held by a slow
// client rather than by its work (a request body that trickles in, a response read slowly) is cut
// to make room, oldest first.
//
// A thread that ends a request takes the next waiting connection itself and stays busy; it turns
// idle only when none waits.
//
// Lock order: the pool's lock, then a server thread's own lock, then the connection's lock or the
// thread's current-engine slot. A server thread takes only its own lock while it serves; it takes
// the pool's only between two connections, to take the next.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "language/current_engine.h"
#include "network/tcp_socket.h"
#include "platform/message_thread.h"
#include "webserver/log_throttle.h"

class CServerThread;

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

    // `console`: the thread that serves only the console's commands.
    CServerThread(CServerThreadPool& pool, std::shared_ptr<CConnectionHandler> handler, unsigned generation,
                  bool console);

    // Takes the idle thread for a new connection: false when it is busy.
    [[nodiscard]] bool Claim();
    bool IsBusy() const;
    // Marks the thread idle and clears its status text; true when it was busy.
    bool SetIdle();
    // What the thread is doing, for the console: the text (null counts as empty) followed by
    // " (https)" or " (http)" after the connection's kind.
    void SetStatusText(const char* text);
    std::string GetStatusText() const;
    // Seconds since 1970 at which the current or latest connection was handed over.
    std::int64_t GetStartTime() const;
    // The handler tells that the whole request (its body too) has arrived: from now on the thread
    // is cut to make room only while the client is slow to read the response. False when the pool
    // cut the connection first; the handler then drops the request.
    [[nodiscard]] bool SetRequestReceived();

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
    // Under its own lock: when the thread may be cut to make room, its client being slow (a body
    // still on its way, a send waiting for the client to read); max() when it may not.
    std::chrono::steady_clock::time_point CuttableFrom() const;

    CServerThreadPool& m_pool;
    const std::shared_ptr<CConnectionHandler> m_handler;
    CTcpSocket m_connection;
    CCurrentEngine m_currentEngine;
    // The pool's stop count when the thread was made: a thread of a stopped pool takes nothing more.
    const unsigned m_generation;
    const bool m_console;

    // m_lock guards the fields below it.
    mutable std::mutex m_lock;
    bool m_busy = false;
    std::string m_statusText;
    std::int64_t m_startTime = 0;
    // Set at the hand-over until SetRequestReceived: the body may still be on its way.
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
    // A waiting connection that has waited this long has a slow client's thread cut for it: the
    // thread of a request whose body has taken at least as long, or of a response whose send has
    // waited kStuckSendMilliseconds for its client to read.
    static constexpr int kCutAfterMilliseconds = 500;
    static constexpr int kStuckSendMilliseconds = 250;
    // How often the pool looks at its waiting connections while any wait.
    static constexpr int kSuperviseMilliseconds = 100;
    // What a refused connection is told to wait before it asks again.
    static constexpr int kRetryAfterSeconds = 10;

    explicit CServerThreadPool(std::shared_ptr<CConnectionHandler> handler);
    // Stops every thread. A thread that hangs is left running on its own reference; it must not
    // use the pool after this.
    ~CServerThreadPool();
    CServerThreadPool(const CServerThreadPool&) = delete;
    CServerThreadPool& operator=(const CServerThreadPool&) = delete;

    // Takes a connection whose request head has come: hands it to an idle thread, or to a new one
    // while fewer than kMaxThreads exist, or else lets it wait for the next thread that ends its
    // request. A console command goes to the console's thread instead, or waits for it.
    void Enqueue(std::unique_ptr<CTcpSocket> connection);
    // The connections waiting for a thread.
    std::size_t WaitingCount() const;
    // True when a request head names a console command: its first word holds "twConsole.".
    static bool IsConsoleCommand(std::string_view head);

    // Asks the page runs of every thread to end at their next statement, and every later run of
    // these threads at its first: the server is stopping. A page that loops, and the pages that
    // wait for the application lock it holds, then let their threads end in time.
    void EndRuns();
    // Ends the runs (EndRuns), answers the waiting connections "503 Service Unavailable", cuts the
    // connections being served, tells every thread to quit and waits for each. Returns 0, or -1
    // when a thread did not end in time (logged and left to itself). The list is empty afterwards;
    // refusals and cuts not yet logged are logged.
    int StopAll();
    // The number of threads in the list: the most connections served at once since the last
    // StopAll. The console's thread is not counted.
    int GetThreadCount() const;

    // The console's request list: "<peer>*<thread id>*<start>*<status>\r\n" for every busy thread
    // but `asking` (the one that answers the console), then "watermark*<thread count>\r\n\r\n".
    std::string FormatRequestList(const CServerThread* asking) const;
    // Cuts the connection of every busy thread whose id is `threadId`; that thread then finds its
    // connection closed and ends its request, and a page it runs ends at its next statement.
    // Returns how many were cut.
    int DisconnectById(pid_t threadId);

private:
    friend class CServerThread;
    struct Waiting
    {
        std::unique_ptr<CTcpSocket> connection;
        std::chrono::steady_clock::time_point since;
    };

    // On `thread`, which has ended its request and is still busy: hands it the next waiting
    // connection (true), or marks it idle (false) when none waits or the pool has stopped since it
    // was made.
    [[nodiscard]] bool TakeNext(CServerThread& thread);
    // Under m_lock: an idle thread claimed, or a new one started. `failed` tells that a thread
    // could not be started.
    std::shared_ptr<CServerThread> ClaimThread(bool& failed);
    std::shared_ptr<CServerThread> ClaimConsoleThread(bool& failed);
    std::shared_ptr<CServerThread> StartThread(bool console, bool& failed);
    void HandOver(CServerThread& thread, CTcpSocket& connection);
    // The supervisor's loop: refuses connections past the wait limit, cuts slow clients' threads.
    void Supervise();
    // Under m_lock: moves the connections that have waited past the limit to `expired`.
    void TakeExpired(std::chrono::steady_clock::time_point now, std::vector<std::unique_ptr<CTcpSocket>>& expired);
    // Under m_lock: cuts a slow client's thread for every connection that has waited
    // kCutAfterMilliseconds and has no cut thread coming for it yet.
    void CutSlowClients(std::chrono::steady_clock::time_point now);
    // Answers "503 Service Unavailable" on the calling thread and closes the connection.
    void Refuse(CTcpSocket& connection);

    const std::shared_ptr<CConnectionHandler> m_handler;
    // m_lock guards the fields below up to m_changed. Threads are appended and only ever removed all
    // together.
    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<CServerThread>> m_threads;
    std::shared_ptr<CServerThread> m_consoleThread;
    std::deque<Waiting> m_waiting;
    std::deque<Waiting> m_consoleWaiting;
    // How often StopAll ran.
    unsigned m_generation = 0;
    bool m_closing = false;
    std::condition_variable m_changed;

    CLogThrottle m_refusals{"Connections answered \"503 Service Unavailable\" after waiting longer than the "
                            "connection wait limit for a server thread. Answered since the last such line:"};
    CLogThrottle m_cuts{"All 50 server threads were busy: connections of clients that sent their requests or read "
                        "their responses too slowly were closed to make room. Closed since the last such line:"};
    // Last: it uses everything above from the constructor on.
    std::thread m_supervisor;
};
