// CRC-32 as zlib's crc32 computes it (reflected polynomial 0xEDB88320, preset
// and final inversion): the checksum of every protocol data chunk.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues the CRC of earlier bytes given as previous; 0 starts a new one, so
// calcCrc32(b, n, calcCrc32(a, m, 0)) is the CRC of a followed by b.
uint32_t calcCrc32(const void* bytes, size_t count, uint32_t previous);
