#include "webserver/server_thread.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <utility>

#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/ssp_date_time.h"
#include "network/tls_server.h"

namespace {

constexpr int kMsgServerThreadExit = 12;  // "Failed to wait for server thread to exit. ..."

}  // namespace

void CIdleSignal::Note()
{
    std::lock_guard lock(m_lock);
    ++m_count;
    m_changed.notify_all();
}

std::uint64_t CIdleSignal::Count() const
{
    std::lock_guard lock(m_lock);
    return m_count;
}

void CIdleSignal::WaitForChange(std::uint64_t seen, int milliseconds) const
{
    ++m_waiters;
    {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return m_count != seen; });
    }
    --m_waiters;
}

CAcceptSource::CAcceptSource(CTcpSocket& listening, bool secure) : m_listening(&listening), m_secure(secure)
{}

bool CAcceptSource::TryAccept(CTcpSocket& out)
{
    std::shared_lock lock(m_lock);
    if (!m_listening || !m_listening->TryAccept(out))
        return false;
    out.SetTls(m_secure);
    return true;
}

void CAcceptSource::Close()
{
    std::lock_guard lock(m_lock);
    m_listening = nullptr;
}

CServerThread::CServerThread(CServerThreadPool& pool, std::shared_ptr<CConnectionHandler> handler,
                             std::shared_ptr<CIdleSignal> idle, unsigned generation)
    : m_pool(pool), m_handler(std::move(handler)), m_idle(std::move(idle)), m_generation(generation)
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

bool CServerThread::IsEndingCut() const
{
    std::lock_guard lock(m_lock);
    return m_busy && m_cut;
}

