#include "tools/updctl/ReleaseSigner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "newupdatesystem/Common/FileReplacer.h"
#include "newupdatesystem/Common/FileSha256.h"
#include "newupdatesystem/Common/TrustProto.h"
#include "platform/Files.h"
#include "platform/PrivateFolder.h"
#include "tools/updserver/ContentStore.h"

namespace fs = std::filesystem;

namespace
{
void writeNewFile(const fs::path& path, const std::string& text, bool secret)
{
    FILE* f = secret ? platform::createExclusiveFile(path.string().c_str())
                     : platform::createNewFile(path.string().c_str());
    if (f == nullptr)
        throw std::runtime_error("cannot create '" + path.string() + "': " + std::strerror(errno));
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        throw std::runtime_error("cannot write '" + path.string() + "'");
}

// Lists hold names in lower case; the disk may spell them otherwise, and the
// server finds them as resolvePath does.
ManifestEntry hashFile(const fs::path& listed, uint64_t size)
{
    const fs::path path = platform::resolvePath(listed.string().c_str());
    platform::CSha256 hash;
    // Exactly the listed size: a file that changed since the scan fails here.
    if (!addFileToSha256(path.string().c_str(), size, hash) || fs::file_size(path) != size)
        throw std::runtime_error("'" + path.string() + "' changed while it was being signed");
    return ManifestEntry{false, size, hash.final()};
}

void addTree(const FolderMap& map, const std::string& prefix, const fs::path& dir, ReleaseManifest& out)
{
    for (const auto& [name, entry] : map)
    {
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (entry.isFolder())
        {
            out.tree[path] = ManifestEntry{true, 0, {}};
            addTree(*entry.child, path, dir, out);
        }
        else
        {
            out.tree[path] = hashFile(dir / path, entry.size);
        }
    }
}
} // namespace

std::string CReleaseSigner::readSmallFile(const fs::path& file, size_t max)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read '" + file.string() + "'");
    std::string text(max + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || static_cast<size_t>(in.gcount()) > max)
        throw std::runtime_error("'" + file.string() + "' is too large");
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

void CReleaseSigner::generateKeys(const fs::path& file)
{
    platform::PrivateKey priv;
    platform::PublicKey pub;
    platform::generateKeyPair(priv, pub);
    fs::path pubFile = file;
    pubFile += ".pub";
    if (fs::exists(pubFile))
        throw std::runtime_error("'" + pubFile.string() + "' exists already");
    writeNewFile(file, KeyFile::encodePrivate(priv, pub), true);
    writeNewFile(pubFile, KeyFile::encodePublic(pub), false);
}

uint64_t CReleaseSigner::lastRelease(const fs::path& root)
{
    const fs::path file = root / kSignedReleaseFile;
    std::error_code ec;
    if (!fs::exists(file, ec))
        return 0;
    SignedRelease envelope;
    ReleaseManifest manifest;
    if (!SignedRelease::decode(readSmallFile(file, SignedRelease::kMaxBytes), envelope) ||
        !ReleaseManifest::decode(envelope.manifest, manifest))
        throw std::runtime_error("'" + file.string() + "' is no signed manifest; give --version");
    return manifest.release;
}

ReleaseManifest CReleaseSigner::sign(const SignRequest& r)
{
    platform::PrivateKey priv;
    platform::PublicKey pub;
    if (!KeyFile::decodePrivate(readSmallFile(r.keyFile, 4096), priv, pub))
        throw std::runtime_error("'" + r.keyFile.string() + "' is no private key of updctl keygen");

    ReleaseManifest m;
    m.release = r.release ? *r.release : lastRelease(r.root) + 1;
    if (m.release == 0 || m.release > ReleaseManifest::kMaxNumber)
        throw std::runtime_error("the release number must be 1 or more");
    m.expires = static_cast<uint64_t>(std::time(nullptr)) + uint64_t(r.expiresDays) * 86400;
    if (!r.nextKeyFile.empty())
    {
        platform::PublicKey next;
        if (!KeyFile::decodePublic(readSmallFile(r.nextKeyFile, 4096), next))
            throw std::runtime_error("'" + r.nextKeyFile.string() + "' is no public key of updctl keygen");
        m.nextKey = next;
    }
    if (!r.ignoreFile.empty())
    {
        const std::string text = readSmallFile(r.ignoreFile, ReleaseManifest::kMaxBytes);
        m.ignoreSize = text.size();
        m.ignoreSha256 = platform::CSha256::digest(text.data(), text.size());
    }
    else
    {
        m.ignoreSha256 = platform::CSha256::digest("", 0);
    }

    // The same lists the server builds from the same folders.
    CContentStore store(r.root, r.selfDir, r.ignoreFile);
    store.rebuild();
    std::shared_ptr<const ContentSnapshot> snap = store.snapshot();
    addTree(snap->content.root, "", snap->contentDir, m);
    for (const auto& [name, entry] : snap->self.root)
        if (!entry.isFolder())
            m.self[name] = hashFile(r.selfDir / name, entry.size);

    SignedRelease envelope;
    envelope.manifest = m.encode();
    envelope.signature = platform::signMessage(priv, pub, envelope.manifest.data(), envelope.manifest.size());
    const std::string bytes = envelope.encode();
    CFileReplacer out((snap->contentDir / kSignedReleaseFile).string().c_str());
    out.write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    out.commit();
    return m;
}
