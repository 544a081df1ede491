// Pieces of the self-update: the temporary folder names, the checks that keep
// server names inside the installation, and the script that replaces the
// launcher's files once the launcher has exited.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The C runtime's classic rand(): x = x * 214013 + 2531011, value bits 16..30.
// Every worker starts its own at seed 1, so the temporary folder candidates are
// always drawn in the same order (dir0029, dir4823, ...).
class CRuntimeRandom
{
public:
    explicit CRuntimeRandom(uint32_t seed = 1) : m_state(seed) {}
    int next()
    {
        m_state = m_state * 214013u + 2531011u;
        return static_cast<int>((m_state >> 16) & 0x7FFF);
    }

private:
    uint32_t m_state;
};

// "dir%04x" and the platform's separator: the folder of one self-update.
std::string selfUpdateFolderName(int value);

// A name no Windows system can hold as a file of its own: a device name (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, in any case, with or without an extension)
// or a name ending in a dot or a space, which Windows cuts off.
bool isWindowsImpossibleName(const char* name, size_t length);

// Where a name comes from: a server's names must be possible on every system
// the installation may live on; names found on the local disk are only
// checked for staying inside the folder.
enum class NameOrigin
{
    Server,
    Local,
};

// A single file name for the installation's root: not empty, not "." or "..",
// no separator, no drive colon, no control character, and (from a server) no
// name Windows cannot hold.
bool isPlainFileName(const char* name, NameOrigin origin = NameOrigin::Server);

// A relative path inside a folder: one or more components separated by `/` or
// `\`, each of them a plain file name (a trailing separator is allowed). Names
// from a server must pass this before anything is written or deleted.
bool isSafeRelativePath(const char* path, NameOrigin origin = NameOrigin::Server);

// Quotes a text for the POSIX shell: in single quotes, each quote as '\''.
std::string shellQuote(const std::string& text);

// The script text, in the order it is written. File numbers count from 0.
// The folder name carries its trailing separator.
std::string selfUpdateScriptHead();
// The new file folder + fileName replaces ./installedName (the spelling the
// installation has; fileName when empty).
std::string selfUpdateScriptFileBlock(unsigned number, const std::string& folder, const std::string& fileName,
                                      const std::string& installedName = std::string());
std::string selfUpdateScriptTail(const std::string& folder, const std::string& executableName,
                                 const std::string& realm);

// How long the script waits for the old launcher to end, and how often it
// tries to delete an old file.
constexpr unsigned kSelfUpdateWaitSeconds = 60;
constexpr unsigned kSelfUpdateDeleteTries = 3;

// True when a self-update name would make the script act on something other
// than a plain file of the installation: the temporary folder itself, the
// script's own name (both without regard to case), or a folder that exists.
bool isSelfUpdateNameRefused(const char* name, const std::string& folder, bool existsAsFolder);

// The script's file name inside the temporary folder.
extern const char* const kSelfUpdateScriptName;
