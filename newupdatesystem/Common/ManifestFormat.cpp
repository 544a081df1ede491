#include "newupdatesystem/Common/ManifestFormat.h"

#include <charconv>

namespace
{
constexpr std::string_view kManifestHead = "updmanifest 1";
constexpr std::string_view kEnvelopeHead = "updsigned 1";
constexpr std::string_view kPublicTag = "upd-ecdsa-p256";
constexpr std::string_view kPrivateTag = "upd-ecdsa-p256-private";

// Takes one LF-ended line off the front of the text.
bool takeLine(std::string_view& text, std::string_view& line)
{
    size_t end = text.find('\n');
    if (end == std::string_view::npos)
        return false;
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return true;
}

// Takes the field up to the next blank; the last field of a line takes the rest.
bool takeField(std::string_view& line, std::string_view& field, bool last = false)
{
    if (last)
    {
        field = line;
        line = {};
        return !field.empty();
    }
    size_t end = line.find(' ');
    if (end == std::string_view::npos || end == 0)
        return false;
    field = line.substr(0, end);
    line.remove_prefix(end + 1);
    return true;
}

bool parseNumber(std::string_view s, uint64_t max, uint64_t& out)
{
    if (s.empty() || s.size() > 20 || (s.size() > 1 && s[0] == '0'))
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && out <= max;
}

// A relative path as lists hold it: no empty, "." or ".." component, no
// backslash, no control character.
bool validPath(std::string_view p)
{
    if (p.empty() || p.size() > ReleaseManifest::kMaxPathLength)
        return false;
    for (unsigned char c : p)
        if (c < 0x20 || c == 0x7f || c == '\\')
            return false;
    size_t start = 0;
    while (start <= p.size())
    {
        size_t end = p.find('/', start);
        if (end == std::string_view::npos)
            end = p.size();
        std::string_view part = p.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

bool parseKeyed(std::string_view line, std::string_view key, std::string_view& value)
{
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ')
        return false;
    value = line.substr(key.size() + 1);
    return true;
}

void putNumber(std::string& out, uint64_t n)
{
    out += std::to_string(n);
}

void putSized(std::string& out, const ManifestEntry& e)
{
    putNumber(out, e.size);
    out += ' ';
    out += toHex(e.sha256.data(), e.sha256.size());
    out += ' ';
}

// "SIZE SHA256 PATH" after the record's letter.
bool parseSized(std::string_view rest, ManifestEntry& e, std::string_view& path)
{
    std::string_view size, sha;
    return takeField(rest, size) && parseNumber(size, ReleaseManifest::kMaxFileSize, e.size) &&
           takeField(rest, sha) && fromHex(sha, e.sha256.data(), e.sha256.size()) &&
           takeField(rest, path, true) && validPath(path);
}
} // namespace

std::string toHex(const uint8_t* bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s(2 * n, '0');
    for (size_t i = 0; i < n; ++i)
    {
        s[2 * i] = digits[bytes[i] >> 4];
        s[2 * i + 1] = digits[bytes[i] & 15];
    }
    return s;
}

bool fromHex(std::string_view text, uint8_t* out, size_t n)
{
    if (text.size() != 2 * n)
        return false;
    auto nibble = [](char c) -> int
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < n; ++i)
    {
        int hi = nibble(text[2 * i]);
        int lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string ReleaseManifest::encode() const
{
    std::string out;
    out += kManifestHead;
    out += "\nrelease ";
    putNumber(out, release);
    out += "\nexpires ";
    putNumber(out, expires);
    out += '\n';
    if (nextKey)
        out += "next-key " + toHex(nextKey->data(), nextKey->size()) + "\n";
    out += "ignore ";
    putNumber(out, ignoreSize);
    out += ' ' + toHex(ignoreSha256.data(), ignoreSha256.size()) + "\n";
    for (const auto& [path, e] : tree)
    {
        if (e.folder)
        {
            out += "d " + path + "\n";
            continue;
        }
        out += "f ";
        putSized(out, e);
        out += path + "\n";
    }
    for (const auto& [name, e] : self)
    {
        out += "s ";
        putSized(out, e);
        out += name + "\n";
    }
    return out;
}

bool ReleaseManifest::decode(std::string_view text, ReleaseManifest& out)
{
    out = ReleaseManifest{};
    if (text.size() > kMaxBytes)
        return false;
    std::string_view line, value;
    if (!takeLine(text, line) || line != kManifestHead)
        return false;
    if (!takeLine(text, line) || !parseKeyed(line, "release", value) ||
        !parseNumber(value, kMaxNumber, out.release) || out.release == 0)
        return false;
    if (!takeLine(text, line) || !parseKeyed(line, "expires", value) ||
        !parseNumber(value, kMaxNumber, out.expires))
        return false;
    if (!takeLine(text, line))
        return false;
    if (parseKeyed(line, "next-key", value))
    {
        platform::PublicKey key;
        if (!fromHex(value, key.data(), key.size()) || key[0] != 0x04)
            return false;
        out.nextKey = key;
        if (!takeLine(text, line))
            return false;
    }
    std::string_view size;
    if (!parseKeyed(line, "ignore", value) || !takeField(value, size) ||
        !parseNumber(size, kMaxFileSize, out.ignoreSize) ||
        !fromHex(value, out.ignoreSha256.data(), out.ignoreSha256.size()))
        return false;
    // Records in byte order of their paths, each only once: a reader that
    // took them in any order could be told two things about one path.
    while (takeLine(text, line))
    {
        if (line.size() < 2 || line[1] != ' ')
            return false;
        const char kind = line[0];
        std::string_view rest = line.substr(2);
        ManifestEntry e;
        std::string_view path;
        std::map<std::string, ManifestEntry, std::less<>>* into = &out.tree;
        if (kind == 'd')
        {
            e.folder = true;
            path = rest;
            if (!validPath(path))
                return false;
        }
        else if (kind == 'f' || kind == 's')
        {
            if (!parseSized(rest, e, path))
                return false;
            if (kind == 's')
            {
                into = &out.self;
                if (path.find('/') != std::string_view::npos)
                    return false;
            }
        }
        else
        {
            return false;
        }
        // Self records come after the tree.
        if (kind != 's' && !out.self.empty())
            return false;
        if (!into->empty() && !(into->rbegin()->first < path))
            return false;
        if (into->size() >= (into == &out.tree ? kMaxTreeEntries : kMaxSelfEntries))
            return false;
        into->emplace_hint(into->end(), std::string(path), e);
    }
    return text.empty();
}

std::string SignedRelease::encode() const
{
    return std::string(kEnvelopeHead) + "\nsignature " + toHex(signature.data(), signature.size()) + "\n" +
           manifest;
}

bool SignedRelease::decode(std::string_view text, SignedRelease& out)
{
    if (text.size() > kMaxBytes)
        return false;
    std::string_view line, value;
    if (!takeLine(text, line) || line != kEnvelopeHead || !takeLine(text, line) ||
        !parseKeyed(line, "signature", value) || !fromHex(value, out.signature.data(), out.signature.size()))
        return false;
    out.manifest.assign(text);
    return true;
}

std::string KeyFile::encodePublic(const platform::PublicKey& key)
{
    return std::string(kPublicTag) + " " + toHex(key.data(), key.size()) + "\n";
}

std::string KeyFile::encodePrivate(const platform::PrivateKey& key, const platform::PublicKey& pub)
{
    return std::string(kPrivateTag) + " " + toHex(key.data(), key.size()) + " " +
           toHex(pub.data(), pub.size()) + "\n";
}

bool KeyFile::decodePublic(std::string_view text, platform::PublicKey& out)
{
    std::string_view line, value;
    return takeLine(text, line) && text.empty() && parseKeyed(line, kPublicTag, value) &&
           fromHex(value, out.data(), out.size()) && out[0] == 0x04;
}

bool KeyFile::decodePrivate(std::string_view text, platform::PrivateKey& key, platform::PublicKey& pub)
{
    std::string_view line, value, scalar;
    return takeLine(text, line) && text.empty() && parseKeyed(line, kPrivateTag, value) &&
           takeField(value, scalar) && fromHex(scalar, key.data(), key.size()) &&
           fromHex(value, pub.data(), pub.size()) && pub[0] == 0x04;
}
