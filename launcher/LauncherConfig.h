// The launcher's configuration: game.ini (languages, web page, realms),
// options.ini (saved language), and the key lines the launcher rewrites in the
// game client's connect.cfg, connectn.cfg and config.cfg. Every file is named
// relative to the current folder (the installation folder). All of this runs
// on the window's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class IMessageBoxUi;

struct LanguageEntry
{
    int32_t id = 0;       // flag picture number, written to config.cfg
    std::string textFile; // language text file, may be empty
};

struct Realm
{
    std::string section; // section name in game.ini
    std::string Name;
    std::string Address;
    std::string UpdateURL;
    std::string ChatServer;
    int32_t Port = 0;
};

struct LauncherConfig
{
    std::string webUrl;
    std::vector<LanguageEntry> languages;
    std::vector<Realm> realms;
    size_t currentRealmIndex = 0;
    size_t currentLanguage = 0; // a position in languages, not an id
    int savedLanguage = 0;
    std::string lastAddress;
    std::string autoRealm;
    // [Launcher] LimitRate: received bytes per second of the update jobs, 0
    // for no limit.
    uint64_t limitRate = 0;
    // [Launcher] TlsCA: PEM file the update jobs trust for TLS (relative to
    // the installation folder); empty keeps the sessions in clear.
    std::string tlsCa;
    // [Launcher] TrustKey: the public key file (relative to the installation
    // folder) that update jobs check the server's signed releases with;
    // empty for none.
    std::string trustKey;
};

constexpr int32_t DEFAULT_UPDATE_PORT = 25859;
extern const char* const DEFAULT_WEB_URL;

// The MAIN_URL address recorded in connect.cfg, or empty.
std::string readLastAddress();
// Fills languages, webUrl, limitRate and realms from game.ini and chooses the
// current realm; lastAddress and autoRealm must be set beforehand. A LimitRate
// that is not a rate ("2M", "512k", "0") is logged and means no limit.
void loadGameIni(LauncherConfig& config);
// The saved language of options.ini when some language has it as id, else 0.
int loadSavedLanguage(const std::vector<LanguageEntry>& languages);
// Rewrites options.ini with the language position; silent on failure.
void saveLanguage(size_t languagePosition);
Realm currentRealm(const LauncherConfig& config);

struct KeyLineRule
{
    std::string keyWord;     // found anywhere in a line, case-sensitive
    std::string replacement; // the whole new line
};

enum class RewriteResult
{
    Rewritten = 0,
    NotFound = 1,    // the file could not be read; it is not created
    NotWritten = 2,  // the file could not be opened for writing; nothing changed
    WriteFailed = 3, // writing failed; the user was told, the old file is kept
};

// Replaces every line holding a rule's key word with the rule's line (rules
// in order, each tested on the line as the earlier rules left it), appends the
// first rule's line when no line held its key word, and writes the file back
// with CR LF line ends. A write failure is shown in a message box.
RewriteResult rewriteKeyLines(const std::string& fileName, const std::vector<KeyLineRule>& rules,
                              IMessageBoxUi& ui);

// connect.cfg (MAIN_URL, LAST_URL, CHAT_SRV) and connectn.cfg (MAIN_URL).
void writeRealmFiles(const Realm& realm, IMessageBoxUi& ui);
// config.cfg: LANG with the language id.
void writeClientLanguage(int32_t languageId, IMessageBoxUi& ui);
// The id of the language at currentLanguage, or 0 when that is no position.
int32_t currentLanguageId(const LauncherConfig& config);
