// CUpdServer: the TLS offer. Certificate and key go together; a server that
// requires TLS without having it would refuse everyone, so that is an error
// at start, not a surprise for the first client.
#include "newupdatesystem/Common/Log.h"
#include "tools/updserver/UpdServer.h"

void CUpdServer::loadTls()
{
    const bool cert = !m_opts.tlsCertFile.empty();
    const bool key = !m_opts.tlsKeyFile.empty();
    if (cert != key)
        throw std::runtime_error("TLS needs both a certificate and its key (--tls-cert and --tls-key)");
    if (!cert)
    {
        if (m_opts.tlsRequired)
            throw std::runtime_error("--tls-required needs --tls-cert and --tls-key");
        return;
    }
    try
    {
        m_tls = platform::CTlsContext::forServer(m_opts.tlsCertFile.string(), m_opts.tlsKeyFile.string());
    }
    catch (const platform::CTlsError& e)
    {
        throw std::runtime_error(e.what());
    }
    logInfo("TLS offered with certificate '%s'%s", m_opts.tlsCertFile.string().c_str(),
            m_opts.tlsRequired ? ", sessions in clear refused" : "");
}
