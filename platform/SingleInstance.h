// A named guard that exists while some process holds it and vanishes with the
// last holder, like a named mutex that nobody owns. Implemented as an advisory
// lock on a per-user file; the lock is released by the kernel when the process
// ends, however it ends.
#pragma once

#include <string>

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
    bool held() const { return m_fd >= 0; }
    // Gives the guard up early; the destructor does the same.
    void release();

private:
    int m_fd = -1;
};
