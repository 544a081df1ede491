#include "tools/updserver/UpdServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "tools/updserver/ServerSession.h"

namespace fs = std::filesystem;

namespace
{
// How long the accept loop waits before it looks at the stop flag again.
constexpr int kAcceptPollMs = 200;
// Connections beyond the client limit still get a "Busy" answer, but only this
// many at a time; further ones are closed at once.
constexpr unsigned kMaxBusySessions = 16;

std::string trimLower(const std::string& text)
{
    size_t b = text.find_first_not_of(" \t\r\n");
    size_t e = text.find_last_not_of(" \t\r\n");
    std::string s = b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Each session runs on a thread of its own: what it served is counted there
// too, for the one line that sums the session up when it ends.
struct SessionTally
{
    uint64_t files = 0;
    uint64_t bytes = 0;
};
thread_local SessionTally tally;

std::string describe(const CExcep& e)
{
    return "exception " + std::to_string(e.code) + " at " + e.formatSource();
}

CAddressTable::Limits addressLimits(const ServerOptions& o)
{
    CAddressTable::Limits limits;
    limits.maxSessions = o.maxPerAddress;
    limits.freeLoginTries = o.loginTries;
    return limits;
}

CPackCache::Options packOptions(const ServerOptions& o)
{
    CPackCache::Options p;
    p.budget = o.cacheBytes;
    p.workers = o.packThreads;
    p.waitLimit = std::chrono::seconds(o.packWaitSeconds);
    p.readAhead = o.packReadAhead;
    p.maxPacked = DATA_TRANSFER_LIMIT;
    return p;
}

// Whether path is folder or lies below it, after resolving links and dots.
bool isWithin(const fs::path& path, const fs::path& folder)
{
    std::error_code ec;
    fs::path p = fs::weakly_canonical(path, ec);
    fs::path f = fs::weakly_canonical(folder, ec);
    if (ec || f.empty())
        return false;
    auto fi = f.begin(), pi = p.begin();
    for (; fi != f.end(); ++fi, ++pi)
    {
        if (fi->empty() && std::next(fi) == f.end())
            break; // a trailing separator
        if (pi == p.end() || *pi != *fi)
            return false;
    }
    return true;
}
} // namespace

CUpdServer::CUpdServer(ServerOptions options)
    : m_opts(std::move(options)), m_packs(packOptions(m_opts)), m_peers(addressLimits(m_opts))
{
}

CUpdServer::~CUpdServer()
{
    // Its thread reads the server's figures.
    m_endpoint.stop();
}

void CUpdServer::start()
{
    if (!fs::is_directory(m_opts.root))
        throw std::runtime_error("content folder '" + m_opts.root.string() + "' does not exist");
    if (!m_opts.selfUpdateDir.empty() && !fs::is_directory(m_opts.selfUpdateDir))
        throw std::runtime_error("self-update folder '" + m_opts.selfUpdateDir.string() + "' does not exist");
    if (!m_opts.usersFile.empty())
    {
        m_accounts.loadFromFile(m_opts.usersFile.string());
        if (m_accounts.empty())
            throw std::runtime_error("the users file '" + m_opts.usersFile.string() + "' names no user");
    }
    loadTls();
    m_policy = std::make_unique<CAccessPolicy>(
        !m_accounts.empty(), m_opts.allowAnonymousChanges ? CAccessPolicy::ANONYMOUS_CHANGES_ALLOWED
                                                          : CAccessPolicy::CHANGES_NEED_LOGIN);
    std::string exposure = m_policy->exposureWarning(m_opts.bindAddress);
    if (!exposure.empty())
        logWarning("Warning: %s", exposure.c_str());
    if (m_opts.ignoreFile.empty())
        logWarning("Warning: no ignore list (--ignore): clients delete every file the published tree does "
                   "not hold, the launcher and the players' settings included");
    m_content = std::make_unique<CContentStore>(m_opts.root, m_opts.selfUpdateDir, m_opts.ignoreFile);
    logInfo("Building the file lists of '%s'...", m_opts.root.string().c_str());
    try
    {
        m_content->rebuild();
    }
    catch (const CExcep& e)
    {
        throw std::runtime_error("cannot build the file lists: " + describe(e));
    }
    auto snap = m_content->snapshot();
    logInfo("Publishing %u files in %u folders, %llu bytes", snap->content.fileCount,
            snap->content.folderCount, static_cast<unsigned long long>(snap->content.totalSize));
    openPackStore();
    m_packs.setOrder(publishedFiles());
    m_listener.listenOn(m_opts.bindAddress, m_opts.port, 64);
    if (m_opts.prepack)
        prepackAll();
    if (!m_opts.metricsAddress.empty())
    {
        m_endpoint.start(m_opts.metricsAddress, [this] { return CMetrics::prometheusText(sample()); });
        logInfo("Metrics on %s (port %u)", m_opts.metricsAddress.c_str(), m_endpoint.port());
    }
}

// The packed files on disk must never be published: they would be listed and
// served as content.
void CUpdServer::openPackStore()
{
    if (m_opts.cacheDir.empty() || m_opts.cacheDirBytes == 0)
        return;
    for (const fs::path& published : {m_opts.root, m_opts.selfUpdateDir})
    {
        if (published.empty() || !isWithin(m_opts.cacheDir, published))
            continue;
        std::string why = "the cache folder '" + m_opts.cacheDir.string() +
                          "' must lie outside the published folder '" + published.string() + "'";
        if (!m_opts.cacheDirOptional)
            throw std::runtime_error(why);
        logWarning("Packed files are kept in memory only: %s", why.c_str());
        return;
    }
    try
    {
        m_packs.openStore(m_opts.cacheDir, m_opts.cacheDirBytes);
    }
    catch (const std::exception& e)
    {
        if (!m_opts.cacheDirOptional)
            throw std::runtime_error("cannot use the cache folder '" + m_opts.cacheDir.string() +
                                     "': " + e.what());
        logWarning("Packed files are kept in memory only: %s", e.what());
        return;
    }
    CPackCache::Stats cs = m_packs.stats();
    logInfo("Cache folder '%s': %llu packed files, %llu bytes", m_opts.cacheDir.string().c_str(),
            static_cast<unsigned long long>(cs.diskEntries), static_cast<unsigned long long>(cs.diskBytes));
}

// Queues every published file for packing on the worker threads, behind the
// clients' own requests, so that clients are served from the start and later
// ones from the cache. Files that cannot be packed are logged and left to the
// request.
void CUpdServer::prepackAll()
{
    std::vector<fs::path> files = publishedFiles();
    logInfo("Packing %zu files in the background...", files.size());
    for (const fs::path& disk : files)
        m_packs.prepack(disk);
}

// The disk paths of the published files, in the order of the lists.
std::vector<fs::path> CUpdServer::publishedFiles() const
{
    auto snap = m_content->snapshot();
    std::vector<std::string> paths;
    auto walk = [&](auto& self, const FolderMap& map, const std::string& prefix) -> void
    {
        for (const auto& [name, entry] : map)
        {
            std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (entry.isFolder())
                self(self, *entry.child, path);
            else
                paths.push_back(path);
        }
    };
    walk(walk, snap->content.root, "");
    walk(walk, snap->self.root, "");
    std::vector<fs::path> files;
    for (const std::string& path : paths)
    {
        fs::path disk;
        if (m_content->locate(*snap, path, disk))
            files.push_back(std::move(disk));
    }
    return files;
}

void CUpdServer::run(const std::atomic<bool>& stop, const std::atomic<unsigned>* reloads)
{
    // Counted from zero: a reload asked for between "listening" and here
    // must not be lost.
    unsigned reloadsSeen = 0;
    std::thread reloader;
    std::atomic<bool> reloading{false};
    while (!stop.load())
    {
        if (reloads && reloads->load() != reloadsSeen && !reloading.load())
        {
            reloadsSeen = reloads->load();
            if (reloader.joinable())
                reloader.join();
            reloading = true;
            logInfo("Reload requested");
            reloader = std::thread(
                [this, &reloading]
                {
                    std::vector<std::string> out;
                    reloadUsers();
                    execCommand("up", out);
                    reloading = false;
                });
        }
        std::string peer;
        int fd = m_listener.acceptTimeout(kAcceptPollMs, peer);
        if (fd >= 0)
            startSession(fd, peer);
        enforceHandshakeDeadline();
        enforceProgress();
    }
    m_listener.close();
    drain();
    if (reloader.joinable())
        reloader.join();
    m_endpoint.stop();
}

void CUpdServer::drain()
{
    m_draining = true;
    std::unique_lock<std::mutex> hold(m_sessionLock);
    if (!m_sessions.empty())
    {
        logInfo("Stopping: waiting up to %u seconds for %zu sessions to finish", m_opts.graceSeconds,
                m_sessions.size());
        m_sessionsChanged.wait_for(hold, std::chrono::seconds(m_opts.graceSeconds),
                                   [this] { return m_sessions.empty(); });
    }
    if (!m_sessions.empty())
        logInfo("Stopping: closing %zu sessions", m_sessions.size());
    for (CServerSession* s : m_sessions)
        s->interrupt();
    m_sessionsChanged.wait(hold, [this] { return m_sessions.empty(); });
}

void CUpdServer::startSession(int fd, const std::string& peer)
{
    CServerSession::Mode mode = CServerSession::SERVE;
    std::unique_ptr<CServerSession> session;
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        bool full = !admit(peer);
        if (full)
        {
            if (m_busySessions >= kMaxBusySessions)
            {
                platform::CServerConnection refused(fd); // closes it
                return;
            }
            mode = CServerSession::BUSY_ONLY;
            ++m_busySessions;
        }
        // Every log line of a session starts with this: its address and a
        // number that tells apart sessions from the same address.
        uint64_t id = ++m_sessionsTotal;
        session = std::make_unique<CServerSession>(*this, fd, peer + " #" + std::to_string(id), mode);
        m_sessions.insert(session.get());
    }
    // One thread per connection: a session blocks on its client and on
    // packing files, and neither may hold up another client.
    CServerSession* raw = session.release();
    try
    {
        std::thread(
            [this, raw]
            {
                tally = SessionTally{};
                raw->run();
                if (raw->opened())
                {
                    std::chrono::duration<double> took = std::chrono::steady_clock::now() - raw->startedAt();
                    std::string release = raw->releaseName();
                    logInfo("%s: session summary: release '%s', %llu files, %llu bytes, %.1f s",
                            raw->peerName().c_str(), release.empty() ? "-" : release.c_str(),
                            static_cast<unsigned long long>(tally.files),
                            static_cast<unsigned long long>(tally.bytes), took.count());
                }
                finishSession(raw);
            })
            .detach();
    }
    catch (const std::system_error& e)
    {
        logWarning("%s: no thread for the session: %s", peer.c_str(), e.what());
        finishSession(raw);
    }
}

