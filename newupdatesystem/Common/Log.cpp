#include "newupdatesystem/Common/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "newupdatesystem/Common/BasicThread.h"
#include "newupdatesystem/Common/LogControl.h"
#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/LocalTime.h"
#include "platform/OpenNoFollow.h"

namespace
{

constexpr size_t kLogBufferSize = 16384;

enum LogLevel
{
    LEVEL_INFO,
    LEVEL_PART,
    LEVEL_FILE_ONLY,
    LEVEL_WARNING,
    LEVEL_ERROR,
};

std::tm systemLocalTime()
{
    std::time_t now = std::time(nullptr);
    std::tm result{};
    platform::localTime(int64_t(now), result);
    return result;
}

struct CLogFile
{
    std::FILE* file = nullptr;
    std::tm date{};
    char computerName[128] = {};
    char fileName[168] = {}; // room for the longest computer name and any date
    std::string folder;      // where the file goes; empty: the current folder

    void buildFileName()
    {
        std::snprintf(fileName, sizeof fileName, "%s_%02u%02u%02u.log", computerName,
                      static_cast<unsigned>(date.tm_year % 100), static_cast<unsigned>(date.tm_mon + 1),
                      static_cast<unsigned>(date.tm_mday));
    }

    std::string path() const { return folder.empty() ? fileName : folder + "/" + fileName; }

    // The folder may be writable by others: a link planted at the name would
    // take our lines to its target.
    void openFile() { file = platform::openFileNoFollow(path().c_str(), "ab", platform::AtLink::Replace); }

    void close()
    {
        if (file)
            std::fclose(file);
        file = nullptr;
    }

    void start(const std::tm& now)
    {
        close();
        std::memset(computerName, 0, sizeof computerName);
        std::memset(fileName, 0, sizeof fileName);
        std::string name;
        if (platform::getEnvironmentVariable("computername", name))
            std::snprintf(computerName, sizeof computerName, "%s", name.c_str());
        else
            std::snprintf(computerName, sizeof computerName, "Log");
        date = now;
        buildFileName();
        openFile();
        if (file)
        {
            std::fputs("\n===== Logging started =====\n", file);
            std::fflush(file);
        }
    }

    // A file is started per local date; the first message of a new day
    // closes yesterday's file and opens today's, without the start line.
    void followDate(const std::tm& now)
    {
        if (!file)
            return;
        if (now.tm_year == date.tm_year && now.tm_mon == date.tm_mon && now.tm_mday == date.tm_mday)
            return;
        date = now;
        buildFileName();
        close();
        openFile();
    }
};

struct LogState
{
    CCritSection logLock;
    char logBuffer[kLogBufferSize];
    bool lineStart = true;
    CLogFile logFile;
    LogClock clock = &systemLocalTime;
    std::FILE* console = stdout;
    // The file opens with the first message, so a program that logs nothing
    // (a tool asked for --help) leaves no file behind.
    bool openPending = true;
};

// Never destroyed, so threads that still log during exit find it intact; the
// file itself is closed at exit by LogCloser.
LogState& state()
{
    static LogState* s = new LogState;
    return *s;
}

struct LogHold
{
    explicit LogHold(LogState& s) : s(s), lock((s.logLock.enter(), s.logLock)) {}
    LogState& s;
    CCritLock lock;
};

struct LogCloser
{
    LogCloser() { state(); }
    ~LogCloser()
    {
        LogHold hold(state());
        hold.s.logFile.close();
    }
};

LogCloser logCloser;

void writeMessage(LogLevel level, const char* format, va_list args)
{
    LogState& s = state();
    LogHold hold(s);

    size_t pos = 0;
    bool lineStart = s.lineStart;
    if (level >= LEVEL_FILE_ONLY && !lineStart)
    {
        s.logBuffer[pos++] = '\n';
        lineStart = true;
    }

    int n = std::vsnprintf(s.logBuffer + pos, kLogBufferSize - pos, format, args);
    if (n < 0)
        return;
    size_t total = pos + static_cast<size_t>(n);
    if (total >= kLogBufferSize)
    {
        static const char kOverrun[] = "CRITICAL: Log buffer overrun!!!";
        platform::consoleWrite(s.console, kOverrun, sizeof kOverrun - 1, platform::CONSOLE_PLAIN);
        return;
    }
    if (level != LEVEL_PART && total < kLogBufferSize - 1)
    {
        s.logBuffer[total++] = '\n';
        s.logBuffer[total] = '\0';
    }
    if (total == 0)
        return;

    switch (level)
    {
    case LEVEL_INFO:
    case LEVEL_PART:
        platform::consoleWrite(s.console, s.logBuffer, total, platform::CONSOLE_PLAIN);
        break;
    case LEVEL_WARNING:
        platform::consoleWrite(s.console, s.logBuffer, total, platform::CONSOLE_BRIGHT_CYAN);
        break;
    case LEVEL_ERROR:
        platform::consoleWrite(s.console, s.logBuffer, total, platform::CONSOLE_BRIGHT_RED);
        break;
    case LEVEL_FILE_ONLY:
        break;
    }

    std::tm now = s.clock();
    if (s.openPending)
    {
        s.openPending = false;
        s.logFile.start(now);
    }
    s.logFile.followDate(now);
    if (std::FILE* f = s.logFile.file)
    {
        if (level == LEVEL_ERROR)
            std::fputs("\n==============\n", f);
        if (lineStart)
            std::fprintf(f, "%02u:%02u:%02u ", static_cast<unsigned>(now.tm_hour),
                         static_cast<unsigned>(now.tm_min), static_cast<unsigned>(now.tm_sec));
        std::fwrite(s.logBuffer, 1, total, f);
        if (level == LEVEL_ERROR)
            std::fputs("==============\n\n", f);
        std::fflush(f);
    }
    s.lineStart = level != LEVEL_PART;
}

} // namespace

#define UPD_LOG_LEVEL(function, level)                                                                       \
    void function(const char* format, ...)                                                                   \
    {                                                                                                        \
        va_list args;                                                                                        \
        va_start(args, format);                                                                              \
        writeMessage(level, format, args);                                                                   \
        va_end(args);                                                                                        \
    }

UPD_LOG_LEVEL(logInfo, LEVEL_INFO)
UPD_LOG_LEVEL(logPart, LEVEL_PART)
UPD_LOG_LEVEL(logFileOnly, LEVEL_FILE_ONLY)
UPD_LOG_LEVEL(logWarning, LEVEL_WARNING)
UPD_LOG_LEVEL(logError, LEVEL_ERROR)

void logSetClock(LogClock clock)
{
    LogHold hold(state());
    hold.s.clock = clock ? clock : &systemLocalTime;
}

void logSetConsoleStream(std::FILE* stream)
{
    LogHold hold(state());
    hold.s.console = stream;
}

void logRestart()
{
    LogHold hold(state());
    hold.s.openPending = false;
    hold.s.logFile.start(hold.s.clock());
    hold.s.lineStart = true;
}

void logStop()
{
    LogHold hold(state());
    hold.s.openPending = false;
    hold.s.logFile.close();
}

void logSetFolder(const std::string& folder)
{
    LogHold hold(state());
    hold.s.logFile.folder = folder;
    if (hold.s.logFile.file)
        hold.s.logFile.start(hold.s.clock());
    else
        hold.s.openPending = true;
}

std::string logFileName()
{
    LogHold hold(state());
    return hold.s.logFile.file ? hold.s.logFile.path() : "";
}
