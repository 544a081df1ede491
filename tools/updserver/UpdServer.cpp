#include "tools/updserver/UpdServer.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <thread>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
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

std::string describe(const CExcep& e)
{
    return "exception " + std::to_string(e.code) + " at " + e.formatSource();
}
} // namespace

CUpdServer::CUpdServer(ServerOptions options) : opts(std::move(options)), packs(opts.cacheBytes) {}

CUpdServer::~CUpdServer() = default;

void CUpdServer::start()
{
    if (!fs::is_directory(opts.root))
        throw std::runtime_error("content folder '" + opts.root.string() + "' does not exist");
    if (!opts.selfUpdateDir.empty() && !fs::is_directory(opts.selfUpdateDir))
        throw std::runtime_error("self-update folder '" + opts.selfUpdateDir.string() + "' does not exist");
    if (!opts.usersFile.empty()) {
        accounts.loadFromFile(opts.usersFile.string());
        if (accounts.empty())
            throw std::runtime_error("the users file '" + opts.usersFile.string() + "' names no user");
    }
    content = std::make_unique<CContentStore>(opts.root, opts.selfUpdateDir, opts.ignoreFile);
    logInfo("Building the file lists of '%s'...", opts.root.string().c_str());
    try {
        content->rebuild();
    } catch (const CExcep& e) {
        throw std::runtime_error("cannot build the file lists: " + describe(e));
    }
    auto snap = content->snapshot();
    logInfo("Publishing %u files in %u folders, %llu bytes", snap->content.fileCount, snap->content.folderCount,
            static_cast<unsigned long long>(snap->content.totalSize));
    if (opts.prepack)
        prepackAll();
    listener.listenOn(opts.bindAddress, opts.port, 64);
}

// Packs every published file once, so that even the first client is served
// from memory. Files that cannot be packed are logged and left to the request.
void CUpdServer::prepackAll()
{
    auto snap = content->snapshot();
    std::vector<std::string> paths;
    auto walk = [&](auto& self, const FolderMap& map, const std::string& prefix) -> void {
        for (const auto& [name, entry] : map) {
            std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (entry.isFolder())
                self(self, *entry.child, path);
            else
                paths.push_back(path);
        }
    };
    walk(walk, snap->content.root, "");
    walk(walk, snap->self.root, "");
    logInfo("Packing %zu files...", paths.size());
    for (const std::string& path : paths) {
        fs::path disk;
        try {
            if (content->locate(*snap, path, disk))
                packs.get(disk);
        } catch (const CExcep& e) {
            logWarning("Cannot pack '%s': %s", path.c_str(), describe(e).c_str());
        } catch (const std::exception& e) {
            logWarning("Cannot pack '%s': %s", path.c_str(), e.what());
        }
    }
}

void CUpdServer::run(const std::atomic<bool>& stop)
{
    while (!stop.load()) {
        std::string peer;
        int fd = listener.acceptTimeout(kAcceptPollMs, peer);
        if (fd >= 0)
            startSession(fd, peer);
    }
    listener.close();
    std::unique_lock<std::mutex> hold(sessionLock);
    logInfo("Stopping: closing %zu sessions", sessions.size());
    for (CServerSession* s : sessions)
        s->interrupt();
    sessionsChanged.wait(hold, [this] { return sessions.empty(); });
}

void CUpdServer::startSession(int fd, const std::string& peer)
{
    CServerSession::Mode mode = CServerSession::SERVE;
    std::unique_ptr<CServerSession> session;
    {
        std::lock_guard<std::mutex> hold(sessionLock);
        size_t serving = sessions.size() - busySessions;
        if (serving >= opts.maxClients) {
            if (busySessions >= kMaxBusySessions) {
                CServerConnection refused(fd); // closes it
                return;
            }
            mode = CServerSession::BUSY_ONLY;
            ++busySessions;
        }
        session = std::make_unique<CServerSession>(*this, fd, peer, mode);
        sessions.insert(session.get());
        ++sessionsTotal;
    }
    // One thread per connection: a session blocks on its client and on
    // packing files, and neither may hold up another client.
    CServerSession* raw = session.release();
    try {
        std::thread([this, raw] {
            raw->run();
            finishSession(raw);
        }).detach();
    } catch (const std::system_error& e) {
        logWarning("%s: no thread for the session: %s", peer.c_str(), e.what());
        finishSession(raw);
    }
}

void CUpdServer::finishSession(CServerSession* session)
{
    std::lock_guard<std::mutex> hold(sessionLock);
    if (session->mode() == CServerSession::BUSY_ONLY)
        --busySessions;
    sessions.erase(session);
    delete session;
    sessionsChanged.notify_all();
}

void CUpdServer::countServed(uint64_t bytes)
{
    ++filesServed;
    bytesServed += bytes;
}

void CUpdServer::execCommand(const std::string& text, std::vector<std::string>& out)
{
    std::string cmd = trimLower(text);
    if (cmd == "help" || cmd.empty()) {
        out = {"Commands:", "help     this text", "status   clients, files and bytes served",
               "suspend  answer new file sessions with \"Busy\" until \"up\"",
               "up       rebuild the file lists and accept file sessions again"};
    } else if (cmd == "status") {
        size_t clients;
        {
            std::lock_guard<std::mutex> hold(sessionLock);
            clients = sessions.size() - busySessions;
        }
        auto snap = content->snapshot();
        CPackCache::Stats cs = packs.stats();
        out.push_back("clients: " + std::to_string(clients) + " (" + std::to_string(sessionsTotal.load()) +
                      " sessions since start)");
        out.push_back("files served: " + std::to_string(filesServed.load()));
        out.push_back("bytes served: " + std::to_string(bytesServed.load()));
        out.push_back("published: " + std::to_string(snap->content.fileCount) + " files, " +
                      std::to_string(snap->content.folderCount) + " folders, " +
                      std::to_string(snap->content.totalSize) + " bytes");
        out.push_back("cache: " + std::to_string(cs.entries) + " files, " + std::to_string(cs.bytes) +
                      " bytes, " + std::to_string(cs.hits) + " hits, " + std::to_string(cs.packs) + " packed");
        out.push_back(std::string("state: ") + (suspended() ? "suspended" : "serving"));
    } else if (cmd == "suspend") {
        isSuspended = true;
        logInfo("File sessions suspended");
        out.push_back("File sessions suspended until \"up\"");
    } else if (cmd == "up") {
        try {
            content->rebuild();
            auto snap = content->snapshot();
            out.push_back("Lists rebuilt: " + std::to_string(snap->content.fileCount) + " files, " +
                          std::to_string(snap->content.folderCount) + " folders");
            logInfo("Lists rebuilt: %u files", snap->content.fileCount);
        } catch (const CExcep& e) {
            out.push_back("Rebuilding the lists failed (" + describe(e) + "); the previous lists stay");
            logError("Rebuilding the lists failed: %s", describe(e).c_str());
        } catch (const std::exception& e) {
            out.push_back(std::string("Rebuilding the lists failed (") + e.what() + "); the previous lists stay");
            logError("Rebuilding the lists failed: %s", e.what());
        }
        isSuspended = false;
        out.push_back("File sessions accepted");
    } else {
        out.push_back("Unknown command '" + text + "'; try \"help\"");
    }
}
