// TLS 1.3 over a connection that the caller already holds, from the system's
// library (OpenSSL on Linux). The session never touches the socket itself: it
// moves its records through a lower link that waits at most one short slice
// per call, so every wait keeps the caller's deadlines and stop checks, as the
// plain connection does.
//
// A server context holds a certificate chain and its key; a client context
// trusts only the certificates of one file (the server's own certificate,
// pinned, or the CA that issued it) and checks that the certificate names the
// host the client connected to.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace platform
{

// The connection under a TLS session. Each call waits at most one short slice
// and returns the count of bytes moved, 0 when none moved yet. A connection
// that is gone may raise anything: the session carries it through the
// library's frames and raises it again to its own caller.
class ITlsLower
{
public:
    virtual ~ITlsLower() = default;
    virtual uint32_t lowerSend(const uint8_t* bytes, uint32_t length) = 0;
    virtual uint32_t lowerReceive(uint8_t* buffer, uint32_t capacity) = 0;
};

// A TLS failure: a refused certificate, a broken record, a handshake that
// did not end in time. The text is fit for a log line.
class CTlsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class CTlsContext
{
public:
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // False in a build without TLS; the factories then raise CTlsError.
    static bool supported();
    // PEM certificate chain (leaf first) and PEM private key. Raises CTlsError
    // naming the file that cannot be used.
    static std::shared_ptr<CTlsContext> forServer(const std::string& certFile, const std::string& keyFile);
    // PEM file of the certificates trusted as the server's or as its issuer.
    static std::shared_ptr<CTlsContext> forClient(const std::string& trustFile);

    struct Impl;
    Impl& impl() { return *m_impl; }

private:
    explicit CTlsContext(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

class CTlsSession
{
public:
    // host: for a client, the name or dotted address the certificate must
    // name; ignored for a server.
    CTlsSession(std::shared_ptr<CTlsContext> context, ITlsLower& lower, const std::string& host = {});
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // Runs the handshake to its end. Raises CTlsError when it fails (the
    // reason in the text: for example the certificate does not match) or
    // does not end before the deadline; whatever the lower link raised is
    // raised again.
    void handshake(std::chrono::steady_clock::time_point deadline);

    // Like the lower link: at most one slice of waiting for the connection,
    // the count moved, 0 when none yet. A closed or broken session raises
    // CTlsError. sendSome must be called again with the same bytes after it
    // returned 0.
    uint32_t sendSome(const uint8_t* bytes, uint32_t length);
    uint32_t receiveSome(uint8_t* buffer, uint32_t capacity);

    // The negotiated protocol and cipher, for the log.
    std::string description() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace platform
