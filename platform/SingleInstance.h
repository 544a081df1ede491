// A named guard that exists while some process holds it and vanishes with the
// last holder, like a named mutex that nobody owns (on Windows it is one). On
// POSIX systems it is an advisory lock on a per-user file; the lock is released
// by the kernel when the process ends, however it ends.
#pragma once

#include <cstdint>
#include <string>

namespace platform
{

enum class GuardResult
{
    Created = 0,       // this process now holds the guard
    AlreadyExists = 1, // another process holds it
    Failed = 2,        // the guard could not be made; run unguarded
};

class SingleInstanceGuard
{
public:
    SingleInstanceGuard() = default;
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // folder empty: $XDG_RUNTIME_DIR when set and usable, else /tmp with the
    // user id in the file name. The name may only hold letters, digits, '_'
    // and '-'; anything else fails.
    GuardResult create(const std::string& name, const std::string& folder = std::string());
    bool held() const { return m_handle != -1; }
    // Gives the guard up early; the destructor does the same.
    void release();

private:
    // The lock file's descriptor or the mutex handle; -1 when not held.
    intptr_t m_handle = -1;
};

} // namespace platform
