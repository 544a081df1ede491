// CReleaseCheck: what a client that holds a trusted key accepts from a
// server. The signed manifest is verified first (signature by the key the
// installation trusts now, a release number not below the last accepted one,
// not expired); then every list is held against it before it is used, and
// every downloaded file before it takes its place. Every refusal is a
// CSystemExcep Z_CORRUPTED (status 13) with a log line that says why.
//
// The last accepted release and key are kept beside the installation's list
// (statePath), written only once every list the job needs has matched, so a
// refused run leaves nothing changed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/ManifestFormat.h"

class CReleaseCheck
{
public:
    enum class Job
    {
        Update,     // "list", "ignore" and "self_upd"; files of the tree
        SelfUpdate, // "self_upd"; its files
    };

    // Reads the configured public key and the kept state; a key that cannot
    // be read is refused.
    CReleaseCheck(const std::string& keyFile, std::string statePath, Job job);

    // The envelope as the server sent it; now: seconds since 1970 UTC.
    void acceptManifest(const std::vector<uint8_t>& envelope, uint64_t now);
    bool accepted() const { return m_accepted; }

    // Before a list is used: it names exactly what the manifest names.
    void checkList(const std::string& name, const CFileList& list);
    void checkIgnore(const void* bytes, size_t length);
    // Before a downloaded file takes its place; may run on any thread once
    // the lists are checked.
    void checkFile(const char* path, uint64_t size, const platform::Sha256Digest& sha256) const;

    const ReleaseManifest& manifest() const { return m_manifest; }

    // The kept state: the key configured when it was written (a new one
    // starts over), the key trusted now, the one before a rotation, and the
    // last accepted release.
    struct State
    {
        platform::PublicKey origin{};
        platform::PublicKey key{};
        std::optional<platform::PublicKey> previous;
        uint64_t release = 0;

        std::string encode() const;
        static bool decode(const std::string& text, State& out);
    };

private:
    [[noreturn]] void refuse(const char* format, ...) const UPD_PRINTF(2, 3);
    void listChecked(const std::string& name);
    void saveState();

    std::string m_statePath;
    Job m_job;
    State m_state;
    ReleaseManifest m_manifest;
    bool m_accepted = false;
    bool m_rotated = false;             // signed by the previous key, naming the trusted one
    std::vector<std::string> m_pending; // lists still to check before the state is kept
};
