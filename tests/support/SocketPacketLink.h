// A packet channel's link over a plain loopback socket, for tests that speak
// the protocol from the client's side without the client's thread. Each wait
// is one 20 ms poll; the channel's own deadlines bound the whole.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "newupdatesystem/Common/PacketChannel.h"

class SocketPacketLink : public IPacketLink
{
public:
    explicit SocketPacketLink(uint16_t port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot connect");
    }
    // Takes over a connected socket.
    static SocketPacketLink adopt(int connected) { return SocketPacketLink(connected, 0); }
    ~SocketPacketLink() override
    {
        if (fd >= 0)
            close(fd);
    }
    SocketPacketLink(SocketPacketLink&& other) noexcept : fd(other.fd) { other.fd = -1; }
    SocketPacketLink(const SocketPacketLink&) = delete;
    SocketPacketLink& operator=(const SocketPacketLink&) = delete;

    uint32_t sendSome(const uint8_t* bytes, uint32_t length) override
    {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 20) <= 0)
            return 0;
        ssize_t n = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (n < 0)
            throw CProtoExcep(PROTO_QUIT, EXCEP_SITE("SocketPacketLink::sendSome"));
        return uint32_t(n);
    }
    uint32_t receiveSome(uint8_t* buffer, uint32_t capacity) override
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            return 0;
        ssize_t n = ::recv(fd, buffer, capacity, 0);
        if (n <= 0)
            throw CProtoExcep(PROTO_QUIT, EXCEP_SITE("SocketPacketLink::receiveSome"));
        return uint32_t(n);
    }
    void onSent(uint32_t bytes) override { sent += bytes; }

    int fd = -1;
    uint64_t sent = 0;

private:
    SocketPacketLink(int connected, int) : fd(connected) {}
};

inline const PacketSites kSocketLinkSites{"T::sendPacket", "T::recvPacket", "T::processDataPacket",
                                          "T::recvAckMsg", "T::sendData"};
