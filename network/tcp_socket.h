// CTcpSocket is the one TCP socket of the engine and of twConsole: a listener's listening socket,
// a server thread's accepted connection, and the outgoing connection of the mail clients and of
// the console's commands. Every failure is logged and returned as 0 or a negative number; nothing
// is thrown. Reads go through an input buffer of the socket's own, and a CSocketLayer (TLS) can
// sit between the descriptor and that buffer. The socket knows no TLS library: the server side
// installs the factory of its TLS layer (SetTlsLayerFactory), so the console links none.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class CTcpSocket;

// What sits between a connection's descriptor and its readers and writers: the TLS session of a
// secure connection. It moves bytes with the socket's RecvRaw and SendAllRaw, so the socket's
// time-outs hold for it too. A layer belongs to one connection: Attach drops it.
class CSocketLayer
{
public:
    virtual ~CSocketLayer() = default;
    // Reads up to `size` plain bytes: the count, 0 at the end of the data, -1 after a logged error.
    [[nodiscard]] virtual int Read(CTcpSocket& socket, char* buffer, int size) = 0;
    // Takes all `length` plain bytes for sending: 1, or 0 after a logged error. The layer may hold
    // the bytes back to send them together with what follows; everything held leaves no later than
    // the connection's next wait for the peer (a read that finds nothing, WaitForInput) or its
    // close, so that what the last response of a connection leaves with the close needs no send of
    // its own.
    [[nodiscard]] virtual int Write(CTcpSocket& socket, const char* data, int length) = 0;
    // Sends what Write holds back: 1, or 0 after a logged error.
    [[nodiscard]] virtual int Flush(CTcpSocket&) { return 1; }
    // Ends the session before the descriptor is shut down (the TLS close notification).
    virtual void Shutdown(CTcpSocket& socket) = 0;
    // Drops the input that has arrived and not been read, without waiting for more. This one
    // drops the descriptor's pending bytes as they are; a layer with state of its own overrides it.
    virtual void DrainInput(CTcpSocket& socket);
    // True when bytes have arrived that the layer holds and has not handed out yet, so that a
    // reader needs no wait on the descriptor for them.
    virtual bool HasBufferedInput() const { return false; }
    // As Read, without waiting: what has arrived goes as far as it can (a TLS handshake included),
    // and kNothingArrived says that the rest is still to come.
    static constexpr int kNothingArrived = -2;
    [[nodiscard]] virtual int ReadArrived(CTcpSocket& socket, char* buffer, int size) = 0;
};

// One thread uses a socket at a time: the owner, the thread that created or attached the
// descriptor. Close may be called from any thread; on another thread it only shuts the
// connection down, which wakes the owner from accept, recv or send, and the owner closes the
// descriptor. So a descriptor number is never freed while its owner may still use it.
class CTcpSocket
{
public:
    static constexpr int kInputBufferSize = 65536;
    // The largest TLS record's payload: a secure connection sends a file in pieces of this size.
    static constexpr int kFilePiece = 16384;

    CTcpSocket();
    ~CTcpSocket();
    CTcpSocket(const CTcpSocket&) = delete;
    CTcpSocket& operator=(const CTcpSocket&) = delete;

    // Takes over a descriptor for the thread `owner`; any descriptor held before is closed. The
    // time-out becomes 0, and the input buffer and the layer of a previous connection are dropped.
    void Attach(int handle, pid_t owner);
    void Attach(int handle);
    // Gives up the descriptor without closing it, with the connection's unread input and layer;
    // returns it (-1 when none).
    [[nodiscard]] int Detach();

    // Listening socket on a dotted IPv4 address; port 0 takes a free port (see GetLocalPort). The
    // accept queue is the system's largest (ListenBacklog).
    [[nodiscard]] int Listen(const std::string& address, int port);
    // On a listening socket: a connection is handed to Accept only once its first bytes have
    // arrived, or once it has been silent for about `seconds` (TCP_DEFER_ACCEPT). For a protocol
    // whose client speaks first, the accepting thread then never waits for those bytes, and a
    // client that says nothing holds no thread meanwhile. 1, or 0 when the system refused it.
    [[nodiscard]] int DeferAccept(int seconds);
    // The longest accept queue the system allows (net.core.somaxconn, else SOMAXCONN): a burst of
    // connections then waits in the kernel for the listener instead of being refused there.
    static int ListenBacklog();
    // Accepts one connection into `out`, in blocking mode, which the calling thread then owns.
    // Aborted and interrupted accepts are retried; 0 for any other failure, with errno kept for
    // the caller.
    [[nodiscard]] int Accept(CTcpSocket& out);
    // Accepts a connection that is already waiting, without blocking: 0 with errno EAGAIN when
    // none waits. Any thread may call it while the owner keeps the listening socket open. The
    // connection comes in non-blocking mode, as a time-out (SetTimeout) wants it, so that a
    // server's accepted connections need no change of mode; SetTimeout(0) makes it blocking.
    [[nodiscard]] int TryAccept(CTcpSocket& out);
    // Moves the connection of `from` (descriptor, peer, kind, layer, unread input, arrival time)
    // into this socket, for the thread `owner`; `from` holds none afterwards. A descriptor this
    // socket held before is closed.
    void TakeOver(CTcpSocket& from, pid_t owner);
    // When Accept or TryAccept took the connection.
    std::chrono::steady_clock::time_point GetArrivalTime() const { return m_arrived; }
    // Outgoing connection. The connect itself waits at most `timeoutSeconds` (a host that drops
    // packets would otherwise hold the caller for the kernel's two minutes); 1, or 0 after logging.
    static constexpr int kConnectTimeout = 30;
    [[nodiscard]] int Connect(const std::string& host, int port, int timeoutSeconds = kConnectTimeout);
    // 0 makes every call block; above 0 every wait for the peer is bounded by that many seconds.
    [[nodiscard]] int SetTimeout(int seconds);

