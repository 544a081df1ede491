#include "platform/Tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <mutex>

namespace platform
{

struct CTlsContext::Impl
{
    SSL_CTX* ctx = nullptr;
    bool server = false;
    ~Impl()
    {
        if (ctx != nullptr)
            SSL_CTX_free(ctx);
    }
};

struct CTlsSession::Impl
{
    std::shared_ptr<CTlsContext> context;
    ITlsLower& lower;
    SSL* ssl = nullptr;
    std::exception_ptr lowerFailure;
    // One wait on the connection per call: a peer that trickles a record in
    // byte by byte must not hold a call beyond one slice.
    bool readDone = false;
    bool writeDone = false;

    Impl(std::shared_ptr<CTlsContext> c, ITlsLower& l) : context(std::move(c)), lower(l) {}
    ~Impl()
    {
        if (ssl != nullptr)
            SSL_free(ssl);
    }
    void beginCall()
    {
        readDone = writeDone = false;
        ERR_clear_error();
    }
    void rethrowLower()
    {
        if (lowerFailure)
        {
            std::exception_ptr e = lowerFailure;
            lowerFailure = nullptr;
            std::rethrow_exception(e);
        }
    }
    // The library's reason for the last failure, with the certificate check's
    // own text when that is what failed.
    std::string reason() const
    {
        std::string text;
        long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK)
            text = std::string("certificate refused: ") + X509_verify_cert_error_string(verify);
        unsigned long code = ERR_peek_last_error();
        if (code != 0)
        {
            char buffer[256];
            ERR_error_string_n(code, buffer, sizeof buffer);
            text += (text.empty() ? "" : "; ") + std::string(buffer);
        }
        return text.empty() ? "connection broken" : text;
    }
};

namespace
{
CTlsSession::Impl* sessionOf(BIO* bio)
{
    return static_cast<CTlsSession::Impl*>(BIO_get_data(bio));
}

int lowerWrite(BIO* bio, const char* data, size_t length, size_t* written)
{
    CTlsSession::Impl* s = sessionOf(bio);
    BIO_clear_retry_flags(bio);
    if (s->writeDone || s->lowerFailure)
    {
        BIO_set_retry_write(bio);
        return 0;
    }
    s->writeDone = true;
    uint32_t n = 0;
    try
    {
        n = s->lower.lowerSend(reinterpret_cast<const uint8_t*>(data),
                               static_cast<uint32_t>(std::min<size_t>(length, 1u << 30)));
    }
    catch (...)
    {
        s->lowerFailure = std::current_exception();
        return 0;
    }
    if (n == 0)
    {
        BIO_set_retry_write(bio);
        return 0;
    }
    *written = n;
    return 1;
}

int lowerRead(BIO* bio, char* buffer, size_t capacity, size_t* got)
{
    CTlsSession::Impl* s = sessionOf(bio);
    BIO_clear_retry_flags(bio);
    if (s->readDone || s->lowerFailure)
    {
        BIO_set_retry_read(bio);
        return 0;
    }
    s->readDone = true;
    uint32_t n = 0;
    try
    {
        n = s->lower.lowerReceive(reinterpret_cast<uint8_t*>(buffer),
                                  static_cast<uint32_t>(std::min<size_t>(capacity, 1u << 30)));
    }
    catch (...)
    {
        s->lowerFailure = std::current_exception();
        return 0;
    }
    if (n == 0)
    {
        BIO_set_retry_read(bio);
        return 0;
    }
    *got = n;
    return 1;
}

long lowerCtrl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int lowerCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* lowerMethod()
{
    static BIO_METHOD* method = []
    {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "upd lower link");
        BIO_meth_set_write_ex(m, lowerWrite);
        BIO_meth_set_read_ex(m, lowerRead);
        BIO_meth_set_ctrl(m, lowerCtrl);
        BIO_meth_set_create(m, lowerCreate);
        return m;
    }();
    return method;
}

std::string lastError()
{
    char buffer[256];
    unsigned long code = ERR_peek_last_error();
    if (code == 0)
        return "unknown error";
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

SSL_CTX* newContext(const SSL_METHOD* method)
{
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (ctx == nullptr)
        throw CTlsError("TLS context: " + lastError());
    // TLS 1.3 only: both ends are ours or opted in, so nothing older is needed.
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Reading ahead into a large buffer takes many records per system call:
    // a file moves in records of at most 16 KiB.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 256 * 1024);
    return ctx;
}
} // namespace

