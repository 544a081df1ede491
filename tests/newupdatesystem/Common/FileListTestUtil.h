// Helpers shared by the file list tests: files on disk, hand-made entries and
// a capture of the log's console output.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/LogControl.h"
#include "platform/Environment.h"
#include "support/Sandbox.h"

inline void writeFile(const std::string& path, const std::string& content)
{
    std::filesystem::path p(path);
    if (p.has_parent_path())
        std::filesystem::create_directories(p.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline FileInfo fileInfo(uint32_t size, int64_t time = 0, uint32_t flags = 0)
{
    FileInfo info;
    info.size = size;
    info.time = time;
    info.flags = flags;
    return info;
}

inline FileInfo folderInfo()
{
    return fileInfo(0, 0, FI_FOLDER);
}

// Records the events a list raises.
struct EventRecord
{
    uint32_t code;
    std::string path;
};

class RecordingList : public CFileList
{
public:
    void onListEvent(uint32_t code, const char* path, const FileInfo* info) override
    {
        events.push_back({code, path ? path : ""});
        CFileList::onListEvent(code, path, info);
    }
    std::vector<EventRecord> events;

    size_t countOf(uint32_t code) const
    {
        size_t n = 0;
        for (const auto& e : events)
            n += e.code == code;
        return n;
    }
};

// A sandboxed test whose log console output is captured; the machine's time
// zone is UTC for the duration so printed times are fixed.
class ListLogTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        m_oldTz = tz ? tz : "";
        m_hadTz = tz != nullptr;
        platform::setEnvironmentVariable("TZ", "UTC");
        tzset();
        m_console = std::tmpfile();
        ASSERT_NE(m_console, nullptr);
        logSetConsoleStream(m_console);
        logRestart();
    }

    void TearDown() override
    {
        logStop();
        logSetConsoleStream(stdout);
        std::fclose(m_console);
        if (m_hadTz)
            platform::setEnvironmentVariable("TZ", m_oldTz.c_str());
        else
            platform::unsetEnvironmentVariable("TZ");
        tzset();
    }

    // Console text since the last call.
    std::string consoleText()
    {
        std::fflush(m_console);
        std::rewind(m_console);
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, m_console)) > 0)
            text.append(chunk, n);
        std::fclose(m_console);
        m_console = std::tmpfile();
        logSetConsoleStream(m_console);
        return text;
    }

    std::string logFileText() { return readFile(logFileName()); }

    std::FILE* m_console = nullptr;
    std::string m_oldTz;
    bool m_hadTz = false;
};
