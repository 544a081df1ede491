// The signature envelope and the key files on arbitrary text: what the
// envelope reader takes, it writes back; a key file read is a key of the curve
// or is refused by the verifier, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "newupdatesystem/Common/ManifestFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SignedRelease release;
    if (SignedRelease::decode(text, release))
    {
        if (release.encode() != text)
            __builtin_trap();
        platform::PublicKey key{};
        key[0] = 0x04;
        platform::verifyMessage(key, release.manifest.data(), release.manifest.size(), release.signature);
    }
    platform::PublicKey pub;
    platform::PrivateKey priv;
    if (KeyFile::decodePublic(text, pub))
        platform::verifyMessage(pub, data, size, release.signature);
    KeyFile::decodePrivate(text, priv, pub);
    return 0;
}
