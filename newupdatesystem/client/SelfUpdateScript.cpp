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

static bool isPlainName(const char* name, size_t length)
{
    if (length == 0 || length > 127)
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

bool isPlainFileName(const char* name)
{
    return name && isPlainName(name, std::strlen(name));
}

bool isSafeRelativePath(const char* path)
{
    if (!path || !*path)
        return false;
    const char* p = path;
    for (;;)
    {
        size_t n = std::strcspn(p, "/\\");
        if (!isPlainName(p, n))
            return false;
        p += n;
        if (!*p)
            return true;
        ++p; // the separator
        if (!*p)
            return true; // a trailing separator names a folder
    }
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
std::string selfUpdateScriptHead()
{
    return "#!/bin/sh\n";
}

std::string selfUpdateScriptFileBlock(unsigned number, const std::string& folder,
                                      const std::string& fileName)
{
    std::string target = shellQuote("./" + fileName);
    return "# File" + std::to_string(number) + "\n" + "rm -f -- " + target + "\n" +
           "while [ -e " + target + " ]; do sleep 1; rm -f -- " + target + "; done\n" +
           "mv -f -- " + shellQuote(folder + fileName) + " ./\n\n";
}

std::string selfUpdateScriptTail(const std::string& folder, const std::string& executableName,
                                 const std::string& realm)
{
    return shellQuote("./" + executableName) + " /auto_realm " + shellQuote(realm) + "\n" +
           "rm -rf -- " + shellQuote(folder) + "\n";
}

#endif
