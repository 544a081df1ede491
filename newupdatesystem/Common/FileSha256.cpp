#include "newupdatesystem/Common/FileSha256.h"

#include <cstdio>
#include <vector>

#include "platform/Files.h"

bool addFileToSha256(const char* path, uint64_t length, platform::CSha256& into)
{
    FILE* f = platform::openFile(path, "rb");
    if (f == nullptr)
        return false;
    std::vector<uint8_t> buffer(size_t(1) << 20);
    uint64_t left = length;
    bool ok = true;
    while (left != 0)
    {
        size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
        size_t got = std::fread(buffer.data(), 1, want, f);
        into.update(buffer.data(), got);
        left -= got;
        if (got < want)
        {
            ok = length == UINT64_MAX && !std::ferror(f);
            break;
        }
    }
    std::fclose(f);
    return ok;
}
