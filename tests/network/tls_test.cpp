// HTTPS end to end: a secure listener and the server-thread pool with a small handler, against
// curl, openssl s_client and an OpenSSL client of the test's own that cuts records into TCP
// segments as it likes.
#include "network/tls_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "tests/network/net_test_support.h"
#include "tests/network/test_certificates.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_folder.h"
#include "webserver/listener_thread.h"
#include "webserver/server_thread.h"

namespace {

using namespace std::chrono_literals;

std::string Pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i * 31 + i / 251);
    return bytes;
}

// Serves two small protocols, chosen by the first line:
// - "LINES": after the empty line that ends the head, reads lines up to the next empty one and
//   answers them joined by '|';
// - anything else is an HTTP request: the answer's body is the request's body reversed, or 100 KB
//   of a pattern when the request has none; for the path "/late" it waits, before draining, until
//   the test lets it go on (LetLateRequestGoOn); for
//   "/held" the whole answer goes out as a head whose body would follow (SendMore), and nothing
//   follows it.
// It records what the first read returned: the line, or the negative result of ReadLine.
class CTestHandler : public CConnectionHandler
{
public:
    void ServeConnection(CServerThread& thread) override
    {
        CTcpSocket& connection = thread.GetConnection();
        {
            std::lock_guard lock(m_lock);
            m_lastThread = std::static_pointer_cast<CServerThread>(thread.shared_from_this());
            m_lastHandle = connection.GetHandle();
        }
        ASSERT_EQ(connection.SetTimeout(10), 1);
        // As the server's request reader does: it waits for the first byte before it reads; a
        // client that sends nothing shows as the failed read below.
        static_cast<void>(connection.WaitForInput(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
        char line[4096];
        const int result = connection.ReadLine(line, sizeof line);
        Record(result < 0 ? std::to_string(result) : std::string(line));
        if (result < 0)
            return;
        const std::string first = line;
        if (first == "LINES") {
            std::string joined;
            // The empty line that ends the head.
            static_cast<void>(connection.ReadLine(line, sizeof line));
            while (connection.ReadLine(line, sizeof line) > 0)
                joined += (joined.empty() ? "" : "|") + std::string(line);
            // The client checks what arrives, so a failed send shows there.
            static_cast<void>(connection.Send(joined.c_str()));
        } else {
            ServeHttp(connection, first);
        }
    }

    // The socket of the latest connection, for the test to see what its reader has taken.
    int LastHandle()
    {
        std::lock_guard lock(m_lock);
        return m_lastHandle;
    }
    // The thread that serves the latest connection; 0 when it has ended.
    pid_t LastThreadId()
    {
        std::lock_guard lock(m_lock);
        const auto thread = m_lastThread.lock();
        return thread ? thread->GetThreadId() : 0;
    }
    // Waits until a "/late" request waits to be let go on (true), then lets it go on.
    bool WaitUntilLateRequestWaits()
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, 10s, [this] { return m_lateWaiting; });
    }
    void LetLateRequestGoOn()
    {
        std::lock_guard lock(m_lock);
        m_lateGoOn = true;
        m_changed.notify_all();
    }

    std::vector<std::string> Seen()
    {
        std::lock_guard lock(m_lock);
        return m_seen;
    }
    // True once the thread that served the latest connection is idle again.
    bool LastThreadIdle()
    {
        std::lock_guard lock(m_lock);
        const auto thread = m_lastThread.lock();
        return thread && !thread->IsBusy();
    }

private:
    void ServeHttp(CTcpSocket& connection, const std::string& requestLine)
    {
        char line[4096];
        long contentLength = 0;
        int result;
        while ((result = connection.ReadLine(line, sizeof line)) > 0)
            if (std::string_view(line).substr(0, 16) == "Content-Length: ")
                contentLength = std::atol(line + 16);
        if (result < 0)
            return;
        std::string body(static_cast<size_t>(contentLength), '\0');
        if (contentLength > 0 && connection.RecvExact(body.data(), static_cast<int>(contentLength)) != 1)
            return;
        body = body.empty() ? Pattern(100 * 1024) : std::string(body.rbegin(), body.rend());
        // "/late" lets the client send more than the request before the drain.
        if (requestLine.find(" /late ") != std::string::npos)
            WaitUntilLetGoOn();
        connection.DrainInput();
        if (requestLine.find(" /held ") != std::string::npos) {
            const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nheld";
            // The client checks what arrives, so a failed send shows there.
            static_cast<void>(connection.SendMore(answer.data(), static_cast<int>(answer.size())));
            return;
        }
        const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        if (connection.Send(head.c_str()) == 1)
            static_cast<void>(connection.Send(body.data(), static_cast<int>(body.size())));
    }