CTlsContext::CTlsContext(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
CTlsContext::~CTlsContext() = default;

bool CTlsContext::supported()
{
    return true;
}

std::shared_ptr<CTlsContext> CTlsContext::forServer(const std::string& certFile, const std::string& keyFile)
{
    auto impl = std::make_unique<Impl>();
    impl->server = true;
    impl->ctx = newContext(TLS_server_method());
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(impl->ctx, certFile.c_str()) != 1)
        throw CTlsError("TLS certificate '" + certFile + "' cannot be used: " + lastError());
    if (SSL_CTX_use_PrivateKey_file(impl->ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw CTlsError("TLS key '" + keyFile + "' cannot be used: " + lastError());
    if (SSL_CTX_check_private_key(impl->ctx) != 1)
        throw CTlsError("TLS key '" + keyFile + "' does not belong to certificate '" + certFile + "'");
    // Sessions are not resumed, so tickets would be bytes for nothing.
    SSL_CTX_set_num_tickets(impl->ctx, 0);
    return std::shared_ptr<CTlsContext>(new CTlsContext(std::move(impl)));
}

std::shared_ptr<CTlsContext> CTlsContext::forClient(const std::string& trustFile)
{
    auto impl = std::make_unique<Impl>();
    impl->ctx = newContext(TLS_client_method());
    ERR_clear_error();
    // Only this file: the system's CAs would let any public certificate for
    // the name pass.
    if (SSL_CTX_load_verify_locations(impl->ctx, trustFile.c_str(), nullptr) != 1)
        throw CTlsError("TLS trust file '" + trustFile + "' cannot be used: " + lastError());
    // A pinned self-signed certificate is its own anchor; a pinned leaf
    // issued by a CA is accepted as well.
    X509_STORE_set_flags(SSL_CTX_get_cert_store(impl->ctx), X509_V_FLAG_PARTIAL_CHAIN);
    SSL_CTX_set_verify(impl->ctx, SSL_VERIFY_PEER, nullptr);
    return std::shared_ptr<CTlsContext>(new CTlsContext(std::move(impl)));
}

CTlsSession::CTlsSession(std::shared_ptr<CTlsContext> context, ITlsLower& lower, const std::string& host)
    : m_impl(std::make_unique<Impl>(std::move(context), lower))
{
    CTlsContext::Impl& c = m_impl->context->impl();
    m_impl->ssl = SSL_new(c.ctx);
    if (m_impl->ssl == nullptr)
        throw CTlsError("TLS session: " + lastError());
    BIO* bio = BIO_new(lowerMethod());
    if (bio == nullptr)
        throw CTlsError("TLS session: " + lastError());
    BIO_set_data(bio, m_impl.get());
    SSL_set_bio(m_impl->ssl, bio, bio);
    if (c.server)
    {
        SSL_set_accept_state(m_impl->ssl);
        return;
    }
    SSL_set_connect_state(m_impl->ssl);
    X509_VERIFY_PARAM* param = SSL_get0_param(m_impl->ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // A dotted address must be among the certificate's addresses, a name
    // among its names.
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1)
    {
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        SSL_set_tlsext_host_name(m_impl->ssl, host.c_str());
    }
}

CTlsSession::~CTlsSession() = default;

void CTlsSession::handshake(std::chrono::steady_clock::time_point deadline)
{
    Impl& s = *m_impl;
    for (;;)
    {
        s.beginCall();
        int r = SSL_do_handshake(s.ssl);
        s.rethrowLower();
        if (r == 1)
            return;
        int error = SSL_get_error(s.ssl, r);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            throw CTlsError("TLS handshake failed: " + s.reason());
        if (std::chrono::steady_clock::now() >= deadline)
            throw CTlsError("TLS handshake did not finish in time");
    }
}

uint32_t CTlsSession::sendSome(const uint8_t* bytes, uint32_t length)
{
    Impl& s = *m_impl;
    if (length == 0)
        return 0;
    s.beginCall();
    size_t written = 0;
    int r = SSL_write_ex(s.ssl, bytes, length, &written);
    s.rethrowLower();
    if (r == 1)
        return static_cast<uint32_t>(written);
    int error = SSL_get_error(s.ssl, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return 0;
    throw CTlsError("TLS send failed: " + s.reason());
}

uint32_t CTlsSession::receiveSome(uint8_t* buffer, uint32_t capacity)
{
    Impl& s = *m_impl;
    s.beginCall();
    size_t got = 0;
    int r = SSL_read_ex(s.ssl, buffer, capacity, &got);
    s.rethrowLower();
    if (r == 1)
        return static_cast<uint32_t>(got);
    int error = SSL_get_error(s.ssl, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return 0;
    if (error == SSL_ERROR_ZERO_RETURN)
        throw CTlsError("the peer closed the TLS session");
    throw CTlsError("TLS receive failed: " + s.reason());
}

std::string CTlsSession::description() const
{
    return std::string(SSL_get_version(m_impl->ssl)) + " " + SSL_get_cipher_name(m_impl->ssl);
}

} // namespace platform
