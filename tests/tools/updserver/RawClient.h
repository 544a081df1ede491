// A client that speaks raw packets to a server on loopback, from a chosen
// loopback address (all of 127.0.0.0/8 reaches this machine), so that tests
// can play several hosts. Every receive gives up after 10 seconds.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/Messages.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "newupdatesystem/Common/StreamMessages.h"
#include "newupdatesystem/Common/WireBytes.h"

// The message in a packet, which must decode.
template <class Message> Message decoded(const uint8_t* packet, uint32_t length)
{
    Message m;
    EXPECT_EQ(Message::decode(packet, length, m), WireCheck::OK);
    return m;
}

class RawClient
{
public:
    explicit RawClient(uint16_t port, const char* from = "127.0.0.1")
        : m_encoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
          m_decoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = bound && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void sendRaw(const std::vector<uint8_t>& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    void sendMsg(uint32_t tag)
    {
        const auto head = PacketHead{0, tag}.encode();
        send({head.begin(), head.end()});
    }

    void send(const std::vector<uint8_t>& packet)
    {
        m_encoder.reset();
        m_encoder.encode(packet.data(), static_cast<uint32_t>(packet.size()));
        m_encoder.finish();
        ::send(fd, m_encoder.data(), m_encoder.size(), MSG_NOSIGNAL);
    }

    // The tag of the next packet, or 0 when the connection ended (closed is
    // then true) or nothing came within 10 seconds.
    uint32_t recv()
    {
        for (;;)
        {
            if (m_pos < m_fill && m_decoder.feed(m_buffer, m_fill, m_pos) == CFrameDecoder::FEED_PACKET)
            {
                PacketHead head;
                return PacketHead::decode(m_decoder.packet(), m_decoder.packetLength(), head) == WireCheck::OK
                           ? head.tag
                           : 1;
            }
            if (m_pos < m_fill)
                continue;
            ssize_t n = ::recv(fd, m_buffer, sizeof m_buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                closed = true;
            if (n <= 0)
                return 0;
            m_fill = static_cast<uint32_t>(n);
            m_pos = 0;
        }
    }
    const uint8_t* packet() const { return m_decoder.packet(); }
    uint32_t length() const { return m_decoder.packetLength(); }

    // True once the server has closed the connection, within the deadline.
    // Meanwhile every poll interval without news sends the byte, if any: a
    // client that keeps trickling without ever finishing a packet.
    bool closedByServer(std::chrono::milliseconds deadline, int trickle = -1)
    {
        auto end = std::chrono::steady_clock::now() + deadline;
        while (!closed && std::chrono::steady_clock::now() < end)
        {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 200) > 0)
            {
                uint8_t sink[256];
                ssize_t n = ::recv(fd, sink, sizeof sink, 0);
                if (n <= 0)
                    closed = true;
            }
            else if (trickle >= 0)
            {
                uint8_t b = static_cast<uint8_t>(trickle);
                ::send(fd, &b, 1, MSG_NOSIGNAL);
            }
        }
        return closed;
    }

    // A packet of the words as given, well-formed or not.
    static std::vector<uint8_t> words(std::initializer_list<uint32_t> ws)
    {
        std::vector<uint8_t> out(ws.size() * 4);
        size_t i = 0;
        for (uint32_t w : ws)
            putLe32(out.data() + 4 * i++, w);
        return out;
    }
    static std::vector<uint8_t> withText(std::vector<uint8_t> head, const std::string& text)
    {
        head.insert(head.end(), text.begin(), text.end());
        head.push_back(0);
        return head;
    }
    static std::vector<uint8_t> get(uint32_t subtag, const std::string& name)
    {
        const auto h = DataChunkHeader{PACKET_SIGNATURE,      TAG_GET, subtag,
                                       uint32_t(name.size()), 0,       calcCrc32(name.data(), name.size(), 0)}
                           .encode();
        std::vector<uint8_t> p(h.begin(), h.end());
        p.insert(p.end(), name.begin(), name.end());
        return p;
    }
    static std::vector<uint8_t> chunk(const std::string& bytes, uint32_t offset)
    {
        const auto h =
            DataChunkHeader{PACKET_SIGNATURE,       TAG_DATA, SUBTAG_NRMP,
                            uint32_t(bytes.size()), offset,   calcCrc32(bytes.data(), bytes.size(), 0)}
                .encode();
        std::vector<uint8_t> p(h.begin(), h.end());
        p.insert(p.end(), bytes.begin(), bytes.end());
        return p;
    }

