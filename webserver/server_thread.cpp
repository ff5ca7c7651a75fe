#include "webserver/server_thread.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <utility>

#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/server_config.h"
#include "foundation/ssp_date_time.h"
#include "network/tls_server.h"
#include "webserver/ssp_response.h"

namespace {

constexpr int kMsgServerThreadExit = 12;  // "Failed to wait for server thread to exit. ..."
constexpr const char* kBusyText = "The server is busy. Please try again in a few seconds.";
// A refusal's send waits at most this long for the client.
constexpr int kRefusalSendSeconds = 1;

using SteadyClock = std::chrono::steady_clock;

}  // namespace

CServerThread::CServerThread(CServerThreadPool& pool, std::shared_ptr<CConnectionHandler> handler, unsigned generation,
                             bool console)
    : m_pool(pool), m_handler(std::move(handler)), m_generation(generation), m_console(console)
{}

bool CServerThread::Claim()
{
    std::lock_guard lock(m_lock);
    if (m_busy)
        return false;
    m_busy = true;
    return true;
}

bool CServerThread::IsBusy() const
{
    std::lock_guard lock(m_lock);
    return m_busy;
}

bool CServerThread::SetIdle()
{
    std::lock_guard lock(m_lock);
    m_statusText.clear();
    m_awaitingRequest = false;
    return std::exchange(m_busy, false);
}

void CServerThread::SetStatusText(const char* text)
{
    std::string status = text ? text : "";
    status += m_connection.IsTls() ? " (https)" : " (http)";
    std::lock_guard lock(m_lock);
    m_statusText = std::move(status);
}

std::string CServerThread::GetStatusText() const
{
    std::lock_guard lock(m_lock);
    return m_statusText;
}

std::int64_t CServerThread::GetStartTime() const
{
    std::lock_guard lock(m_lock);
    return m_startTime;
}

bool CServerThread::SetRequestReceived()
{
    std::lock_guard lock(m_lock);
    m_awaitingRequest = false;
    return !m_cut;
}

SteadyClock::time_point CServerThread::CuttableFrom() const
{
    if (!m_busy || m_cut)
        return SteadyClock::time_point::max();
    // A request body on its way, counted from the hand-over; else a send that waits for the
    // client to read, which the connection marks itself.
    if (m_awaitingRequest)
        return m_handedOver + std::chrono::milliseconds(CServerThreadPool::kCutAfterMilliseconds);
    const SteadyClock::time_point sending = m_connection.SendWaitingSince();
    if (sending == SteadyClock::time_point::max())
        return sending;
    return sending + std::chrono::milliseconds(CServerThreadPool::kStuckSendMilliseconds);
}

void CServerThread::AbandonConnection()
{
    CTcpSocket orphan;
    orphan.Attach(m_connection.Detach());
    orphan.Close();
    SetIdle();
}

int CServerThread::ExitInstance(int quitCode)
{
    ReleaseThreadTlsState();
    return quitCode;
}

void CServerThread::OnMessage(const CThreadMessage& message)
{
    if (message.message == kServeRequest)
        OnServeRequest();
}

void CServerThread::OnServeRequest()
{
    // Under load the next connection is often waiting already: serving it at once saves its
    // hand-over by message and this thread's sleep and wake-up.
    do
        Serve();
    while (m_pool.TakeNext(*this));
}

void CServerThread::Serve()
{
    // An exception must not end the thread with the connection open and the thread busy for good.
    try {
        if (m_handler)
            m_handler->ServeConnection(*this);
    } catch (const std::exception& error) {
        TheLog().WriteLine("Connection handler failed: %s", error.what());
    } catch (...) {
        TheLog().WriteLine("Connection handler failed.");
    }
    m_connection.Close();
}

CServerThreadPool::CServerThreadPool(std::shared_ptr<CConnectionHandler> handler) : m_handler(std::move(handler))
{
    m_supervisor = std::thread([this] { Supervise(); });
}

CServerThreadPool::~CServerThreadPool()
{
    StopAll();
    {
        std::lock_guard lock(m_lock);
        m_closing = true;
        m_changed.notify_all();
    }
    m_supervisor.join();
}

bool CServerThreadPool::IsConsoleCommand(std::string_view head)
{
    const std::size_t end = head.find_first_of(" \r\n");
    return head.substr(0, end).find("twConsole.") != std::string_view::npos;
}

