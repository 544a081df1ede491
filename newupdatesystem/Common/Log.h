// The process-wide log: five levels of printf-style messages to the console
// (when there is one) and to a daily file in the current folder. Any thread may
// call these; the log lock is taken last and never held while taking another.
#pragma once

#if defined(__MINGW32__)
// The C99 printf of MinGW (__USE_MINGW_ANSI_STDIO), not the system's older one.
#define UPD_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define UPD_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define UPD_PRINTF(fmt, args)
#endif

void logInfo(const char* format, ...) UPD_PRINTF(1, 2);     // console and file, ends the line
void logPart(const char* format, ...) UPD_PRINTF(1, 2);     // console and file, leaves the line open
void logFileOnly(const char* format, ...) UPD_PRINTF(1, 2); // file only
void logWarning(const char* format, ...) UPD_PRINTF(1, 2);  // bright cyan on the console
void logError(const char* format, ...) UPD_PRINTF(1, 2);    // bright red, between separator lines
