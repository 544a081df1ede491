#include "launcher/LauncherCommands.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <regex>

LauncherUrl parseLauncherUrl(const std::string& url)
{
    LauncherUrl result;
    std::string lower = url;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("launcher://") == std::string::npos)
        return result;
    result.intercepted = true;

    static const std::regex pattern("launcher://(\\w+)(/(\\d+))?", std::regex::ECMAScript);
    std::smatch m;
    if (!std::regex_search(url, m, pattern))
        return result;
    result.matched = true;
    result.command = m[1].str();
    if (m[3].matched)
    {
        // A number too long for an int saturates rather than wrapping into a valid position.
        long long n = 0;
        for (char c : m[3].str())
        {
            n = n * 10 + (c - '0');
            if (n > INT_MAX)
            {
                n = INT_MAX;
                break;
            }
        }
        result.number = static_cast<int>(n);
    }
    return result;
}

bool dispatchLauncherCommand(const LauncherUrl& url, ILauncherCommands& target)
{
    if (!url.matched)
        return false;
    const std::string& c = url.command;
    if (c == "play")
        target.commandPlay();
    else if (c == "language")
        target.commandLanguage(url.number);
    else if (c == "refresh")
        target.commandRefresh();
    else if (c == "reconnect")
        target.commandReconnect();
    else if (c == "changeServer")
        target.commandChangeServer(url.number);
    else if (c == "repair")
        target.commandRepair();
    else
        return false;
    return true;
}
