#include "tools/updserver/AddressTable.h"

#include <algorithm>

namespace
{
// Failed logins are forgotten after this long without another one.
constexpr std::chrono::hours kFailureMemory{1};
// Beyond this many addresses the table drops what it no longer needs first.
constexpr size_t kPruneAbove = 4096;
} // namespace

CAddressTable::CAddressTable(Limits limits) : m_limits(limits) {}

std::string CAddressTable::addressOf(const std::string& peer)
{
    size_t colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
}

bool CAddressTable::addSession(const std::string& address)
{
    std::lock_guard<std::mutex> hold(m_lock);
    Entry& e = m_entries[address];
    if (e.sessions >= m_limits.maxSessions)
        return false;
    ++e.sessions;
    return true;
}

void CAddressTable::removeSession(const std::string& address)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_entries.find(address);
    if (it == m_entries.end())
        return;
    if (it->second.sessions > 0)
        --it->second.sessions;
    if (it->second.sessions == 0 && it->second.failures == 0)
        m_entries.erase(it);
}

unsigned CAddressTable::sessions(const std::string& address) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_entries.find(address);
    return it == m_entries.end() ? 0 : it->second.sessions;
}

std::chrono::seconds CAddressTable::loginWait(const std::string& address, Clock::time_point now) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_entries.find(address);
    Clock::time_point until = m_everyone.lockedUntil;
    if (it != m_entries.end())
        until = std::max(until, it->second.lockedUntil);
    if (until <= now)
        return std::chrono::seconds(0);
    // Rounded up, so a wait never reads as zero while it lasts.
    return std::chrono::ceil<std::chrono::seconds>(until - now);
}

std::chrono::seconds CAddressTable::loginFailed(const std::string& address, Clock::time_point now)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_entries.size() >= m_pruneAt)
    {
        forgetIdle(now);
        // Pruned again only when the table has doubled, so a crowd of
        // addresses costs no scan per login.
        m_pruneAt = std::max(kPruneAbove, 2 * m_entries.size());
    }
    std::chrono::seconds everyone = backOff(m_everyone, m_limits.globalFreeLoginTries, now);
    return std::max(backOff(m_entries[address], m_limits.freeLoginTries, now), everyone);
}

std::chrono::seconds CAddressTable::backOff(Entry& e, unsigned freeTries, Clock::time_point now)
{
    if (e.failures > 0 && now - e.lastFailure > kFailureMemory)
        e.failures = 0;
    ++e.failures;
    e.lastFailure = now;
    if (e.failures < freeTries)
        return std::chrono::seconds(0);
    // Doubles with every further miss: 2, 4, 8 ... seconds up to the limit.
    unsigned extra = std::min(e.failures - freeTries, 30u);
    std::chrono::seconds wait = m_limits.firstLock * (uint64_t(1) << extra);
    if (wait > m_limits.maxLock || wait.count() < 0)
        wait = m_limits.maxLock;
    e.lockedUntil = now + wait;
    return wait;
}

void CAddressTable::loginSucceeded(const std::string& address)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_entries.find(address);
    if (it == m_entries.end())
        return;
    it->second.failures = 0;
    it->second.lockedUntil = {};
    if (it->second.sessions == 0)
        m_entries.erase(it);
}

size_t CAddressTable::tracked() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_entries.size();
}

void CAddressTable::forgetIdle(Clock::time_point now)
{
    for (auto it = m_entries.begin(); it != m_entries.end();)
    {
        const Entry& e = it->second;
        bool idle = e.sessions == 0 && e.lockedUntil <= now && now - e.lastFailure > kFailureMemory;
        it = idle ? m_entries.erase(it) : std::next(it);
    }
    // Still crowded: recent misses of addresses no longer locked go as well.
    if (m_entries.size() >= 4 * kPruneAbove)
        for (auto it = m_entries.begin(); it != m_entries.end();)
            it = it->second.sessions == 0 && it->second.lockedUntil <= now ? m_entries.erase(it)
                                                                           : std::next(it);
    // A crowd that large is an attack from many hosts: the table's size
    // matters more than their waits.
    if (m_entries.size() >= 4 * kPruneAbove)
        for (auto it = m_entries.begin(); it != m_entries.end();)
            it = it->second.sessions == 0 ? m_entries.erase(it) : std::next(it);
}
