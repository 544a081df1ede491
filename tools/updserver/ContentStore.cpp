#include "tools/updserver/ContentStore.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/ItemList.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/TrustProto.h"
#include "platform/Files.h"
#include "tools/updserver/UploadStore.h"

namespace fs = std::filesystem;

namespace
{
// Fills in the checksums of one folder level and below: taken over from the
// previous list when size and time are unchanged, read from disk otherwise.
void fillChecksums(FolderMap& map, const std::string& prefix, const fs::path& dir, const CFileList* previous)
{
    for (auto& [name, entry] : map)
    {
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (entry.isFolder())
        {
            fillChecksums(*entry.child, path, dir, previous);
            continue;
        }
        const FileEntry* old = nullptr;
        if (previous)
        {
            try
            {
                old = previous->findEntry(path.c_str());
            }
            catch (const CExcep&)
            {
                old = nullptr;
            }
        }
        if (old && !old->isFolder() && (old->flags & FI_CHECKSUM) && old->size == entry.size &&
            old->time == entry.time)
        {
            std::copy(old->checksum, old->checksum + 4, entry.checksum);
            entry.flags |= FI_CHECKSUM;
        }
        else
        {
            CFileList::checksumFile(entry, (dir / path).string().c_str());
        }
    }
}
// Leaves out what could be listed but not served: files that are links to
// something outside the folder (a client asking for them would be refused and
// its whole update would fail), and the temporary files of uploads under way.
void dropUnservable(CFileList& list, const CPathGuard& guard)
{
    std::vector<std::string> drop;
    auto walk = [&](auto& self, const FolderMap& map, const std::string& prefix) -> void
    {
        for (const auto& [name, entry] : map)
        {
            std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (entry.isFolder())
            {
                self(self, *entry.child, path);
                continue;
            }
            // The signed manifest speaks about the listed files; it is none of them.
            if (CUploadStore::isTemporaryName(name) || (prefix.empty() && name == kSignedReleaseFile))
            {
                drop.push_back(path);
                continue;
            }
            // Folder links are never scanned, so only the file itself can be one.
            fs::path disk = platform::resolvePath((guard.root() / path).string().c_str());
            std::error_code ec;
            if (!fs::is_symlink(fs::symlink_status(disk, ec)))
                continue;
            fs::path target;
            if (!guard.leadsInside(disk, target) || !fs::is_regular_file(target, ec))
            {
                logWarning("'%s' is a link that leads outside '%s'; it is not published",
                           disk.string().c_str(), guard.root().string().c_str());
                drop.push_back(path);
            }
        }
    };
    walk(walk, list.root, "");
    for (const std::string& path : drop)
        list.remove(path.c_str());
}

// The paths of the files a version 102 list cannot hold.
void collectHuge(const FolderMap& map, const std::string& prefix, std::vector<std::string>& out)
{
    for (const auto& [name, entry] : map)
    {
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (entry.isFolder())
            collectHuge(*entry.child, path, out);
        else if (entry.size > kMaxListFileSize)
            out.push_back(path);
    }
}

// A path for the log, its control characters shown as '?', so a name cannot
// forge a line of it.
std::string printable(std::string path)
{
    for (char& c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return path;
}

size_t countFiles(const FolderMap& map)
{
    size_t n = 0;
    for (const auto& [name, entry] : map)
        n += entry.isFolder() ? countFiles(*entry.child) : 1;
    return n;
}

// Whether the lines, read as a client reads the ignore list, leave every file
// of the list in place. Patterns compare without regard to case, so one path
// may match another file.
bool removeNothing(const CFileList& list, const std::string& lines)
{
    CFileList probe;
    probe.createFromBin(list.image().data(), list.imageSize());
    const size_t before = countFiles(probe.root);
    ChangeList patterns;
    parseItemList(patterns, lines.data(), static_cast<uint32_t>(lines.size()));
    try
    {
        exclude(probe, patterns);
    }
    catch (const CExcep&)
    {
        return false;
    }
    return countFiles(probe.root) == before;
}

// The lines that tell a base client to leave the huge files alone, one path
// each. A path is left out when a client would read it as anything but that
// one file: a wildcard (there is no escape for one), a separator or line
// break, a comment mark, a length it cuts, or a match with a file the base
// list does hold (that one would never be updated again).
std::string ignoreLines(const std::vector<std::string>& huge, const CFileList& base)
{
    std::vector<std::string> fit;
    for (const std::string& path : huge)
    {
        bool plain = !path.empty() && path.size() <= MAX_PATH_LENGTH && path[0] != ';';
        for (char c : path)
            plain = plain && c != '*' && c != '?' && c != '\\' && static_cast<unsigned char>(c) >= 0x20 &&
                    c != 0x7f;
        if (plain)
            fit.push_back(path);
        else
            logWarning("'%s' cannot be named in the ignore list; a base client deletes its copy",
                       printable(path).c_str());
    }
    std::string lines;
    for (const std::string& path : fit)
        lines += path + '\n';
    if (removeNothing(base, lines))
        return lines;
    lines.clear();
    for (const std::string& path : fit)
    {
        if (removeNothing(base, path + '\n'))
            lines += path + '\n';
        else
            logWarning("'%s' in the ignore list would hide another file; a base client deletes its copy",
                       path.c_str());
    }
    return lines;
}
} // namespace

std::string CContentStore::baseIgnoreText(const std::string& patterns,
                                          const std::vector<std::string>& unlisted, const CFileList& base)
{
    std::string lines = ignoreLines(unlisted, base);
    if (lines.empty())
        return {};
    // A lone "\n" ends the lines: it keeps the operator's lines as they read,
    // whichever line ends they use.
    std::string text = patterns;
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    return text + lines;
}

// A file changed in place after the lists were built would reach a client
// that holds the old list as bytes it cannot check against anything.
bool CContentStore::matchesDisk(const FileEntry& entry, const fs::path& disk)
{
    std::error_code ec;
    uintmax_t size = fs::file_size(disk, ec);
    return !ec && size == entry.size && platform::getFileTime(disk.string().c_str()) == entry.time;
}

CContentStore::CContentStore(fs::path root, fs::path selfDir, fs::path ignoreFile)
    : m_content(std::move(root)), m_selfFolder(std::move(selfDir)), m_ignoreFile(std::move(ignoreFile))
{
}

void CContentStore::buildList(CFileList& list, const fs::path& dir, const CFileList* previous)
{
    list.scan(dir.string().c_str(), false);
    dropUnservable(list, CPathGuard(dir));
    fillChecksums(list.root, "", dir, previous);
}

void CContentStore::publishBytes(const void* bytes, uint32_t size, PublishedFile& out)
{
    out.packed.packFrom(bytes, size);
    CMd5::digest(bytes, size, out.md5);
}

void CContentStore::publish(CFileList& list, PublishedFile& out)
{
    list.buildBin();
    publishBytes(list.image().data(), list.imageSize(), out);
}

void CContentStore::loadSignedRelease(ContentSnapshot& snap)
{
    // A manifest may name every file a list can hold; more than that is no
    // manifest of ours, and is not read.
    constexpr uintmax_t kMaxSignedRelease = uintmax_t(64) << 20 | 4096;
    const fs::path file = snap.contentDir / kSignedReleaseFile;
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return;
    uintmax_t size = fs::file_size(file, ec);
    if (ec || size > kMaxSignedRelease)
        throw std::runtime_error("the signed manifest '" + file.string() +
                                 "' cannot be read or is too large");
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot read the signed manifest '" + file.string() + "'");
    publishBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), snap.signedRelease);
}

