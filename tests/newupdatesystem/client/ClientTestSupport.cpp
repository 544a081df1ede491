#include "ClientTestSupport.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "platform/Files.h"

namespace
{

Bytes packBytes(const Bytes& plain)
{
    CDataFile packed;
    packed.packFrom(plain.data(), static_cast<uint32_t>(plain.size()));
    return Bytes(packed.data(), packed.data() + packed.size());
}

Bytes toBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string textAt(const Bytes& packet, size_t offset)
{
    if (packet.size() <= offset)
        return {};
    const char* p = reinterpret_cast<const char*>(packet.data() + offset);
    return std::string(p, strnlen(p, packet.size() - offset));
}

Bytes word(uint32_t v)
{
    return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

} // namespace

Bytes makeFileList(const std::vector<ServedItem>& items)
{
    CFileList list;
    for (const auto& item : items)
    {
        if (item.path.back() == '/')
        {
            FileInfo folder;
            folder.flags = FI_FOLDER;
            list.updateFileInfo(item.path.c_str(), folder);
        }
    }
    for (const auto& item : items)
    {
        if (item.path.back() == '/')
            continue;
        FileInfo info;
        info.flags = FI_CHECKSUM;
        info.size = static_cast<uint32_t>(item.content.size());
        info.time = item.time;
        if (!item.content.empty())
        {
            uint8_t digest[16];
            CMd5::digest(item.content.data(), item.content.size(), digest);
            std::memcpy(info.checksum, digest, sizeof(digest));
        }
        list.updateFileInfo(item.path.c_str(), info);
    }
    list.buildBin();
    return list.image();
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content, int64_t time)
{
    auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent);
    std::ofstream(path, std::ios::binary) << content;
    platform::setFileTime(path.c_str(), time);
}

int64_t fileTime(const std::string& path)
{
    return platform::getFileTime(path.c_str());
}

FakeServer::FakeServer() : verdict(TAG_ACPT), loginAnswer(TAG_ACKN)
{
    serve("ignore", std::string());
    serve("self_upd", makeFileList({}));
    m_peer.onPacket(
        [this](const Bytes& packet, ScriptedPeer&)
        {
            try
            {
                onPacket(packet);
            }
            catch (const std::exception&)
            {
                // The client has gone; nothing more to answer.
            }
        });
}

void FakeServer::serve(const std::string& name, const std::string& content)
{
    serve(name, toBytes(content));
}

void FakeServer::serve(const std::string& name, const Bytes& content)
{
    std::lock_guard<std::mutex> hold(m_mutex);
    m_files[name] = packBytes(content);
}

void FakeServer::publish(const std::vector<ServedItem>& items)
{
    serve("list", makeFileList(items));
    for (const auto& item : items)
        if (item.path.back() != '/')
            serve(item.path, item.content);
}

void FakeServer::sendNextChunk()
{
    if (m_sendingOffset >= m_sending.size())
    {
        m_sending.clear();
        m_peer.sendMsg(TAG_ENDF);
        return;
    }
    size_t n = std::min<size_t>(CHUNK_MAX_SIZE, m_sending.size() - m_sendingOffset);
    Bytes content(m_sending.begin() + static_cast<long>(m_sendingOffset),
                  m_sending.begin() + static_cast<long>(m_sendingOffset + n));
    m_peer.sendFrame(peerChunk(TAG_DATA, m_sendingSubtag, static_cast<uint32_t>(m_sendingOffset), content));
}

