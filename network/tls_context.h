// The server's TLS credentials and the TLS contexts that the server threads build from them.
// InitTlsCredentials keeps the chosen certificate file's text and the keys that seal session
// tickets (CTlsCredentials); each server thread builds a CTlsContext of its own from them on its
// first secure connection, and its connections' sessions come from that context.
//
// Why a context per thread: OpenSSL 3 guards the algorithm and name stores of a library context,
// its session cache and a private key's blinding state with locks that every handshake takes many
// times, so with one context for the whole process the server threads queue on each other. A
// thread's own context, in a library context of its own, with its own copy of the key, shares
// nothing with the other threads' handshakes. The ticket keys are the same in every context, so a
// ticket that one thread issued resumes a session on any other.
#pragma once

#include <openssl/types.h>

#include <array>
#include <memory>
#include <string>

struct CTlsCredentials
{
    // The certificate file as it was read: the certificate, its chain and its private key (PEM).
    std::string pem;
    // Name, MAC key and cipher key of the session tickets, drawn once per loading.
    std::array<unsigned char, 80> ticketKeys{};
};

class CTlsContext
{
public:
    // A server context for TLS 1.2 and 1.3 holding the credentials' certificate, chain and key:
    // in a library context of its own when `ownLibrary`, else in the process's default one. Null
    // when the text holds no usable certificate and matching key, or the library failed; the
    // library's error queue then says why.
    static std::shared_ptr<CTlsContext> Build(std::shared_ptr<const CTlsCredentials> credentials, bool ownLibrary);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    const CTlsCredentials* GetCredentials() const { return m_credentials.get(); }
    // A new server session of this context; null when the library fails.
    SSL* NewSession() const;
    // A memory BIO of this context's library context. Freeing an object takes a write lock of
    // the library context it was made in, so the sessions' BIOs are made in the thread's own.
    BIO* NewMemoryBio() const;

private:
    CTlsContext() = default;
    bool Configure();
    bool UseCredentials();

    std::shared_ptr<const CTlsCredentials> m_credentials;
    OSSL_LIB_CTX* m_library = nullptr;  // null: the default library context
    SSL_CTX* m_context = nullptr;
};
