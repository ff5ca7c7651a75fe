// Helpers for the socket and pool tests: a capture of the program's log, a plain POSIX client
// that plays the peer over loopback, and a bounded wait for a condition.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/log.h"

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Collects the log's entries for the life of the object.
class CLogCapture {
 public:
  CLogCapture() {
    TheLog().SetCallbackMode([this](std::string_view entry) {
      std::lock_guard guard(m_lock);
      m_entries.emplace_back(entry);
    });
  }
  ~CLogCapture() { TheLog().SetFileMode(""); }

  bool Contains(std::string_view text) const {
    std::lock_guard guard(m_lock);
    for (const auto& entry : m_entries)
      if (entry.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_entries;
};

class CTestClient {
 public:
  bool closed = false;  // the server ended the connection cleanly
  bool reset = false;   // it ended with an error

  explicit CTestClient(int port) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
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

  bool SendText(std::string_view text) {
    for (ssize_t sent; !text.empty(); text.remove_prefix(static_cast<size_t>(sent)))
      if ((sent = send(m_fd, text.data(), text.size(), MSG_NOSIGNAL)) <= 0) return false;
    return true;
  }

  // What arrives until the server ends the connection or `limit` passes.
  std::string ReadUntilClosed(std::chrono::milliseconds limit) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (char chunk[65536];;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd entry{m_fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return received;
      const ssize_t got = recv(m_fd, chunk, sizeof chunk, 0);
      reset = got < 0;
      closed = got == 0;
      if (got <= 0) return received;
      received.append(chunk, static_cast<size_t>(got));
    }
  }

 private:
  int m_fd;
};
