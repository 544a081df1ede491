// The private channel: a session that both ends agree to move into TLS 1.3
// right after the "Init" exchange, before any login. The server offers it
// with a bit of its "Init" answer's version word (a base client only logs
// that word); the client opts in with "STls", the server answers "STls", and
// from the next byte on both speak TLS on the same connection. Inside, the
// server sends a fresh "PswK", and the session goes on as a base session.
#pragma once

#include <array>
#include <cstdint>

#include "newupdatesystem/Common/Messages.h"

// In the server's version word: it can move the session into TLS.
inline constexpr uint32_t SERVER_OFFERS_TLS = 0x02000000;
inline constexpr uint32_t TLS_EXT_VERSION = 1;

inline constexpr uint32_t TAG_STLS = makeTag("STls"); // both ways: request and acknowledgement

// "STls" both ways: head, the extension's version, a word kept 0.
struct TlsOpenMsg
{
    static constexpr uint32_t SIZE = 16;
    uint32_t version = TLS_EXT_VERSION;
    uint32_t reserved = 0;

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, TlsOpenMsg& out);
};
