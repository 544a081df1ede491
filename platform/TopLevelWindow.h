// Another program's top-level window, found by its class: how the launcher
// sees that the game has started.
#pragma once

#include <string>

namespace platform
{

// True when a top-level window of that class exists (any title). Windows asks
// the window manager by class name; on Linux the WM_CLASS of the windows on
// the default GDK display is searched, and without an X11 display nothing is
// found.
bool topLevelWindowOfClassExists(const std::string& windowClass);

#if !defined(_WIN32)
// The X11 search on a given display (a void* so that this header needs no
// X11 include).
bool x11WindowOfClassExists(void* xdisplay, const std::string& windowClass);
// The same search in the tree below one window; X errors on the way (a window
// that vanishes meanwhile) are trapped, never fatal.
bool x11WindowOfClassExistsBelow(void* xdisplay, unsigned long window, const std::string& windowClass);
#endif

} // namespace platform
