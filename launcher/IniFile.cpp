#include "launcher/IniFile.h"

#include "platform/Files.h"
#include "platform/IniReader.h"

CIniFile::CIniFile(const std::string& fileName)
{
    std::string dir = platform::currentFolder();
    if (!dir.empty())
        m_path = dir + "/" + fileName;
    else
        m_path = fileName;
}

int CIniFile::getInt(const std::string& section, const std::string& key, int def) const
{
    return platform::IniReader::fromFile(m_path).getInt(section, key, def);
}

std::string CIniFile::getString(const std::string& section, const std::string& key,
                                const std::string& def) const
{
    return platform::IniReader::fromFile(m_path).getString(section, key, def);
}

std::vector<std::string> CIniFile::getSectionNames() const
{
    return platform::IniReader::fromFile(m_path).getSectionNames();
}

std::vector<std::string> CIniFile::getKeyNames(const std::string& section) const
{
    return platform::IniReader::fromFile(m_path).getKeyNames(section);
}
