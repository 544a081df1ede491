#include "platform/Tls.h"

// SChannel is not wired in yet: a Windows build refuses TLS in so many words
// rather than talking in clear to a peer that asked for privacy.

namespace platform
{

namespace
{
const char* const kUnsupported = "TLS is not supported in this build";
}

struct CTlsContext::Impl
{
};

struct CTlsSession::Impl
{
};

CTlsContext::CTlsContext(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
CTlsContext::~CTlsContext() = default;

bool CTlsContext::supported()
{
    return false;
}

std::shared_ptr<CTlsContext> CTlsContext::forServer(const std::string&, const std::string&)
{
    throw CTlsError(kUnsupported);
}

std::shared_ptr<CTlsContext> CTlsContext::forClient(const std::string&)
{
    throw CTlsError(kUnsupported);
}

CTlsSession::CTlsSession(std::shared_ptr<CTlsContext>, ITlsLower&, const std::string&)
{
    throw CTlsError(kUnsupported);
}

CTlsSession::~CTlsSession() = default;

void CTlsSession::handshake(std::chrono::steady_clock::time_point)
{
    throw CTlsError(kUnsupported);
}

uint32_t CTlsSession::sendSome(const uint8_t*, uint32_t)
{
    throw CTlsError(kUnsupported);
}

uint32_t CTlsSession::receiveSome(uint8_t*, uint32_t)
{
    throw CTlsError(kUnsupported);
}

std::string CTlsSession::description() const
{
    return {};
}

} // namespace platform
