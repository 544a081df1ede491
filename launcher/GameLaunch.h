// Starting the game client or the self-update script, and finding the game's
// window. No shell ever sees a name: programs start from an argument vector.
#pragma once

#include <string>
#include <vector>

// How a process is started: the game client by its command line, looked up
// like a program name; the self-update script through /bin/sh.
enum class LaunchKind
{
    Game,
    Script,
};

constexpr const char* GAME_CLIENT_PROGRAM = "ZelvanClient.exe ";
constexpr const char* GAME_WINDOW_CLASS = "ZelvanWclName";
constexpr size_t COMMAND_LINE_MAX = 1023;

// Splits at blanks and tabs; runs of them count as one, there is no quoting.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// The program's path: a name with a slash as it is; otherwise the launcher's
// own folder, the current folder, then PATH. Empty when nothing executable is found.
std::string findProgram(const std::string& name);

// Starts the process detached in its own session, without waiting for it.
// Returns its id, or -1 when it could not be started.
int startDetached(const std::string& commandLine, LaunchKind kind);

// The client argument text of game.ini ([Launcher] ClientArgs), empty when missing.
std::string clientArgumentText();

// True when a top-level X11 window of the given WM_CLASS exists on the display
// (a void* so that this header needs no X11 include).
bool x11WindowOfClassExists(void* xdisplay, const std::string& windowClass);
// The same search in the tree below one window; X errors on the way (a window
// that vanishes meanwhile) are trapped, never fatal.
bool x11WindowOfClassExistsBelow(void* xdisplay, unsigned long window, const std::string& windowClass);
