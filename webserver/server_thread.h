// Server threads serve accepted connections, one at a time each and at most kMaxThreads at once.
// The listener hands each connection to CServerThreadPool, which gives it to an idle thread or
// starts a new one; what a thread does with the connection is the program's CConnectionHandler.
//
// Lock order: the pool's lock, then a server thread's own lock, then the connection's lock. A
// server thread takes only its own lock while it serves, never the pool's.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "language/current_engine.h"
#include "platform/message_thread.h"
#include "webserver/tcp_socket.h"

class CServerThread;

// The work a server thread does for one connection, installed by the program.
class CConnectionHandler {
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

class CServerThread final : public CMessageThread {
 public:
  // The message that tells the thread to serve the connection it was handed.
  static constexpr unsigned kServeRequest = kThreadMessageApp + 1;

  CServerThread(CServerThreadPool& pool, std::shared_ptr<CConnectionHandler> handler);

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

  CServerThreadPool& m_pool;
  const std::shared_ptr<CConnectionHandler> m_handler;
  CTcpSocket m_connection;
  CCurrentEngine m_currentEngine;

  // m_lock guards the three fields below it.
  mutable std::mutex m_lock;
  bool m_busy = false;
  std::string m_statusText;
  std::int64_t m_startTime = 0;
};

class CServerThreadPool {
 public:
  static constexpr int kMaxThreads = 50;
  // How long StopAll waits for each thread after asking it to quit.
  static constexpr int kStopWaitMilliseconds = 5000;

  explicit CServerThreadPool(std::shared_ptr<CConnectionHandler> handler);
  // Stops every thread. A thread that hangs is left running on its own reference; it must not
  // use the pool after this.
  ~CServerThreadPool();
  CServerThreadPool(const CServerThreadPool&) = delete;
  CServerThreadPool& operator=(const CServerThreadPool&) = delete;

  // Moves the accepted connection to an idle thread, or to a new one while fewer than
  // kMaxThreads exist. Returns the thread, claimed and holding the connection, which the caller
  // then posts kServeRequest; null (logged) when no thread can take it, and the connection then
  // stays in `accepted`.
  std::shared_ptr<CServerThread> AssignConnection(CTcpSocket& accepted);
  // Cuts the connections being served, tells every thread to quit and waits for each. Returns
  // 0, or -1 when a thread did not end in time (logged and left to itself). The list is empty
  // afterwards.
  int StopAll();
  // The number of threads in the list: the most connections served at once since the last
  // StopAll.
  int GetThreadCount() const;

  // The console's request list: "<peer>*<thread id>*<start>*<status>\r\n" for every busy thread
  // but `asking` (the one that answers the console), then "watermark*<thread count>\r\n\r\n".
  std::string FormatRequestList(const CServerThread* asking) const;
  // Cuts the connection of every busy thread whose id is `threadId`; that thread then finds its
  // connection closed and ends its request. Returns how many were cut.
  int DisconnectById(pid_t threadId);

 private:
  const std::shared_ptr<CConnectionHandler> m_handler;
  // m_lock guards m_threads. Threads are appended and only ever removed all together.
  mutable std::mutex m_lock;
  std::vector<std::shared_ptr<CServerThread>> m_threads;
};