    // Bounded, so that a test that fails before it lets go does not hang.
    void WaitUntilLetGoOn()
    {
        std::unique_lock lock(m_lock);
        m_lateWaiting = true;
        m_changed.notify_all();
        m_changed.wait_for(lock, 10s, [this] { return m_lateGoOn; });
    }

    void Record(std::string seen)
    {
        std::lock_guard lock(m_lock);
        m_seen.push_back(std::move(seen));
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_seen;
    std::weak_ptr<CServerThread> m_lastThread;
    int m_lastHandle = -1;
    bool m_lateWaiting = false;
    bool m_lateGoOn = false;
};

// A TLS client over a loopback connection whose records pass through memory BIOs, so that the
// test decides how they are cut into TCP segments.
class CTlsTestClient
{
public:
    bool closeNotify = false;  // the server ended its data with a close notification

    CTlsTestClient(int port, const std::string& caFile) : m_tcp(port), m_context(SSL_CTX_new(TLS_client_method()))
    {
        SSL_CTX_load_verify_locations(m_context, caFile.c_str(), nullptr);
        SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
        m_session = SSL_new(m_context);
        m_input = BIO_new(BIO_s_mem());
        m_output = BIO_new(BIO_s_mem());
        SSL_set_bio(m_session, m_input, m_output);
        SSL_set_connect_state(m_session);
        SSL_set1_host(m_session, "localhost");
    }
    ~CTlsTestClient()
    {
        SSL_free(m_session);
        SSL_CTX_free(m_context);
    }
    CTlsTestClient(const CTlsTestClient&) = delete;
    CTlsTestClient& operator=(const CTlsTestClient&) = delete;

    // With `lastFlight` the client's last flight (its Finished) is left there instead of sent.
    bool Handshake(std::string* lastFlight = nullptr)
    {
        for (;;) {
            const int result = SSL_do_handshake(m_session);
            std::string output = TakeOutput();
            if (result == 1 && lastFlight != nullptr) {
                *lastFlight = std::move(output);
                return true;
            }
            if (!m_tcp.SendText(output))
                return false;
            if (result == 1)
                return true;
            if (SSL_get_error(m_session, result) != SSL_ERROR_WANT_READ || !Receive())
                return false;
        }
    }

    // The records that carry `plain`, sealed but not sent.
    std::string Seal(const std::string& plain)
    {
        SSL_write(m_session, plain.data(), static_cast<int>(plain.size()));
        return TakeOutput();
    }

    // Sends `bytes` in segments of `segment` bytes, each once the server has read all that came
    // before from its socket `serverHandle`, so that each reaches it in a read of its own.
    bool SendInSegments(const std::string& bytes, size_t segment, int serverHandle)
    {
        for (size_t at = 0; at < bytes.size(); at += segment) {
            if (!m_tcp.WaitUntilRead(serverHandle) || !m_tcp.SendText(std::string_view(bytes).substr(at, segment)))
                return false;
        }
        return true;
    }
    // Sends `bytes` at once and waits until they lie in the server's socket.
    bool SendDelivered(const std::string& bytes) { return m_tcp.SendText(bytes) && m_tcp.WaitUntilDelivered(); }
    bool Send(const std::string& plain) { return m_tcp.SendText(Seal(plain)); }
    // Waits until the server has read all that was sent from its socket `serverHandle`.
    bool WaitUntilServerRead(int serverHandle) { return m_tcp.WaitUntilRead(serverHandle); }
    // The server's end of the connection.
    int ServerEnd() const { return ServerEndOf(m_tcp); }
    // The bytes from the server that have arrived and not been read.
    int Arrived() const
    {
        int queued = -1;
        ioctl(m_tcp.Fd(), FIONREAD, &queued);
        return queued;
    }
    // True when the session can be resumed with a ticket from the server.
    bool HoldsTicket() const
    {
        const SSL_SESSION* session = SSL_get_session(m_session);
        return session != nullptr && SSL_SESSION_has_ticket(session) == 1;
    }

