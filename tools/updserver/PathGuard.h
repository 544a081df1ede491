// Checks every path a client sends before it touches the disk, and maps an
// accepted path onto the served tree. Client paths are relative, use `/` or
// `\`, and are matched against existing entries without regard to case (lists
// carry lower-case names while the tree keeps whatever case it was given).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

class CPathGuard
{
public:
    explicit CPathGuard(std::filesystem::path root);

    // The canonical form of a client path: components joined by `/`, no
    // trailing separator. False for anything that could leave the root or
    // overrun a buffer: empty, absolute, a drive letter, `.` or `..`
    // components, empty components, control characters, more than 511
    // characters or a component over 127.
    static bool normalize(std::string_view clientPath, std::string& out);

    enum Links
    {
        REFUSE_LINKS,        // for changes: never write through a link
        FOLLOW_LINKS_INSIDE, // for reading: a link may lead anywhere inside the root
    };

    // The on-disk path of a normalized relative path. Each existing component
    // is matched without regard to case; missing ones keep the case given.
    // False when a component on the way is a file where a folder is needed,
    // or a symbolic link: with REFUSE_LINKS any link, with FOLLOW_LINKS_INSIDE
    // one whose target is missing or outside the root (out is then the
    // target's canonical path).
    bool resolve(const std::string& relative, std::filesystem::path& out, Links links = REFUSE_LINKS) const;

    // True when path, with every link followed, exists inside the root.
    bool leadsInside(const std::filesystem::path& path, std::filesystem::path& target) const;

    // normalize, then resolve.
    bool map(std::string_view clientPath, std::filesystem::path& out) const;

    const std::filesystem::path& root() const { return m_rootPath; }

private:
    std::filesystem::path m_rootPath;
};
