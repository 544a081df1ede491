// Wire format of the streaming transfer, an extension both ends must agree on
// before any of its packets travels. The server offers it with a bit in the
// version word of its "Init" answer (a base client only logs that word); the
// client opts in with "Strm" after the session is open, and only then uses
// "SGet". A segment of the file moves as "SDat" chunks without a round trip
// each; the client grants credit ahead with "SAck" and asks for a damaged
// segment again with "SRep". All integers little-endian; offsets and sizes of
// files are 64-bit.
#pragma once

#include <cstdint>

#include "newupdatesystem/Common/ProtoTags.h"

// In the server's version word: it speaks the streaming transfer.
inline constexpr uint32_t SERVER_OFFERS_STREAM = 0x01000000;
inline constexpr uint32_t STREAM_VERSION = 1;
// In the same word: it also serves chunk indexes ("SIdx", ChunkMessages.h).
inline constexpr uint32_t SERVER_OFFERS_CHUNK_INDEX = 0x04000000;

inline constexpr uint32_t TAG_STRM = makeTag("Strm"); // both ways: request and acknowledgement
inline constexpr uint32_t TAG_SGET = makeTag("SGet"); // client: a file range
inline constexpr uint32_t TAG_SLST = makeTag("SLst"); // client: one of the server's lists, whole
inline constexpr uint32_t TAG_SIDX = makeTag("SIdx"); // client: a file's chunk index, whole
inline constexpr uint32_t TAG_SINF = makeTag("SInf"); // server: the file's size, then its segments
inline constexpr uint32_t TAG_SDAT = makeTag("SDat"); // server: one chunk of a segment
inline constexpr uint32_t TAG_SACK = makeTag("SAck"); // client: verified end and credit
inline constexpr uint32_t TAG_SREP = makeTag("SRep"); // client: send from this segment again

// The layouts and their codecs are in StreamMessages.h.
// "Strm": head, version, window in bytes (wanted, then granted).
inline constexpr uint32_t STRM_SIZE = 16;
// "SGet": head, offset u64, length u64, credit end u64, then the name and NUL.
// "SLst" has the same layout: offset 0, length the most the client takes.
inline constexpr uint32_t SGET_HEAD_SIZE = 32;
// "SInf": head, file size u64, segment size u32.
inline constexpr uint32_t SINF_SIZE = 20;
// "SDat": head, segment offset u64, raw length, packed length, method, chunk
// offset within the packed segment, CRC of the chunk; then the chunk.
inline constexpr uint32_t SDAT_HEAD_SIZE = 36;
inline constexpr uint32_t SDAT_MAX_CHUNK = FRAME_NOMINAL_SIZE - SDAT_HEAD_SIZE;
// "SAck": head, verified end u64, credit end u64.
inline constexpr uint32_t SACK_SIZE = 24;
// "SRep": head, segment offset u64.
inline constexpr uint32_t SREP_SIZE = 16;

inline constexpr uint32_t STREAM_SEGMENT_SIZE = 1u << 20; // what our server sends
inline constexpr uint32_t STREAM_MAX_SEGMENT = 8u << 20;  // what a client accepts
inline constexpr uint32_t STREAM_MIN_WINDOW = 1u << 20;
inline constexpr uint32_t STREAM_MAX_WINDOW = 64u << 20;
inline constexpr uint32_t STREAM_DEFAULT_WINDOW = 64u << 20; // 1 Gbit/s at 500 ms
inline constexpr unsigned STREAM_MAX_REPEATS = 8;            // of one segment in a row
