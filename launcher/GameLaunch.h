// Starting the game client or the self-update script, and finding the game's
// window. No shell ever sees a name: the game starts from its command line
// with the program found by us, the script by the system's interpreter.
#pragma once

#include "platform/TopLevelWindow.h"

#include <string>
#include <vector>

// How a process is started: the game client by its command line, looked up
// like a program name; the self-update script by the command interpreter
// (cmd.exe without a console window on Windows, /bin/sh elsewhere).
enum class LaunchKind
{
    Game,
    Script,
};

constexpr const char* GAME_CLIENT_PROGRAM = "ZelvanClient.exe ";
constexpr const char* GAME_WINDOW_CLASS = "ZelvanWclName";
constexpr size_t COMMAND_LINE_MAX = 1023;
// How long the launcher waits for the game's window after the start before it
// ends anyway.
constexpr unsigned GAME_WINDOW_WAIT_MS = 3000;

// Splits at blanks and tabs; runs of them count as one, there is no quoting.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// The program's path: a name with a folder part as it is; otherwise the
// launcher's own folder, the current folder, then PATH. Empty when nothing
// executable is found.
std::string findProgram(const std::string& name);

// Starts the process detached, without waiting for it. The game's command
// line reaches it unchanged (Windows) or split at blanks (elsewhere); it gets
// the system's default error mode rather than ours. Returns its id, or -1
// when it could not be started. Lines longer than COMMAND_LINE_MAX are cut.
int startDetached(const std::string& commandLine, LaunchKind kind);

// "ZelvanClient.exe " followed directly by the client argument text.
std::string gameCommandLine(const std::string& argumentText);

// The client argument text of game.ini ([Launcher] ClientArgs), empty when missing.
std::string clientArgumentText();

// Waits until a top-level window of the game's class exists, looking every
// 100 ms and at most timeoutMs; true when it appeared. Blocks the caller.
bool waitForGameWindow(unsigned timeoutMs);

#if !defined(_WIN32)
using platform::x11WindowOfClassExists;
using platform::x11WindowOfClassExistsBelow;
#endif
