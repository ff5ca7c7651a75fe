// Helpers for the socket and pool tests: a plain POSIX client that plays the peer over loopback,
// with the shared log capture and bounded wait.
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

#include "tests/support/log_capture.h"
#include "tests/support/wait_for.h"

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
