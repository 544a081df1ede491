// Shared pieces of the update client tests: a small update server scripted on
// top of the loopback peer, server-side file lists, a recording callback and
// the client with a short I/O time-out.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "newupdatesystem/client/UpdateClient.h"
#include "support/ScriptedPeer.h"

// One file or folder the server publishes; a path ending in "/" is a folder.
struct ServedItem
{
    std::string path;
    std::string content;
    int64_t time = 1000000000;
};

// A binary file list describing the items.
Bytes makeFileList(const std::vector<ServedItem>& items);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int64_t time = 1000000000);
int64_t fileTime(const std::string& path);

// Answers the client the way an update server would, and records the
// conversation: requested names, modifications, commands.
class FakeServer
{
public:
    FakeServer();

    uint16_t port() const { return m_peer.port(); }
    ScriptedPeer& scripted() { return m_peer; }

    // Served files by request name ("list", "ignore", "self_upd", any path).
    void serve(const std::string& name, const std::string& content);
    void serve(const std::string& name, const Bytes& content);
    // Publishes "list" for the items and serves every file under its path.
    void publish(const std::vector<ServedItem>& items);

    // Handshake behaviour.
    uint32_t verdict;                    // "Acpt" by default
    uint32_t serverVersion = 0x00010007; // the version word of the answer to "Init"
    bool sendChallenge = true;
    uint32_t firstAnswer = 0; // a tag sent instead of "Init" when set
    uint32_t loginAnswer;     // "Ackn" by default

    // Echo lines for every command; "suspend"/"up" get none.
    std::vector<std::string> echoes;
    // Called on the server's thread before echo line n goes out.
    std::function<void(size_t n)> beforeEcho;
    // How many times a request of this name is answered with a broken frame.
    std::map<std::string, int> breakRequests;

    // What the client sent.
    std::vector<std::string> requests() const; // "Get " names, in order
    std::vector<std::string> checksumRequests() const;
    std::vector<std::string> commands() const;
    std::vector<std::string> modifications() const;     // "Delt a", "CrDr d", "Upld f", ...
    std::map<std::string, std::string> uploads() const; // path -> unpacked content
    bool sawAuth() const;
    std::string authLogin() const;
    bool sawQuit() const;
    uint32_t sessionKind() const;

private:
    void onPacket(const Bytes& packet);
    void sendNextChunk();

    ScriptedPeer m_peer;
    mutable std::mutex m_mutex;
    std::map<std::string, Bytes> m_files; // packed
    std::vector<std::string> m_gets;
    std::vector<std::string> m_getS;
    std::vector<std::string> m_cmnds;
    std::vector<std::string> m_mods;
    std::map<std::string, std::string> m_uploaded;
    bool m_auth = false;
    std::string m_login;
    bool m_quit = false;
    uint32_t m_kind = 0;
    // The download in progress.
    Bytes m_sending;
    uint32_t m_sendingSubtag = 0;
    size_t m_sendingOffset = 0;
    // The upload in progress.
    std::string m_uploadPath;
    Bytes m_uploadBytes;
};

// Events as the worker reported them.
class RecordingCallback : public IUpdateCallback
{
public:
    struct Event
    {
        int event;
        std::string text;
        float value;
    };
    void onUpdateEvent(int event, const char* text, float value) override;
    std::vector<Event> events() const;
    std::vector<int> codes(bool withTraffic = false) const;

private:
    mutable std::mutex m_mutex;
    std::vector<Event> m_recorded;
};

// The client with its protected parts reachable and a 3-second I/O time-out.
class TestClient : public CUpdateClient
{
public:
    TestClient(unsigned port, const char* listFile = "Files.lst", double ioTimeout = 3.0)
        : CUpdateClient("127.0.0.1", port, listFile, ioTimeout)
    {
    }
};

// Starts the client and waits for its worker; the status.
int runToEnd(CUpdateClient& client);
