// Worker threads of the update system: a recursive critical section with its
// scoped holder, a thread created suspended, and the basic thread with its run
// flag, stop exception and start-steps-finish frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "newupdatesystem/Common/Excep.h"

namespace platform
{
struct PlatformThread;
}

// A recursive critical section: the thread that holds it may enter it again and
// must leave it as often as it entered.
class CCritSection
{
public:
    CCritSection() = default;
    // Aborts the process when the section is still held: destroying a held lock
    // is always a bug and would otherwise deadlock or corrupt later.
    ~CCritSection();
    CCritSection(const CCritSection&) = delete;
    CCritSection& operator=(const CCritSection&) = delete;

    void enter();
    void leave();
    bool heldByCurrentThread() const;

private:
    std::recursive_mutex m_mutex;
    std::atomic<std::thread::id> m_owner{};
    int m_depth = 0; // only touched by the owner
};

// Scoped holder of a section that the caller has ALREADY entered:
//     lock.enter(); CCritLock hold(lock); ... may throw ...
// The holder leaves the section when it goes out of scope, unless the caller
// left it by hand and then called release(). It does not enter by itself; it
// aborts when constructed on a section the calling thread does not hold.
class CCritLock
{
public:
    explicit CCritLock(CCritSection& section);
    ~CCritLock();
    CCritLock(const CCritLock&) = delete;
    CCritLock& operator=(const CCritLock&) = delete;
    CCritLock(CCritLock&&) = delete;
    CCritLock& operator=(CCritLock&&) = delete;

    // The caller has left the section by hand; the holder no longer leaves it.
    void release() { m_section = nullptr; }

private:
    CCritSection* m_section;
};

namespace Threading
{

// One operating-system thread running the object's run(). The thread is created
// suspended in the constructor and runs none of run() before resume().
// A CExcep escaping run() goes to onExcep, a std::exception is logged; either
// way the object is not deleted, and after a normal return it is deleted when
// autoDelete is set.
// The owner must not destroy the object while its thread runs; destroying an
// object whose thread was never resumed is safe (the thread then never runs).
class CThread
{
public:
    // priority is a Windows thread priority (0 normal); it is not applied here.
    // When the thread cannot be created, the failure is logged, created() is
    // false, resume() returns -1 and wait() returns true at once: the work has
    // ended without running, so an owner that polls wait() is not kept waiting
    // forever and finds its worker's result still at its initial (failed) value.
    CThread(bool autoDelete, int priority, unsigned stackSize);
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Lets the thread run; the previous suspend count (1 the first time, 0
    // after), or -1 when there is no thread.
    int resume();
    // Waits for the thread to end: without limit when seconds is negative, else
    // for waitMilliseconds(seconds) ms (0 polls). True when the thread has ended
    // (or was never created).
    bool wait(double seconds);
    bool created() const { return m_handle != nullptr; }
    uint32_t getThreadId() const { return m_threadId; }

    // seconds * 1000 + 0.5 truncated towards zero; -1 (no limit) when negative.
    static int64_t waitMilliseconds(double seconds);

protected:
    virtual void run() = 0;
    // Called on the thread with a CExcep that escaped run(); logs
    // "Exception %d from: %s".
    virtual void onExcep(const CExcep& e);

private:
    static void threadProc(void* self);

    bool m_autoDelete;
    uint32_t m_threadId;
    platform::PlatformThread* m_handle;
};

} // namespace Threading

// A worker with a run flag: the owner clears the flag (setRunning(false)) to ask
// the worker to stop; the worker sees it at its check points (checkRun), which
// unwind it with CStopExcep. run() calls onStart, then step while it returns
// true, then onFinish, and reports a CSystemExcep through onSystemExcep.
class CBasicThread : public Threading::CThread
{
public:
    class CStopExcep : public CExcep
    {
    public:
        explicit CStopExcep(const CThrowSite& site) : CExcep(0, site) {}
        CStopExcep(int32_t code, const CThrowSite& site) : CExcep(code, site) {}
    };

    CBasicThread(bool autoDelete, int priority);
    ~CBasicThread() override;

    void setRunning(bool value);
    bool isRunning() const;
    // Throws CStopExcep; never returns.
    [[noreturn]] static void stopRun();
    // Throws CStopExcep when the run flag is cleared.
    void checkRun() const;

protected:
    void run() override;
    virtual void onStart();
    virtual void onFinish();
    virtual bool step();
    // Logs "System exception at %s, code %u: %s '%s', source %s".
    virtual void onSystemExcep(const CSystemExcep& e);

private:
    bool m_running;
    mutable CCritSection m_runLock;
};
