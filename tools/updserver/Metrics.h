// The server's figures for operators: counters the sessions bump, and one
// sample of everything rendered either as Prometheus text (the metrics
// endpoint) or as plain lines (the "status" command), so both always show
// the same numbers.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CMetrics
{
public:
    enum ErrorKind
    {
        ERR_PROTOCOL,  // the client broke the protocol
        ERR_TIMEOUT,   // the client went silent or stopped reading
        ERR_NOT_FOUND, // a name that is not published (or no longer matches its list)
        ERR_READ,      // a published file could not be read or packed
        ERR_LOGIN,     // a login or a right was refused
        ERR_SESSION,   // a session ended by an unexpected exception
        ERR_RELOAD,    // rebuilding the lists failed
        ERR_KINDS
    };
    static const char* errorName(ErrorKind kind);

    void countError(ErrorKind kind) { m_errorCounts[kind].fetch_add(1, std::memory_order_relaxed); }
    uint64_t errors(ErrorKind kind) const { return m_errorCounts[kind].load(std::memory_order_relaxed); }

    struct Sample
    {
        uint64_t sessionsOpen = 0;
        uint64_t sessionsTotal = 0;
        uint64_t filesServed = 0;
        uint64_t bytesServed = 0;
        uint64_t cacheHits = 0;
        uint64_t cacheMisses = 0;
        uint64_t cacheBytes = 0;
        uint64_t cacheEntries = 0;
        double packSeconds = 0;
        std::array<uint64_t, ERR_KINDS> errors{};
        std::string release;
        std::vector<std::string> releasesInUse; // current first
        uint64_t publishedFiles = 0;
        uint64_t publishedBytes = 0;
        bool suspended = false;
        bool draining = false;
    };

    // Prometheus text exposition format, version 0.0.4.
    static std::string prometheusText(const Sample& s);
    // The same figures as "name value" lines for the control session.
    static std::vector<std::string> statusLines(const Sample& s);

private:
    std::array<std::atomic<uint64_t>, ERR_KINDS> m_errorCounts{};
};
