// The manifest reader on arbitrary text: what it takes, it writes back byte
// for byte, since a signature covers exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "newupdatesystem/Common/ManifestFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ReleaseManifest manifest;
    if (ReleaseManifest::decode(text, manifest) && manifest.encode() != text)
        __builtin_trap();
    return 0;
}
