// The signals an operator or a service manager sends to a server process:
// SIGTERM and SIGINT ask it to stop, SIGHUP to reload. The handlers only set
// the flags below; the server's own loop looks at them.
#pragma once

#include <atomic>

namespace platform
{

// Installs the handlers and ignores SIGPIPE (a peer that goes away is seen
// in the write's result instead). Call once, before any thread starts.
void watchServerSignals();

// Only the SIGPIPE part of the above, for programs that keep their own
// handling of the other signals (the fuzzers).
void ignoreBrokenPipe();

// Set by SIGTERM or SIGINT.
const std::atomic<bool>& stopSignal();
// Counts SIGHUPs; a change means "reload".
const std::atomic<unsigned>& reloadSignal();

} // namespace platform