void CServerThreadPool::Enqueue(std::unique_ptr<CTcpSocket> connection)
{
    const bool console = IsConsoleCommand(connection->BufferedInput());
    std::shared_ptr<CServerThread> thread;
    bool failed = false;
    {
        std::lock_guard lock(m_lock);
        thread = console ? ClaimConsoleThread(failed) : ClaimThread(failed);
        if (thread) {
            HandOver(*thread, *connection);
        } else if (!failed) {
            (console ? m_consoleWaiting : m_waiting).push_back(Waiting{std::move(connection), SteadyClock::now()});
            m_changed.notify_all();
            return;
        }
    }
    if (!thread) {
        m_refusals.Note();
        Refuse(*connection);
    } else if (!thread->Post(CServerThread::kServeRequest)) {
        thread->AbandonConnection();
    }
}

std::size_t CServerThreadPool::WaitingCount() const
{
    std::lock_guard lock(m_lock);
    return m_waiting.size() + m_consoleWaiting.size();
}

std::shared_ptr<CServerThread> CServerThreadPool::ClaimThread(bool& failed)
{
    for (const auto& thread : m_threads) {
        // A thread that has ended would never read the message; it stays in the list only to count.
        if (!thread->HasExited() && thread->Claim())
            return thread;
    }
    if (m_threads.size() >= static_cast<size_t>(kMaxThreads))
        return nullptr;
    std::shared_ptr<CServerThread> created = StartThread(false, failed);
    if (created)
        m_threads.push_back(created);
    return created;
}

std::shared_ptr<CServerThread> CServerThreadPool::ClaimConsoleThread(bool& failed)
{
    if (m_consoleThread && !m_consoleThread->HasExited())
        return m_consoleThread->Claim() ? m_consoleThread : nullptr;
    m_consoleThread = StartThread(true, failed);
    return m_consoleThread;
}

std::shared_ptr<CServerThread> CServerThreadPool::StartThread(bool console, bool& failed)
{
    auto created = std::make_shared<CServerThread>(*this, m_handler, m_generation, console);
    created->m_busy = true;
    if (!created->Start()) {
        TheLog().WriteLine("Failed to create new server thread");
        failed = true;
        return nullptr;
    }
    return created;
}

bool CServerThreadPool::TakeNext(CServerThread& thread)
{
    std::lock_guard lock(m_lock);
    std::deque<Waiting>& waiting = thread.m_console ? m_consoleWaiting : m_waiting;
    // A thread of a stopped pool takes nothing: StopAll has answered the waiting connections.
    if (thread.m_generation != m_generation || waiting.empty()) {
        // Under the pool lock, so that a connection that comes meanwhile finds the thread idle.
        thread.SetIdle();
        return false;
    }
    const Waiting next = std::move(waiting.front());
    waiting.pop_front();
    HandOver(thread, *next.connection);
    return true;
}

void CServerThreadPool::HandOver(CServerThread& thread, CTcpSocket& connection)
{
    {
        std::lock_guard threadLock(thread.m_lock);
        thread.m_statusText.clear();
        thread.m_startTime = static_cast<std::int64_t>(std::time(nullptr));
        thread.m_handedOver = SteadyClock::now();
        thread.m_awaitingRequest = true;
        thread.m_cut = false;
    }
    thread.m_currentEngine.ClearDisconnect();
    thread.m_connection.TakeOver(connection, thread.GetThreadId());
}

void CServerThreadPool::Supervise()
{
    std::unique_lock lock(m_lock);
    while (!m_closing) {
        if (m_waiting.empty() && m_consoleWaiting.empty())
            m_changed.wait(lock);
        else
            m_changed.wait_for(lock, std::chrono::milliseconds(kSuperviseMilliseconds));
        const SteadyClock::time_point now = SteadyClock::now();
        std::vector<std::unique_ptr<CTcpSocket>> expired;
        TakeExpired(now, expired);
        CutSlowClients(now);
        if (expired.empty())
            continue;
        lock.unlock();
        for (auto& connection : expired) {
            m_refusals.Note();
            Refuse(*connection);
        }
        lock.lock();
    }
    lock.unlock();
    ReleaseThreadTlsState();
}

void CServerThreadPool::TakeExpired(SteadyClock::time_point now, std::vector<std::unique_ptr<CTcpSocket>>& expired)
{
    const auto limit = std::chrono::seconds(TheServerConfig().m_connectionWaitLimit);
    for (std::deque<Waiting>* waiting : {&m_waiting, &m_consoleWaiting}) {
        while (!waiting->empty() && waiting->front().since + limit <= now) {
            expired.push_back(std::move(waiting->front().connection));
            waiting->pop_front();
        }
    }
}

