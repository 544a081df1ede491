// Every message decoder on arbitrary bytes: what decodes encodes back to the
// same bytes (the signature word, which receivers ignore, and spare bytes aside).
#include <algorithm>
#include <cstdlib>

#include "newupdatesystem/Common/StoredFormats.h"
#include "newupdatesystem/Common/StreamMessages.h"

template <class M>
void roundTrip(const uint8_t* data, uint32_t size, uint32_t from = HEAD_TAG_OFFSET, uint32_t to = ~0u)
{
    M m;
    if (M::decode(data, size, m) != WireCheck::OK)
        return;
    const auto again = m.encode();
    to = std::min<uint32_t>({to, uint32_t(again.size()), size});
    if (!std::equal(again.begin() + from, again.begin() + to, data + from))
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    const uint32_t n = uint32_t(std::min<size_t>(length, 2 * FRAME_NOMINAL_SIZE));
    roundTrip<PacketHead>(data, n, 0);
    roundTrip<InitRequest>(data, n), roundTrip<InitAnswer>(data, n), roundTrip<ChallengeMsg>(data, n);
    roundTrip<AuthMsg>(data, n), roundTrip<DataChunkHeader>(data, n, 0), roundTrip<ChecksumRequest>(data, n);
    roundTrip<CommandMsg>(data, n), roundTrip<EchoMsg>(data, n), roundTrip<ChecksumAnswer>(data, n);
    roundTrip<ModifyMsg>(data, n), roundTrip<StreamOpenMsg>(data, n), roundTrip<StreamRequestMsg>(data, n);
    roundTrip<StreamInfoMsg>(data, n), roundTrip<StreamChunkHead>(data, n), roundTrip<StreamAckMsg>(data, n);
    roundTrip<StreamRepeatMsg>(data, n), roundTrip<PackedHead>(data, n, 0),
        roundTrip<PackStoreHead>(data, n, 0);
    roundTrip<ResumeState>(data, n, 0, ResumeState::VERIFIED_OFFSET + 8);
    return 0;
}
