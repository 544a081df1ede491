#include "launcher/TextTable.h"

#include "launcher/BuiltinTexts.h"
#include "launcher/IniFile.h"
#include "platform/IniReader.h"

void CTextTable::load(const std::string& textFile)
{
    m_texts.clear();
    // Read once rather than once per key: a text file holds a few hundred keys.
    const platform::IniReader ini = platform::IniReader::fromFile(CIniFile(textFile).path());
    for (const std::string& key : ini.getKeyNames("Language"))
    {
        if (key.empty())
            continue;
        m_texts[platform::leadingInt(key)] = ini.getString("Language", key, "");
    }
}

std::string CTextTable::text(int32_t id) const
{
    const auto it = m_texts.find(id);
    if (it != m_texts.end())
        return it->second;
    return builtinText(id);
}
