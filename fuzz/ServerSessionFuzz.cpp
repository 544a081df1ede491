// What a client sends to an update server session: packets of 2-byte length and
// body, framed here, served over a socket pair against a temporary content folder.
#include <thread>

#include "fuzz/FuzzServer.h"
#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "platform/Sockets.h"
#include "tools/updserver/ServerSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzServer fuzz;
    platform::SocketHandle served;
    platform::SocketHandle client;
    if (size > 8192 || !platform::socketPair(served, client))
        return 0;
    CFrameEncoder frame(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    for (size_t pos = 0; pos + 2 <= size;)
    {
        size_t length = std::min<size_t>(data[pos] | data[pos + 1] << 8, size - pos - 2);
        frame.reset();
        if (frame.encode(data + pos + 2, uint32_t(length)) && frame.finish())
            (void)platform::socketSend(client, frame.data(), int32_t(frame.size()));
        pos += 2 + length;
    }
    platform::socketShutdownSend(client);
    std::thread drain(
        [client]
        {
            for (char b[65536]; platform::socketRecv(client, b, sizeof b) > 0;)
            {
            }
        });
    CServerSession(*fuzz.server, served, "fuzz", CServerSession::SERVE).run();
    drain.join();
    platform::socketClose(client);
    fuzz.restore();
    return 0;
}