    // Everything the server sends until its close notification or the connection's end.
    std::string ReadAll()
    {
        std::string plain;
        char chunk[16384];
        for (;;) {
            const int result = SSL_read(m_session, chunk, sizeof chunk);
            if (result > 0) {
                plain.append(chunk, static_cast<size_t>(result));
                continue;
            }
            const int error = SSL_get_error(m_session, result);
            closeNotify = error == SSL_ERROR_ZERO_RETURN;
            if (error != SSL_ERROR_WANT_READ || !Receive())
                return plain;
        }
    }

private:
    std::string TakeOutput()
    {
        char* data = nullptr;
        const long length = BIO_get_mem_data(m_output, &data);
        std::string bytes(data, static_cast<size_t>(std::max(length, 0L)));
        BIO_reset(m_output);
        return bytes;
    }

    bool Receive()
    {
        pollfd entry{m_tcp.Fd(), POLLIN, 0};
        if (poll(&entry, 1, 10000) != 1)
            return false;
        char chunk[16384];
        const ssize_t got = recv(m_tcp.Fd(), chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        BIO_write(m_input, chunk, static_cast<int>(got));
        return true;
    }

    CTestClient m_tcp;
    SSL_CTX* m_context;
    SSL* m_session = nullptr;
    BIO* m_input = nullptr;
    BIO* m_output = nullptr;
};

class TlsServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetProgramDirectory(m_site.Path());
        ASSERT_EQ(mkdir(m_certs.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(m_work.c_str(), 0700), 0);
        ASSERT_TRUE(m_make.MakeSelfSigned("ca", "/O=Tarnwick/CN=Tarnwick Test CA", "0x01"));
        ASSERT_TRUE(m_make.MakeSigned("server", "/O=Tarnwick/CN=localhost", "0x0A1B2C3D4E", "ca"));
        ASSERT_TRUE(m_make.Install("server", m_certs + "/server.pem", {"ca"}));
    }

    void TearDown() override
    {
        if (m_listener) {
            m_listener->Stop();
            EXPECT_TRUE(m_listener->WaitForExit(30000));
        }
        m_pool.StopAll();
        FreeTlsCredentials();
        SetTlsPlainRequestHint(false);
    }

    // With the credentials of the folder's server certificate, named as the settings name it.
    void StartServer()
    {
        ASSERT_EQ(InitTlsCredentials("localhost", "Tarnwick Test CA", "0A1B 2C3D 4E"), 1);
        StartListener();
    }
    void StartListener()
    {
        m_listener = std::make_shared<CListenerThread>(m_pool, "127.0.0.1", 0, true);
        ASSERT_TRUE(m_listener->Start());
        ASSERT_TRUE(m_listener->WaitUntilRunning(CListenerThread::kStartWaitMilliseconds));
        m_port = m_listener->GetPort();
    }

    std::string Url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(m_port) + path; }
    std::string CaFile() const { return m_make.CertificatePath("ca"); }

    int Curl(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {"curl", "-sS", "--max-time", "20", "--cacert", CaFile()});
        return RunProgram(arguments, m_work + "/curl.err");
    }

    int Client(const std::vector<std::string>& options, const std::string& output,
               const std::string& input = "/dev/null")
    {
        std::vector<std::string> arguments{"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(m_port),
                                           "-CAfile", CaFile()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return RunProgram(arguments, output, 30, input);
    }

    // One request by openssl s_client, which reads the answer to its end and keeps or offers the
    // session as `sessionOptions` say; its output.
    std::string Fetch(const std::vector<std::string>& sessionOptions)
    {
        const std::string request = m_work + "/request.txt";
        std::ofstream(request, std::ios::binary) << "GET /pattern HTTP/1.0\r\n\r\n";
        std::vector<std::string> options{"-ign_eof", "-verify_return_error"};
        options.insert(options.end(), sessionOptions.begin(), sessionOptions.end());
        const std::string output = m_work + "/fetch.out";
        EXPECT_EQ(Client(options, output, request), 0) << ReadWholeFile(output);
        WaitUntilIdle();
        return ReadWholeFile(output);
    }

    void WaitUntilIdle()
    {
        ASSERT_TRUE(WaitFor([this] { return m_handler->LastThreadIdle(); }));
    }

    CLogCapture m_log;
    TempFolder m_site{"tw-tls"};
    const std::string m_certs = m_site.Path() + "/certs";
    const std::string m_work = m_site.Path() + "/work";
    CTestCertificates m_make{m_work};
    std::shared_ptr<CTestHandler> m_handler = std::make_shared<CTestHandler>();
    CServerThreadPool m_pool{m_handler};
    std::shared_ptr<CListenerThread> m_listener;
    int m_port = 0;
};