void CUpdServer::finishSession(CServerSession* session)
{
    std::lock_guard<std::mutex> hold(m_sessionLock);
    if (session->mode() == CServerSession::BUSY_ONLY)
        --m_busySessions;
    else if (m_released.erase(session) == 0)
        m_peers.removeSession(CAddressTable::addressOf(session->peerName()));
    m_sessions.erase(session);
    m_overdue.erase(session);
    delete session;
    m_sessionsChanged.notify_all();
}

// A connection must come to its first request within the handshake time-out,
// however it trickles its bytes: otherwise idle connections could hold every
// slot. Checked from the accept loop, several times a second.
void CUpdServer::enforceHandshakeDeadline()
{
    auto limit = std::chrono::seconds(m_opts.handshakeTimeoutSeconds);
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> hold(m_sessionLock);
    for (CServerSession* s : m_sessions)
    {
        if (s->opened() || now - s->startedAt() < limit || m_overdue.count(s))
            continue;
        logWarning("%s: no request within %u seconds of connecting, closing", s->peerName().c_str(),
                   m_opts.handshakeTimeoutSeconds);
        m_overdue.insert(s);
        s->interrupt();
    }
}

void CUpdServer::countServed(uint64_t bytes, uint64_t files)
{
    m_filesServed += files;
    m_bytesServed += bytes;
    tally.files += files;
    tally.bytes += bytes;
}

