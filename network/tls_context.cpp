#include "network/tls_context.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <utility>

namespace {

// No password callback may prompt on the terminal: an encrypted key fails instead.
int RefusePassword(char*, int, int, void*)
{
    return 0;
}

struct BioFree
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

}  // namespace

std::shared_ptr<OSSL_LIB_CTX> CTlsContext::NewLibrary()
{
    OSSL_LIB_CTX* library = OSSL_LIB_CTX_new();
    if (library == nullptr)
        return nullptr;
    return std::shared_ptr<OSSL_LIB_CTX>(library, OSSL_LIB_CTX_free);
}

std::shared_ptr<CTlsContext> CTlsContext::Build(std::shared_ptr<const CTlsCredentials> credentials,
                                                std::shared_ptr<OSSL_LIB_CTX> library)
{
    if (!credentials)
        return nullptr;
    std::shared_ptr<CTlsContext> context(new CTlsContext);
    context->m_credentials = std::move(credentials);
    context->m_library = std::move(library);
    context->m_context = SSL_CTX_new_ex(context->m_library.get(), nullptr, TLS_server_method());
    if (context->m_context == nullptr || !context->Configure() || !context->UseCredentials())
        return nullptr;
    return context;
}

CTlsContext::~CTlsContext()
{
    SSL_CTX_free(m_context);
}

SSL* CTlsContext::NewSession() const
{
    return SSL_new(m_context);
}

BIO* CTlsContext::NewMemoryBio() const
{
    return BIO_new_ex(m_library.get(), BIO_s_mem());
}

bool CTlsContext::Configure()
{
    // TLS 1.2 and 1.3 only: every older version is broken and refused by current browsers. No
    // renegotiation either, which only lets a client make the server repeat its costliest work.
    if (SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(m_context, TLS1_3_VERSION) != 1)
        return false;
    SSL_CTX_set_options(m_context, SSL_OP_NO_RENEGOTIATION);
    // Sessions are resumed from tickets alone, which the client keeps. A server-side cache would
    // add a locked table insert to every handshake and, every 255 handshakes, a sweep of the whole
    // table under its lock, while most clients of a page server never come back to resume.
    SSL_CTX_set_session_cache_mode(m_context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_default_passwd_cb(m_context, RefusePassword);
    return SSL_CTX_set_tlsext_ticket_keys(m_context, const_cast<unsigned char*>(m_credentials->ticketKeys.data()),
                                          static_cast<long>(m_credentials->ticketKeys.size())) == 1;
}

bool CTlsContext::UseCredentials()
{
    const std::string& pem = m_credentials->pem;
    BioPtr text(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!text)
        return false;
    // The first certificate is the server's own; the ones after it are its chain.
    X509* own = X509_new_ex(m_library.get(), nullptr);
    if (own == nullptr || PEM_read_bio_X509_AUX(text.get(), &own, RefusePassword, nullptr) == nullptr ||
        SSL_CTX_use_certificate(m_context, own) != 1) {
        X509_free(own);
        return false;
    }
    X509_free(own);
    for (;;) {
        X509* link = X509_new_ex(m_library.get(), nullptr);
        if (link == nullptr)
            return false;
        if (PEM_read_bio_X509(text.get(), &link, RefusePassword, nullptr) == nullptr) {
            X509_free(link);
            // The chain ends where no further certificate starts; a block that does not parse is an error.
            const unsigned long error = ERR_peek_last_error();
            if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE)
                return false;
            ERR_clear_error();
            break;
        }
        if (SSL_CTX_add0_chain_cert(m_context, link) != 1) {
            X509_free(link);
            return false;
        }
    }
    // The key may stand before or after the certificates.
    if (BIO_reset(text.get()) != 1)
        return false;
    EVP_PKEY* key = PEM_read_bio_PrivateKey_ex(text.get(), nullptr, RefusePassword, nullptr, m_library.get(), nullptr);
    const bool used = key != nullptr && SSL_CTX_use_PrivateKey(m_context, key) == 1;
    EVP_PKEY_free(key);
    return used && SSL_CTX_check_private_key(m_context) == 1;
}
