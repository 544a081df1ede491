// CSegmentCodec::unpack on arbitrary bytes: the first byte picks the method,
// the next three the declared size; may refuse, never crash or hand out more.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "newupdatesystem/Common/SegmentCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CSegmentCodec codec;
    if (size < 4)
        return 0;
    size_t declared = size_t(data[1]) | size_t(data[2]) << 8 | size_t(data[3]) << 16;
    std::vector<uint8_t> out;
    if (codec.unpack(SegmentMethod(data[0] & 3), data + 4, size - 4, declared, out) && out.size() != declared)
        __builtin_trap();
    return 0;
}
