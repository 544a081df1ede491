// The signed release manifest and the files that carry keys. A manifest binds
// the lists a served folder publishes ("list", "ignore", "self_upd") and every
// file they name, by size and SHA-256, to a release number and an expiry
// time; the envelope puts a signature over its exact bytes. All three are
// text, one record a line, so that an operator can read what was signed:
//
//   manifest:  "updmanifest 1", "release N", "expires T" (seconds since 1970
//              UTC), optionally "next-key HEX", "ignore SIZE SHA256", then the
//              tree of "list" as "d PATH" (folder) and "f SIZE SHA256 PATH"
//              (file) in byte order of the paths, then "s SIZE SHA256 NAME"
//              for each file of "self_upd", in byte order.
//   envelope:  "updsigned 1", "signature HEX" (r and s), then the manifest.
//   key files: "upd-ecdsa-p256 HEX" (the public point) and
//              "upd-ecdsa-p256-private HEX HEX" (the scalar, then the point).
//
// Every line ends in LF; hex is lower case; numbers are decimal without
// leading zeros. The readers take nothing else: any other byte, order, count
// or length beyond the maxima below is refused as a whole.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Crypto.h"

struct ManifestEntry
{
    bool folder = false;
    uint64_t size = 0;
    platform::Sha256Digest sha256{};
};

struct ReleaseManifest
{
    static constexpr size_t kMaxBytes = size_t(64) << 20;
    static constexpr size_t kMaxTreeEntries = 0x10000 + 0x4000; // files and folders a list may hold
    static constexpr size_t kMaxSelfEntries = 0x10000;
    static constexpr size_t kMaxPathLength = 511;
    static constexpr uint64_t kMaxFileSize = uint64_t(1) << 46;
    static constexpr uint64_t kMaxNumber = (uint64_t(1) << 63) - 1;

    uint64_t release = 0; // 1 or more
    uint64_t expires = 0; // seconds since 1970 UTC
    std::optional<platform::PublicKey> nextKey;
    uint64_t ignoreSize = 0;
    platform::Sha256Digest ignoreSha256{};
    std::map<std::string, ManifestEntry, std::less<>> tree; // paths of "list", "/" separated
    std::map<std::string, ManifestEntry, std::less<>> self; // names of "self_upd"

    std::string encode() const;
    // False, with out in an unspecified state, for anything but a manifest
    // written by encode within the maxima.
    static bool decode(std::string_view text, ReleaseManifest& out);
};

struct SignedRelease
{
    static constexpr size_t kMaxBytes = ReleaseManifest::kMaxBytes + 256;

    platform::Signature signature{};
    std::string manifest; // the signed bytes

    std::string encode() const;
    // Splits the envelope; the manifest's own form is not checked here.
    static bool decode(std::string_view text, SignedRelease& out);
};

struct KeyFile
{
    static std::string encodePublic(const platform::PublicKey& key);
    static std::string encodePrivate(const platform::PrivateKey& key, const platform::PublicKey& pub);
    static bool decodePublic(std::string_view text, platform::PublicKey& out);
    static bool decodePrivate(std::string_view text, platform::PrivateKey& key, platform::PublicKey& pub);
};

// Lower-case hex of the bytes, and back (false unless exactly 2*n such digits).
std::string toHex(const uint8_t* bytes, size_t n);
bool fromHex(std::string_view text, uint8_t* out, size_t n);
