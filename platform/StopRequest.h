// The user's or the system's request that a command-line program stop
// (Ctrl+C, a terminal closing, a service manager's stop).
#pragma once

namespace platform
{

// handler runs in a signal handler or on a system thread: it may only set an
// atomic flag. Also keeps a write to a closed pipe or socket from ending the
// program, so such writes fail with an error instead.
void onStopRequest(void (*handler)());

} // namespace platform
