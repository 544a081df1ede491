#include "platform/Thread.h"

#include <windows.h>

#include <atomic>
#include <cerrno>

namespace platform
{

struct PlatformThread
{
    HANDLE handle = nullptr;
    std::atomic<bool> resumed{false};
    std::atomic<bool> cancelled{false}; // closed before it was resumed
    std::atomic<int> refs{2};           // the owner's handle and the thread itself
    PlatformThreadProc proc = nullptr;
    void* arg = nullptr;
};

namespace
{

std::atomic<bool> failNextCreate{false};

void release(PlatformThread* t)
{
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    {
        CloseHandle(t->handle);
        delete t;
    }
}

DWORD WINAPI threadEntry(void* p)
{
    auto* t = static_cast<PlatformThread*>(p);
    if (!t->cancelled.load())
        t->proc(t->arg);
    release(t);
    return 0;
}

} // namespace

PlatformThread* platformThreadCreate(PlatformThreadProc proc, void* arg, unsigned stackSize,
                                     uint32_t* threadId)
{
    if (failNextCreate.exchange(false))
    {
        errno = EAGAIN;
        return nullptr;
    }
    auto* t = new PlatformThread;
    t->proc = proc;
    t->arg = arg;
    DWORD id = 0;
    t->handle = CreateThread(nullptr, stackSize, threadEntry, t,
                             CREATE_SUSPENDED | (stackSize ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0), &id);
    if (!t->handle)
    {
        delete t;
        errno = EAGAIN;
        return nullptr;
    }
    if (threadId)
        *threadId = id;
    return t;
}

int platformThreadResume(PlatformThread* t)
{
    t->resumed = true;
    DWORD previous = ResumeThread(t->handle);
    return previous == DWORD(-1) ? 0 : int(previous);
}

bool platformThreadJoin(PlatformThread* t, int64_t milliseconds)
{
    DWORD wait = milliseconds < 0                    ? INFINITE
                 : milliseconds >= int64_t(INFINITE) ? INFINITE - 1
                                                     : DWORD(milliseconds);
    return WaitForSingleObject(t->handle, wait) == WAIT_OBJECT_0;
}

bool platformThreadSetPriority(PlatformThread* t, int priority)
{
    return SetThreadPriority(t->handle, priority) != 0;
}

bool lowerThreadPriority()
{
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST) != 0;
}

int currentThreadPriority()
{
    int priority = GetThreadPriority(GetCurrentThread());
    return priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
}

void platformThreadClose(PlatformThread* t)
{
    // A thread still suspended is let go with nothing to do, so that it ends
    // instead of staying suspended for the life of the process.
    if (!t->resumed.exchange(true))
    {
        t->cancelled = true;
        ResumeThread(t->handle);
    }
    release(t);
}

void platformThreadFailNextCreate()
{
    failNextCreate = true;
}

} // namespace platform
