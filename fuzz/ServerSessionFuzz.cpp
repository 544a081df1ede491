// What a client sends to an update server session: packets of 2-byte length and
// body, framed here, served over a socket pair against a temporary content folder.
#include <sys/socket.h>

#include <thread>

#include "fuzz/FuzzServer.h"
#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "tools/updserver/ServerSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzServer fuzz;
    int fds[2];
    if (size > 8192 || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    CFrameEncoder frame(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    for (size_t pos = 0; pos + 2 <= size;)
    {
        size_t length = std::min<size_t>(data[pos] | data[pos + 1] << 8, size - pos - 2);
        frame.reset();
        if (frame.encode(data + pos + 2, uint32_t(length)) && frame.finish())
            (void)!write(fds[1], frame.data(), frame.size());
        pos += 2 + length;
    }
    shutdown(fds[1], SHUT_WR);
    std::thread drain(
        [fd = fds[1]]
        {
            for (char b[65536]; read(fd, b, sizeof b) > 0;)
            {
            }
        });
    CServerSession(*fuzz.server, fds[0], "fuzz", CServerSession::SERVE).run();
    drain.join();
    close(fds[1]);
    fuzz.restore();
    return 0;
}
