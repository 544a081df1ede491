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

// Closes the log file and starts again as at program start: reads the computer
// name, opens today's file in the current folder and writes the start line.
// The line counts as ended afterwards.
void logRestart();

// Closes the log file; messages then reach only the console.
void logStop();

// The name of the open log file; empty when none is open.
std::string logFileName();
