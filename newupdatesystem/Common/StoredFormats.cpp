#include "newupdatesystem/Common/StoredFormats.h"

#include <cstring>

#include "newupdatesystem/Common/WireBytes.h"

std::array<uint8_t, PackedHead::SIZE> PackedHead::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putLe32(out.data() + MAGIC_OFFSET, MAGIC);
    putLe32(out.data() + UNPACKED_OFFSET, unpackedSize);
    putLe32(out.data() + PACKED_OFFSET, packedSize);
    return out;
}

WireCheck PackedHead::decode(const uint8_t* bytes, uint64_t length, PackedHead& out)
{
    if (length < SIZE)
        return WireCheck::LENGTH;
    if (getLe32(bytes + MAGIC_OFFSET) != MAGIC)
        return WireCheck::TAG;
    out.unpackedSize = getLe32(bytes + UNPACKED_OFFSET);
    out.packedSize = getLe32(bytes + PACKED_OFFSET);
    return WireCheck::OK;
}

// The magic is not checked here: what the server keeps, it wrote itself,
// and a kept image's entry was checked when it was loaded.
bool SegmentImage::holdsStream(const uint8_t* image, uint32_t imageLength, uint32_t rawLength)
{
    return image != nullptr && imageLength > PackedHead::SIZE &&
           getLe32(image + PackedHead::UNPACKED_OFFSET) == rawLength &&
           getLe32(image + PackedHead::PACKED_OFFSET) == imageLength - PackedHead::SIZE;
}

bool SegmentImage::marksStored(const uint8_t* image, uint32_t imageLength, uint32_t rawLength)
{
    return image != nullptr && imageLength == PackedHead::SIZE &&
           getLe32(image + PackedHead::UNPACKED_OFFSET) == rawLength &&
           getLe32(image + PackedHead::PACKED_OFFSET) == 0;
}

std::array<uint8_t, PackStoreHead::SIZE> PackStoreHead::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putLe32(out.data() + MAGIC_OFFSET, MAGIC);
    putLe32(out.data() + FORMAT_OFFSET, format);
    putLe32(out.data() + UNPACKED_OFFSET, unpackedSize);
    putLe32(out.data() + PACKED_OFFSET, packedSize);
    putLe32(out.data() + CRC_OFFSET, crc);
    std::memcpy(out.data() + MD5_OFFSET, md5, MD5_SIZE);
    return out;
}

WireCheck PackStoreHead::decode(const uint8_t* bytes, uint32_t length, PackStoreHead& out)
{
    if (length != SIZE)
        return WireCheck::LENGTH;
    if (getLe32(bytes + MAGIC_OFFSET) != MAGIC)
        return WireCheck::TAG;
    out.format = getLe32(bytes + FORMAT_OFFSET);
    out.unpackedSize = getLe32(bytes + UNPACKED_OFFSET);
    out.packedSize = getLe32(bytes + PACKED_OFFSET);
    out.crc = getLe32(bytes + CRC_OFFSET);
    std::memcpy(out.md5, bytes + MD5_OFFSET, MD5_SIZE);
    return WireCheck::OK;
}

std::array<uint8_t, SegmentKeySource::SIZE> SegmentKeySource::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putLe32(out.data(), TAG);
    std::memcpy(out.data() + MD5_OFFSET, fileMd5, sizeof fileMd5);
    putLe64(out.data() + OFFSET_OFFSET, offset);
    putLe32(out.data() + LENGTH_OFFSET, length);
    return out;
}

std::array<uint8_t, ResumeState::SIZE> ResumeState::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putLe32(out.data(), MAGIC);
    putLe64(out.data() + SIZE_OFFSET, size);
    for (int i = 0; i < 4; ++i)
        putLe32(out.data() + CHECKSUM_OFFSET + 4 * i, checksum[i]);
    putLe64(out.data() + TIME_OFFSET, static_cast<uint64_t>(time));
    putLe64(out.data() + VERIFIED_OFFSET, verified);
    return out;
}

WireCheck ResumeState::decode(const uint8_t* bytes, uint32_t length, ResumeState& out)
{
    if (length != SIZE)
        return WireCheck::LENGTH;
    if (getLe32(bytes) != MAGIC)
        return WireCheck::TAG;
    out.size = getLe64(bytes + SIZE_OFFSET);
    for (int i = 0; i < 4; ++i)
        out.checksum[i] = getLe32(bytes + CHECKSUM_OFFSET + 4 * i);
    out.time = static_cast<int64_t>(getLe64(bytes + TIME_OFFSET));
    out.verified = getLe64(bytes + VERIFIED_OFFSET);
    return WireCheck::OK;
}
