// What a client sends to an update server session: packets of 2-byte length and
// body, framed here and served from memory against a temporary content folder.
// The transport in memory takes every answer and ends with the input, so a run
// costs no socket, thread or wait.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzServer.h"
#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "platform/Sockets.h"
#include "tools/updserver/ServerSession.h"

namespace
{
class MemoryTransport : public ISessionTransport
{
public:
    explicit MemoryTransport(std::string input) : m_input(std::move(input)) {}
    platform::CServerConnection::Result receive(void* buffer, size_t size, size_t& got, int) override
    {
        got = std::min(size, m_input.size() - m_at);
        if (got == 0)
            return platform::CServerConnection::IO_CLOSED;
        std::memcpy(buffer, m_input.data() + m_at, got);
        m_at += got;
        return platform::CServerConnection::IO_OK;
    }
    platform::CServerConnection::Result sendSome(const void*, size_t size, size_t& sent, int) override
    {
        sent = size;
        return platform::CServerConnection::IO_OK;
    }
    void shutdownBoth() override {}
    void finish(int) override {}

private:
    std::string m_input;
    size_t m_at = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzServer fuzz;
    if (size > 8192)
        return 0;
    std::string input;
    CFrameEncoder frame(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    for (size_t pos = 0; pos + 2 <= size;)
    {
        size_t length = std::min<size_t>(data[pos] | data[pos + 1] << 8, size - pos - 2);
        frame.reset();
        if (frame.encode(data + pos + 2, uint32_t(length)) && frame.finish())
            input.append(reinterpret_cast<const char*>(frame.data()), frame.size());
        pos += 2 + length;
    }
    CServerSession(*fuzz.server, std::make_unique<MemoryTransport>(std::move(input)), "fuzz",
                   CServerSession::SERVE)
        .run();
    fuzz.restore();
    return 0;
}