    // One receive or send on the descriptor: a byte count, 0 when the peer closed (receive), -1
    // after a logged error or time-out.
    [[nodiscard]] int RecvRaw(char* buffer, int size);
    // One receive of what has arrived, without waiting: a byte count, 0 when the peer closed, -1
    // when nothing has arrived or the receive failed (not logged: a RecvRaw after it reports it).
    [[nodiscard]] int TryRecvRaw(char* buffer, int size);
    // As RecvRaw, for a receive that follows a message the peer must answer first: it waits for
    // the answer before it receives, which saves the receive that would find nothing yet. With
    // `atLeast` above 1 the wait lasts until that many bytes have arrived (or the peer closed),
    // for an answer that is known to be followed at once by more than its own bytes: one wake
    // then takes both instead of one each.
    [[nodiscard]] int RecvRawWhenReady(char* buffer, int size, int atLeast = 1);
    // Makes the system acknowledge what arrives next at once rather than after its delayed-ACK
    // time-out: for an answer that the peer sends in two writes, the second of which its TCP
    // stack (Nagle's algorithm) holds back until the first is acknowledged.
    void AcknowledgeAtOnce();
    [[nodiscard]] int SendRaw(const char* data, int length);
    // Sends everything: 1, or 0 after a logged error.
    [[nodiscard]] int SendAllRaw(const char* data, int length);

    // Sends through the layer when there is one. Length -1 sends up to the terminating zero.
    [[nodiscard]] int Send(const char* data, int length = -1);
    // As Send, for a response head whose body follows at once: a plain connection holds the bytes
    // back (MSG_MORE) and a secure one keeps the records, so that head and body leave together.
    [[nodiscard]] int SendMore(const char* data, int length);
    // Sends `length` bytes of the open file `fd` from `offset`: with sendfile(2) on a plain
    // connection, so the bytes never pass through the process; through the layer in pieces of
    // kFilePiece on a secure one. 1, or 0 after a logged error (a file shorter than `length` too).
    [[nodiscard]] int SendFile(int fd, std::int64_t offset, std::int64_t length);
    // Receives through the input buffer: a byte count, 0 at the end of the data, -1 on error.
    [[nodiscard]] int Recv(char* buffer, int size);
    // Receives exactly `length` bytes: 1, or 0 when the data ended or failed first.
    [[nodiscard]] int RecvExact(char* buffer, int length);
    // Reads one line that ends in CR LF into `buffer` and terminates it with a zero byte. Returns
    // the line's length without CR LF; -1 when capacity - 1 bytes were stored without reaching the
    // end of the line (the rest stays for the next call); -2 after an error; -3 when the peer
    // closed first. A CR followed by anything but LF is dropped with that byte; a lone LF is
    // stored. `length`, when given, receives the stored count in every case.
    [[nodiscard]] int ReadLine(char* buffer, int capacity, int* length = nullptr);
    // Waits until input can be read (bytes, or the peer's close) without waiting past `deadline`
    // nor the time-out: true when it can; false at the deadline or on a failure, neither logged.
    // Reading the first byte of a request and a slow body use it to judge the peer themselves.
    // What the layer holds back for sending leaves first.
    [[nodiscard]] bool WaitForInput(std::chrono::steady_clock::time_point deadline);
    // Reads what has arrived, without waiting, after the input already buffered (a TLS
    // connection's handshake goes as far as the bytes allow): for a reader that waits for a whole
    // request head without a thread of its own. kFull: the buffer holds kInputBufferSize bytes.
    enum class Arrival
    {
        kBytes,
        kNothing,
        kClosed,
        kFailed,
        kFull
    };
    Arrival ReadArrived();
    // The input received and not read yet.
    std::string_view BufferedInput() const;
    // Drops the input that has arrived and not been read, so that closing after the response
    // does not reset the connection and cut the response off.
    void DrainInput();
    // The bytes that have arrived on the descriptor and not been received yet (FIONREAD).
    int PendingInput() const;
    // True once the peer has closed its sending side or reset the connection, without waiting.
    bool HasPeerLeft() const;
    // Closes (owner) or shuts down (any other thread); see the class comment. Closing twice is
    // harmless. 1, or 0 when a failure was logged.
    int Close();

