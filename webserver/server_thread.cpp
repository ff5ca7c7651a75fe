#include "webserver/server_thread.h"

#include <ctime>
#include <exception>
#include <utility>

#include "foundation/log.h"
#include "foundation/ssp_date_time.h"
#include "webserver/tls_server.h"

CServerThread::CServerThread(CServerThreadPool& pool, std::shared_ptr<CConnectionHandler> handler)
    : m_pool(pool), m_handler(std::move(handler)) {}

bool CServerThread::Claim() {
  std::lock_guard lock(m_lock);
  if (m_busy) return false;
  m_busy = true;
  return true;
}

bool CServerThread::IsBusy() const {
  std::lock_guard lock(m_lock);
  return m_busy;
}

bool CServerThread::SetIdle() {
  std::lock_guard lock(m_lock);
  m_statusText.clear();
  const bool wasBusy = m_busy;
  m_busy = false;
  return wasBusy;
}

void CServerThread::SetStatusText(const char* text) {
  std::string status = text ? text : "";
  status += m_connection.IsTls() ? " (https)" : " (http)";
  std::lock_guard lock(m_lock);
  m_statusText = std::move(status);
}

std::string CServerThread::GetStatusText() const {
  std::lock_guard lock(m_lock);
  return m_statusText;
}

std::int64_t CServerThread::GetStartTime() const {
  std::lock_guard lock(m_lock);
  return m_startTime;
}

void CServerThread::AbandonConnection() {
  CTcpSocket orphan;
  orphan.Attach(m_connection.Detach());
  orphan.Close();
  SetIdle();
}

int CServerThread::ExitInstance(int quitCode) {
  ReleaseThreadTlsState();
  return quitCode;
}

void CServerThread::OnMessage(const CThreadMessage& message) {
  if (message.message == kServeRequest) OnServeRequest();
}

void CServerThread::OnServeRequest() {
  // An exception must not end the thread with the connection open and the thread busy for good.
  try {
    if (m_handler) m_handler->ServeConnection(*this);
  } catch (const std::exception& error) {
    TheLog().WriteLine("Connection handler failed: %s", error.what());
  } catch (...) {
    TheLog().WriteLine("Connection handler failed.");
  }
  m_connection.Close();
  SetIdle();
}

CServerThreadPool::CServerThreadPool(std::shared_ptr<CConnectionHandler> handler) : m_handler(std::move(handler)) {}

CServerThreadPool::~CServerThreadPool() { StopAll(); }

std::shared_ptr<CServerThread> CServerThreadPool::AssignConnection(CTcpSocket& accepted) {
  std::lock_guard lock(m_lock);
  std::shared_ptr<CServerThread> chosen;
  for (const auto& thread : m_threads) {
    // A thread that has ended would never read the message; it stays in the list only to count.
    if (!thread->HasExited() && thread->Claim()) {
      chosen = thread;
      break;
    }
  }
  if (!chosen) {
    if (m_threads.size() >= static_cast<size_t>(kMaxThreads)) {
      TheLog().WriteLine("New connection request denied. Number of active connection has reached 50. This could be caused by "
             "a bad ODBC driver. Make sure your ODBC driver meets requirements.");
      return nullptr;
    }
    auto created = std::make_shared<CServerThread>(*this, m_handler);
    created->m_busy = true;
    if (!created->Start()) {
      TheLog().WriteLine("Failed to create new server thread");
      return nullptr;
    }
    m_threads.push_back(created);
    chosen = std::move(created);
  }
  {
    std::lock_guard threadLock(chosen->m_lock);
    chosen->m_startTime = static_cast<std::int64_t>(std::time(nullptr));
  }
  CTcpSocket& connection = chosen->m_connection;
  connection.Attach(accepted.Detach(), chosen->GetThreadId());
  connection.SetPeer(accepted.GetPeer());
  connection.SetTls(accepted.IsTls());
  return chosen;
}

int CServerThreadPool::StopAll() {
  // Take the threads out first: the waits below must not hold the pool lock, which a thread
  // answering a console command may need before it can end.
  std::vector<std::shared_ptr<CServerThread>> threads;
  {
    std::lock_guard lock(m_lock);
    threads.swap(m_threads);
  }
  // Cut every connection and ask every thread to quit before waiting for any of them, so the
  // threads wind down together.
  for (const auto& thread : threads) {
    if (thread->IsBusy()) thread->m_connection.Close();
    thread->PostQuit();
  }
  int result = 0;
  for (const auto& thread : threads) {
    if (thread->WaitForExit(kStopWaitMilliseconds)) continue;
    TheLog().WriteLine("Failed to wait for server thread to exit. Make sure your ODBC driver meets the requirement described "
           "in tws.doc.");
    try {
      if (m_handler) m_handler->LogHangPosition(*thread);
    } catch (...) {
      TheLog().WriteLine("Failed to dump debug information.");
    }
    result = -1;
  }
  return result;
}

int CServerThreadPool::GetThreadCount() const {
  std::lock_guard lock(m_lock);
  return static_cast<int>(m_threads.size());
}

std::string CServerThreadPool::FormatRequestList(const CServerThread* asking) const {
  std::string lines;
  std::lock_guard lock(m_lock);
  for (const auto& thread : m_threads) {
    if (thread.get() == asking) continue;
    std::string status;
    std::int64_t startTime;
    {
      std::lock_guard threadLock(thread->m_lock);
      if (!thread->m_busy) continue;
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

int CServerThreadPool::DisconnectById(pid_t threadId) {
  int cut = 0;
  std::lock_guard lock(m_lock);
  for (const auto& thread : m_threads) {
    if (thread->GetThreadId() != threadId || !thread->IsBusy()) continue;
    // From this thread Close only shuts the connection down; its owner closes the descriptor.
    thread->m_connection.Close();
    ++cut;
  }
  return cut;
}
