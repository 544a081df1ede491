// The chunk index reader on arbitrary bytes: what it takes encodes back to
// the same bytes, and lies within what it claims.
#include <cstdlib>

#include "newupdatesystem/Common/ChunkMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    ChunkIndex index;
    if (ChunkIndex::decode(data, length, CHUNK_PARAMS, index) != ChunkIndexCheck::OK)
        return 0;
    const std::vector<uint8_t> again = index.encode();
    if (again.size() != length || !std::equal(again.begin(), again.end(), data) ||
        ChunkIndex::declaredSize(data, length) != length)
        std::abort();
    return 0;
}
