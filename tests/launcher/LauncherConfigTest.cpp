#include "launcher/LauncherConfig.h"

#include "launcher/BuiltinTexts.h"
#include "launcher/RecordingUi.h"
#include "support/ChildProcess.h"
#include "support/Sandbox.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/resource.h>

namespace
{

void writeFile(const std::string& name, const std::string& text)
{
    std::ofstream(name, std::ios::binary) << text;
}

std::string readFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

LauncherConfig loadWith(const std::string& gameIni, const std::string& lastAddress = "",
                        const std::string& autoRealm = "")
{
    writeFile("game.ini", gameIni);
    LauncherConfig config;
    config.lastAddress = lastAddress;
    config.autoRealm = autoRealm;
    loadGameIni(config);
    return config;
}

const char* const kRealms = "[Launcher]\r\nWebURL=http://example.test/start.php\r\nName=not a realm\r\n"
                            "[languages]\r\na=English.lng\r\nb=3/Russian.lng\r\nc=12/\r\nd=/x\r\n"
                            "[Main]\r\nName=Main server\r\nAddress=10.0.0.5:2000\r\nPort=abc\r\n"
                            "[NoName]\r\nAddress=10.0.0.9\r\n"
                            "[Second]\r\nName=Second server\r\nAddress=10.0.0.6\r\nUpdateURL=upd.test\r\n"
                            "ChatServer=chat.test\r\n"
                            "[Third]\r\nName=Third\r\nAddress=10.0.0.5:2000\r\n";

class LauncherConfigTest : public SandboxTest
{
protected:
    RecordingUi m_ui;
};

} // namespace

TEST_F(LauncherConfigTest, GameIniGivesLanguagesRealmsAndWebUrl)
{
    const LauncherConfig c = loadWith(kRealms);
    EXPECT_EQ(c.webUrl, "http://example.test/start.php");
    ASSERT_EQ(c.languages.size(), 4u);
    EXPECT_EQ(c.languages[0].id, 0);
    EXPECT_EQ(c.languages[0].textFile, "English.lng");
    EXPECT_EQ(c.languages[1].id, 3);
    EXPECT_EQ(c.languages[1].textFile, "Russian.lng");
    EXPECT_EQ(c.languages[2].id, 12);
    EXPECT_EQ(c.languages[2].textFile, "");
    EXPECT_EQ(c.languages[3].id, 0);
    EXPECT_EQ(c.languages[3].textFile, "x");
    EXPECT_EQ(c.currentLanguage, 0u);

    ASSERT_EQ(c.realms.size(), 3u);
    EXPECT_EQ(c.realms[0].section, "Main");
    EXPECT_EQ(c.realms[0].Port, 0);
    EXPECT_EQ(c.realms[0].UpdateURL, "localhost");
    EXPECT_EQ(c.realms[1].section, "Second");
    EXPECT_EQ(c.realms[1].Port, DEFAULT_UPDATE_PORT);
    EXPECT_EQ(c.realms[1].UpdateURL, "upd.test");
    EXPECT_EQ(c.realms[1].ChatServer, "chat.test");
    EXPECT_EQ(c.currentRealmIndex, 0u);
}

TEST_F(LauncherConfigTest, MissingGameIniGivesTheDefaultRealm)
{
    LauncherConfig c;
    loadGameIni(c);
    EXPECT_TRUE(c.languages.empty());
    EXPECT_EQ(c.webUrl, DEFAULT_WEB_URL);
    ASSERT_EQ(c.realms.size(), 1u);
    EXPECT_EQ(c.realms[0].section, "");
    EXPECT_EQ(c.realms[0].Name, "Основной сервер");
    EXPECT_EQ(c.realms[0].Address, "localhost");
    EXPECT_EQ(c.realms[0].Port, DEFAULT_UPDATE_PORT);

    // Without languages config.cfg gets LANG 0.
    writeFile("config.cfg", "LANG 2\r\n");
    writeClientLanguage(currentLanguageId(c), m_ui);
    EXPECT_EQ(readFile("config.cfg"), "LANG 0\r\n");
}

