// CFilePacker: packs a file into the "ZPck" format while reading it in bounded
// blocks, with a cap on the packed size, so that a file too large to serve is
// known as such without ever holding it. The bytes are exactly those
// CDataFile::packFrom makes of the whole file (zlib level 9, one stream).
#pragma once

#include <cstdint>

#include "newupdatesystem/Common/DataFile.h"

class CFilePacker
{
public:
    // What one read takes from the file.
    static constexpr uint32_t BLOCK_SIZE = 1u << 20;

    struct Result
    {
        bool fits = false;         // the packed form is within the cap; out holds it
        uint32_t unpackedSize = 0; // bytes read
        uint8_t md5[16] = {};      // of the bytes read, when fits
    };

    // Packs the file at path into out (capacity trimmed to its size). cap: the
    // most bytes the packed form, head included, may have; past it the
    // packing stops, out is freed and fits is false. Throws the CBinFile
    // errors of reading (FILE_OPEN, FILE_READ; EFBIG for a file beyond the
    // format), Z_OUT_OF_BUFFER when packing fails, std::bad_alloc.
    static Result pack(const char* path, uint64_t cap, CDataFile& out);
    // The MD5 and length of the file, read in the same blocks.
    static Result digest(const char* path);
};