    // Opens a session of the kind; true when accepted with a challenge.
    bool open(uint32_t kind)
    {
        const auto init = InitRequest{kind, PROTOCOL_VERSION}.encode();
        send({init.begin(), init.end()});
        InitAnswer answer;
        if (recv() != TAG_INIT || InitAnswer::decode(packet(), length(), answer) != WireCheck::OK ||
            answer.verdict != TAG_ACPT)
            return false;
        ChallengeMsg key;
        if (recv() != TAG_PSWK || ChallengeMsg::decode(packet(), length(), key) != WireCheck::OK)
            return false;
        std::memcpy(challenge, key.challenge, sizeof challenge);
        return true;
    }

    // Logs in; the tag of the answer.
    uint32_t login(const char* name, const char* password)
    {
        AuthMsg auth;
        std::memcpy(auth.name, name, std::min<size_t>(std::strlen(name), sizeof auth.name));
        CMd5 md5;
        md5.update(challenge, sizeof challenge);
        md5.update(password, std::strlen(password));
        md5.final(auth.digest);
        const auto p = auth.encode();
        send({p.begin(), p.end()});
        return recv();
    }

    // Sends a command and reads its echo; the tag that ended it ("Echo" for
    // the empty echo that ends the output, anything else for a refusal).
    uint32_t command(const std::string& text, std::vector<std::string>* lines = nullptr)
    {
        send(CommandMsg{text}.encode());
        for (;;)
        {
            uint32_t t = recv();
            if (t != TAG_ECHO || length() <= EchoMsg::MIN_SIZE)
                return t;
            if (lines)
                lines->emplace_back(reinterpret_cast<const char*>(packet() + EchoMsg::TEXT_OFFSET));
        }
    }

    // Sends an upload's request and its chunks, each awaited; the answer to "EndF".
    uint32_t upload(const std::string& path, const std::string& packed, uint32_t time = 1000000000)
    {
        send(ModifyMsg{TAG_UPLD, time, path}.encode());
        return sendChunks(packed, 0, packed.size()) ? finishUpload() : 0;
    }
    bool sendChunks(const std::string& packed, size_t from, size_t to)
    {
        for (size_t at = from; at < to; at += CHUNK_MAX_SIZE)
        {
            send(chunk(packed.substr(at, std::min<size_t>(CHUNK_MAX_SIZE, to - at)),
                       static_cast<uint32_t>(at)));
            if (recv() != TAG_ACKN)
                return false;
        }
        return true;
    }
    uint32_t finishUpload()
    {
        sendMsg(TAG_ENDF);
        return recv();
    }

    // Receives a whole "Data" transfer, acknowledging each chunk.
    bool receiveFile(std::string& out)
    {
        out.clear();
        for (;;)
        {
            uint32_t t = recv();
            if (t == TAG_ENDF)
                return true;
            if (t != TAG_DATA)
                return false;
            out.append(reinterpret_cast<const char*>(packet() + DataChunkHeader::SIZE),
                       length() - DataChunkHeader::SIZE);
            sendMsg(TAG_ACKN);
        }
    }

    int fd;
    bool bound = false;
    bool connected = false;
    bool closed = false;
    uint8_t challenge[8] = {};

private:
    CFrameEncoder m_encoder;
    CFrameDecoder m_decoder;
    uint8_t m_buffer[16384];
    uint32_t m_pos = 0, m_fill = 0;
};