CMetrics::Sample CUpdServer::sample()
{
    CMetrics::Sample s;
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        s.sessionsOpen = m_sessions.size();
    }
    s.sessionsTotal = m_sessionsTotal.load();
    s.filesServed = m_filesServed.load();
    s.bytesServed = m_bytesServed.load();
    CPackCache::Stats cs = m_packs.stats();
    s.cacheHits = cs.hits;
    s.cacheMisses = cs.packs;
    s.cacheBytes = cs.bytes;
    s.cacheEntries = cs.entries;
    s.packSeconds = static_cast<double>(cs.packNanos) / 1e9;
    for (int k = 0; k < CMetrics::ERR_KINDS; ++k)
        s.errors[k] = m_counters.errors(static_cast<CMetrics::ErrorKind>(k));
    if (m_content)
    {
        if (auto snap = m_content->snapshot())
        {
            s.release = snap->release;
            s.publishedFiles = snap->content.fileCount;
            s.publishedBytes = snap->content.totalSize;
        }
        s.releasesInUse = m_content->releasesInUse();
    }
    s.suspended = suspended();
    s.draining = m_draining.load();
    return s;
}

void CUpdServer::execCommand(const std::string& text, std::vector<std::string>& out)
{
    std::string cmd = trimLower(text);
    if (cmd == "help" || cmd.empty())
    {
        out = {"Commands:", "help     this text", "status   clients, files and bytes served",
               "suspend  answer new file sessions with \"Busy\" until \"up\"",
               "up       rebuild the file lists and accept file sessions again"};
    }
    else if (cmd == "status")
    {
        size_t clients;
        {
            std::lock_guard<std::mutex> hold(m_sessionLock);
            clients = m_sessions.size() - m_busySessions - m_released.size();
        }
        auto snap = m_content->snapshot();
        CPackCache::Stats cs = m_packs.stats();
        out.push_back("clients: " + std::to_string(clients) + " (" + std::to_string(m_sessionsTotal.load()) +
                      " sessions since start)");
        out.push_back("files served: " + std::to_string(m_filesServed.load()));
        out.push_back("bytes served: " + std::to_string(m_bytesServed.load()));
        out.push_back("published: " + std::to_string(snap->content.fileCount) + " files, " +
                      std::to_string(snap->content.folderCount) + " folders, " +
                      std::to_string(snap->content.totalSize) + " bytes");
        out.push_back("cache: " + std::to_string(cs.entries) + " files, " + std::to_string(cs.bytes) +
                      " bytes, " + std::to_string(cs.hits) + " hits, " + std::to_string(cs.packs) +
                      " packed");
        out.push_back("cache folder: " + std::to_string(cs.diskEntries) + " files, " +
                      std::to_string(cs.diskBytes) + " bytes, " + std::to_string(cs.diskHits) + " taken; " +
                      std::to_string(cs.pending) + " files waiting to be packed");
        out.push_back(std::string("state: ") + (suspended() ? "suspended" : "serving"));
        CMetrics::Sample figures = sample();
        out.push_back("release: " + figures.release);
        std::string inUse;
        for (const std::string& r : figures.releasesInUse)
            inUse += (inUse.empty() ? "" : " ") + r;
        out.push_back("releases in use: " + inUse);
        for (std::string& line : CMetrics::statusLines(figures))
            out.push_back(std::move(line));
    }
    else if (cmd == "suspend")
    {
        m_isSuspended = true;
        logInfo("File sessions suspended");
        out.push_back("File sessions suspended until \"up\"");
    }
    else if (cmd == "up")
    {
        try
        {
            m_content->rebuild();
            m_packs.setOrder(publishedFiles());
            auto snap = m_content->snapshot();
            out.push_back("Lists rebuilt: " + std::to_string(snap->content.fileCount) + " files, " +
                          std::to_string(snap->content.folderCount) + " folders");
            out.push_back("release: " + snap->release);
            logInfo("Lists rebuilt: %u files, release '%s'", snap->content.fileCount, snap->release.c_str());
        }
        catch (const CExcep& e)
        {
            out.push_back("Rebuilding the lists failed (" + describe(e) + "); the previous lists stay");
            logError("Rebuilding the lists failed: %s", describe(e).c_str());
            m_counters.countError(CMetrics::ERR_RELOAD);
        }
        catch (const std::exception& e)
        {
            out.push_back(std::string("Rebuilding the lists failed (") + e.what() +
                          "); the previous lists stay");
            logError("Rebuilding the lists failed: %s", e.what());
            m_counters.countError(CMetrics::ERR_RELOAD);
        }
        m_isSuspended = false;
        out.push_back("File sessions accepted");
    }
    else
    {
        out.push_back("Unknown command '" + text + "'; try \"help\"");
    }
}
