// The server's TLS credentials and the TLS contexts that the server threads build from them.
// InitTlsCredentials keeps the chosen certificate file's text and the keys that seal session
// tickets (CTlsCredentials); a CTlsContext is built from them for each processor on the first
// secure connection that starts there, and the sessions of the connections that start on that
// processor come from it.
//
// Why a context per processor: OpenSSL 3 guards the algorithm and name stores of a library
// context, its session cache and a private key's blinding state with locks that every handshake
// takes many times, so with one context for the whole process the server threads queue on each
// other. A processor's own context, in a library context of its own, with its own copy of the key,
// is used by the one thread running there at a time, so its locks are rarely contended; and a
// handful of contexts stays in the processors' caches, where one per server thread (up to 50) did
// not and made every lookup in those stores slower. The ticket keys are the same in every context,
// so a ticket that one context issued resumes a session in any other.
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
    // A new library context; null when the library fails. A thread that has used one keeps state
    // in it until the thread stops (ReleaseThreadTlsState), so it must outlive such threads.
    static std::shared_ptr<OSSL_LIB_CTX> NewLibrary();
    // A server context for TLS 1.2 and 1.3 holding the credentials' certificate, chain and key, in
    // `library`, or in the process's default library context when that is null. Null when the
    // text holds no usable certificate and matching key, or the library failed; the library's
    // error queue then says why.
    static std::shared_ptr<CTlsContext> Build(std::shared_ptr<const CTlsCredentials> credentials,
                                              std::shared_ptr<OSSL_LIB_CTX> library);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    const CTlsCredentials* GetCredentials() const { return m_credentials.get(); }
    // A new server session of this context; null when the library fails.
    SSL* NewSession() const;
    // A memory BIO of this context's library context. Freeing an object takes a write lock of
    // the library context it was made in, so the sessions' BIOs are made in the processor's own.
    BIO* NewMemoryBio() const;

private:
    CTlsContext() = default;
    [[nodiscard]] bool Configure();
    [[nodiscard]] bool UseCredentials();

    std::shared_ptr<const CTlsCredentials> m_credentials;
    std::shared_ptr<OSSL_LIB_CTX> m_library;  // null: the default library context
    SSL_CTX* m_context = nullptr;
};
