// Hooks of the process-wide log for host programs and tests.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

// The local time now, as a broken-down time.
using LogClock = std::tm (*)();

// Replaces the clock the log reads for time stamps and the date of its file;
// null restores the system's local time.
void logSetClock(LogClock clock);

// Where the console output goes: stdout by default; a host whose standard output
// carries data (a command-line tool) sends it to stderr. Null: no console.
void logSetConsoleStream(std::FILE* stream);

// Closes the log file and starts again: reads the computer name, opens today's
// file at once and writes the start line. The line counts as ended afterwards.
// (Without this call the file opens with the first message.)
void logRestart();

// Closes the log file; messages then reach only the console.
void logStop();

// Puts the daily file into this folder (empty: the current folder, the
// default). An open file is closed and started again there; otherwise the
// file opens there with the next message, also after logStop.
void logSetFolder(const std::string& folder);

// The path of the open log file (the folder joined to the daily name); empty
// when none is open.
std::string logFileName();
