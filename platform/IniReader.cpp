#include "platform/IniReader.h"

#include "platform/Files.h"
#include "platform/TextEncoding.h"

#include <climits>
#include <fstream>
#include <iterator>
#include <sstream>

namespace platform
{

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

std::string unquote(std::string_view v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v.substr(0, utf8CutLength(v, IniReader::MaxValueLength)));
}

// Keeps the names that fit into the name buffer, in order.
std::vector<std::string> fitNameBuffer(std::vector<std::string> names)
{
    size_t used = 1; // the list's terminating NUL
    size_t kept = 0;
    for (; kept < names.size(); ++kept)
    {
        const size_t need = names[kept].size() + 1;
        if (used + need > IniReader::NameBufferSize)
            break;
        used += need;
    }
    names.resize(kept);
    return names;
}

} // namespace

int leadingInt(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (isBlank(text[i]) || text[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    {
        negative = text[i] == '-';
        ++i;
    }
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    return static_cast<int>(v);
}

IniReader::IniReader(std::string_view text)
{
    // A UTF-8 byte order mark would otherwise stick to the first section name.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    Section* current = nullptr;
    size_t pos = 0;
    while (pos <= text.size())
    {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[')
        {
            std::string_view name = line.substr(1);
            name = trim(name.substr(0, name.find(']')));
            // Entries of a repeated section join the first one of that name.
            current = nullptr;
            for (Section& s : m_sections)
                if (equalNoCase(s.name, name))
                {
                    current = &s;
                    break;
                }
            if (!current)
            {
                m_sections.push_back(Section{std::string(name), {}});
                current = &m_sections.back();
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (!current || eq == std::string_view::npos)
            continue;
        const std::string_view key = trim(line.substr(0, eq));
        bool known = false;
        for (const Entry& e : current->entries)
            if (equalNoCase(e.key, key))
            {
                known = true;
                break;
            }
        if (!known)
            current->entries.push_back(Entry{std::string(key), unquote(trim(line.substr(eq + 1)))});
    }
}

IniReader IniReader::fromFile(const std::string& path)
{
    // Only regular files of a sane size: a device or pipe named like an INI
    // file must not make us read without end.
    platform::FileStatus st;
    if (!platform::fileStatus(path.c_str(), st) || st.kind != platform::FileKind::Regular ||
        st.size > static_cast<uint64_t>(MaxFileSize))
        return IniReader();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return IniReader();
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return IniReader();
    return IniReader(toUtf8FromLegacy(content.str()));
}

const IniReader::Section* IniReader::findSection(std::string_view name) const
{
    for (const Section& s : m_sections)
        if (equalNoCase(s.name, name))
            return &s;
    return nullptr;
}

bool IniReader::getString(std::string_view section, std::string_view key, std::string& value) const
{
    const Section* s = findSection(trim(section));
    if (!s)
        return false;
    key = trim(key);
    for (const Entry& e : s->entries)
        if (equalNoCase(e.key, key))
        {
            value = e.value;
            return true;
        }
    return false;
}

std::string IniReader::getString(std::string_view section, std::string_view key, std::string_view def) const
{
    std::string value;
    if (getString(section, key, value))
        return value;
    def = trim(def);
    return std::string(def.substr(0, utf8CutLength(def, MaxValueLength)));
}

int IniReader::getInt(std::string_view section, std::string_view key, int def) const
{
    std::string value;
    if (!getString(section, key, value))
        return def;
    return leadingInt(value);
}

std::vector<std::string> IniReader::getSectionNames() const
{
    std::vector<std::string> names;
    for (const Section& s : m_sections)
        names.push_back(s.name);
    return fitNameBuffer(std::move(names));
}

std::vector<std::string> IniReader::getKeyNames(std::string_view section) const
{
    std::vector<std::string> names;
    if (const Section* s = findSection(trim(section)))
        for (const Entry& e : s->entries)
            names.push_back(e.key);
    return fitNameBuffer(std::move(names));
}

} // namespace platform
