// The releases of a served tree on disk: one read-only folder per release
// under DIR/releases, and DIR/current, a symbolic link to the one served. A
// release is staged beside the others under a hidden name, checked, made
// read-only and only then given its name; the link is switched by renaming a
// new link over it, so a reader sees the old release or the new one, never a
// mix and never nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class CReleaseStore
{
public:
    explicit CReleaseStore(std::filesystem::path dir);

    struct Staged
    {
        std::string name;
        uint32_t files = 0;
        uint64_t bytes = 0;
    };

    // Copies the folder `from` (times kept) into the release `name`, checks
    // the copy against the source by size, time and MD5 of every file, and
    // makes it read-only. Throws std::runtime_error (a bad name, an existing
    // release, a symbolic link or special file in the source, a mismatch) or
    // the CExcep of a scan; nothing is left behind on failure.
    Staged stage(const std::filesystem::path& from, const std::string& name);

    // The release the link names now, empty when there is no link.
    std::string current() const;
    // Points the link at the release `name` atomically.
    void switchTo(const std::string& name);

    // Releases by age, newest first (the current one included).
    std::vector<std::string> releases() const;
    // Deletes the releases beyond the current one and the `keep` newest
    // others, except those named in `inUse`. Returns the deleted names.
    std::vector<std::string> prune(unsigned keep, const std::vector<std::string>& inUse);

    // A release name: 1-64 letters, digits, '.', '-', '_', not starting with '.'.
    static bool validName(const std::string& name);

    std::filesystem::path releaseDir(const std::string& name) const { return m_dir / "releases" / name; }
    std::filesystem::path link() const { return m_dir / "current"; }

private:
    std::filesystem::path m_dir;
};
