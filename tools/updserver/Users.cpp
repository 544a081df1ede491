#include "tools/updserver/Users.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "newupdatesystem/Common/Md5.h"

void CUsers::loadFromFile(const std::string& path, bool allowEmpty)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read the users file '" + path + "'");
    std::ostringstream text;
    text << in.rdbuf();
    loadFromText(text.str(), path, allowEmpty);
}

bool CUsers::empty() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_accounts.empty();
}

size_t CUsers::size() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_accounts.size();
}

void CUsers::loadFromText(const std::string& text, const std::string& origin, bool allowEmpty)
{
    std::map<std::string, std::string> parsed;
    std::istringstream in(text);
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        size_t colon = line.find(':');
        std::string where = origin + ":" + std::to_string(number);
        if (colon == std::string::npos || colon == 0)
            throw std::runtime_error(where + ": expected NAME:PASSWORD");
        std::string name = line.substr(0, colon);
        std::string password = line.substr(colon + 1);
        if (name.size() > kMaxField || password.size() > kMaxField)
            throw std::runtime_error(where + ": name and password have at most 15 bytes");
        if (name.find('\0') != std::string::npos || password.find('\0') != std::string::npos)
            throw std::runtime_error(where + ": NUL byte in the line");
        if (!parsed.emplace(name, password).second)
            throw std::runtime_error(where + ": user '" + name + "' appears twice");
    }
    if (parsed.empty() && !allowEmpty)
        throw std::runtime_error("the users file '" + origin + "' names no user");
    std::lock_guard<std::mutex> hold(m_lock);
    m_accounts = std::move(parsed);
}

bool CUsers::check(const uint8_t nameField[16], const uint8_t digest[16], const uint8_t challenge[8],
                   std::string& name) const
{
    const void* nul = std::memchr(nameField, 0, 16);
    if (!nul)
        return false;
    name.assign(reinterpret_cast<const char*>(nameField), static_cast<const uint8_t*>(nul) - nameField);
    // An unknown name costs the same digest and comparison as a known one, so
    // the answer's time does not tell which names exist.
    std::string password(kMaxField + 1, '\xff');
    bool known = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_accounts.find(name);
        if (it != m_accounts.end())
        {
            password = it->second;
            known = true;
        }
    }
    CMd5 md5;
    md5.update(challenge, 8);
    md5.update(password.data(), password.size());
    uint8_t expected[16];
    md5.final(expected);
    // Compare without an early exit, so the time does not tell how much matched.
    uint8_t diff = 0;
    for (int i = 0; i < 16; ++i)
        diff |= static_cast<uint8_t>(expected[i] ^ digest[i]);
    return diff == 0 && known;
}
