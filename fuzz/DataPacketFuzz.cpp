// Chunk and text checks of the protocol on arbitrary packets, without a socket.
#include "newupdatesystem/Common/ProtoThread.h"
#include "newupdatesystem/Common/WireBytes.h"

struct FuzzProto : CProtoThread
{
    bool protoHandshake() override { return false; }
    bool protoProcess() override { return false; }
    void check(const uint8_t* data, uint32_t size)
    {
        if (size < 4 || !loadPacket(data + 4, size - 4))
            return;
        uint32_t subtag = data[0] & 1 ? getLe32(data) : 0, length = 0;
        const uint8_t* content = nullptr;
        std::string text;
        try
        {
            processDataPacket(subtag, getLe32(data) >> 8, content, length);
        }
        catch (const CExcep&)
        {
        }
        try
        {
            parseTextMsg(data[1] % 16, text);
        }
        catch (const CExcep&)
        {
        }
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzProto proto;
    proto.check(data, uint32_t(size < 20000 ? size : 20000));
    return 0;
}