void CContentStore::rebuild()
{
    std::lock_guard<std::mutex> one(m_rebuilding);
    std::shared_ptr<const ContentSnapshot> previous = snapshot();
    auto next = std::make_shared<ContentSnapshot>();
    next->contentDir = fs::canonical(m_content.root());
    next->release = next->contentDir.filename().string();

    buildList(next->content, next->contentDir, previous ? &previous->content : nullptr);
    std::vector<std::string> huge;
    collectHuge(next->content.root, "", huge);
    std::vector<std::string> unlisted; // left out of the base list
    CFileList base;                    // when some files are left out of the base list
    if (huge.empty())
    {
        publish(next->content, next->list);
    }
    else
    {
        // Streaming clients get every file in the wide format; base clients,
        // which could neither read that format nor fetch such a file, get the
        // rest in the old one.
        publish(next->content, next->wideList);
        base.createFromBin(next->content.image().data(), next->content.imageSize());
        for (const std::string& path : huge)
        {
            logWarning("'%s' is larger than 2 GiB; only streaming clients are offered it", path.c_str());
            base.remove(path.c_str());
        }
        publish(base, next->list);
        unlisted = std::move(huge);
    }

    if (!m_selfFolder.root().empty())
    {
        buildList(next->self, m_selfFolder.root(), previous ? &previous->self : nullptr);
        // The client accepts files in the list's root only.
        std::vector<std::string> folders;
        for (auto& [name, entry] : next->self.root)
            if (entry.isFolder())
                folders.push_back(name + "/");
        for (const std::string& f : folders)
            next->self.remove(f.c_str());
    }
    publish(next->self, next->selfList);

    std::string patterns;
    if (!m_ignoreFile.empty())
    {
        std::ifstream in(m_ignoreFile, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read the ignore file '" + m_ignoreFile.string() + "'");
        std::ostringstream text;
        text << in.rdbuf();
        patterns = text.str();
    }
    publishBytes(patterns.data(), static_cast<uint32_t>(patterns.size()), next->ignore);
    if (!unlisted.empty())
    {
        std::string forBase = baseIgnoreText(patterns, unlisted, base);
        if (!forBase.empty())
            publishBytes(forBase.data(), static_cast<uint32_t>(forBase.size()), next->baseIgnore);
    }

    loadSignedRelease(*next);

    std::lock_guard<std::mutex> hold(m_lock);
    std::erase_if(m_older, [](const auto& w) { return w.expired(); });
    if (m_current)
        m_older.push_back(m_current);
    m_current = std::move(next);
}

std::vector<std::string> CContentStore::releasesInUse() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::string> names;
    if (m_current)
        names.push_back(m_current->release);
    for (auto it = m_older.rbegin(); it != m_older.rend(); ++it)
        if (auto snap = it->lock();
            snap && std::find(names.begin(), names.end(), snap->release) == names.end())
            names.push_back(snap->release);
    return names;
}

