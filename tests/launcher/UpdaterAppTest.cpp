#include "launcher/UpdaterApp.h"

#include "launcher/BuiltinTexts.h"
#include "launcher/RecordingUi.h"
#include "newupdatesystem/Common/LogControl.h"
#include "support/ChildProcess.h"
#include "support/EnvironmentGuard.h"
#include "support/Sandbox.h"

#include <fstream>
#include <sstream>

namespace
{

class UpdaterAppTest : public SandboxTest
{
protected:
    void TearDown() override { setBuiltinLanguage(BuiltinLanguage::English); }

    // Runs the start sequence with the guard kept inside the sandbox.
    bool start(CUpdaterApp& app, const std::string& commandLine)
    {
        app.setGuardFolder(m_sandbox.path().string());
        return app.initInstance(commandLine);
    }

    EnvironmentGuard m_env{{"LC_ALL", "LC_MESSAGES", "LANG"}};
    RecordingUi m_ui;
};

std::string readFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST_F(UpdaterAppTest, LanguageOfTheBuiltInTexts)
{
    const struct
    {
        const char* commandLine;
        const char* lang;
        BuiltinLanguage expected;
    } cases[] = {
        {"/ENG /Rus", "en_US.UTF-8", BuiltinLanguage::Russian},
        {"/eng", "ru_RU.UTF-8", BuiltinLanguage::English},
        {"", "ru_RU.UTF-8", BuiltinLanguage::Russian},
        {"", "uk_UA.UTF-8", BuiltinLanguage::English},
        {"", "", BuiltinLanguage::English},
    };
    for (const auto& c : cases)
    {
        m_env.set("LANG", c.lang);
        RecordingUi caseUi;
        CUpdaterApp app(caseUi);
        EXPECT_FALSE(start(app, c.commandLine));
        EXPECT_EQ(builtinLanguage(), c.expected) << c.commandLine << " / " << c.lang;
        EXPECT_EQ(caseUi.windows.size(), 1u);
    }
}

TEST_F(UpdaterAppTest, AutoRealmPassesToTheWindowAndSkipsTheGuard)
{
    CUpdaterApp app(m_ui);
    EXPECT_FALSE(start(app, "/auto_realm Main"));
    EXPECT_EQ(m_ui.windows, std::vector<std::string>{"Main"});
    EXPECT_FALSE(app.guardHeld());

    RecordingUi other;
    CUpdaterApp guarded(other);
    start(guarded, "/auto_realm /rus");
    EXPECT_EQ(other.windows, std::vector<std::string>{""});
    EXPECT_TRUE(guarded.guardHeld());
    EXPECT_EQ(builtinLanguage(), BuiltinLanguage::Russian);
}

TEST_F(UpdaterAppTest, SecondCopyIsRefusedWhileTheFirstRuns)
{
    // While the first launcher's window is open, start further launchers in
    // separate processes and record how they ended.
    int plainCopy = -1;
    int autoRealmCopy = -1;
    m_ui.onWindow = [&]
    {
        plainCopy = runInChild(
            [this]
            {
                logRestart(); // the child's log file goes into the sandbox
                RecordingUi childUi;
                CUpdaterApp second(childUi);
                start(second, "/rus");
                const bool ok = second.refused() && childUi.windows.empty() && childUi.boxes.size() == 1 &&
                                childUi.boxes[0].caption == "Ошибка" &&
                                childUi.boxes[0].text == "Одна копия Zelvan.exe уже запущена!" &&
                                readFile(logFileName()).find("Mutex creation failed!\n") != std::string::npos;
                return ok ? 0 : 1;
            });
        autoRealmCopy = runInChild(
            [this]
            {
                RecordingUi childUi;
                CUpdaterApp second(childUi);
                start(second, "/auto_realm Main");
                return !second.refused() && childUi.windows == std::vector<std::string>{"Main"} ? 0 : 1;
            });
    };
    CUpdaterApp first(m_ui);
    start(first, "");
    EXPECT_FALSE(first.refused());
    EXPECT_TRUE(first.guardHeld());
    EXPECT_EQ(plainCopy, 0);
    EXPECT_EQ(autoRealmCopy, 0);
    EXPECT_TRUE(m_ui.boxes.empty());
}
