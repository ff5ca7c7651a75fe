// CClientSocket: twConsole's plain TCP client to a running twServer, one console command per
// connection. Waits are bounded by select-style polls with the socket's time-out; failures are
// written to the console's log and returned as 0 or a negative number.
#pragma once

#include <mutex>
#include <string>

class CClientSocket {
public:
    CClientSocket() = default;
    ~CClientSocket();
    CClientSocket(const CClientSocket&) = delete;
    CClientSocket& operator=(const CClientSocket&) = delete;

    // A dotted address (empty or only digits and dots) or a host name; 1, or 0 after logging.
    int Connect(const std::string& host, int port);
    // Above 0: every later wait for the peer is bounded by that many seconds. 1, or 0 after logging.
    int SetTimeout(int seconds);
    // One receive: a byte count, 0 when the peer closed, -1 on failure (a time-out is logged).
    int Receive(char* buffer, int size);
    // One send: the bytes sent, -1 on failure.
    int Send(const char* data, int length);
    // Sends everything (length -1: up to the terminating zero) in pieces of at most 2,048,000
    // bytes: 1, or 0 at the first failure.
    int SendAll(const char* data, int length = -1);
    // Reads one CR LF line into `buffer` (zero-terminated): its length without CR LF; -1 when
    // capacity - 1 bytes came without a line end; -2 on failure; -3 when the peer closed first.
    // A CR followed by anything but LF is dropped with that byte; a lone LF is kept.
    int ReadLine(char* buffer, int capacity, int* length = nullptr);
    // Closing twice is harmless; any thread may close. 1, or 0 when a failure was logged.
    int Close();

    bool IsOpen() const { return m_socket >= 0; }

private:
    enum class Wait { kReady, kTimeout, kFailed };
    Wait WaitUntilReady(short events) const;
    int TransferOnce(bool receiving, char* buffer, int size);
    int Transfer(bool receiving, char* buffer, int size);

    int m_socket = -1;
    int m_timeout = 0;
    std::mutex m_lock;  // serialises Close
};