TEST_F(TlsServerTest, CurlSendsAndReceivesAHundredKilobytesOverTls13And12)
{
    // The settings' texts match the folder's without regard to case.
    ASSERT_EQ(InitTlsCredentials("LOCALHOST", "tarnwick test ca", "0a1b 2c3d 4e"), 1);
    StartListener();

    std::string upload(100 * 1024, '\0');
    std::mt19937 random(7);
    for (char& byte : upload)
        byte = static_cast<char>(random());
    std::ofstream(m_work + "/up.bin", std::ios::binary) << upload;
    ASSERT_EQ(
        Curl({"-H", "Expect:", "--data-binary", "@" + m_work + "/up.bin", "-o", m_work + "/down.bin", Url("/echo")}), 0)
        << ReadWholeFile(m_work + "/curl.err");
    EXPECT_TRUE(ReadWholeFile(m_work + "/down.bin") == std::string(upload.rbegin(), upload.rend()));

    ASSERT_EQ(Curl({"--tlsv1.2", "--tls-max", "1.2", "-o", m_work + "/pattern.bin", Url("/pattern")}), 0)
        << ReadWholeFile(m_work + "/curl.err");
    EXPECT_TRUE(ReadWholeFile(m_work + "/pattern.bin") == Pattern(100 * 1024));
    EXPECT_EQ(m_handler->Seen(), (std::vector<std::string>{"POST /echo HTTP/1.1", "GET /pattern HTTP/1.1"}));
}

TEST_F(TlsServerTest, RecordsCutIntoSegmentsOrSharingOneAreReadWholeAndTheEndIsACloseNotify)
{
    StartServer();
    CTlsTestClient client(m_port, CaFile());
    ASSERT_TRUE(client.Handshake());
    // A first record whole, one arriving a byte at a time, then three records in one segment.
    const int server = client.ServerEnd();
    ASSERT_TRUE(client.Send("LINES\r\n\r\n"));
    ASSERT_TRUE(client.SendInSegments(client.Seal("alpha\r\n"), 1, server));
    std::string records = client.Seal("beta\r\n");
    records += client.Seal("gamma\r\n");
    records += client.Seal("\r\n");
    ASSERT_TRUE(client.SendInSegments(records, records.size(), server));
    EXPECT_EQ(client.ReadAll(), "alpha|beta|gamma");
    EXPECT_TRUE(client.closeNotify);
}

TEST_F(TlsServerTest, UnreadInputIsDrainedWithoutWaitingForTheRestOfARecord)
{
    StartServer();
    CTlsTestClient client(m_port, CaFile());
    ASSERT_TRUE(client.Handshake());
    ASSERT_TRUE(client.Send("GET /late HTTP/1.0\r\n\r\n"));
    // While the handler waits, more arrives, its last record incomplete: the drain must take what
    // has come and not wait for the rest.
    std::string records;
    for (int i = 0; i < 3; ++i)
        records += client.Seal(std::string(16000, 'u'));
    ASSERT_TRUE(m_handler->WaitUntilLateRequestWaits());
    EXPECT_TRUE(client.SendDelivered(records.substr(0, records.size() - 10)));
    m_handler->LetLateRequestGoOn();
    const auto started = std::chrono::steady_clock::now();
    const std::string response = client.ReadAll();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_TRUE(response.size() > 102400 && response.substr(response.size() - 102400) == Pattern(102400));
    EXPECT_TRUE(client.closeNotify);
    EXPECT_FALSE(m_log.Contains("Timeout receiving on socket"));
}

