#include "network/tls_server.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "network/certificate_store.h"
#include "network/tls_context.h"
#include "platform/file_system.h"

namespace {

// Guards g_credentials. A connection's session holds its processor's context, which holds the
// credentials it was built from, so freeing the credentials never pulls them from under a
// running session.
std::mutex g_credentialsLock;
std::shared_ptr<const CTlsCredentials> g_credentials;

std::atomic<bool> g_plainRequestHint{false};

// The TLS context of each processor (see tls_context.h), rebuilt when the credentials have
// changed since it was built, in the processor's library context, which stays until the
// credentials are freed: the threads that used it keep state there until they stop.
struct CProcessorSlot
{
    std::shared_ptr<OSSL_LIB_CTX> library;
    std::shared_ptr<CTlsContext> context;
};
// Guards g_processors, which is indexed by processor number; taken alone, never together with
// g_credentialsLock.
std::mutex g_processorsLock;
std::vector<CProcessorSlot> g_processors;

// Raw records are received here before they go into a session's input BIO; one buffer per
// thread serves all of its connections, one after the other.
thread_local std::unique_ptr<char[]> t_records;
constexpr int kRecordBufferSize = 32768;

std::shared_ptr<const CTlsCredentials> CurrentCredentials()
{
    std::lock_guard lock(g_credentialsLock);
    return g_credentials;
}

// The context of the processor the calling thread runs on. A thread that moves to another
// processor during a connection goes on with the context it started with; that only makes the two
// processors' threads share its locks for a while.
std::shared_ptr<CTlsContext> ProcessorContext()
{
    std::shared_ptr<const CTlsCredentials> credentials = CurrentCredentials();
    if (!credentials)
        return nullptr;
    const size_t processor = static_cast<size_t>(std::max(sched_getcpu(), 0));
    std::lock_guard lock(g_processorsLock);
    if (g_processors.size() <= processor)
        g_processors.resize(processor + 1);
    CProcessorSlot& slot = g_processors[processor];
    if (slot.context && slot.context->GetCredentials() == credentials.get())
        return slot.context;
    if (!slot.library && !(slot.library = CTlsContext::NewLibrary()))
        return nullptr;
    slot.context = CTlsContext::Build(std::move(credentials), slot.library);
    return slot.context;
}

char* ThreadRecordBuffer()
{
    if (!t_records)
        t_records = std::make_unique<char[]>(kRecordBufferSize);
    return t_records.get();
}

// The whole certificate file, read through the library so that a failure leaves its reason in
// the library's error queue like the parse failures after it.
bool ReadPemFile(const std::string& path, std::string& text)
{
    BIO* file = BIO_new_file(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char chunk[4096];
    int got;
    while ((got = BIO_read(file, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    BIO_free(file);
    return got == 0;
}

// The certificate file's text with new ticket keys: null after logging when the file can't be
// read or holds no certificate with its key.
std::shared_ptr<const CTlsCredentials> LoadCredentials(const std::string& pemFile)
{
    auto credentials = std::make_shared<CTlsCredentials>();
    if (!ReadPemFile(pemFile, credentials->pem) ||
        RAND_bytes(credentials->ticketKeys.data(), static_cast<int>(credentials->ticketKeys.size())) != 1 ||
        // Built once here, in the default library context, to refuse unusable credentials now
        // rather than on each thread's first connection.
        !CTlsContext::Build(credentials, nullptr)) {
        TheLog().WriteText(UnusableCertificateText(pemFile, TakeLibraryErrorText()));
        return nullptr;
    }
    return credentials;
}

// The TLS session of one connection. The library reads records from one memory BIO and writes
// records into another; this class moves them over the socket with its raw receive and send.
class CTlsLayer final : public CSocketLayer
{
public:
    // A session of `context`; null fails the handshake.
    explicit CTlsLayer(std::shared_ptr<CTlsContext> context);
    ~CTlsLayer() override { EndSession(); }
    CTlsLayer(const CTlsLayer&) = delete;
    CTlsLayer& operator=(const CTlsLayer&) = delete;

    int Read(CTcpSocket& socket, char* buffer, int size) override;
    int ReadArrived(CTcpSocket& socket, char* buffer, int size) override;
    int Write(CTcpSocket& socket, const char* data, int length) override;
    int Flush(CTcpSocket& socket) override;
    void Shutdown(CTcpSocket& socket) override;
    void DrainInput(CTcpSocket& socket) override;
    bool HasBufferedInput() const override
    {
        return m_session != nullptr && (SSL_pending(m_session) > 0 || BIO_ctrl_pending(m_input) > 0);
    }

private:
    // Plain bytes per record written: the largest record TLS allows.
    static constexpr int kMaxPiece = 16384;
    // Records are sent once this much has collected, so a large response leaves in a few large
    // sends and the output BIO stays small. Less than that waits for the next read that has to
    // wait or for the close: a connection's response then leaves in one send with the session
    // tickets before it and the close notification after it.
    static constexpr int kSendThreshold = 3 * kMaxPiece;

    enum class State
    {
        Handshake,
        Established,
        Ended
    };

    enum class Progress
    {
        Done,
        Pending,  // waiting for the client, which only a call that may not wait returns
        Failed
    };
    // Established once Done; Failed now or before. Without `mayWait` it goes only as far as the
    // bytes that have arrived allow.
    Progress Handshake(CTcpSocket& socket, bool mayWait);
    // SSL_read of what the session holds, receiving more when it needs more: the byte count, 0 at
    // the client's end, -1 after a logged error, or kNothingArrived when it may not wait.
    int Decrypt(CTcpSocket& socket, char* buffer, int size, bool mayWait);
    enum class Receive
    {
        Wait,        // as much as has arrived, waiting for the first byte
        WaitFirst,   // the same, for input that can't have arrived yet: the wait comes first
        ArrivedOnly  // what has arrived, without waiting
    };
    // One raw receive into the input BIO: the byte count, 0 when the peer closed, -1 on error.
    // With Receive::ArrivedOnly -1 also means that nothing has arrived. Receive::WaitFirst waits
    // until `atLeast` bytes have arrived.
    int ReceiveRecords(CTcpSocket& socket, Receive how = Receive::Wait, int atLeast = 1);
    // Receives the client's answer to a flight of ours, as ReceiveRecords does.
    int ReceiveAnswer(CTcpSocket& socket);
    // The bytes to wait for after the server's flight of a TLS 1.3 handshake: more than the
    // client's last flight, so that the wait ends once its request has begun to arrive too.
    int ClientFinishedAndMore() const;
    // As ReceiveRecords for records that have arrived already; when none has, the records held
    // for sending leave (Flush) before the wait for more (for `atLeast` bytes), since the peer may
    // be waiting for them.
    int ReceiveOrFlush(CTcpSocket& socket, int atLeast = 1);
    // Sends the records the library has written: 1, or 0 when the send failed.
    int SendRecords(CTcpSocket& socket);
    // Frees the session, so a failed or finished connection holds no TLS state.
    void EndSession();

    // Keeps the library context that the session's objects come from alive as long as the session.
    std::shared_ptr<CTlsContext> m_context;
    SSL* m_session = nullptr;
    BIO* m_input = nullptr;   // owned by m_session
    BIO* m_output = nullptr;  // owned by m_session
    State m_state = State::Handshake;
    // True from the end of a TLS 1.3 handshake until the first write: what is held for sending is
    // then only the session tickets, which no client waits for before it sends its request. They
    // stay held through the wait for the request and leave with the response, in its send.
    bool m_onlyTicketsHeld = false;
    // Bytes have come from the client.
    bool m_heardFromClient = false;
};

CTlsLayer::CTlsLayer(std::shared_ptr<CTlsContext> context) : m_context(std::move(context))
{
    if (!m_context)
        return;
    m_session = m_context->NewSession();
    m_input = m_context->NewMemoryBio();
    m_output = m_context->NewMemoryBio();
    if (m_session == nullptr || m_input == nullptr || m_output == nullptr) {
        BIO_free(m_input);
        BIO_free(m_output);
        SSL_free(m_session);
        m_session = nullptr;
        return;
    }
    SSL_set_bio(m_session, m_input, m_output);
    SSL_set_accept_state(m_session);
}

void CTlsLayer::EndSession()
{
    SSL_free(m_session);
    m_session = nullptr;
    m_input = m_output = nullptr;
    m_state = State::Ended;
}

int CTlsLayer::ReceiveRecords(CTcpSocket& socket, Receive how, int atLeast)
{
    // The calling thread's buffer: a connection's handshake may begin on the listener's thread
    // and go on on a server thread.
    char* records = ThreadRecordBuffer();
    int received = -1;
    switch (how) {
    case Receive::Wait: received = socket.RecvRaw(records, kRecordBufferSize); break;
    case Receive::WaitFirst: received = socket.RecvRawWhenReady(records, kRecordBufferSize, atLeast); break;
    case Receive::ArrivedOnly: received = socket.TryRecvRaw(records, kRecordBufferSize); break;
    }
    if (received > 0) {
        // A plain HTTP request's first bytes where the client hello should be.
        if (!std::exchange(m_heardFromClient, true) && g_plainRequestHint.load() &&
            std::string_view("GPgp").find(records[0]) != std::string_view::npos)
            TheLog().WriteLine(
                "\r\nYou should type https://..., not http://... in your browser to access this secure web server.");
        BIO_write(m_input, records, received);
    }
    return received;
}

int CTlsLayer::ReceiveOrFlush(CTcpSocket& socket, int atLeast)
{
    const int arrived = ReceiveRecords(socket, Receive::ArrivedOnly);
    if (arrived >= 0)
        return arrived;
    if (!Flush(socket))
        return -1;
    return ReceiveRecords(socket, Receive::WaitFirst, atLeast);
}

int CTlsLayer::ReceiveAnswer(CTcpSocket& socket)
{
    // Our flight answered the client's, so the system now delays its acknowledgements. A client
    // that writes its last handshake message and its request apart, without TCP_NODELAY, sends the
    // request only once that message is acknowledged, and would wait out the delayed-ACK time-out
    // (40 ms) on every connection. Quick acknowledgement covers an answer that comes later; one
    // that has come meanwhile is acknowledged as it is read. During the handshake nothing is held
    // for sending, so the flush before the wait sends nothing.
    socket.AcknowledgeAtOnce();
    // A TLS 1.3 client's answer ends its handshake and its request follows at once, so the wait
    // lasts until the request has begun to arrive: one wake instead of two.
    return ReceiveOrFlush(socket, SSL_version(m_session) == TLS1_3_VERSION ? ClientFinishedAndMore() : 1);
}

int CTlsLayer::ClientFinishedAndMore() const
{
    // After the server's flight a TLS 1.3 client sends its Finished message in one record (record
    // header, message header, transcript hash, inner content type, 16-byte AEAD tag), perhaps after
    // a 6-byte change-cipher-spec record for middleboxes, and its request right after it. Only
    // TLS_AES_256_GCM_SHA384 hashes with SHA-384. A client that answers a HelloRetryRequest sends
    // a new hello instead, which is larger still.
    const SSL_CIPHER* cipher = SSL_get_pending_cipher(m_session);
    const int hashSize = cipher != nullptr && SSL_CIPHER_get_protocol_id(cipher) == 0x1302 ? 48 : 32;
    constexpr int kChangeCipherSpecRecord = 6;
    constexpr int kRecordHeader = 5, kMessageHeader = 4, kContentType = 1, kAeadTag = 16;
    return kChangeCipherSpecRecord + kRecordHeader + kMessageHeader + hashSize + kContentType + kAeadTag + 1;
}

int CTlsLayer::SendRecords(CTcpSocket& socket)
{
    char* records = nullptr;
    const long pending = BIO_get_mem_data(m_output, &records);
    if (pending <= 0)
        return 1;
    const int sent = socket.SendAllRaw(records, static_cast<int>(pending));
    BIO_reset(m_output);
    return sent;
}

CTlsLayer::Progress CTlsLayer::Handshake(CTcpSocket& socket, bool mayWait)
{
    if (m_state == State::Established)
        return Progress::Done;
    if (m_state == State::Ended)
        return Progress::Failed;
    if (m_session == nullptr) {
        TheLog().WriteLine("TLS handshake failed: no server certificate is loaded.");
        EndSession();
        return Progress::Failed;
    }
    for (;;) {
        ERR_clear_error();
        const int result = SSL_do_handshake(m_session);
        const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(m_session, result);
        if (result != 1 && error != SSL_ERROR_WANT_READ) {
            const std::string reason = TakeLibraryErrorText();
            // The alert the library wrote tells the client why (an unsupported version, say).
            SendRecords(socket);
            TheLog().WriteLine("TLS handshake failed: %s", reason.c_str());
            EndSession();
            return Progress::Failed;
        }
        // A TLS 1.3 handshake ends with the session tickets, which the client does not wait for: they
        // stay here through the wait for the request and leave with the response, one send fewer.
        // TLS 1.2 ends with the server's Finished message, which the client needs before it sends.
        const bool holdTickets = result == 1 && SSL_version(m_session) == TLS1_3_VERSION;
        const bool answerAwaited = !holdTickets && BIO_ctrl_pending(m_output) > 0;
        if (!holdTickets && !SendRecords(socket)) {
            TheLog().WriteLine("Failed to send handshake to client");
            EndSession();
            return Progress::Failed;
        }
        if (result == 1) {
            m_state = State::Established;
            m_onlyTicketsHeld = holdTickets;
            return Progress::Done;
        }
        int received;
        if (mayWait) {
            // After a flight of ours the client has to answer it first; otherwise the rest of a
            // record split over segments may have come already.
            received = answerAwaited ? ReceiveAnswer(socket) : ReceiveRecords(socket);
        } else {
            // The answer to our flight comes later, on a wake of the caller's own.
            if (answerAwaited)
                socket.AcknowledgeAtOnce();
            received = ReceiveRecords(socket, Receive::ArrivedOnly);
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return Progress::Pending;
        }
        if (received <= 0) {
            EndSession();
            return Progress::Failed;
        }
    }
}

int CTlsLayer::Decrypt(CTcpSocket& socket, char* buffer, int size, bool mayWait)
{
    for (;;) {
        ERR_clear_error();
        const int result = SSL_read(m_session, buffer, size);
        if (result > 0)
            return result;
        switch (SSL_get_error(m_session, result)) {
        case SSL_ERROR_WANT_READ: {
            // Records held for sending (the tickets, a key update's answer) leave before a wait.
            const int received = mayWait ? ReceiveOrFlush(socket) : ReceiveRecords(socket, Receive::ArrivedOnly);
            if (received < 0 && !mayWait && (errno == EAGAIN || errno == EWOULDBLOCK))
                return kNothingArrived;
            if (received <= 0)
                return received;
            break;
        }
        case SSL_ERROR_ZERO_RETURN:
            // The client's close notification: the end of its data, as a closed socket would be.
            return 0;
        default:
            TheLog().WriteLine("Failed to decrypt a TLS record: %s", TakeLibraryErrorText().c_str());
            EndSession();
            return -1;
        }
    }
}

int CTlsLayer::Read(CTcpSocket& socket, char* buffer, int size)
{
    if (Handshake(socket, true) != Progress::Done)
        return -1;
    return Decrypt(socket, buffer, size, true);
}

int CTlsLayer::ReadArrived(CTcpSocket& socket, char* buffer, int size)
{
    switch (Handshake(socket, false)) {
    case Progress::Done: return Decrypt(socket, buffer, size, false);
    case Progress::Pending: return kNothingArrived;
    case Progress::Failed: break;
    }
    return -1;
}

int CTlsLayer::Write(CTcpSocket& socket, const char* data, int length)
{
    if (Handshake(socket, true) != Progress::Done)
        return 0;
    m_onlyTicketsHeld = false;
    while (length > 0) {
        const int piece = std::min(length, kMaxPiece);
        ERR_clear_error();
        if (SSL_write(m_session, data, piece) != piece) {
            TheLog().WriteLine("Failed to encrypt a TLS record: %s", TakeLibraryErrorText().c_str());
            EndSession();
            return 0;
        }
        data += piece;
        length -= piece;
        if (BIO_ctrl_pending(m_output) >= kSendThreshold && !SendRecords(socket))
            return 0;
    }
    return 1;
}

int CTlsLayer::Flush(CTcpSocket& socket)
{
    // Session tickets alone wait for the response: no client waits for them before it speaks.
    return m_state != State::Established || m_onlyTicketsHeld || SendRecords(socket);
}

void CTlsLayer::Shutdown(CTcpSocket& socket)
{
    // A session that never got established, or has failed, has nothing to close.
    if (m_state != State::Established) {
        EndSession();
        return;
    }
    // The close notification joins what the last response left held, and all of it leaves in
    // one send; held records leave even when the notification fails.
    ERR_clear_error();
    const bool notified = SSL_shutdown(m_session) >= 0;
    if (!notified)
        TheLog().WriteLine("Failed to make the TLS close notification: %s", TakeLibraryErrorText().c_str());
    if (!SendRecords(socket) && notified)
        TheLog().WriteLine("%s when sending the TLS close notification.", GetSystemErrorText(errno).c_str());
    EndSession();
}

void CTlsLayer::DrainInput(CTcpSocket& socket)
{
    if (m_state != State::Established) {
        CSocketLayer::DrainInput(socket);
        return;
    }
    // The records are decrypted and dropped rather than thrown away raw, so that the session
    // stays intact for the response and the close notification after it.
    while (socket.PendingInput() > 0) {
        if (ReceiveRecords(socket) <= 0)
            return;
        ERR_clear_error();
        int result;
        while ((result = SSL_read(m_session, ThreadRecordBuffer(), kRecordBufferSize)) > 0) {
        }
        const int error = SSL_get_error(m_session, result);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN)
            return;
        if (error != SSL_ERROR_WANT_READ) {
            EndSession();
            return;
        }
    }
}

}  // namespace

int LoadSecurityInterface()
{
    // From here on the secure connections' sockets make their sessions here. Installed even when
    // the library fails to start, so that such a connection fails its handshake as it would
    // without credentials.
    CTcpSocket::SetTlsLayerFactory(CreateServerTlsLayer);
    if (OPENSSL_init_ssl(0, nullptr) != 1) {
        TheLog().WriteLine("Failed to start the TLS library: %s", TakeLibraryErrorText().c_str());
        return 0;
    }
    return 1;
}

int InitTlsCredentials(const std::string& name, const std::string& issuer, const std::string& serial)
{
    if (name.empty()) {
        TheLog().WriteLine("Certificate not specified.");
        return 0;
    }
    if (!LoadSecurityInterface()) {
        TheLog().WriteLine("Error initializing the security library.");
        return 0;
    }
    const CCertificateListing listing = ListCertificates(GetCertificateFolder());
    if (listing.failure == CertificateListFailure::Folder) {
        TheLog().WriteText(DescribeListingFailure(listing));
        return 0;
    }
    const CCertificateEntry* chosen = FindCertificate(listing.entries, name, issuer, serial);
    if (chosen == nullptr) {
        const std::string failure = DescribeListingFailure(listing);
        if (!failure.empty())
            TheLog().WriteText(failure);
        TheLog().WriteLine("Certificate [%s] not found.", serial.c_str());
        return 0;
    }
    // The administrator learns which file is wrong and why, in the library's words.
    const std::string problem = CheckCertificateFile(chosen->path);
    if (!problem.empty()) {
        TheLog().WriteText(UnusableCertificateText(chosen->path, problem));
        return 0;
    }
    std::shared_ptr<const CTlsCredentials> credentials = LoadCredentials(chosen->path);
    if (!credentials)
        return 0;
    std::lock_guard lock(g_credentialsLock);
    g_credentials = std::move(credentials);
    return 1;
}

void FreeTlsCredentials()
{
    {
        std::lock_guard lock(g_credentialsLock);
        g_credentials.reset();
    }
    std::lock_guard lock(g_processorsLock);
    g_processors.clear();
}

bool HasTlsCredentials()
{
    std::lock_guard lock(g_credentialsLock);
    return g_credentials != nullptr;
}

void SetTlsPlainRequestHint(bool on)
{
    g_plainRequestHint.store(on);
}

void ReleaseThreadTlsState()
{
    // The buffer goes first: freeing it may use the library's per-thread state. Stopping frees
    // the thread's state in every library context it used.
    t_records.reset();
    OPENSSL_thread_stop();
}

std::unique_ptr<CSocketLayer> CreateServerTlsLayer()
{
    return std::make_unique<CTlsLayer>(ProcessorContext());
}
