#include "newupdatesystem/Common/FilePacker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/StoredFormats.h"

namespace
{
// The first output buffer; it doubles up to the cap as the packed form grows.
constexpr uint32_t kFirstOutput = 1u << 20;

[[noreturn]] void packFailed()
{
    throw CSystemExcep(Z_OUT_OF_BUFFER, EK_NONE, 0, "", EXCEP_SITE("CFilePacker::pack"));
}

// Opens the file and learns its length as CDataFile::loadFromFile does.
uint32_t openForReading(CBinFile& file, const char* path)
{
    file.open(path);
    int32_t n = file.length();
    if (n < 0)
        throw CSystemExcep(FILE_READ, EK_ERRNO, EFBIG, path, EXCEP_SITE("CBinFile::read"));
    return uint32_t(n);
}

struct Deflater
{
    z_stream z{};
    bool open = false;
    ~Deflater()
    {
        if (open)
            deflateEnd(&z);
    }
};
} // namespace

CFilePacker::Result CFilePacker::digest(const char* path)
{
    Result r;
    CBinFile file;
    r.unpackedSize = openForReading(file, path);
    std::unique_ptr<uint8_t[]> block(new uint8_t[BLOCK_SIZE]);
    CMd5 md5;
    for (uint32_t done = 0; done < r.unpackedSize;)
    {
        uint32_t n = std::min(BLOCK_SIZE, r.unpackedSize - done);
        file.read(block.get(), n);
        md5.update(block.get(), n);
        done += n;
    }
    file.safeClose();
    md5.final(r.md5);
    r.fits = true;
    return r;
}

CFilePacker::Result CFilePacker::pack(const char* path, uint64_t cap, CDataFile& out)
{
    Result r;
    out.free();
    cap = std::min<uint64_t>(cap, uint64_t(CDataFile::MAX_SIZE) + CDataFile::HEADER_SIZE);
    CBinFile file;
    r.unpackedSize = openForReading(file, path);
    if (cap < CDataFile::HEADER_SIZE)
        return r;

    // compress2's settings: level 9, the default window, memory and strategy.
    Deflater d;
    if (deflateInit(&d.z, 9) != Z_OK)
        packFailed();
    d.open = true;
    std::unique_ptr<uint8_t[]> block(new uint8_t[BLOCK_SIZE]);
    CMd5 md5;
    uint32_t read = 0;
    uint32_t used = CDataFile::HEADER_SIZE;
    out.resize(uint32_t(std::min<uint64_t>(cap, kFirstOutput)));
    for (;;)
    {
        if (d.z.avail_in == 0 && read < r.unpackedSize)
        {
            uint32_t n = std::min(BLOCK_SIZE, r.unpackedSize - read);
            file.read(block.get(), n);
            md5.update(block.get(), n);
            read += n;
            d.z.next_in = block.get();
            d.z.avail_in = n;
        }
        if (used == out.capacity())
        {
            if (used >= cap)
            {
                // More is to come and there is no room for it: too large.
                out.free();
                return r;
            }
            out.resize(uint32_t(std::min<uint64_t>(cap, uint64_t(used) * 2)));
        }
        d.z.next_out = out.data() + used;
        d.z.avail_out = out.capacity() - used;
        const int rc = deflate(&d.z, read == r.unpackedSize ? Z_FINISH : Z_NO_FLUSH);
        used = out.capacity() - d.z.avail_out;
        if (rc == Z_STREAM_END)
            break;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            packFailed();
    }
    file.safeClose();
    const PackedHead head{r.unpackedSize, used - CDataFile::HEADER_SIZE};
    std::memcpy(out.data(), head.encode().data(), CDataFile::HEADER_SIZE);
    out.resize(used);
    out.writeAt(nullptr, 0, used); // the size only: the bytes are in place
    md5.final(r.md5);
    r.fits = true;
    return r;
}