TEST_F(TlsServerTest, NeitherUnreadInputNorAFailedHandshakeReachesTheNextClientOnTheThread)
{
    StartServer();
    const std::string hint = "You should type https://..., not http://... in your browser";
    {
        // One record, so "secret" waits in the decrypted input when the handler ends.
        CTlsTestClient first(m_port, CaFile());
        ASSERT_TRUE(first.Handshake());
        ASSERT_TRUE(first.Send("LINES\r\n\r\none\r\n\r\nsecret\r\n"));
        EXPECT_EQ(first.ReadAll(), "one");
    }
    WaitUntilIdle();
    {
        CTestClient plain(m_port);
        ASSERT_TRUE(plain.SendText("GET / HTTP/1.0\r\n\r\n"));
        EXPECT_EQ(plain.ReadUntilClosed(5s), "") << "no reply and no close notification";
        EXPECT_TRUE(plain.closed);
    }
    EXPECT_TRUE(WaitFor([&] { return m_log.Contains("TLS handshake failed: error:"); }));
    EXPECT_FALSE(m_log.Contains(hint)) << "twServer gives no hint";
    WaitUntilIdle();
    {
        CTlsTestClient next(m_port, CaFile());
        ASSERT_TRUE(next.Handshake());
        ASSERT_TRUE(next.Send("LINES\r\n\r\ntwo\r\n\r\n"));
        EXPECT_EQ(next.ReadAll(), "two");
    }
    EXPECT_EQ(m_pool.GetThreadCount(), 1) << "all were served by one thread";

    // The studio's hint, for a lower-case method too.
    SetTlsPlainRequestHint(true);
    WaitUntilIdle();
    CTestClient studio(m_port);
    ASSERT_TRUE(studio.SendText("post /form HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(studio.ReadUntilClosed(5s), "");
    EXPECT_TRUE(WaitFor([&] { return m_log.Contains(hint); }));
    EXPECT_EQ(m_handler->Seen(), (std::vector<std::string>{"LINES", "LINES"})) << "failed handshakes hold no thread";
}

TEST_F(TlsServerTest, SessionTicketsWaitForTheResponseAndLeaveInItsSend)
{
    StartServer();
    CTlsTestClient client(m_port, CaFile());
    std::string finished;
    ASSERT_TRUE(client.Handshake(&finished));
    // With the client's Finished and the first bytes of its request the server ends its handshake
    // and waits for the rest: the tickets it made are held, since no client waits for them.
    const int server = client.ServerEnd();
    const std::string request = client.Seal("GET /pattern HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(client.SendDelivered(finished + request.substr(0, 10)));
    ASSERT_TRUE(client.WaitUntilServerRead(server));
    ASSERT_TRUE(WaitUntilBlockedIn(m_listener->GetThreadId(), BlockingCall::EpollWait));
    EXPECT_EQ(client.Arrived(), 0);
    EXPECT_FALSE(client.HoldsTicket());
    ASSERT_TRUE(client.SendDelivered(request.substr(10)));
    const std::string response = client.ReadAll();
    EXPECT_TRUE(response.size() > 102400 && response.substr(response.size() - 102400) == Pattern(102400));
    EXPECT_TRUE(client.closeNotify);
    EXPECT_TRUE(client.HoldsTicket());
}

TEST_F(TlsServerTest, TheClientsLastHandshakeMessageIsAcknowledgedAtOnce)
{
    // The test client keeps Nagle's algorithm on, as many HTTP clients do: the request it writes
    // after its Finished leaves only once the Finished is acknowledged. Acknowledging it only at
    // the system's delayed-ACK time-out (40 ms) held back every such request that long.
    StartServer();
    CTlsTestClient client(m_port, CaFile());
    std::string finished;
    ASSERT_TRUE(client.Handshake(&finished));
    ASSERT_TRUE(WaitUntilBlockedIn(m_listener->GetThreadId(), BlockingCall::EpollWait));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.SendDelivered(finished));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 20ms);
    ASSERT_TRUE(client.Send("LINES\r\n\r\none\r\n\r\n"));
    EXPECT_EQ(client.ReadAll(), "one");
}

TEST_F(TlsServerTest, AClientOfTheSecurePortHoldsNoThreadUntilItSpeaks)
{
    StartServer();
    CTestClient silent(m_port);
    CTlsTestClient client(m_port, CaFile());
    ASSERT_TRUE(client.Handshake());
    ASSERT_TRUE(client.Send("LINES\r\n\r\none\r\n\r\n"));
    EXPECT_EQ(client.ReadAll(), "one");
    EXPECT_EQ(m_pool.GetThreadCount(), 1) << "the client that came first and said nothing holds no thread";
    // Once it speaks it is served: its bytes are no TLS, so it is closed without a reply.
    ASSERT_TRUE(silent.SendText("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(silent.ReadUntilClosed(5s), "");
    EXPECT_TRUE(silent.closed);
}

TEST_F(TlsServerTest, TlsOneOneIsRefusedAndOneTwoServed)
{
    StartServer();
    // The client's own security level would keep it from offering 1.1 at all.
    EXPECT_NE(Client({"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, m_work + "/old.out"), 0);
    EXPECT_NE(ReadWholeFile(m_work + "/old.out").find("alert protocol version"), std::string::npos)
        << ReadWholeFile(m_work + "/old.out");
    EXPECT_TRUE(WaitFor([&] { return m_log.Contains("TLS handshake failed: error:"); }));

    EXPECT_EQ(Client({"-tls1_2", "-verify_return_error"}, m_work + "/new.out"), 0)
        << ReadWholeFile(m_work + "/new.out");
    EXPECT_NE(ReadWholeFile(m_work + "/new.out").find("Protocol  : TLSv1.2"), std::string::npos);
}

TEST_F(TlsServerTest, CredentialsNeedAMatchingCertificateWithItsKey)
{
    EXPECT_EQ(InitTlsCredentials("", "Tarnwick Test CA", "0A1B 2C3D 4E"), 0);
    EXPECT_TRUE(m_log.Contains("Certificate not specified."));
    EXPECT_EQ(InitTlsCredentials("localhost", "Tarnwick Test CA", "0A1B 2C3D 4F"), 0);
    EXPECT_TRUE(m_log.Contains("Certificate [0A1B 2C3D 4F] not found."));
    EXPECT_EQ(InitTlsCredentials("localhost", "Other CA", "0A1B 2C3D 4E"), 0);
    EXPECT_FALSE(HasTlsCredentials());

    ASSERT_TRUE(m_make.MakeSelfSigned("keyless", "/CN=keyless", "0x02"));
    ASSERT_TRUE(m_make.Install("keyless", m_certs + "/keyless.pem", {}, false));
    EXPECT_EQ(InitTlsCredentials("keyless", "keyless", "02"), 0);
    EXPECT_TRUE(
        m_log.Contains("Certificate file " + m_certs + "/keyless.pem can't be used: the file holds no private key."));
    // A key that belongs to another certificate: the file and the library's reason.
    std::ofstream(m_certs + "/keyless.pem", std::ios::trunc)
        << ReadWholeFile(m_make.CertificatePath("keyless")) << ReadWholeFile(m_make.KeyPath("server"));
    EXPECT_EQ(InitTlsCredentials("keyless", "keyless", "02"), 0);
    EXPECT_TRUE(m_log.Contains("Certificate file " + m_certs + "/keyless.pem can't be used: error:"));
    EXPECT_TRUE(m_log.Contains("key values mismatch."));

    // A failed attempt leaves the credentials held before in use.
    ASSERT_EQ(InitTlsCredentials("localhost", "Tarnwick Test CA", "0A1B 2C3D 4E"), 1);
    EXPECT_EQ(InitTlsCredentials("keyless", "keyless", "02"), 0);
    EXPECT_TRUE(HasTlsCredentials());

    // Without credentials a secure connection fails its handshake.
    FreeTlsCredentials();
    EXPECT_FALSE(HasTlsCredentials());
    StartListener();
    CTlsTestClient client(m_port, CaFile());
    EXPECT_FALSE(client.Handshake());
    EXPECT_TRUE(WaitFor([&] { return m_log.Contains("TLS handshake failed: no server certificate is loaded."); }));

    std::filesystem::remove_all(m_certs);
    EXPECT_EQ(InitTlsCredentials("localhost", "Tarnwick Test CA", "0A1B 2C3D 4E"), 0);
    EXPECT_TRUE(
        m_log.Contains("Failed to open the certificate folder " + m_certs + ": Error [2]: No such file or directory"));
}

TEST_F(TlsServerTest, TicketsResumeSessionsOnAnyThreadAndTheServerKeepsNoSessions)
{
    StartServer();
    const std::string session = m_work + "/session.pem";
    for (const std::string version : {"-tls1_3", "-tls1_2"}) {
        SCOPED_TRACE(version);
        EXPECT_NE(Fetch({version, "-sess_out", session}).find("New, TLSv1."), std::string::npos);
        // The thread that served the first request is held by a client whose lines do not
        // come, so the next connection goes to another thread, which must accept that ticket.
        CTlsTestClient holder(m_port, CaFile());
        ASSERT_TRUE(holder.Handshake());
        ASSERT_TRUE(holder.Send("LINES\r\n\r\n"));
        ASSERT_TRUE(WaitFor([this] { return !m_handler->LastThreadIdle(); }));
        const std::string resumed = Fetch({version, "-sess_in", session});
        EXPECT_NE(resumed.find("Reused, TLSv1."), std::string::npos) << resumed;
        EXPECT_EQ(m_pool.GetThreadCount(), 2);
        EXPECT_TRUE(resumed.find(Pattern(64)) != std::string::npos);
    }
    // A TLS 1.2 client without tickets offers its session by identifier, which nothing here keeps.
    EXPECT_NE(Fetch({"-tls1_2", "-no_ticket", "-sess_out", session}).find("New, TLSv1.2"), std::string::npos);
    const std::string again = Fetch({"-tls1_2", "-no_ticket", "-sess_in", session});
    EXPECT_NE(again.find("New, TLSv1.2"), std::string::npos) << again;
}

TEST_F(TlsServerTest, AThreadsNextClientStartsAFreshSessionWhateverTheOneBeforeDid)
{
    StartServer();
    const std::string session = m_work + "/session.pem";
    for (const std::string version : {"-tls1_3", "-tls1_2"}) {
        SCOPED_TRACE(version);
        EXPECT_NE(Fetch({version, "-sess_out", session}).find("New, TLSv1."), std::string::npos);
        EXPECT_NE(Fetch({version, "-sess_in", session}).find("Reused, TLSv1."), std::string::npos);
        // A client that offers nothing gets a new session, not the one the thread served last.
        const std::string next = Fetch({version});
        EXPECT_NE(next.find("New, TLSv1."), std::string::npos) << next;
        EXPECT_TRUE(next.find(Pattern(64)) != std::string::npos);
    }
    EXPECT_EQ(m_pool.GetThreadCount(), 1) << "one thread served them all, one after the other";
}

TEST_F(TlsServerTest, ThreadsThatServedBeforeTakeNewCredentials)
{
    StartServer();
    EXPECT_NE(Fetch({}).find("subject=O = Tarnwick, CN = localhost"), std::string::npos);
    ASSERT_TRUE(m_make.MakeSigned("renewed", "/O=Renewed/CN=localhost", "0x0B", "ca"));
    ASSERT_TRUE(m_make.Install("renewed", m_certs + "/renewed.pem", {"ca"}));
    ASSERT_EQ(InitTlsCredentials("localhost", "Tarnwick Test CA", "0B"), 1);
    const std::string renewed = Fetch({});
    EXPECT_NE(renewed.find("subject=O = Renewed, CN = localhost"), std::string::npos) << renewed;
    EXPECT_EQ(m_pool.GetThreadCount(), 1) << "the thread that served the old certificate served the new one";
}

TEST_F(TlsServerTest, RecordsHeldForAFollowingBodyLeaveWithTheCloseNotify)
{
    StartServer();
    CTlsTestClient client(m_port, CaFile());
    ASSERT_TRUE(client.Handshake());
    ASSERT_TRUE(client.Send("GET /held HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(client.ReadAll(), "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nheld");
    EXPECT_TRUE(client.closeNotify);
}

}  // namespace
