#include "launcher/GameLaunch.h"

#include "launcher/IniFile.h"
#include "platform/ExecutablePath.h"
#include "platform/Files.h"
#include "platform/Process.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

std::vector<std::string> splitCommandLine(const std::string& commandLine)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : commandLine)
    {
        if (c == ' ' || c == '\t')
        {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        }
        else
            word += c;
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

namespace
{

using platform::isExecutableFile;

std::string launcherFolder()
{
    std::string path;
    if (!platform::executablePath(path, 4096))
        return {};
    size_t slash = path.rfind(platform::executablePathSeparator());
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

std::string findProgram(const std::string& name)
{
    if (name.empty())
        return {};
    if (name.find_first_of(std::string("/") + platform::executablePathSeparator()) != std::string::npos)
        return isExecutableFile(name) ? name : std::string();
    std::vector<std::string> folders;
    if (std::string own = launcherFolder(); !own.empty())
        folders.push_back(own);
    if (std::string cwd = platform::currentFolder(); !cwd.empty())
        folders.push_back(cwd);
    if (const char* path = std::getenv("PATH"))
    {
        std::string list = path;
        size_t start = 0;
        while (start <= list.size())
        {
            size_t end = list.find(platform::pathListSeparator(), start);
            if (end == std::string::npos)
                end = list.size();
            if (end > start)
                folders.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const std::string& folder : folders)
        if (std::string candidate = folder + "/" + name; isExecutableFile(candidate))
            return candidate;
    return {};
}

int startDetached(const std::string& commandLine, LaunchKind kind)
{
    std::string line = commandLine.substr(0, COMMAND_LINE_MAX);
    platform::ProcessId pid = -1;
    if (kind == LaunchKind::Script)
    {
        // The whole text is the script's path: blanks in it stay part of the name.
        if (line.empty())
            return -1;
        return platform::spawnScript(line, pid) ? int(pid) : -1;
    }
    std::vector<std::string> words = splitCommandLine(line);
    if (words.empty())
        return -1;
    std::string program = findProgram(words[0]);
    if (program.empty())
        return -1;
    return platform::spawnCommandLine(program, line, pid) ? int(pid) : -1;
}

std::string gameCommandLine(const std::string& argumentText)
{
    return std::string(GAME_CLIENT_PROGRAM) + argumentText;
}

std::string clientArgumentText()
{
    return CIniFile("game.ini").getString("Launcher", "ClientArgs", "");
}

bool waitForGameWindow(unsigned timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        if (platform::topLevelWindowOfClassExists(GAME_WINDOW_CLASS))
            return true;
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds(100), deadline - now));
    }
}