std::shared_ptr<const ContentSnapshot> CContentStore::snapshot() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_current;
}

bool CContentStore::hasSignedRelease() const
{
    std::shared_ptr<const ContentSnapshot> snap = snapshot();
    return snap && snap->signedRelease.packed.size() != 0;
}

const PublishedFile* CContentStore::special(const ContentSnapshot& snap, const std::string& name,
                                            bool streaming)
{
    if (name == "list")
        return streaming && snap.wideList.packed.size() != 0 ? &snap.wideList : &snap.list;
    if (name == "ignore")
        return !streaming && snap.baseIgnore.packed.size() != 0 ? &snap.baseIgnore : &snap.ignore;
    if (name == "self_upd")
        return &snap.selfList;
    if (name == kSignedReleaseList && streaming && snap.signedRelease.packed.size() != 0)
        return &snap.signedRelease;
    return nullptr;
}

bool CContentStore::locate(const ContentSnapshot& snap, const std::string& name, fs::path& out,
                           FileInfo* info) const
{
    std::string rel;
    if (!CPathGuard::normalize(name, rel))
        return false;
    try
    {
        const FileEntry* e = nullptr;
        bool found = false;
        if (!m_selfFolder.root().empty())
        {
            e = snap.self.findEntry(rel.c_str());
            if (e && !e->isFolder())
                found =
                    m_selfFolder.resolve(rel, out, CPathGuard::FOLLOW_LINKS_INSIDE) && matchesDisk(*e, out);
            else
                e = nullptr;
        }
        if (e == nullptr)
        {
            e = snap.content.findEntry(rel.c_str());
            found = e && !e->isFolder() &&
                    CPathGuard(snap.contentDir).resolve(rel, out, CPathGuard::FOLLOW_LINKS_INSIDE) &&
                    matchesDisk(*e, out);
        }
        if (found && info != nullptr)
            *info = *e;
        return found;
    }
    catch (const CExcep&)
    {
        // A name the list cannot even parse is simply not served.
    }
    return false;
}