TEST_F(LauncherConfigTest, RecordedAddressChoosesTheRealmOverAutoRealm)
{
    writeFile("connect.cfg", "# settings\r\nMAIN_URL \"10.0.0.5:2000\" trailing\r\n");
    const std::string last = readLastAddress();
    EXPECT_EQ(last, "10.0.0.5:2000");
    // Two realms share the address: the later one wins; /auto_realm is ignored.
    EXPECT_EQ(loadWith(kRealms, last, "Second").currentRealmIndex, 2u);
    EXPECT_EQ(loadWith(kRealms, "10.0.0.6", "Main").currentRealmIndex, 1u);
    EXPECT_EQ(loadWith(kRealms, "10.0.0.99", "Second").currentRealmIndex, 0u);
    // Without a recorded address the section name must match exactly.
    EXPECT_EQ(loadWith(kRealms, "", "Second").currentRealmIndex, 1u);
    EXPECT_EQ(loadWith(kRealms, "", "second").currentRealmIndex, 0u);
}

TEST_F(LauncherConfigTest, LastAddressNeedsAMainUrlWordAndALongEnoughValue)
{
    EXPECT_EQ(readLastAddress(), "");
    writeFile("connect.cfg", "MAIN_URL\r\nMAIN_URL \"\"\r\nOLD_MAIN_URL \"a.b\"\r\n");
    EXPECT_EQ(readLastAddress(), "");
    writeFile("connect.cfg", "MAIN_URL \"\"\r\n\tMAIN_URL\t\"game host\"\r\nMAIN_URL second\r\n");
    EXPECT_EQ(readLastAddress(), "game");
    // The key word is looked for with case, the first word compared without.
    writeFile("connect.cfg", "main_url \"x.y\"\r\nmain_url \"a.b\" ;MAIN_URL\r\n");
    EXPECT_EQ(readLastAddress(), "a.b");
    writeFile("connect.cfg", "MAIN_URL abc");
    EXPECT_EQ(readLastAddress(), "abc");
}

TEST_F(LauncherConfigTest, SavedLanguageMustBeSomeLanguagesId)
{
    std::vector<LanguageEntry> languages{{0, "a"}, {1, "b"}};
    EXPECT_EQ(loadSavedLanguage(languages), 0);
    saveLanguage(1);
    EXPECT_EQ(readFile("options.ini"), "[Options]\r\nLanguage=1\r\n");
    EXPECT_EQ(loadSavedLanguage(languages), 1);
    languages = {{5, "a"}, {7, "b"}};
    EXPECT_EQ(loadSavedLanguage(languages), 0);
}

TEST_F(LauncherConfigTest, CurrentRealmFallsBack)
{
    LauncherConfig c;
    EXPECT_EQ(currentRealm(c).section, "default");
    EXPECT_EQ(currentRealm(c).UpdateURL, "localhost");
    EXPECT_EQ(currentRealm(c).Address, "");
    EXPECT_EQ(currentRealm(c).Port, DEFAULT_UPDATE_PORT);
    c = loadWith(kRealms);
    c.currentRealmIndex = 1;
    EXPECT_EQ(currentRealm(c).section, "Second");
    c.currentRealmIndex = 9;
    EXPECT_EQ(currentRealm(c).section, "Main");
}

TEST_F(LauncherConfigTest, RewriteReplacesKeyLinesAndKeepsTheRest)
{
    writeFile("config.cfg", "VIDEO 1\nLANGUAGE=1\r\n; LANG comment\r\nLAST\n");
    writeClientLanguage(3, m_ui);
    EXPECT_EQ(readFile("config.cfg"), "VIDEO 1\r\nLANG 3\r\nLANG 3\r\nLAST\r\n");

    Realm realm;
    realm.Address = "10.0.0.6";
    realm.ChatServer = "chat.test";
    writeFile("connect.cfg", "LAST_URL \"old\"\r\nX=1\r\nCHAT_SRV \"old\"\r\n");
    writeFile("connectn.cfg", "MAIN_URL \"old\"\r\n");
    writeRealmFiles(realm, m_ui);
    EXPECT_EQ(readFile("connect.cfg"),
              "LAST_URL \"10.0.0.6\"\r\nX=1\r\nCHAT_SRV \"chat.test\"\r\nMAIN_URL \"10.0.0.6\"\r\n");
    EXPECT_EQ(readFile("connectn.cfg"), "MAIN_URL \"10.0.0.6\"\r\n");
    EXPECT_TRUE(m_ui.boxes.empty());
}

TEST_F(LauncherConfigTest, RulesApplyToTheLineAsEarlierRulesLeftIt)
{
    writeFile("f.cfg", "A\r\n");
    EXPECT_EQ(rewriteKeyLines("f.cfg", {{"A", "B 1"}, {"B", "C 2"}}, m_ui), RewriteResult::Rewritten);
    EXPECT_EQ(readFile("f.cfg"), "C 2\r\n");
    writeFile("empty.cfg", "");
    rewriteKeyLines("empty.cfg", {{"K", "K 1"}}, m_ui);
    EXPECT_EQ(readFile("empty.cfg"), "K 1\r\n");
}

