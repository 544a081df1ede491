// ResumeRecord: what NAME.resume.log says of the partial file beside it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/StoredFormats.h"
#include "platform/Files.h"
#include "platform/OpenNoFollow.h"

// What a partial file is part of: the list's size, checksum and time of the
// server's file, and how much of it is verified. Fixed little-endian fields.
struct ResumeRecord
{
    static constexpr size_t kSize = ResumeState::SIZE;
    uint64_t size = 0;
    uint32_t checksum[4] = {};
    int64_t time = 0;
    uint64_t verified = 0;

    static ResumeRecord of(const FileChange& item)
    {
        ResumeRecord r;
        r.size = item.info.size;
        std::memcpy(r.checksum, item.info.checksum, sizeof r.checksum);
        r.time = item.info.time;
        return r;
    }
    bool sameFile(const ResumeRecord& o) const
    {
        return size == o.size && std::memcmp(checksum, o.checksum, sizeof checksum) == 0 && time == o.time;
    }
    bool read(const std::string& path)
    {
        uint8_t b[kSize];
        FILE* f = platform::openFile(path.c_str(), "rb");
        if (f == nullptr)
            return false;
        bool whole = std::fread(b, 1, kSize, f) == kSize && std::fgetc(f) == EOF;
        std::fclose(f);
        ResumeState s;
        if (!whole || ResumeState::decode(b, kSize, s) != WireCheck::OK)
            return false;
        size = s.size;
        std::memcpy(checksum, s.checksum, sizeof checksum);
        time = s.time;
        verified = s.verified;
        return verified <= size;
    }
    void write(const std::string& path) const
    {
        ResumeState s{size, {}, time, verified};
        std::memcpy(s.checksum, checksum, sizeof s.checksum);
        const auto b = s.encode();
        // A link planted at the name is replaced, never written through.
        FILE* f = platform::openFileNoFollow(platform::resolvePath(path.c_str()).c_str(), "wb",
                                             platform::AtLink::Replace);
        bool ok = f != nullptr && std::fwrite(b.data(), b.size(), 1, f) == 1;
        if (f != nullptr && std::fclose(f) != 0)
            ok = false;
        if (!ok)
            throw CSystemExcep(FILE_WRITE, EK_ERRNO, errno, path, EXCEP_HERE());
    }
};
