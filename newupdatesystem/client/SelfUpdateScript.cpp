#include "newupdatesystem/client/SelfUpdateScript.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
const char* const kSelfUpdateScriptName = "TmpSelfupdate.bat";
#else
const char* const kSelfUpdateScriptName = "TmpSelfupdate.sh";
#endif

std::string selfUpdateFolderName(int value)
{
    char name[16];
#if defined(_WIN32)
    std::snprintf(name, sizeof(name), "dir%04x\\", static_cast<unsigned>(value));
#else
    std::snprintf(name, sizeof(name), "dir%04x/", static_cast<unsigned>(value));
#endif
    return name;
}

static char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool isWindowsImpossibleName(const char* name, size_t length)
{
    if (length == 0)
        return false;
    if (name[length - 1] == '.' || name[length - 1] == ' ')
        return true;
    // The device is named by what comes before the first dot, spaces cut off.
    size_t base = 0;
    while (base < length && name[base] != '.')
        ++base;
    while (base > 0 && name[base - 1] == ' ')
        --base;
    char stem[5] = {};
    if (base < 3 || base > 4)
        return false;
    for (size_t i = 0; i < base; ++i)
        stem[i] = lowerAscii(name[i]);
    if (base == 3)
        return std::strcmp(stem, "con") == 0 || std::strcmp(stem, "prn") == 0 ||
               std::strcmp(stem, "aux") == 0 || std::strcmp(stem, "nul") == 0;
    return (std::strncmp(stem, "com", 3) == 0 || std::strncmp(stem, "lpt", 3) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

static bool isPlainName(const char* name, size_t length, NameOrigin origin)
{
    if (length == 0 || length > 127)
        return false;
    if (origin == NameOrigin::Server && isWindowsImpossibleName(name, length))
        return false;
    if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.'))
        return false;
    for (size_t i = 0; i < length; ++i)
    {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':')
            return false;
    }
    return true;
}

bool isPlainFileName(const char* name, NameOrigin origin)
{
    return name && isPlainName(name, std::strlen(name), origin);
}

bool isSafeRelativePath(const char* path, NameOrigin origin)
{
    if (!path || !*path)
        return false;
    const char* p = path;
    for (;;)
    {
        size_t n = std::strcspn(p, "/\\");
        if (!isPlainName(p, n, origin))
            return false;
        p += n;
        if (!*p)
            return true;
        ++p; // the separator
        if (!*p)
            return true; // a trailing separator names a folder
    }
}

static bool equalsIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? char(b[i] - 'A' + 'a') : b[i];
        if (x != y)
            return false;
    }
    return true;
}

bool isSelfUpdateNameRefused(const char* name, const std::string& folder, bool existsAsFolder)
{
    std::string folderName = folder;
    while (!folderName.empty() && (folderName.back() == '/' || folderName.back() == '\\'))
        folderName.pop_back();
    return existsAsFolder || equalsIgnoringCase(name, folderName) ||
           equalsIgnoringCase(name, kSelfUpdateScriptName);
}

std::string shellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
    {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

// The Windows batch file is written by SelfUpdateBatch.cpp.
#if !defined(_WIN32)

// The same steps as the Windows batch: per file, delete the old file until it
// is gone and move the new one into the current folder; then run the launcher
// with the realm and wait for it; then remove the temporary folder.
//
// Every wait is bounded. The launcher that starts the script passes its own
// process id as the first argument: the script waits for that process to end
// before it touches a file, so the new launcher never meets the old one's
// single-instance guard. Should the old launcher outlive the wait, or a file
// refuse to go, the script stops without starting anything.
std::string selfUpdateScriptHead()
{
    // A process that has ended but is not yet reaped still answers kill -0.
    return "#!/bin/sh\n"
           "running() {\n"
           "    kill -0 \"$1\" 2>/dev/null || return 1\n"
           "    [ \"$(sed -n 's/^.*) \\(.\\).*/\\1/p' /proc/\"$1\"/stat 2>/dev/null)\" != Z ]\n"
           "}\n"
           "case \"$1\" in\n"
           "''|*[!0-9]*) ;;\n"
           "*)\n"
           "    n=0\n"
           "    while running \"$1\"; do\n"
           "        n=$((n + 1))\n"
           "        if [ \"$n\" -gt " +
           std::to_string(kSelfUpdateWaitSeconds * 5) +
           " ]; then\n"
           "            echo 'The launcher did not end' >&2\n"
           "            exit 1\n"
           "        fi\n"
           "        sleep 0.2 2>/dev/null || sleep 1\n"
           "    done\n"
           "    ;;\n"
           "esac\n\n";
}

std::string selfUpdateScriptFileBlock(unsigned number, const std::string& folder, const std::string& fileName,
                                      const std::string& installedName)
{
    const std::string& installed = installedName.empty() ? fileName : installedName;
    std::string target = shellQuote("./" + installed);
    std::string destination = installed == fileName ? std::string("./") : target;
    return "# File" + std::to_string(number) + "\n" + "rm -f -- " + target + "\n" + "n=0\n" + "while [ -e " +
           target + " ]; do\n" + "    n=$((n + 1))\n" + "    if [ \"$n\" -gt " +
           std::to_string(kSelfUpdateDeleteTries) + " ]; then\n" + "        echo 'Cannot replace' " + target +
           " >&2\n" + "        exit 1\n" + "    fi\n" + "    sleep 1\n" + "    rm -f -- " + target + "\n" +
           "done\n" + "mv -f -- " + shellQuote(folder + fileName) + " " + destination + "\n\n";
}

std::string selfUpdateScriptTail(const std::string& folder, const std::string& executableName,
                                 const std::string& realm)
{
    return shellQuote("./" + executableName) + " /auto_realm " + shellQuote(realm) + "\n" + "rm -rf -- " +
           shellQuote(folder) + "\n";
}

#endif
