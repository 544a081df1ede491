#include "launcher/LauncherConfig.h"
#include "launcher/TextIds.h"

#include "launcher/AppSeams.h"
#include "launcher/BuiltinTexts.h"
#include "launcher/IniFile.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/RateLimiter.h"
#include "platform/Files.h"
#include "platform/IniReader.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

const char* const DEFAULT_WEB_URL = "http://localhost/zelvan1/index.php";

namespace
{

bool equalNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (x != y && !(x < 0x80 && y < 0x80 && std::tolower(x) == std::tolower(y)))
            return false;
    }
    return true;
}

std::vector<std::string> splitWords(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size())
    {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Configuration files are small; anything else named like one (a device, a
// pipe, a huge file) is treated as missing rather than read without end.
constexpr uint64_t MAX_CONFIG_FILE_SIZE = 16 * 1024 * 1024;

bool isReadableConfigFile(const std::string& fileName)
{
    platform::FileStatus st;
    return platform::fileStatus(fileName.c_str(), st) && st.kind == platform::FileKind::Regular &&
           st.size <= MAX_CONFIG_FILE_SIZE;
}

// The file's lines without their ends; false when it cannot be read.
bool readLines(const std::string& fileName, std::vector<std::string>& lines)
{
    if (!isReadableConfigFile(fileName))
        return false;
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return !in.bad();
}

void reportWriteError(const std::string& fileName, int err, IMessageBoxUi& ui)
{
    ui.showMessageBox(builtinText(text_id::ERROR_CAPTION),
                      "Error writing file \"" + fileName + "\": " + std::strerror(err));
}

enum class IfMissing
{
    Skip,
    Create,
};

// Replaces a file's content without ever leaving it half written.
RewriteResult replaceFile(const std::string& fileName, const std::string& text, IfMissing ifMissing,
                          IMessageBoxUi* ui)
{
    int err = 0;
    switch (platform::replaceFile(fileName.c_str(), text, ifMissing == IfMissing::Create, err))
    {
    case platform::ReplaceResult::NotWritable:
        return RewriteResult::NotWritten;
    case platform::ReplaceResult::Failed:
        if (ui)
            reportWriteError(fileName, err, *ui);
        return RewriteResult::WriteFailed;
    case platform::ReplaceResult::Replaced:
        break;
    }
    return RewriteResult::Rewritten;
}

std::string quotedLine(const char* key, const std::string& value)
{
    return std::string(key) + " \"" + value + "\"";
}

} // namespace

std::string readLastAddress()
{
    if (!isReadableConfigFile("connect.cfg"))
        return std::string();
    std::ifstream in("connect.cfg", std::ios::binary);
    if (!in)
        return std::string();
    std::string line;
    while (std::getline(in, line))
    {
        if (line.find("MAIN_URL") == std::string::npos)
            continue;
        const std::vector<std::string> words = splitWords(line);
        if (words.size() < 2 || !equalNoCase(words[0], "MAIN_URL") || words[1].size() <= 2)
            continue;
        std::string address = words[1];
        while (!address.empty() && address.back() == '"')
            address.pop_back();
        size_t start = 0;
        while (start < address.size() && address[start] == '"')
            ++start;
        return address.substr(start);
    }
    return std::string();
}

void loadGameIni(LauncherConfig& config)
{
    // One read for all keys: the file does not change while we look at it.
    const platform::IniReader ini = platform::IniReader::fromFile(CIniFile("./game.ini").path());

    config.languages.clear();
    const std::vector<std::string> keys = ini.getKeyNames("Languages");
    for (size_t p = 0; p < keys.size(); ++p)
    {
        const std::string value = ini.getString("Languages", keys[p], "");
        LanguageEntry entry;
        const size_t slash = value.find('/');
        if (!value.empty() && slash != std::string::npos)
        {
            entry.id = platform::leadingInt(std::string_view(value).substr(0, slash));
            entry.textFile = value.substr(slash + 1);
        }
        else
        {
            entry.id = static_cast<int32_t>(p);
            entry.textFile = value;
        }
        config.languages.push_back(entry);
    }
    config.currentLanguage = 0;

    config.webUrl = ini.getString("Launcher", "WebURL", DEFAULT_WEB_URL);

    config.limitRate = 0;
    const std::string limit = ini.getString("Launcher", "LimitRate", "");
    if (!limit.empty() && !CRateLimiter::parseRate(limit.c_str(), config.limitRate))
        logWarning("game.ini: LimitRate '%.40s' is not a rate such as 2M or 512k, no limit!", limit.c_str());

    config.tlsCa = ini.getString("Launcher", "TlsCA", "");
    config.trustKey = ini.getString("Launcher", "TrustKey", "");

    config.realms.clear();
    for (const std::string& s : ini.getSectionNames())
    {
        if (equalNoCase(s, "Launcher") || equalNoCase(s, "Languages"))
            continue;
        Realm realm;
        realm.Name = ini.getString(s, "Name", "");
        if (realm.Name.empty())
            continue;
        realm.section = s;
        realm.Address = ini.getString(s, "Address", "localhost");
        realm.UpdateURL = ini.getString(s, "UpdateURL", "localhost");
        realm.ChatServer = ini.getString(s, "ChatServer", "localhost");
        realm.Port = ini.getInt(s, "Port", DEFAULT_UPDATE_PORT);
        config.realms.push_back(realm);
    }
    if (config.realms.empty())
    {
        Realm realm;
        realm.Name = "Основной сервер";
        realm.Address = realm.UpdateURL = realm.ChatServer = "localhost";
        realm.Port = DEFAULT_UPDATE_PORT;
        config.realms.push_back(realm);
    }

    // A recorded game server address is the only criterion when there is one;
    // the later of several matches wins.
    for (size_t i = 0; i < config.realms.size(); ++i)
    {
        if (!config.lastAddress.empty())
        {
            if (equalNoCase(config.lastAddress, config.realms[i].Address))
                config.currentRealmIndex = i;
        }
        else if (!config.autoRealm.empty() && config.autoRealm == config.realms[i].section)
        {
            config.currentRealmIndex = i;
        }
    }
}

int loadSavedLanguage(const std::vector<LanguageEntry>& languages)
{
    const int v = CIniFile("options.ini").getInt("Options", "Language", 0);
    for (const LanguageEntry& e : languages)
        if (e.id == v)
            return v;
    return 0;
}

void saveLanguage(size_t languagePosition)
{
    char text[64];
    std::snprintf(text, sizeof text, "[%s]\r\n%s=%d\r\n", "Options", "Language",
                  static_cast<int>(languagePosition));
    replaceFile("options.ini", text, IfMissing::Create, nullptr);
}

Realm currentRealm(const LauncherConfig& config)
{
    if (config.currentRealmIndex < config.realms.size())
        return config.realms[config.currentRealmIndex];
    if (!config.realms.empty())
        return config.realms.front();
    Realm realm;
    realm.section = "default";
    realm.Name = "default";
    realm.UpdateURL = "localhost";
    realm.Port = DEFAULT_UPDATE_PORT;
    return realm;
}

RewriteResult rewriteKeyLines(const std::string& fileName, const std::vector<KeyLineRule>& rules,
                              IMessageBoxUi& ui)
{
    std::vector<std::string> lines;
    if (!readLines(fileName, lines))
        return RewriteResult::NotFound;
    std::string text;
    bool firstKeyFound = false;
    for (std::string& line : lines)
    {
        for (size_t r = 0; r < rules.size(); ++r)
        {
            if (line.find(rules[r].keyWord) == std::string::npos)
                continue;
            if (r == 0)
                firstKeyFound = true;
            line = rules[r].replacement;
        }
        text += line;
        text += "\r\n";
    }
    if (!rules.empty() && !firstKeyFound)
    {
        text += rules.front().replacement;
        text += "\r\n";
    }
    return replaceFile(fileName, text, IfMissing::Skip, &ui);
}

void writeRealmFiles(const Realm& realm, IMessageBoxUi& ui)
{
    rewriteKeyLines("connect.cfg",
                    {{"MAIN_URL", quotedLine("MAIN_URL", realm.Address)},
                     {"LAST_URL", quotedLine("LAST_URL", realm.Address)},
                     {"CHAT_SRV", quotedLine("CHAT_SRV", realm.ChatServer)}},
                    ui);
    rewriteKeyLines("connectn.cfg", {{"MAIN_URL", quotedLine("MAIN_URL", realm.Address)}}, ui);
}

void writeClientLanguage(int32_t languageId, IMessageBoxUi& ui)
{
    rewriteKeyLines("config.cfg", {{"LANG", "LANG " + std::to_string(languageId)}}, ui);
}

int32_t currentLanguageId(const LauncherConfig& config)
{
    if (config.currentLanguage < config.languages.size())
        return config.languages[config.currentLanguage].id;
    return 0;
}
