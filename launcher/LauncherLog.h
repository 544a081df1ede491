// The launcher's log lines. A launcher with the window writes them through the
// update client library's exported log, so that the launcher and the library
// share one log and one daily file; a build without the library writes to the
// log linked into the executable. Each build links exactly one definition.
#pragma once

// Writes text as one line of the process's log.
void launcherLog(const char* text);
