// The reference update server: publishes a content tree, the launcher's own
// files and the ignore patterns, and serves one session per connection on its
// own thread (see ServerSession). Also runs the operator's commands.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ServerSocket.h"
#include "platform/Tls.h"
#include "tools/updserver/AccessPolicy.h"
#include "tools/updserver/AddressTable.h"
#include "tools/updserver/ChunkIndexStore.h"
#include "tools/updserver/ContentStore.h"
#include "tools/updserver/Metrics.h"
#include "tools/updserver/MetricsEndpoint.h"
#include "tools/updserver/PackCache.h"
#include "tools/updserver/Users.h"

class CServerSession;

struct ServerOptions
{
    std::filesystem::path root;
    std::filesystem::path selfUpdateDir; // empty: no self-update files
    std::filesystem::path ignoreFile;    // empty: no ignore patterns
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 25859;
    std::filesystem::path usersFile; // empty: no logins
    unsigned maxClients = 64;
    unsigned ioTimeoutSeconds = 60;
    uint64_t cacheBytes = 256ull << 20;
    bool prepack = false;           // pack every published file in the background while serving
    unsigned packThreads = 0;       // packing threads; 0: one per processor
    unsigned packWaitSeconds = 300; // how long a client waits for its file to be packed
    unsigned packReadAhead = 4;     // files of the list packed ahead of one a client asks for
    std::filesystem::path cacheDir; // packed files kept on disk; empty: in memory only
    uint64_t cacheDirBytes = 4096ull << 20;
    bool cacheDirOptional = false;          // when the folder cannot be made, warn and go on without it
    bool allowAnonymousChanges = false;     // changes and commands without a login
    unsigned handshakeTimeoutSeconds = 10;  // from the connection to the first request
    unsigned maxPerAddress = 32;            // sessions one address may hold at once
    unsigned loginTries = 5;                // failed logins per address before it must wait
    uint64_t maxUploadBytes = 256ull << 20; // unpacked size of one upload
    unsigned graceSeconds = 30;             // how long a stop waits for running sessions to finish
    std::string metricsAddress;             // empty: no metrics endpoint
    // A session that took fewer than minProgressBytes in a window of this
    // many seconds (0: the I/O time-out) is closed; when the server or the
    // address is full, one without progress for yieldAfterSeconds gives its
    // slot to a new client. Sessions logged in with an account are exempt.
    unsigned progressWindowSeconds = 0;
    uint64_t minProgressBytes = 64u << 10;
    unsigned yieldAfterSeconds = 5;
    std::filesystem::path tlsCertFile; // with tlsKeyFile: offer TLS to clients that opt in
    std::filesystem::path tlsKeyFile;
    bool tlsRequired = false; // refuse sessions that stay in clear
};

class CUpdServer
{
public:
    explicit CUpdServer(ServerOptions options);
    ~CUpdServer();
    CUpdServer(const CUpdServer&) = delete;
    CUpdServer& operator=(const CUpdServer&) = delete;

    // Loads the users, builds the lists and starts listening; throws on any
    // failure (std::exception or CExcep), before a client could connect.
    void start();
    uint16_t port() const { return m_listener.port(); }

    // Accepts connections until stop is set (tested several times a second),
    // then drains: accepts no more, lets running sessions finish for up to
    // the grace time, ends the rest and waits for their threads. Each
    // increment of *reloads since it was zero rebuilds the lists as "up" does,
    // off the accepting thread.
    void run(const std::atomic<bool>& stop, const std::atomic<unsigned>* reloads = nullptr);
    uint16_t metricsPort() const { return m_endpoint.port(); }

    // --- for the sessions ---
    const ServerOptions& options() const { return m_opts; }
    CContentStore& store() { return *m_content; }
    CPackCache& cache() { return m_packs; }
    CChunkIndexStore& chunkIndexes() { return m_indexes; }
    const CUsers& users() const { return m_accounts; }
    bool loginRequired() const { return !m_accounts.empty(); }
    const CAccessPolicy& access() const { return *m_policy; }
    // Null when the server does not offer TLS.
    const std::shared_ptr<platform::CTlsContext>& tlsContext() const { return m_tls; }
    CAddressTable& addresses() { return m_peers; }
    bool suspended() const { return m_isSuspended.load(); }
    void countServed(uint64_t bytes, uint64_t files = 1);
    CMetrics& metrics() { return m_counters; }
    CMetrics::Sample sample();
    // Runs an operator command; the lines to echo go to out (possibly none).
    void execCommand(const std::string& text, std::vector<std::string>& out);
    // SIGHUP reads the users file again (before rebuilding the lists); a bad
    // file keeps the accounts there were.
    void reloadUsers();

private:
    void openPackStore();
    // The TLS offer from the certificate and key options (UpdServerTls.cpp).
    void loadTls();
    void prepackAll();
    std::vector<std::filesystem::path> publishedFiles() const;
    void startSession(int fd, const std::string& peer);
    void finishSession(CServerSession* session);
    void enforceHandshakeDeadline();
    // In UpdServerLimits.cpp, called with m_sessionLock held.
    bool admit(const std::string& peer);
    bool makeRoom(const std::string& address, bool sameAddress);
    void release(CServerSession* session, const char* why);
    void enforceProgress();
    void drain();

    ServerOptions m_opts;
    std::unique_ptr<CContentStore> m_content;
    CPackCache m_packs;
    CChunkIndexStore m_indexes;
    CUsers m_accounts;
    std::unique_ptr<CAccessPolicy> m_policy;
    std::shared_ptr<platform::CTlsContext> m_tls;
    CAddressTable m_peers;
    platform::CServerSocket m_listener;
    std::atomic<bool> m_isSuspended{false};
    std::atomic<uint64_t> m_filesServed{0};
    std::atomic<uint64_t> m_bytesServed{0};
    std::atomic<uint64_t> m_sessionsTotal{0};
    std::atomic<bool> m_draining{false};
    CMetrics m_counters;
    CMetricsEndpoint m_endpoint;

    std::mutex m_sessionLock;
    std::condition_variable m_sessionsChanged;
    std::set<CServerSession*> m_sessions;
    unsigned m_busySessions = 0;          // sessions that only answer "Busy"
    std::set<CServerSession*> m_overdue;  // interrupted for missing the handshake deadline
    std::set<CServerSession*> m_released; // interrupted, their slot already given to others
};