void CServerThreadPool::CutSlowClients(SteadyClock::time_point now)
{
    const auto patience = std::chrono::milliseconds(kCutAfterMilliseconds);
    std::size_t owed = 0;
    while (owed < m_waiting.size() && m_waiting[owed].since + patience <= now)
        ++owed;
    std::vector<std::pair<SteadyClock::time_point, CServerThread*>> slow;
    for (const auto& thread : m_threads) {
        std::lock_guard threadLock(thread->m_lock);
        // A thread cut before and still ending its request takes the longest waiting connection.
        if (thread->m_busy && thread->m_cut) {
            if (owed > 0)
                --owed;
            continue;
        }
        const SteadyClock::time_point from = thread->CuttableFrom();
        if (from <= now)
            slow.emplace_back(from, thread.get());
    }
    std::sort(slow.begin(), slow.end());
    for (std::size_t i = 0; i < slow.size() && i < owed; ++i) {
        CServerThread& thread = *slow[i].second;
        std::lock_guard threadLock(thread.m_lock);
        // The request may have come since the look above: a thread that serves it is not cut.
        if (thread.CuttableFrom() > now)
            continue;
        thread.m_cut = true;
        // From this thread Close only shuts the connection down; its owner closes the descriptor.
        thread.m_connection.Close();
        m_cuts.Note();
    }
}

void CServerThreadPool::Refuse(CTcpSocket& waiting)
{
    // The connection becomes this thread's, so that its close sends a TLS close notification too.
    CTcpSocket connection;
    connection.TakeOver(waiting, CurrentThreadId());
    // A refusal that could block on a slow reader is not sent: the close alone tells the client.
    if (!connection.SetTimeout(kRefusalSendSeconds))
        return;
    // The request stays unread: dropped first, so that the close does not reset the answer.
    connection.DrainInput();
    CSspResponse response(&connection);
    response.SetStatus(CSspResponse::kStatusUnavailable);
    response.AddHeader("Retry-After: " + std::to_string(kRetryAfterSeconds));
    response.SendPlainErrorPage(kBusyText);
    connection.Close();
}

int CServerThreadPool::StopAll()
{
    // Take the threads out first: the waits below must not hold the pool lock, which a thread
    // answering a console command may need before it can end.
    std::vector<std::shared_ptr<CServerThread>> threads;
    std::vector<std::unique_ptr<CTcpSocket>> waiting;
    {
        std::lock_guard lock(m_lock);
        threads.swap(m_threads);
        if (m_consoleThread)
            threads.push_back(std::exchange(m_consoleThread, nullptr));
        TakeExpired(SteadyClock::time_point::max(), waiting);
        ++m_generation;
    }
    for (auto& connection : waiting) {
        m_refusals.Note();
        Refuse(*connection);
    }
    // Cut every connection and ask every thread to quit before waiting for any of them, so the
    // threads wind down together.
    for (const auto& thread : threads) {
        thread->CurrentEngine().EndRuns();
        if (thread->IsBusy())
            thread->m_connection.Close();
        thread->PostQuit();
    }
    m_refusals.Flush();
    m_cuts.Flush();
    int result = 0;
    for (const auto& thread : threads) {
        if (thread->WaitForExit(kStopWaitMilliseconds))
            continue;
        TheLog().WriteText(CMessageCatalog::Text(kMsgServerThreadExit));
        try {
            if (m_handler)
                m_handler->LogHangPosition(*thread);
        } catch (...) {
            TheLog().WriteLine("Failed to dump debug information.");
        }
        result = -1;
    }
    return result;
}

void CServerThreadPool::EndRuns()
{
    std::lock_guard lock(m_lock);
    for (const auto& thread : m_threads)
        thread->CurrentEngine().EndRuns();
}

int CServerThreadPool::GetThreadCount() const
{
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_threads.size());
}

std::string CServerThreadPool::FormatRequestList(const CServerThread* asking) const
{
    std::string lines;
    std::lock_guard lock(m_lock);
    for (const auto& thread : m_threads) {
        if (thread.get() == asking)
            continue;
        std::string status;
        std::int64_t startTime;
        {
            std::lock_guard threadLock(thread->m_lock);
            if (!thread->m_busy)
                continue;
            status = thread->m_statusText;
            startTime = thread->m_startTime;
        }
        // The peer is set by the hand-over under the pool lock, which is held here.
        lines += thread->m_connection.GetPeerAddress() + "*" + std::to_string(thread->GetThreadId()) + "*" +
                 CSspDateTime(startTime).GetDateTimeStr2() + "*" + status + "\r\n";
    }
    lines += "watermark*" + std::to_string(m_threads.size()) + "\r\n\r\n";
    return lines;
}

int CServerThreadPool::DisconnectById(pid_t threadId)
{
    int cut = 0;
    std::lock_guard lock(m_lock);
    for (const auto& thread : m_threads) {
        if (thread->GetThreadId() != threadId || !thread->IsBusy())
            continue;
        // From this thread Close only shuts the connection down; its owner closes the descriptor.
        thread->m_connection.Close();
        thread->CurrentEngine().Disconnect();
        ++cut;
    }
    return cut;
}
