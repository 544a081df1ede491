#include "tools/updserver/PathGuard.h"

#include <strings.h>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
constexpr size_t kMaxPath = 511;
constexpr size_t kMaxName = 127;

bool acceptComponent(std::string_view c)
{
    if (c.empty() || c.size() > kMaxName || c == "." || c == "..")
        return false;
    for (unsigned char ch : c)
        if (ch < 0x20 || ch == 0x7F || ch == ':')
            return false;
    return true;
}
} // namespace

CPathGuard::CPathGuard(fs::path root) : m_rootPath(std::move(root)) {}

bool CPathGuard::normalize(std::string_view clientPath, std::string& out)
{
    out.clear();
    if (clientPath.empty() || clientPath.size() > kMaxPath)
        return false;
    if (clientPath.front() == '/' || clientPath.front() == '\\')
        return false;
    // A single trailing separator names a folder; the caller knows which it wants.
    if (clientPath.back() == '/' || clientPath.back() == '\\')
        clientPath.remove_suffix(1);
    size_t start = 0;
    while (start <= clientPath.size())
    {
        size_t end = clientPath.find_first_of("/\\", start);
        if (end == std::string_view::npos)
            end = clientPath.size();
        std::string_view c = clientPath.substr(start, end - start);
        if (!acceptComponent(c))
            return false;
        if (!out.empty())
            out += '/';
        out.append(c);
        start = end + 1;
    }
    return !out.empty();
}

bool CPathGuard::leadsInside(const fs::path& path, fs::path& target) const
{
    std::error_code ec;
    fs::path root = fs::canonical(m_rootPath, ec);
    if (ec)
        return false;
    target = fs::canonical(path, ec);
    if (ec)
        return false;
    fs::path rel = target.lexically_relative(root);
    return !rel.empty() && *rel.begin() != ".." && rel != ".";
}

bool CPathGuard::resolve(const std::string& relative, fs::path& out, Links links) const
{
    fs::path cur = m_rootPath;
    bool exists = true;
    bool linked = false;
    size_t start = 0;
    while (start <= relative.size())
    {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        std::string name = relative.substr(start, end - start);
        bool last = end == relative.size();
        if (exists)
        {
            std::error_code ec;
            fs::path exact = cur / name;
            fs::file_status st = fs::symlink_status(exact, ec);
            if (!fs::exists(st))
            {
                // Look for the entry in another letter case; the first in byte order wins.
                std::string best;
                for (fs::directory_iterator it(cur, ec), endIt; !ec && it != endIt; it.increment(ec))
                {
                    std::string candidate = it->path().filename().string();
                    if (strcasecmp(candidate.c_str(), name.c_str()) == 0 &&
                        (best.empty() || candidate < best))
                        best = candidate;
                }
                if (!best.empty())
                {
                    name = best;
                    st = fs::symlink_status(cur / name, ec);
                }
            }
            if (fs::is_symlink(st))
            {
                if (links == REFUSE_LINKS)
                    return false;
                linked = true;
                st = fs::status(cur / name, ec);
            }
            if (!fs::exists(st))
                exists = false;
            else if (!last && !fs::is_directory(st))
                return false;
        }
        cur /= name;
        start = end + 1;
    }
    if (linked)
        return exists && leadsInside(cur, out);
    out = cur;
    return true;
}

bool CPathGuard::map(std::string_view clientPath, fs::path& out) const
{
    std::string rel;
    return normalize(clientPath, rel) && resolve(rel, out);
}
