// One INI file of the installation folder. The full path is fixed when the
// object is made (current folder, '/', the name); the file is read afresh by
// every call, so a missing file simply yields the defaults.
#pragma once

#include <string>
#include <vector>

class CIniFile
{
public:
    explicit CIniFile(const std::string& fileName);

    const std::string& path() const { return m_path; }

    int getInt(const std::string& section, const std::string& key, int def) const;
    // At most 1023 bytes are returned.
    std::string getString(const std::string& section, const std::string& key, const std::string& def) const;
    std::vector<std::string> getSectionNames() const;
    std::vector<std::string> getKeyNames(const std::string& section) const;

private:
    std::string m_path;
};
