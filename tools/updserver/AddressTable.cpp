#include "tools/updserver/AddressTable.h"

#include <algorithm>

namespace
{
// Failed logins are forgotten after this long without another one.
constexpr std::chrono::hours kFailureMemory{1};
// Beyond this many addresses the table drops what it no longer needs first.
constexpr size_t kPruneAbove = 4096;
} // namespace

CAddressTable::CAddressTable(Limits limits) : limits(limits) {}

std::string CAddressTable::addressOf(const std::string& peer)
{
    size_t colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
}

bool CAddressTable::addSession(const std::string& address)
{
    std::lock_guard<std::mutex> hold(lock);
    Entry& e = entries[address];
    if (e.sessions >= limits.maxSessions)
        return false;
    ++e.sessions;
    return true;
}

void CAddressTable::removeSession(const std::string& address)
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = entries.find(address);
    if (it == entries.end())
        return;
    if (it->second.sessions > 0)
        --it->second.sessions;
    if (it->second.sessions == 0 && it->second.failures == 0)
        entries.erase(it);
}

unsigned CAddressTable::sessions(const std::string& address) const
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = entries.find(address);
    return it == entries.end() ? 0 : it->second.sessions;
}

std::chrono::seconds CAddressTable::loginWait(const std::string& address, Clock::time_point now) const
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = entries.find(address);
    if (it == entries.end() || it->second.lockedUntil <= now)
        return std::chrono::seconds(0);
    // Rounded up, so a wait never reads as zero while it lasts.
    return std::chrono::ceil<std::chrono::seconds>(it->second.lockedUntil - now);
}

std::chrono::seconds CAddressTable::loginFailed(const std::string& address, Clock::time_point now)
{
    std::lock_guard<std::mutex> hold(lock);
    if (entries.size() >= pruneAt) {
        forgetIdle(now);
        // Pruned again only when the table has doubled, so a crowd of
        // addresses costs no scan per login.
        pruneAt = std::max(kPruneAbove, 2 * entries.size());
    }
    Entry& e = entries[address];
    if (e.failures > 0 && now - e.lastFailure > kFailureMemory)
        e.failures = 0;
    ++e.failures;
    e.lastFailure = now;
    if (e.failures < limits.freeLoginTries)
        return std::chrono::seconds(0);
    // Doubles with every further miss: 2, 4, 8 ... seconds up to the limit.
    unsigned extra = std::min(e.failures - limits.freeLoginTries, 30u);
    std::chrono::seconds wait = limits.firstLock * (uint64_t(1) << extra);
    if (wait > limits.maxLock || wait.count() < 0)
        wait = limits.maxLock;
    e.lockedUntil = now + wait;
    return wait;
}

void CAddressTable::loginSucceeded(const std::string& address)
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = entries.find(address);
    if (it == entries.end())
        return;
    it->second.failures = 0;
    it->second.lockedUntil = {};
    if (it->second.sessions == 0)
        entries.erase(it);
}

size_t CAddressTable::tracked() const
{
    std::lock_guard<std::mutex> hold(lock);
    return entries.size();
}

void CAddressTable::forgetIdle(Clock::time_point now)
{
    for (auto it = entries.begin(); it != entries.end();) {
        const Entry& e = it->second;
        bool idle = e.sessions == 0 && e.lockedUntil <= now && now - e.lastFailure > kFailureMemory;
        it = idle ? entries.erase(it) : std::next(it);
    }
    // Still crowded: recent misses of addresses no longer locked go as well.
    if (entries.size() >= 4 * kPruneAbove)
        for (auto it = entries.begin(); it != entries.end();)
            it = it->second.sessions == 0 && it->second.lockedUntil <= now ? entries.erase(it) : std::next(it);
    // A crowd that large is an attack from many hosts: the table's size
    // matters more than their waits.
    if (entries.size() >= 4 * kPruneAbove)
        for (auto it = entries.begin(); it != entries.end();)
            it = it->second.sessions == 0 ? entries.erase(it) : std::next(it);
}