    int GetHandle() const { return m_socket; }
    // Off: a failed receive or send is returned without its "Socket error" line (time-outs are
    // still logged). twConsole shows every log line in a message box and tells of a failed command
    // itself. On by default; Attach and Connect leave it as it is.
    void SetLogSocketErrors(bool on) { m_logSocketErrors = on; }
    int GetTimeout() const { return m_timeout; }
    // Bounds every later wait by `deadline` too, until ClearDeadline, Attach or Detach: the
    // time-out alone restarts with each byte, so a peer that trickles bytes could stretch a read
    // of a request head without end.
    void SetDeadline(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }
    void ClearDeadline() { m_deadline = std::chrono::steady_clock::time_point::max(); }
    // Holds the peer to a rate when it reads what is sent: every window of `windowSeconds` in which
    // a send has to wait for the peer must take at least `minimumBytes`, else the send fails, the
    // connection's time-out or not. A window starts with this call, after each window judged, and at
    // a wait that begins once the window has ended. 0 bytes: no rate (as after Attach).
    void SetMinimumSendRate(int minimumBytes, int windowSeconds);
    // Since when a send waits for the peer to read; time_point::max() while none waits. Any thread
    // may ask, to tell a client that reads too slowly.
    std::chrono::steady_clock::time_point SendWaitingSince() const;
    // The port the descriptor is bound to, 0 when unknown.
    int GetLocalPort() const;

    // A TLS connection (accepted by a secure listener) gets its TLS layer from the installed
    // factory on its first read or write; see network/tls_server.h, which installs it. Until a
    // factory is installed a TLS connection fails every read and write rather than go plain.
    using TlsLayerFactory = std::unique_ptr<CSocketLayer> (*)();
    static void SetTlsLayerFactory(TlsLayerFactory factory);
    bool IsTls() const { return m_tls; }
    void SetTls(bool tls) { m_tls = tls; }
    void SetLayer(std::unique_ptr<CSocketLayer> layer);
    CSocketLayer* GetLayer() const { return m_layer.get(); }

    const sockaddr_in& GetPeer() const { return m_peer; }
    void SetPeer(const sockaddr_in& peer) { m_peer = peer; }
    // The peer's dotted address.
    std::string GetPeerAddress() const;

private:
    enum class WaitResult
    {
        Ready,
        Timeout,
        Failed
    };

    void AttachLocked(int handle, pid_t owner);
    int CloseLocked(bool owner);
    WaitResult WaitUntilReady(short events) const;
    WaitResult WaitUntil(short events, std::chrono::steady_clock::time_point deadline) const;
    // Waits up to the time-out until the descriptor can receive or send: false after logging the
    // time-out or failure, or for a send, a peer below the minimum rate.
    [[nodiscard]] bool AwaitReady(bool receiving);
    [[nodiscard]] bool AwaitSendable();
    void CountSent(std::int64_t bytes) { m_windowSent += bytes; }
    // The input buffer, made on first use.
    char* InputBuffer();
    // One receive or send, waiting for readiness up to the time-out; logs its failures.
    [[nodiscard]] int Transfer(bool receiving, char* buffer, int size, int sendFlags = 0);
    void LogSocketError(bool receiving, int error) const;
    [[nodiscard]] int SendAllFlagged(const char* data, int length, int sendFlags);
    [[nodiscard]] int SendFileThroughLayer(CSocketLayer& layer, int fd, std::int64_t offset, std::int64_t length);
    // Refills the empty input buffer from the layer or the descriptor; returns what the read did.
    [[nodiscard]] int FillInput();
    // The layer, made first for a TLS connection that has none yet.
    CSocketLayer* ActiveLayer();
    [[nodiscard]] int ReadSome(char* buffer, int size);

    // m_lock serialises Close with itself and with Attach, Detach and Listen, so that another
    // thread's shutdown never meets a descriptor number that is being freed or replaced. The
    // owner reads m_socket without it: only the owner ever changes m_socket.
    mutable std::mutex m_lock;
    int m_socket = -1;
    pid_t m_owner = 0;

    sockaddr_in m_peer{};
    std::chrono::steady_clock::time_point m_arrived;
    int m_timeout = 0;
    // The descriptor's O_NONBLOCK as SetTimeout set it last; empty until then.
    std::optional<bool> m_nonBlocking;
    int m_minimumSendBytes = 0;
    std::chrono::seconds m_sendWindow{0};
    std::chrono::steady_clock::time_point m_sendWindowEnd;
    std::int64_t m_windowSent = 0;
    // steady_clock ticks since its epoch while a send waits, else 0: read by other threads.
    std::atomic<std::int64_t> m_sendWaitingSince{0};
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
    bool m_tls = false;
    bool m_logSocketErrors = true;
    std::unique_ptr<CSocketLayer> m_layer;

    // Input read ahead of the callers: bytes m_inputStart..m_inputEnd-1 are unread. Allocated on
    // first read and kept, so a reused connection object reads without allocating.
    std::unique_ptr<char[]> m_input;
    int m_inputStart = 0;
    int m_inputEnd = 0;
};
