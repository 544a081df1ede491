// The pages command the launcher through links of the form
// launcher://command/number; the navigation is cancelled and the command run.
#pragma once

#include <string>

struct LauncherUrl
{
    bool intercepted = false; // holds "launcher://" in any case: the navigation is cancelled
    bool matched = false;     // fits launcher://(\w+)(/(\d+))? exactly as written
    std::string command;
    int number = 0; // 0 when the number is missing
};

LauncherUrl parseLauncherUrl(const std::string& url);

// What the commands do; the launcher window implements it.
class ILauncherCommands
{
public:
    virtual void commandPlay() = 0;
    virtual void commandLanguage(int number) = 0;
    virtual void commandRefresh() = 0;
    virtual void commandReconnect() = 0;
    virtual void commandChangeServer(int number) = 0;
    // launcher://repair: verify every file and fetch what differs. An extra
    // that newer pages offer; a target without it ignores the command.
    virtual void commandRepair() {}

protected:
    ~ILauncherCommands() = default;
};

// Runs a matched command by its exact name; unknown commands do nothing.
// Returns whether a command ran.
bool dispatchLauncherCommand(const LauncherUrl& url, ILauncherCommands& target);
