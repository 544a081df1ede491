#include "tools/updctl/ReleaseStore.h"

#include <algorithm>
#include <stdexcept>

#include "newupdatesystem/Common/FileList.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace
{
// Copies a tree of plain files and folders, keeping the files' times (the
// lists carry them, and clients stamp them on their copies).
void copyTree(const fs::path& from, const fs::path& to)
{
    fs::create_directory(to);
    for (const fs::directory_entry& e : fs::directory_iterator(from))
    {
        fs::file_status st = e.symlink_status();
        fs::path target = to / e.path().filename();
        if (fs::is_symlink(st))
            throw std::runtime_error("'" + e.path().string() +
                                     "' is a symbolic link; a release holds plain files");
        if (fs::is_directory(st))
        {
            copyTree(e.path(), target);
        }
        else if (fs::is_regular_file(st))
        {
            fs::copy_file(e.path(), target);
            int64_t t = platform::getFileTime(e.path().string().c_str());
            if (t < 0 || platform::setFileTime(target.string().c_str(), t) != 0)
                throw std::runtime_error("cannot keep the time of '" + e.path().string() + "'");
        }
        else
        {
            throw std::runtime_error("'" + e.path().string() + "' is not a file or folder");
        }
    }
}

void setWritable(const fs::path& root, bool writable)
{
    auto perms = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    auto apply = [&](const fs::path& p)
    {
        if (writable)
        {
            fs::permissions(p, fs::perms::owner_write, fs::perm_options::add);
            return;
        }
        fs::permissions(p, perms, fs::perm_options::remove);
        // Published files are public, and the server runs as another user: a
        // private umask of the operator must not hide them from it.
        auto readable = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
        if (fs::is_directory(fs::symlink_status(p)))
            readable |= fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
        fs::permissions(p, readable, fs::perm_options::add);
    };
    std::vector<fs::path> folders{root};
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    {
        if (it->is_symlink())
            continue;
        if (it->is_directory())
            folders.push_back(it->path());
        else
            apply(it->path());
    }
    // Folders last when protecting, so their entries can still be changed.
    for (const fs::path& f : folders)
        apply(f);
}

std::vector<uint8_t> listImage(const fs::path& folder, uint32_t* files, uint64_t* bytes)
{
    CFileList list;
    list.scan(folder.string().c_str(), true);
    list.buildBin();
    if (files)
        *files = list.fileCount;
    if (bytes)
        *bytes = list.totalSize;
    return list.image();
}
} // namespace

CReleaseStore::CReleaseStore(fs::path dir) : m_dir(std::move(dir)) {}

bool CReleaseStore::validName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c)
                       {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
                       });
}

CReleaseStore::Staged CReleaseStore::stage(const fs::path& from, const std::string& name)
{
    if (!validName(name))
        throw std::runtime_error("'" + name + "' is not a release name (letters, digits, '.', '-', '_')");
    if (!fs::is_directory(from))
        throw std::runtime_error("'" + from.string() + "' is not a folder");
    fs::create_directories(m_dir / "releases");
    // A source that holds the releases, or lies among them, would copy into itself.
    fs::path source = fs::canonical(from), releasesDir = fs::canonical(m_dir / "releases");
    auto within = [](const fs::path& inner, const fs::path& outer)
    {
        auto rel = inner.lexically_relative(outer);
        return !rel.empty() && *rel.begin() != "..";
    };
    if (within(releasesDir, source) || within(source, releasesDir))
        throw std::runtime_error("'" + from.string() + "' overlaps the releases folder");
    fs::path final = releaseDir(name);
    if (fs::exists(fs::symlink_status(final)))
        throw std::runtime_error("release '" + name + "' exists already; releases are never changed");
    fs::path staging = m_dir / "releases" / ("." + name + ".staging");
    if (fs::exists(fs::symlink_status(staging)))
    {
        setWritable(staging, true);
        fs::remove_all(staging);
    }
    Staged result;
    result.name = name;
    try
    {
        copyTree(from, staging);
        // The copy must list exactly as the source: names, sizes, times, MD5.
        std::vector<uint8_t> source = listImage(from, nullptr, nullptr);
        std::vector<uint8_t> copy = listImage(staging, &result.files, &result.bytes);
        if (source != copy)
            throw std::runtime_error("the copy of '" + from.string() +
                                     "' differs from its source (changed while copying?)");
        setWritable(staging, false);
        fs::rename(staging, final);
    }
    catch (...)
    {
        std::error_code ec;
        if (fs::exists(staging, ec))
        {
            setWritable(staging, true);
            fs::remove_all(staging, ec);
        }
        throw;
    }
    return result;
}

std::string CReleaseStore::current() const
{
    std::error_code ec;
    fs::path target = fs::read_symlink(link(), ec);
    return ec ? std::string() : target.filename().string();
}

void CReleaseStore::switchTo(const std::string& name)
{
    if (!validName(name) || !fs::is_directory(releaseDir(name)))
        throw std::runtime_error("no release '" + name + "'");
    fs::path next = m_dir / ".current.next";
    std::error_code ec;
    fs::remove(next, ec);
    fs::create_directory_symlink(fs::path("releases") / name, next);
    // rename(2) replaces the old link in one step.
    fs::rename(next, link());
}

std::vector<std::string> CReleaseStore::releases() const
{
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(m_dir / "releases", ec))
    {
        std::string name = e.path().filename().string();
        if (validName(name) && e.is_directory() && !e.is_symlink())
            found.emplace_back(e.last_write_time(), name);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b)
              { return a.first != b.first ? a.first > b.first : a.second > b.second; });
    std::vector<std::string> names;
    for (auto& [time, name] : found)
        names.push_back(name);
    return names;
}

std::vector<std::string> CReleaseStore::prune(unsigned keep, const std::vector<std::string>& inUse)
{
    std::string live = current();
    std::vector<std::string> deleted;
    unsigned kept = 0;
    for (const std::string& name : releases())
    {
        if (name == live)
            continue;
        if (kept < keep)
        {
            ++kept;
            continue;
        }
        if (std::find(inUse.begin(), inUse.end(), name) != inUse.end())
            continue;
        fs::path p = releaseDir(name);
        setWritable(p, true);
        fs::remove_all(p);
        deleted.push_back(name);
    }
    return deleted;
}
