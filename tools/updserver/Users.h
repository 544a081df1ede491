// The accounts that may log in: a text file of NAME:PASSWORD lines. Empty
// lines and lines starting with '#' or ';' are skipped. Names and passwords
// have at most 15 bytes, because the login packet has 16-byte fields.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class CUsers
{
public:
    static constexpr size_t kMaxField = 15;

    // Throws std::runtime_error naming the file and line on a bad line; the
    // accounts are replaced only when the whole file is good, so a reload
    // while sessions log in sees either the old or the new accounts.
    // allowEmpty false: a file that names no user is refused too.
    void loadFromFile(const std::string& path, bool allowEmpty = true);
    void loadFromText(const std::string& text, const std::string& origin, bool allowEmpty = true);

    bool empty() const;
    size_t size() const;

    // Checks the 16-byte name field and the digest of a login packet: the
    // digest must be MD5 over the 8 challenge bytes and the password.
    bool check(const uint8_t nameField[16], const uint8_t digest[16], const uint8_t challenge[8],
               std::string& name) const;

private:
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_accounts;
};
