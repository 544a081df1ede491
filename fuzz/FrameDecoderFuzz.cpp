// The frame decoder on arbitrary wire bytes fed in two pieces, and the round trip
// of the input taken as a packet.
#include <cstdlib>
#include <cstring>

#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/ProtoTags.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CFrameDecoder decoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    static CFrameDecoder fresh(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    static CFrameEncoder encoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    uint32_t n = uint32_t(size > 40000 ? 40000 : size), split = n ? data[0] % (n + 1) : 0;
    for (auto [begin, end] : {std::pair<uint32_t, uint32_t>{0, split}, {split, n}})
        for (uint32_t pos = 0, r = 1; r != 0;)
        {
            r = uint32_t(decoder.feed(data + begin, end - begin, pos));
            if (pos > end - begin || decoder.packetLength() > decoder.capacity())
                abort();
        }
    encoder.reset();
    uint32_t pos = 0;
    if (n <= FRAME_NOMINAL_SIZE && encoder.encode(data, n) && encoder.finish() &&
        (fresh.feed(encoder.data(), encoder.size(), pos) != 2 || fresh.packetLength() != n ||
         std::memcmp(fresh.packet(), data, n) != 0))
        abort();
    return 0;
}
