#include "platform/SingleInstance.h"

#include <windows.h>

namespace platform
{

namespace
{

bool safeName(const std::string& name)
{
    if (name.empty() || name.size() > 200)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '-'))
            return false;
    return true;
}

} // namespace

SingleInstanceGuard::~SingleInstanceGuard()
{
    release();
}

// A named mutex that nobody owns: it exists while a handle to it is open and
// vanishes with the last one, however the process ends. The folder is a
// POSIX notion; the session's namespace serves here.
GuardResult SingleInstanceGuard::create(const std::string& name, const std::string&)
{
    release();
    if (!safeName(name))
        return GuardResult::Failed;
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!h)
        return GuardResult::Failed;
    if (GetLastError() == ERROR_ALREADY_EXISTS)
    {
        CloseHandle(h);
        return GuardResult::AlreadyExists;
    }
    m_handle = reinterpret_cast<intptr_t>(h);
    return GuardResult::Created;
}

void SingleInstanceGuard::release()
{
    if (m_handle != -1)
    {
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
        m_handle = -1;
    }
}

} // namespace platform
