#include "newupdatesystem/client/ReleaseCheck.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileReplacer.h"

namespace
{
constexpr const char* kStateHead = "updtrust 1";

std::string readSmall(const std::string& path, size_t max, bool& ok)
{
    std::ifstream in(path, std::ios::binary);
    std::string text(max + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    ok = in.is_open() && !in.bad() && static_cast<size_t>(in.gcount()) <= max;
    text.resize(ok ? static_cast<size_t>(in.gcount()) : 0);
    return text;
}

std::string keyHex(const platform::PublicKey& key)
{
    return toHex(key.data(), key.size());
}

// The entries of a list by path, as the manifest names them.
void flatten(const FolderMap& map, const std::string& prefix,
             std::vector<std::pair<std::string, const FileEntry*>>& out)
{
    for (const auto& [name, entry] : map)
    {
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        out.emplace_back(path, &entry);
        if (entry.isFolder())
            flatten(*entry.child, path, out);
    }
}
} // namespace

std::string CReleaseCheck::State::encode() const
{
    std::string text = std::string(kStateHead) + "\norigin " + keyHex(origin) + "\nkey " + keyHex(key) + "\n";
    if (previous)
        text += "previous " + keyHex(*previous) + "\n";
    return text + "release " + std::to_string(release) + "\n";
}

bool CReleaseCheck::State::decode(const std::string& text, State& out)
{
    std::istringstream in(text);
    std::string line;
    auto keyed = [&](const char* name, platform::PublicKey& key)
    {
        const std::string prefix = std::string(name) + " ";
        return line.rfind(prefix, 0) == 0 && fromHex(line.substr(prefix.size()), key.data(), key.size());
    };
    if (!std::getline(in, line) || line != kStateHead || !std::getline(in, line) ||
        !keyed("origin", out.origin) || !std::getline(in, line) || !keyed("key", out.key) ||
        !std::getline(in, line))
        return false;
    platform::PublicKey previous;
    if (keyed("previous", previous))
    {
        out.previous = previous;
        if (!std::getline(in, line))
            return false;
    }
    if (line.rfind("release ", 0) != 0 || line.size() > 8 + 19 ||
        line.find_first_not_of("0123456789", 8) != std::string::npos || line.size() == 8)
        return false;
    out.release = std::stoull(line.substr(8));
    return !std::getline(in, line) && out.encode() == text;
}

CReleaseCheck::CReleaseCheck(const std::string& keyFile, std::string statePath, Job job)
    : m_statePath(std::move(statePath)), m_job(job)
{
    bool ok = false;
    platform::PublicKey configured;
    if (!KeyFile::decodePublic(readSmall(keyFile, 4096, ok), configured) || !ok)
        refuse("the trusted key '%s' cannot be read", keyFile.c_str());
    State kept;
    std::string text = readSmall(m_statePath, 4096, ok);
    if (ok && State::decode(text, kept) && kept.origin == configured)
    {
        m_state = kept;
    }
    else
    {
        if (ok && !text.empty())
            logWarning("Trust state '%s' is unreadable or for another key; starting from the configured key",
                       m_statePath.c_str());
        m_state = State{configured, configured, std::nullopt, 0};
    }
    m_pending = job == Job::Update ? std::vector<std::string>{"list", "ignore", "self_upd"}
                                   : std::vector<std::string>{"self_upd"};
}

void CReleaseCheck::refuse(const char* format, ...) const
{
    char text[600];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logError("Release refused: %s!", text);
    throw CSystemExcep(Z_CORRUPTED, EK_NONE, 0, text, EXCEP_HERE());
}

void CReleaseCheck::acceptManifest(const std::vector<uint8_t>& envelope, uint64_t now)
{
    SignedRelease signedRelease;
    const std::string_view bytes(reinterpret_cast<const char*>(envelope.data()), envelope.size());
    if (envelope.empty() || !SignedRelease::decode(bytes, signedRelease))
        refuse("the server sent no signed manifest");
    const std::string& text = signedRelease.manifest;
    bool byKey = platform::verifyMessage(m_state.key, text.data(), text.size(), signedRelease.signature);
    ReleaseManifest m;
    if (!ReleaseManifest::decode(text, m))
    {
        // Whatever the key signed, a reader that cannot take it all takes nothing.
        refuse("the signed manifest is malformed");
    }
    // A client that moved to the next key still takes the releases of the
    // old one that announce it, while the operator rolls the change out.
    m_rotated = !byKey && m_state.previous && m.nextKey == m_state.key &&
                platform::verifyMessage(*m_state.previous, text.data(), text.size(), signedRelease.signature);
    if (!byKey && !m_rotated)
        refuse("the manifest's signature does not verify with the trusted key");
    if (m.release < m_state.release)
        refuse("release %llu is older than release %llu accepted before",
               static_cast<unsigned long long>(m.release), static_cast<unsigned long long>(m_state.release));
    if (m.expires <= now)
        refuse("release %llu expired %llu seconds ago", static_cast<unsigned long long>(m.release),
               static_cast<unsigned long long>(now - m.expires));
    m_manifest = std::move(m);
    m_accepted = true;
    logInfo("Signed release %llu verified", static_cast<unsigned long long>(m_manifest.release));
}

void CReleaseCheck::checkList(const std::string& name, const CFileList& list)
{
    if (!m_accepted)
        refuse("list '%s' came before a verified manifest", name.c_str());
    const bool self = name == "self_upd";
    if (!self && name != "list")
        refuse("unexpected list '%s'", name.c_str());
    const auto& expected = self ? m_manifest.self : m_manifest.tree;
    std::vector<std::pair<std::string, const FileEntry*>> entries;
    flatten(list.root, "", entries);
    for (const auto& [path, entry] : entries)
    {
        auto it = expected.find(path);
        if (it == expected.end())
            refuse("'%s' in list '%s' is not in the signed manifest", path.c_str(), name.c_str());
        if (it->second.folder != entry->isFolder() || (!entry->isFolder() && it->second.size != entry->size))
            refuse("'%s' in list '%s' differs from the signed manifest", path.c_str(), name.c_str());
        // The comparison would take such a file as unchanged, unchecked.
        if (entry->flags & FI_NOCOMPARE)
            refuse("'%s' in list '%s' is marked not to compare", path.c_str(), name.c_str());
    }
    if (entries.size() != expected.size())
        refuse("list '%s' names %zu entries, the signed manifest %zu", name.c_str(), entries.size(),
               expected.size());
    listChecked(name);
}

void CReleaseCheck::checkIgnore(const void* bytes, size_t length)
{
    if (!m_accepted)
        refuse("list 'ignore' came before a verified manifest");
    if (length != m_manifest.ignoreSize ||
        platform::CSha256::digest(bytes, length) != m_manifest.ignoreSha256)
        refuse("list 'ignore' differs from the signed manifest");
    listChecked("ignore");
}

void CReleaseCheck::checkFile(const char* path, uint64_t size, const platform::Sha256Digest& sha256) const
{
    const auto& entries = m_job == Job::SelfUpdate ? m_manifest.self : m_manifest.tree;
    auto it = entries.find(path);
    if (!m_accepted || it == entries.end() || it->second.folder)
        refuse("'%s' is not in the signed manifest", path);
    if (it->second.size != size || it->second.sha256 != sha256)
        refuse("'%s' differs from the signed manifest in size or SHA-256", path);
}

void CReleaseCheck::listChecked(const std::string& name)
{
    auto it = std::find(m_pending.begin(), m_pending.end(), name);
    if (it == m_pending.end())
        return;
    m_pending.erase(it);
    if (m_pending.empty())
        saveState();
}

void CReleaseCheck::saveState()
{
    State next = m_state;
    next.release = std::max(m_state.release, m_manifest.release);
    if (m_rotated)
    {
        // Still the key the state trusts; the old one stays a fallback.
    }
    else if (m_manifest.nextKey && *m_manifest.nextKey != m_state.key)
    {
        next.previous = m_state.key;
        next.key = *m_manifest.nextKey;
        logInfo("Trusted key rotated to the one release %llu names",
                static_cast<unsigned long long>(m_manifest.release));
    }
    if (next.encode() == m_state.encode())
        return;
    const std::string text = next.encode();
    CFileReplacer file(m_statePath.c_str());
    file.write(text.data(), static_cast<uint32_t>(text.size()));
    file.commit();
    m_state = next;
}
