#include "platform/TopLevelWindow.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

namespace platform
{

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

bool topLevelWindowOfClassExists(const std::string& windowClass)
{
    GdkDisplay* display = gdk_display_get_default();
    if (!display || !GDK_IS_X11_DISPLAY(display))
        return false;
    return x11WindowOfClassExists(gdk_x11_display_get_xdisplay(display), windowClass);
}

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

} // namespace platform
