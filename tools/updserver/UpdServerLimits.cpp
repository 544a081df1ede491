// CUpdServer: who gets a slot. A session keeps its slot while it delivers;
// one that only holds it (idle, trickling requests that move nothing, never
// reading) is closed after a window without enough progress, and gives its
// slot to a new client sooner when the server or its address is full.
#include <algorithm>

#include "newupdatesystem/Common/Log.h"
#include "tools/updserver/ServerSession.h"
#include "tools/updserver/UpdServer.h"

namespace
{
std::chrono::seconds progressWindow(const ServerOptions& o)
{
    return std::chrono::seconds(o.progressWindowSeconds ? o.progressWindowSeconds : o.ioTimeoutSeconds);
}
} // namespace

// Whether the new connection is served: a slot is free, or one is freed.
bool CUpdServer::admit(const std::string& peer)
{
    const std::string address = CAddressTable::addressOf(peer);
    size_t serving = m_sessions.size() - m_busySessions - m_released.size();
    if (serving >= m_opts.maxClients && !makeRoom(address, false))
        return false;
    if (m_peers.addSession(address))
        return true;
    if (makeRoom(address, true) && m_peers.addSession(address))
        return true;
    logWarning("%s: the address holds %u sessions already", peer.c_str(), m_opts.maxPerAddress);
    return false;
}

// Closes the session that has gone longest without progress, if that is
// at least the yield time, from the address when sameAddress, else from the
// address holding the most sessions. False when every session is busy.
bool CUpdServer::makeRoom(const std::string& address, bool sameAddress)
{
    const auto now = std::chrono::steady_clock::now();
    const auto yieldAfter = std::chrono::seconds(m_opts.yieldAfterSeconds);
    CServerSession* victim = nullptr;
    unsigned victimHeld = 0;
    for (CServerSession* s : m_sessions)
    {
        if (s->mode() != CServerSession::SERVE || s->trusted() || m_released.count(s) || m_overdue.count(s))
            continue;
        const std::string from = CAddressTable::addressOf(s->peerName());
        if ((sameAddress && from != address) || now - s->progress().lastProgress() < yieldAfter)
            continue;
        const unsigned held = m_peers.sessions(from);
        if (!victim || held > victimHeld ||
            (held == victimHeld && s->progress().lastProgress() < victim->progress().lastProgress()))
        {
            victim = s;
            victimHeld = held;
        }
    }
    if (!victim)
        return false;
    release(victim, "gives its slot to a new client");
    return true;
}

void CUpdServer::release(CServerSession* session, const char* why)
{
    const auto idle = std::chrono::steady_clock::now() - session->progress().lastProgress();
    logWarning("%s: %llu bytes taken in all, the last %lld seconds ago: %s", session->peerName().c_str(),
               static_cast<unsigned long long>(session->progress().total()),
               static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(idle).count()), why);
    m_peers.removeSession(CAddressTable::addressOf(session->peerName()));
    m_released.insert(session);
    session->interrupt();
}

// A session must take at least the minimum in every window, from its start
// to its end; checked from the accept loop several times a second.
void CUpdServer::enforceProgress()
{
    const auto now = std::chrono::steady_clock::now();
    const auto window = progressWindow(m_opts);
    std::lock_guard<std::mutex> hold(m_sessionLock);
    std::vector<CServerSession*> slow;
    for (CServerSession* s : m_sessions)
    {
        if (s->mode() != CServerSession::SERVE || s->trusted() || m_released.count(s) || m_overdue.count(s))
            continue;
        if (s->progress().fellShort(now, window, m_opts.minProgressBytes))
            slow.push_back(s);
    }
    for (CServerSession* s : slow)
    {
        m_counters.countError(CMetrics::ERR_TIMEOUT);
        release(s, "too little progress, closing");
    }
}
