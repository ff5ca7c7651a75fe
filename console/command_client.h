// twConsole's side of the console commands: one command per connection to the running twServer,
// sent over the engine's own socket without TLS. The commands' texts are built here only.
// RunConsoleCommand does one command on the calling thread; CCommandClient runs them one at a
// time on a thread of its own, so that the window never waits for the server. The status view
// and the requests dialog use it through CCommandRunner (console/command_runner.h).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "network/tcp_socket.h"

// Each wait for the server during a command is bounded by this many seconds.
constexpr int kCommandTimeoutSeconds = 30;
// No single send hands the system more than this many bytes of a command.
constexpr int kCommandSendPiece = 2048000;

// Connects `socket` to the server at `address`:`port` and bounds its later waits by
// `timeoutSeconds`. A failed receive or send of the command is then not logged: the console shows
// each log line in a message box, and its callers tell of a failed command themselves. 1, or 0
// after the failure to connect was logged.
[[nodiscard]] int ConnectForCommand(CTcpSocket& socket, const std::string& address, int port,
                                    int timeoutSeconds = kCommandTimeoutSeconds);

// A reply line longer than this is taken as a broken reply (no server line comes near it).
constexpr std::size_t kMaxReplyLine = 1048576;

// Reads the lines of the server's reply, whatever their length. Its own wait for each piece
// tells a server that does not answer within the time-out from one that failed, without a line
// in the log.
class CReplyReader
{
public:
    enum class Result
    {
        kLine,      // `line` holds the next line without its line end (empty: the reply's end)
        kBroken,    // the connection failed or closed first, or the line passed kMaxReplyLine
        kNoAnswer,  // nothing came within the time-out
    };

    CReplyReader(CTcpSocket& socket, int timeoutSeconds) : m_socket(socket), m_timeoutSeconds(timeoutSeconds) {}
    Result Next(std::string& line);

private:
    CTcpSocket& m_socket;
    int m_timeoutSeconds;
    std::string m_pending;
};

// Sends all of `command`, in pieces of at most kCommandSendPiece bytes: 1, or 0 at the first
// failure.
[[nodiscard]] int SendCommand(CTcpSocket& socket, const std::string& command);

// One console command: its text and whether the server answers it with lines ending in a blank
// line.
struct CConsoleCommand
{
    std::string text;
    bool hasReply = false;
    // How long the server may take to answer.
    int timeoutSeconds = kCommandTimeoutSeconds;

    // The rows of the status view: one line per server component and task.
    static CConsoleCommand GetTask();
    // The requests being served, then the "watermark" line.
    static CConsoleCommand GetReq();
    // Runs the task `task` in the background now; the reply says why it did not, when it did not.
    static CConsoleCommand RunNow(int task);
    // Cuts off the connection that the thread `threadId` serves.
    static CConsoleCommand Disconnect(int threadId);
};

// What came of one command. A reply that broke off keeps the lines read before.
struct CCommandReply
{
    enum class Status
    {
        kDone,
        kConnectFailed,
        kSendFailed,
        kNoAnswer  // the server took the command and said nothing within the time-out
    };
    Status status = Status::kDone;
    std::vector<std::string> lines;
};

// Connects, sends `command` whole and, for a command with a reply, reads its lines up to the
// blank line. `socket` is the caller's so that another thread can cut a wait short (Close).
CCommandReply RunConsoleCommand(CTcpSocket& socket, const std::string& address, int port,
                                const CConsoleCommand& command);

// Runs one console command at a time on a thread of its own and hands the reply to a callback
// on that thread. Destroying the client cuts the command in flight short (its socket is shut
// down, which wakes the thread from any wait) and waits for its thread, so no callback runs
// after the destructor has returned and a destroyed window is never called back.
class CCommandClient
{
public:
    using Done = std::function<void(CCommandReply reply)>;

    CCommandClient() = default;
    ~CCommandClient();
    CCommandClient(const CCommandClient&) = delete;
    CCommandClient& operator=(const CCommandClient&) = delete;

    // Starts `command` and calls `done` with its reply from the client's thread; false, and
    // nothing started, while a command is still in flight. `done` must not start the next
    // command itself: it hands the reply on (CCommandRunner posts it to the window's thread).
    [[nodiscard]] bool Start(const std::string& address, int port, CConsoleCommand command, Done done);
    // True from Start until the reply is complete, which is just before `done` is called: the
    // thread that `done` hands the reply to may start the next command at once.
    bool Busy() const;
    // Gives up the command in flight: its wait is cut short, and `done` is not called. Returns
    // once the thread has let go of the socket, so that the next command can start.
    void Cancel();

private:
    void Run(const std::string& address, int port, const CConsoleCommand& command, const Done& done);

    // m_lock guards m_busy and m_cancelled; m_finished tells Cancel that the thread has given up
    // its socket. The socket belongs to the command's thread; Cancel only shuts it down
    // (CTcpSocket::Close from another thread).
    mutable std::mutex m_lock;
    std::condition_variable m_finished;
    bool m_busy = false;
    bool m_cancelled = false;
    CTcpSocket m_socket;
    std::thread m_thread;
};
