#include "platform/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

namespace platform
{

struct PlatformThread
{
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false; // the thread has reported its id
    bool resumed = false;
    bool cancelled = false; // closed before it was resumed
    bool ended = false;
    std::atomic<int> refs{2}; // the owner's handle and the thread itself
    pthread_t id{};
    uint32_t systemId = 0;
    PlatformThreadProc proc = nullptr;
    void* arg = nullptr;
};

namespace
{

std::atomic<bool> failNextCreate{false};

void release(PlatformThread* t)
{
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete t;
}

void* threadEntry(void* p)
{
    auto* t = static_cast<PlatformThread*>(p);
    bool run;
    {
        std::unique_lock lock(t->mutex);
        t->systemId = static_cast<uint32_t>(gettid());
        t->started = true;
        t->changed.notify_all();
        t->changed.wait(lock, [t] { return t->resumed || t->cancelled; });
        run = !t->cancelled;
    }
    if (run)
        t->proc(t->arg);
    {
        std::lock_guard lock(t->mutex);
        t->ended = true;
        t->changed.notify_all();
    }
    release(t);
    return nullptr;
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

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attr, std::max<size_t>(stackSize, PTHREAD_STACK_MIN));
    int rc = pthread_create(&t->id, &attr, threadEntry, t);
    pthread_attr_destroy(&attr);
    if (rc != 0)
    {
        delete t;
        errno = rc;
        return nullptr;
    }
    std::unique_lock lock(t->mutex);
    t->changed.wait(lock, [t] { return t->started; });
    if (threadId)
        *threadId = t->systemId;
    return t;
}

int platformThreadResume(PlatformThread* t)
{
    std::lock_guard lock(t->mutex);
    if (t->resumed)
        return 0;
    t->resumed = true;
    t->changed.notify_all();
    return 1;
}

bool platformThreadJoin(PlatformThread* t, int64_t milliseconds)
{
    std::unique_lock lock(t->mutex);
    if (milliseconds < 0)
    {
        t->changed.wait(lock, [t] { return t->ended; });
        return true;
    }
    return t->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [t] { return t->ended; });
}

bool platformThreadSetPriority(PlatformThread*, int)
{
    return true;
}

// On Linux a thread has its own nice value, set through its thread id.
bool lowerThreadPriority()
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19) == 0;
}

int currentThreadPriority()
{
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    return errno == 0 ? -nice : 0;
}

void platformThreadClose(PlatformThread* t)
{
    bool join = false;
    {
        std::lock_guard lock(t->mutex);
        if (!t->resumed)
        {
            t->cancelled = true;
            t->changed.notify_all();
        }
        // A thread that has ended (or will end at once, being cancelled) is
        // joined so nothing of it outlives the handle; a running one, or the
        // calling thread itself, is detached.
        join = (t->ended || t->cancelled) && !pthread_equal(pthread_self(), t->id);
    }
    if (join)
        pthread_join(t->id, nullptr);
    else
        pthread_detach(t->id);
    release(t);
}

void platformThreadFailNextCreate()
{
    failNextCreate = true;
}

} // namespace platform
