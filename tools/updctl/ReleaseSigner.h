// The signing side of signed releases, run where the private key is kept,
// never on the server: key pairs, and the manifest of a served folder signed
// into the folder's root (kSignedReleaseFile), where the server picks it up
// with its lists.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "newupdatesystem/Common/ManifestFormat.h"

struct SignRequest
{
    std::filesystem::path root;       // the content folder, as the server's --root
    std::filesystem::path selfDir;    // as the server's --self-update; may be empty
    std::filesystem::path ignoreFile; // as the server's --ignore; may be empty
    std::filesystem::path keyFile;    // the private key
    std::optional<uint64_t> release;  // default: one more than the folder's last
    unsigned expiresDays = 30;
    std::filesystem::path nextKeyFile; // a public key to rotate to; may be empty
};

class CReleaseSigner
{
public:
    // Writes FILE (the private key, for its owner alone; an existing file is
    // refused) and FILE.pub. Throws std::runtime_error.
    static void generateKeys(const std::filesystem::path& file);

    // Builds the folder's lists as the server does, hashes every file they
    // name, signs the manifest and puts it in place atomically. Returns the
    // manifest. Throws std::runtime_error, or the CExcep of a scan.
    static ReleaseManifest sign(const SignRequest& request);

    // The release number of the manifest the folder holds, 0 without one.
    // The number is read, not trusted: the signature is not checked.
    static uint64_t lastRelease(const std::filesystem::path& root);

    static std::string readSmallFile(const std::filesystem::path& file, size_t max);
};
