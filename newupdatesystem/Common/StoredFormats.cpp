#include "newupdatesystem/Common/StoredFormats.h"

#include "newupdatesystem/Common/WireFields.h"

namespace
{
// A head of exactly size bytes (at least, when followed by more) with the magic.
WireCheck checkMagic(const uint8_t* bytes, uint64_t length, uint32_t magic, uint32_t size, bool exact)
{
    if (length < size || (exact && length != size))
        return WireCheck::LENGTH;
    return getLe32(bytes) == magic ? WireCheck::OK : WireCheck::TAG;
}

// The sizes of a packed head at image, which must hold one.
void imageSizes(const uint8_t* image, uint32_t& unpackedSize, uint32_t& packedSize)
{
    decodeFields(image + PackedHead::UNPACKED_OFFSET, unpackedSize, packedSize);
}
} // namespace

std::array<uint8_t, PackedHead::SIZE> PackedHead::encode() const
{
    return encodeFields<SIZE>(MAGIC, unpackedSize, packedSize);
}

WireCheck PackedHead::decode(const uint8_t* bytes, uint64_t length, PackedHead& out)
{
    WireCheck c = checkMagic(bytes, length, MAGIC, SIZE, false);
    if (c == WireCheck::OK)
        imageSizes(bytes, out.unpackedSize, out.packedSize);
    return c;
}

// The magic is not checked here: what the server keeps, it wrote itself, and
// a kept entry is checked whole when it is loaded.
bool SegmentImage::holdsStream(const uint8_t* image, uint32_t imageLength, uint32_t rawLength)
{
    uint32_t unpacked = 0, packed = 0;
    if (image == nullptr || imageLength <= PackedHead::SIZE)
        return false;
    imageSizes(image, unpacked, packed);
    return unpacked == rawLength && packed == imageLength - PackedHead::SIZE;
}

bool SegmentImage::marksStored(const uint8_t* image, uint32_t imageLength, uint32_t rawLength)
{
    uint32_t unpacked = 0, packed = 0;
    if (image == nullptr || imageLength != PackedHead::SIZE)
        return false;
    imageSizes(image, unpacked, packed);
    return unpacked == rawLength && packed == 0;
}

std::array<uint8_t, PackStoreHead::SIZE> PackStoreHead::encode() const
{
    return encodeFields<SIZE>(MAGIC, format, unpackedSize, packedSize, crc, md5);
}

WireCheck PackStoreHead::decode(const uint8_t* bytes, uint32_t length, PackStoreHead& out)
{
    WireCheck c = checkMagic(bytes, length, MAGIC, SIZE, true);
    if (c == WireCheck::OK)
        decodeFields(bytes + FORMAT_OFFSET, out.format, out.unpackedSize, out.packedSize, out.crc, out.md5);
    return c;
}

std::array<uint8_t, SegmentKeySource::SIZE> SegmentKeySource::encode() const
{
    return encodeFields<SIZE>(TAG, fileMd5, offset, length);
}

std::array<uint8_t, ResumeState::SIZE> ResumeState::encode() const
{
    return encodeFields<SIZE>(MAGIC, size, checksum, time, verified);
}

WireCheck ResumeState::decode(const uint8_t* bytes, uint32_t length, ResumeState& out)
{
    WireCheck c = checkMagic(bytes, length, MAGIC, SIZE, true);
    if (c == WireCheck::OK)
        decodeFields(bytes + SIZE_OFFSET, out.size, out.checksum, out.time, out.verified);
    return c;
}
