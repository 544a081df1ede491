// What the server remembers about each client address: how many sessions it
// holds, so that one host cannot take every slot, and its failed logins, so
// that guessing passwords gets slower with every miss. Addresses are the IPv4
// text without the port. Thread-safe; the caller passes the time, so the
// back-off can be checked without waiting for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

class CAddressTable
{
public:
    using Clock = std::chrono::steady_clock;

    struct Limits
    {
        unsigned maxSessions = 32;   // sessions one address may hold at once
        unsigned freeLoginTries = 5; // failed logins that lock the address for a while
        std::chrono::seconds firstLock{2};
        std::chrono::seconds maxLock{900};
        // Failed logins of all addresses together before every login must
        // wait: guesses spread over many addresses get slower too.
        unsigned globalFreeLoginTries = 50;
    };

    explicit CAddressTable(Limits limits);

    // "a.b.c.d" of "a.b.c.d:port".
    static std::string addressOf(const std::string& peer);

    // Counts a session for the address; false (and nothing counted) when the
    // address already holds its limit.
    bool addSession(const std::string& address);
    void removeSession(const std::string& address);
    unsigned sessions(const std::string& address) const;

    // How long the address must still wait before a login of it is checked;
    // zero when it may try now.
    std::chrono::seconds loginWait(const std::string& address, Clock::time_point now) const;
    // Records a failed login; returns the wait it now has before the next try.
    std::chrono::seconds loginFailed(const std::string& address, Clock::time_point now);
    void loginSucceeded(const std::string& address);

    // Addresses held; at most about 32768 (those locked or with sessions aside).
    size_t tracked() const;

private:
    struct Entry
    {
        unsigned sessions = 0;
        unsigned failures = 0;
        Clock::time_point lockedUntil{};
        Clock::time_point lastFailure{};
    };

    void forgetIdle(Clock::time_point now);
    // The wait that failures of all addresses together impose; the lock is held.
    std::chrono::seconds backOff(Entry& e, unsigned freeTries, Clock::time_point now);

    Limits m_limits;
    mutable std::mutex m_lock;
    std::map<std::string, Entry> m_entries;
    size_t m_pruneAt = 4096;
    Entry m_everyone; // the failures of all addresses together
};
