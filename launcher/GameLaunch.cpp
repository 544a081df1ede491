#include "launcher/GameLaunch.h"

#include "launcher/IniFile.h"
#include "platform/ExecutablePath.h"
#include "platform/Files.h"
#include "platform/Process.h"

#ifndef _WIN32
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>
#endif

#include <cstdlib>
#include <cstring>

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
    if (name.find('/') != std::string::npos)
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
    std::vector<std::string> args;
    std::string program;
    if (kind == LaunchKind::Script)
    {
        // The whole text is the script's path: blanks in it stay part of the name.
        if (line.empty())
            return -1;
        platform::ProcessId pid = -1;
        return platform::spawnScript(line, pid) ? int(pid) : -1;
    }
    else
    {
        args = splitCommandLine(line);
        if (args.empty())
            return -1;
        program = findProgram(args[0]);
        if (program.empty())
            return -1;
    }
    platform::ProcessId pid = -1;
    return platform::spawnProcess(program, args, true, pid) ? int(pid) : -1;
}

std::string clientArgumentText()
{
    return CIniFile("game.ini").getString("Launcher", "ClientArgs", "");
}

// The game's window on X11; the Win32 window backend asks the system itself.
#ifndef _WIN32
namespace
{

bool hasClass(Display* d, Window w, const std::string& windowClass)
{
    XClassHint hint{};
    if (!XGetClassHint(d, w, &hint))
        return false;
    bool match =
        (hint.res_class && windowClass == hint.res_class) || (hint.res_name && windowClass == hint.res_name);
    if (hint.res_name)
        XFree(hint.res_name);
    if (hint.res_class)
        XFree(hint.res_class);
    return match;
}

// Top-level windows sit under the root, or one or two levels down inside a
// window manager's frames.
bool searchTree(Display* d, Window w, const std::string& windowClass, int depth)
{
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, w, &root, &parent, &children, &count))
        return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i)
        found = hasClass(d, children[i], windowClass) ||
                (depth > 0 && searchTree(d, children[i], windowClass, depth - 1));
    if (children)
        XFree(children);
    return found;
}

int ignoreXError(Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

bool x11WindowOfClassExists(void* xdisplay, const std::string& windowClass)
{
    Display* d = static_cast<Display*>(xdisplay);
    if (!d)
        return false;
    return x11WindowOfClassExistsBelow(d, DefaultRootWindow(d), windowClass);
}

// Other programs' windows come and go while the tree is walked: one that
// vanishes between the listing and the question for its class raises an X
// error, which by default ends the process. Errors of the walk are trapped
// and only cost that window.
bool x11WindowOfClassExistsBelow(void* xdisplay, unsigned long window, const std::string& windowClass)
{
    Display* d = static_cast<Display*>(xdisplay);
    if (!d)
        return false;
    GdkDisplay* gdk = gdk_x11_lookup_xdisplay(d);
    XErrorHandler previous = nullptr;
    if (gdk)
    {
        gdk_x11_display_error_trap_push(gdk);
    }
    else
    {
        XSync(d, False);
        previous = XSetErrorHandler(ignoreXError);
    }
    bool found = searchTree(d, window, windowClass, 2);
    if (gdk)
    {
        gdk_x11_display_error_trap_pop_ignored(gdk);
    }
    else
    {
        XSync(d, False); // errors of the walk arrive before the handler goes back
        XSetErrorHandler(previous);
    }
    return found;
}
#endif