void FakeServer::onPacket(const Bytes& packet)
{
    if (packet.size() < 8)
        return;
    uint32_t tag = peerWord(packet, 4);
    std::unique_lock<std::mutex> hold(m_mutex);
    if (tag == TAG_INIT)
    {
        m_kind = peerWord(packet, 8);
        if (firstAnswer)
        {
            m_peer.sendMsg(firstAnswer);
            return;
        }
        Bytes body = word(serverVersion);
        Bytes v = word(verdict);
        body.insert(body.end(), v.begin(), v.end());
        m_peer.sendPacket(0, TAG_INIT, body);
        if (sendChallenge)
            m_peer.sendPacket(0, TAG_PSWK, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
        else
            m_peer.sendMsg(TAG_ACKN);
    }
    else if (tag == TAG_AUTH)
    {
        m_auth = true;
        m_login = textAt(packet, 8);
        m_peer.sendMsg(loginAnswer);
    }
    else if (tag == TAG_GET)
    {
        std::string name(packet.begin() + 24, packet.end());
        m_gets.push_back(name);
        auto broken = breakRequests.find(name);
        if (broken != breakRequests.end() && broken->second > 0)
        {
            --broken->second;
            m_peer.sendBytes(Bytes{0xC5, 0x41, 0x42, 0xC1}); // a bad escape
            return;
        }
        auto it = m_files.find(name);
        if (it == m_files.end())
        {
            m_peer.sendMsg(TAG_ACSS);
            return;
        }
        m_sending = it->second;
        m_sendingSubtag = peerWord(packet, 8);
        m_sendingOffset = 0;
        sendNextChunk();
    }
    else if (tag == TAG_ACKN && !m_sending.empty())
    {
        m_sendingOffset += std::min<size_t>(CHUNK_MAX_SIZE, m_sending.size() - m_sendingOffset);
        sendNextChunk();
    }
    else if (tag == TAG_GETS)
    {
        std::string name = textAt(packet, 8);
        m_getS.push_back(name);
        auto it = m_files.find(name);
        uint8_t digest[16] = {};
        if (it != m_files.end())
        {
            CDataFile plain;
            plain.unpackFrom(it->second.data(), static_cast<uint32_t>(it->second.size()));
            if (plain.size())
                CMd5::digest(plain.data(), plain.size(), digest);
        }
        m_peer.sendPacket(0, TAG_FSUM, Bytes(digest, digest + 16));
    }
    else if (tag == TAG_CMND)
    {
        std::string text = textAt(packet, 8);
        m_cmnds.push_back(text);
        if (text != "suspend" && text != "up")
            for (size_t n = 0; n < echoes.size(); ++n)
            {
                if (beforeEcho)
                    beforeEcho(n);
                Bytes body = toBytes(echoes[n]);
                body.push_back(0);
                m_peer.sendPacket(0, TAG_ECHO, body);
            }
        m_peer.sendPacket(0, TAG_ECHO, Bytes{0});
    }
    else if (tag == TAG_CMDM)
    {
        m_mods.push_back("CmdM");
        m_peer.sendMsg(TAG_ACKN);
    }
    else if (tag == TAG_MDFY)
    {
        uint32_t op = peerWord(packet, 8);
        std::string path = textAt(packet, 16);
        std::string opName(reinterpret_cast<const char*>(packet.data() + 8), 4);
        m_mods.push_back(opName + " " + path);
        if (op == TAG_UPLD)
        {
            m_uploadPath = path;
            m_uploadBytes.clear();
        }
        else
            m_peer.sendMsg(TAG_ACKN);
    }
    else if (tag == TAG_DATA)
    {
        m_uploadBytes.insert(m_uploadBytes.end(), packet.begin() + 24, packet.end());
        m_peer.sendMsg(TAG_ACKN);
    }
    else if (tag == TAG_ENDF)
    {
        CDataFile plain;
        plain.unpackFrom(m_uploadBytes.data(), static_cast<uint32_t>(m_uploadBytes.size()));
        m_uploaded[m_uploadPath] = std::string(plain.data(), plain.data() + plain.size());
        m_peer.sendMsg(TAG_ACKN);
    }
    else if (tag == TAG_QUIT)
    {
        m_quit = true;
    }
}

std::vector<std::string> FakeServer::requests() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_gets;
}

std::vector<std::string> FakeServer::checksumRequests() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_getS;
}

std::vector<std::string> FakeServer::commands() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_cmnds;
}

std::vector<std::string> FakeServer::modifications() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_mods;
}

std::map<std::string, std::string> FakeServer::uploads() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_uploaded;
}

bool FakeServer::sawAuth() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_auth;
}

std::string FakeServer::authLogin() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_login;
}

bool FakeServer::sawQuit() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_quit;
}

uint32_t FakeServer::sessionKind() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_kind;
}

void RecordingCallback::onUpdateEvent(int event, const char* text, float value)
{
    std::lock_guard<std::mutex> hold(m_mutex);
    m_recorded.push_back({event, text ? text : "", value});
}

std::vector<RecordingCallback::Event> RecordingCallback::events() const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_recorded;
}

std::vector<int> RecordingCallback::codes(bool withTraffic) const
{
    std::lock_guard<std::mutex> hold(m_mutex);
    std::vector<int> out;
    for (const auto& e : m_recorded)
        if (withTraffic || e.event != UPD_EVENT_TRAFFIC)
            out.push_back(e.event);
    return out;
}

int runToEnd(CUpdateClient& client)
{
    client.start();
    client.wait(-1.0);
    return client.getStatus();
}