bool CServerThread::SetIdle()
{
    bool wasBusy;
    {
        std::lock_guard lock(m_lock);
        m_statusText.clear();
        wasBusy = m_busy;
        m_busy = false;
        m_awaitingRequest = false;
    }
    m_idle->Note();
    return wasBusy;
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
    // Under load the next connection is often waiting already: serving it at once saves the
    // listener's hand-over and this thread's sleep and wake-up.
    do
        Serve();
    while (m_pool.TakeNextConnection(*this));
    m_source.reset();
    SetIdle();
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
{}

CServerThreadPool::~CServerThreadPool()
{
    StopAll();
}

std::shared_ptr<CServerThread> CServerThreadPool::AssignConnection(CTcpSocket& accepted,
                                                                   std::shared_ptr<CAcceptSource> source)
{
    using Clock = std::chrono::steady_clock;
    // The thread whose connection was cut for this one. While it is still ending its request no
    // other connection is cut: one newcomer costs one waiting client, however slowly that one ends.
    std::shared_ptr<CServerThread> cut;
    Clock::time_point deadline;
    for (int cuts = 0;;) {
        // Until when the wait below may last: the cut thread's room wait, or the time when the
        // longest waiting connection may be cut.
        Clock::time_point waitUntil;
        // Read before the claim, so that a thread turning idle after it ends the wait below at once.
        const std::uint64_t idleSeen = m_idle->Count();
        bool cutNow = false;
        {
            std::lock_guard lock(m_lock);
            bool failed = false;
            if (std::shared_ptr<CServerThread> chosen = ClaimThread(failed)) {
                HandOver(*chosen, accepted, std::move(source));
                return chosen;
            }
            if (failed)
                return nullptr;
            if (!cut || !cut->IsEndingCut()) {
                // No cut yet, or the thread it freed went to another listener's connection first.
                Clock::time_point cuttableAt = Clock::time_point::max();
                cut = cuts < kMaxCutsPerConnection ? CutLongestWaiting(cuttableAt) : nullptr;
                if (!cut && cuttableAt == Clock::time_point::max()) {
                    m_refusals.Note();
                    return nullptr;
                }
                if (cut) {
                    ++cuts;
                    cutNow = true;
                    deadline = Clock::now() + std::chrono::milliseconds(kRoomWaitMilliseconds);
                }
                waitUntil = cut ? deadline : cuttableAt;
            } else if (Clock::now() >= deadline) {
                m_refusals.Note();
                return nullptr;
            } else {
                waitUntil = deadline;
            }
        }
        if (cutNow)
            m_cuts.Note();
        // A thread that ends its request turns idle, the cut one among them once it finds its
        // connection closed.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(waitUntil - Clock::now()).count();
        m_idle->WaitForChange(idleSeen, static_cast<int>(std::max<decltype(left)>(left, 0)));
    }
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
    auto created = std::make_shared<CServerThread>(*this, m_handler, m_idle, m_generation);
    created->m_busy = true;
    if (!created->Start()) {
        TheLog().WriteLine("Failed to create new server thread");
        failed = true;
        return nullptr;
    }
    m_threads.push_back(created);
    return created;
}

bool CServerThreadPool::TakeNextConnection(CServerThread& thread)
{
    if (!thread.m_source || m_idle->HasWaiters() || thread.IsEndingCut())
        return false;
    CTcpSocket accepted;
    if (!thread.m_source->TryAccept(accepted))
        return false;
    std::lock_guard lock(m_lock);
    if (thread.m_generation != m_generation) {
        // The pool has stopped since the request began; the client sees its connection closed.
        accepted.Close();
        return false;
    }
    HandOver(thread, accepted, thread.m_source);
    return true;
}

void CServerThreadPool::HandOver(CServerThread& thread, CTcpSocket& accepted, std::shared_ptr<CAcceptSource> source)
{
    thread.m_source = std::move(source);
    {
        std::lock_guard threadLock(thread.m_lock);
        thread.m_statusText.clear();
        thread.m_startTime = static_cast<std::int64_t>(std::time(nullptr));
        thread.m_handedOver = std::chrono::steady_clock::now();
        thread.m_awaitingRequest = true;
        thread.m_cut = false;
    }
    thread.m_currentEngine.ClearDisconnect();
    CTcpSocket& connection = thread.m_connection;
    connection.Attach(accepted.Detach(), thread.GetThreadId());
    connection.SetPeer(accepted.GetPeer());
    connection.SetTls(accepted.IsTls());
}

std::shared_ptr<CServerThread> CServerThreadPool::CutLongestWaiting(std::chrono::steady_clock::time_point& cuttableAt)
{
    const auto minimumWait = std::chrono::milliseconds(kCutAfterMilliseconds);
    for (;;) {
        std::shared_ptr<CServerThread> longest;
        auto since = std::chrono::steady_clock::time_point::max();
        for (const auto& thread : m_threads) {
            std::lock_guard threadLock(thread->m_lock);
            if (thread->m_busy && thread->m_awaitingRequest && !thread->m_cut && thread->m_handedOver < since) {
                longest = thread;
                since = thread->m_handedOver;
            }
        }
        if (!longest)
            return nullptr;
        if (std::chrono::steady_clock::now() - since < minimumWait) {
            cuttableAt = since + minimumWait;
            return nullptr;
        }
        // The request may have arrived since the look above; the flag is checked again under the
        // lock that SetRequestReceived takes, so a request that has arrived is never cut.
        std::lock_guard threadLock(longest->m_lock);
        if (!longest->m_busy || !longest->m_awaitingRequest || longest->m_cut)
            continue;
        longest->m_cut = true;
        // From this thread Close only shuts the connection down; its owner closes the descriptor.
        longest->m_connection.Close();
        return longest;
    }
}

int CServerThreadPool::StopAll()
{
    // Take the threads out first: the waits below must not hold the pool lock, which a thread
    // answering a console command may need before it can end.
    std::vector<std::shared_ptr<CServerThread>> threads;
    {
        std::lock_guard lock(m_lock);
        threads.swap(m_threads);
        ++m_generation;
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
        // The peer is set by AssignConnection under the pool lock, which is held here.
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
