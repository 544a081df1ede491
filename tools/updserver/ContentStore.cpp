#include "tools/updserver/ContentStore.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Md5.h"

namespace fs = std::filesystem;

namespace
{
// Fills in the checksums of one folder level and below: taken over from the
// previous list when size and time are unchanged, read from disk otherwise.
void fillChecksums(FolderMap& map, const std::string& prefix, const fs::path& dir, const CFileList* previous)
{
    for (auto& [name, entry] : map) {
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (entry.isFolder()) {
            fillChecksums(*entry.child, path, dir, previous);
            continue;
        }
        const FileEntry* old = nullptr;
        if (previous) {
            try {
                old = previous->findEntry(path.c_str());
            } catch (const CExcep&) {
                old = nullptr;
            }
        }
        if (old && !old->isFolder() && (old->flags & FI_CHECKSUM) && old->size == entry.size &&
            old->time == entry.time) {
            std::copy(old->checksum, old->checksum + 4, entry.checksum);
            entry.flags |= FI_CHECKSUM;
        } else {
            CFileList::checksumFile(entry, (dir / path).string().c_str());
        }
    }
}
} // namespace

CContentStore::CContentStore(fs::path root, fs::path selfDir, fs::path ignoreFile)
    : content(std::move(root)), selfFolder(std::move(selfDir)), ignoreFile(std::move(ignoreFile))
{
}

void CContentStore::buildList(CFileList& list, const fs::path& dir, const CFileList* previous)
{
    list.scan(dir.string().c_str(), false);
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

void CContentStore::rebuild()
{
    std::lock_guard<std::mutex> one(rebuilding);
    std::shared_ptr<const ContentSnapshot> previous = snapshot();
    auto next = std::make_shared<ContentSnapshot>();

    buildList(next->content, content.root(), previous ? &previous->content : nullptr);
    publish(next->content, next->list);

    if (!selfFolder.root().empty()) {
        buildList(next->self, selfFolder.root(), previous ? &previous->self : nullptr);
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
    if (!ignoreFile.empty()) {
        std::ifstream in(ignoreFile, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read the ignore file '" + ignoreFile.string() + "'");
        std::ostringstream text;
        text << in.rdbuf();
        patterns = text.str();
    }
    publishBytes(patterns.data(), static_cast<uint32_t>(patterns.size()), next->ignore);

    std::lock_guard<std::mutex> hold(lock);
    current = std::move(next);
}

std::shared_ptr<const ContentSnapshot> CContentStore::snapshot() const
{
    std::lock_guard<std::mutex> hold(lock);
    return current;
}

const PublishedFile* CContentStore::special(const ContentSnapshot& snap, const std::string& name)
{
    if (name == "list")
        return &snap.list;
    if (name == "ignore")
        return &snap.ignore;
    if (name == "self_upd")
        return &snap.selfList;
    return nullptr;
}

bool CContentStore::locate(const ContentSnapshot& snap, const std::string& name, fs::path& out) const
{
    std::string rel;
    if (!CPathGuard::normalize(name, rel))
        return false;
    try {
        if (!selfFolder.root().empty()) {
            const FileEntry* e = snap.self.findEntry(rel.c_str());
            if (e && !e->isFolder())
                return selfFolder.resolve(rel, out);
        }
        const FileEntry* e = snap.content.findEntry(rel.c_str());
        if (e && !e->isFolder())
            return content.resolve(rel, out);
    } catch (const CExcep&) {
        // A name the list cannot even parse is simply not served.
    }
    return false;
}
