// The Zelvan executable itself: a self-update from the reference server makes
// it start the script and end; the script restarts it with /auto_realm, and
// the restarted launcher runs without the single-instance guard.
#include "WindowTestSupport.h"

#include "platform/SingleInstance.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace
{

// Launcher processes working in the folder (started by the script, not by us).
std::vector<int> launchersIn(const fs::path& folder)
{
    std::vector<int> pids;
    DIR* d = opendir("/proc");
    if (!d)
        return pids;
    while (dirent* e = readdir(d))
    {
        int pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::error_code ec;
        fs::path cwd = fs::read_symlink(fs::path("/proc") / e->d_name / "cwd", ec);
        fs::path exe = fs::read_symlink(fs::path("/proc") / e->d_name / "exe", ec);
        if (!ec && cwd == folder && exe.filename() == "Zelvan")
            pids.push_back(pid);
    }
    closedir(d);
    return pids;
}

} // namespace

TEST_F(WindowTest, SelfUpdateRestartsTheLauncherWithoutTheGuard)
{
    fs::path zelvan = fs::path(UPD_BINARY_DIR) / "launcher/Zelvan";
    if (!UpdateServerProcess::available() || access(zelvan.c_str(), X_OK) != 0)
        GTEST_SKIP() << "updserver or Zelvan is not built";
    fs::path here = fs::current_path();
    fs::path server = here.parent_path() / (here.filename().string() + "-server");
    fs::create_directories(server / "content");
    fs::create_directories(server / "self");
    std::ofstream(server / "content/readme.txt") << "hello\n";
    std::ofstream(server / "self/russian.lng") << "[Language]\n188=Zelvan (new)\n";
    std::ofstream(server / "ignore.txt")
        << "game.ini\nenglish.lng\nrussian.lng\nconnect.cfg\nconnectn.cfg\n"
           "config.cfg\noptions.ini\nlauncher_resources/\nrun/\nZelvan\nrestarted.png\ndialogs.txt.log\n";
    UpdateServerProcess updserver((server / "content").string(), (server / "self").string(),
                                  (server / "ignore.txt").string());
    ASSERT_GT(updserver.port(), 0);
    WebPageServer web;
    prepareInstallation(updserver.port(), web.url());
    fs::create_directories("run");

    std::vector<std::string> env = {
        "ZELVAN_DIALOG_LOG=" + (here / "dialogs.txt.log").string(),
        "ZELVAN_SCREENSHOT=" + (here / "restarted.png").string(), "ZELVAN_CLOSE_AFTER_SCREENSHOT=1",
        "XDG_RUNTIME_DIR=" + (here / "run").string(), "WINEPREFIX=/nonexistent-wine-prefix"};
    for (const char* keep : {"DISPLAY", "XAUTHORITY", "HOME", "PATH"})
        if (const char* v = getenv(keep))
            env.push_back(std::string(keep) + "=" + v);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // The launcher lives in the installation folder: the script restarts it from there.
    fs::create_symlink(zelvan, "Zelvan");
    std::string exe = (here / "Zelvan").string(), lang = "/eng";
    char* argv[] = {exe.data(), lang.data(), nullptr};
    pid_t first = -1;
    ASSERT_EQ(posix_spawn(&first, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);

    // The first launcher hands over to the script and ends by itself.
    int status = 0;
    ASSERT_TRUE(waitFor([&] { return waitpid(first, &status, WNOHANG) == first; }, std::chrono::seconds(60)));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The script replaced the file and restarted the launcher, which does not take the guard.
    std::vector<int> restarted;
    ASSERT_TRUE(waitFor([&] { return !(restarted = launchersIn(here)).empty(); }, std::chrono::seconds(20)));
    EXPECT_NE(readFile("russian.lng").find("Zelvan (new)"), std::string::npos);
    {
        platform::SingleInstanceGuard guard;
        EXPECT_EQ(guard.create("Updater_mutex_27182818284590452353602874713527", (here / "run").string()),
                  platform::GuardResult::Created);
    }
    // It updates, saves its screenshot and closes.
    bool ended = waitFor([&] { return launchersIn(here).empty(); }, std::chrono::seconds(60));
    for (int pid : launchersIn(here))
        kill(pid, SIGKILL);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(fs::exists("restarted.png"));
    EXPECT_TRUE(fs::exists("readme.txt"));
    EXPECT_FALSE(fs::exists("dialogs.txt.log")) << readFile("dialogs.txt.log");
    fs::remove_all(server);
}