TEST_F(LauncherConfigTest, MissingFilesAreNeverCreated)
{
    Realm realm;
    realm.Address = "a.b";
    writeRealmFiles(realm, m_ui);
    writeClientLanguage(1, m_ui);
    EXPECT_EQ(rewriteKeyLines("connect.cfg", {{"MAIN_URL", "x"}}, m_ui), RewriteResult::NotFound);
    EXPECT_FALSE(std::filesystem::exists("connect.cfg"));
    EXPECT_FALSE(std::filesystem::exists("connectn.cfg"));
    EXPECT_FALSE(std::filesystem::exists("config.cfg"));
    EXPECT_TRUE(m_ui.boxes.empty());
}

TEST_F(LauncherConfigTest, FailedRewriteIsShownAndKeepsTheOldFile)
{
    const std::string old = "VIDEO 1\r\nLANG 2\r\n" + std::string(100, '#') + "\r\n";
    writeFile("config.cfg", old);
    // The child can write only a few bytes before the file size limit stops it.
    const int code = runInChild(
        []
        {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{16, 16};
            setrlimit(RLIMIT_FSIZE, &limit);
            setBuiltinLanguage(BuiltinLanguage::English);
            RecordingUi childUi;
            if (rewriteKeyLines("config.cfg", {{"LANG", "LANG 3"}}, childUi) != RewriteResult::WriteFailed)
                return 1;
            if (childUi.boxes.size() != 1 || childUi.boxes[0].caption != "Error")
                return 2;
            return childUi.boxes[0].text.find("config.cfg") != std::string::npos ? 0 : 3;
        });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(readFile("config.cfg"), old);
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1u) << "no temporary file may be left behind";
}

TEST_F(LauncherConfigTest, OnlyRegularFilesAreRewritten)
{
    // A device that reads endlessly must not be taken for a configuration file.
    std::filesystem::create_symlink("/dev/zero", "config.cfg");
    EXPECT_EQ(rewriteKeyLines("config.cfg", {{"LANG", "LANG 1"}}, m_ui), RewriteResult::NotFound);
    std::filesystem::create_symlink("/dev/zero", "connect.cfg");
    EXPECT_EQ(readLastAddress(), "");
    EXPECT_TRUE(m_ui.boxes.empty());
}

TEST_F(LauncherConfigTest, RewriteKeepsTheFilesPermissions)
{
    writeFile("connectn.cfg", "MAIN_URL \"a\"\r\n");
    std::filesystem::permissions("connectn.cfg", std::filesystem::perms(0640));
    Realm realm;
    realm.Address = "b.c";
    writeRealmFiles(realm, m_ui);
    EXPECT_EQ(readFile("connectn.cfg"), "MAIN_URL \"b.c\"\r\n");
    EXPECT_EQ(std::filesystem::status("connectn.cfg").permissions(), std::filesystem::perms(0640));
}

TEST_F(LauncherConfigTest, LimitRateIsARateOrNoLimit)
{
    auto limitOf = [](const std::string& line)
    {
        return loadWith("[Launcher]\r\nWebURL=http://example.test/\r\n" + line +
                        "\r\n[Main]\r\nName=Main\r\n")
            .limitRate;
    };
    EXPECT_EQ(limitOf("LimitRate=2M"), 2097152u);
    EXPECT_EQ(limitOf("LimitRate=512k"), 524288u);
    EXPECT_EQ(limitOf("LimitRate=1.5M"), 1572864u);
    EXPECT_EQ(limitOf("LimitRate=0"), 0u);
    EXPECT_EQ(limitOf(""), 0u);
    for (const char* bad :
         {"LimitRate=fast", "LimitRate=-2M", "LimitRate=2MB", "LimitRate=99999999999999999999"})
        EXPECT_EQ(limitOf(bad), 0u) << bad;
    // A later load without the key forgets an earlier limit.
    LauncherConfig c;
    writeFile("game.ini", "[Launcher]\r\nLimitRate=1M\r\n");
    loadGameIni(c);
    EXPECT_EQ(c.limitRate, 1048576u);
    writeFile("game.ini", "[Launcher]\r\n");
    loadGameIni(c);
    EXPECT_EQ(c.limitRate, 0u);
}
