#include "newupdatesystem/Common/TlsMessages.h"

#include "newupdatesystem/Common/WireFields.h"

std::array<uint8_t, TlsOpenMsg::SIZE> TlsOpenMsg::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_STLS, version, reserved);
}

WireCheck TlsOpenMsg::decode(const uint8_t* packet, uint32_t length, TlsOpenMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_STLS, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + WORD2_OFFSET, out.version, out.reserved);
    return c;
}
