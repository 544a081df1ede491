#include "newupdatesystem/Common/BasicThread.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "newupdatesystem/Common/Log.h"
#include "platform/Thread.h"

namespace
{

[[noreturn]] void lockMisuse(const char* what)
{
    std::fprintf(stderr, "CCritSection misuse: %s\n", what);
    std::abort();
}

} // namespace

CCritSection::~CCritSection()
{
    if (m_owner.load() != std::thread::id())
        lockMisuse("destroyed while held");
}

void CCritSection::enter()
{
    m_mutex.lock();
    if (m_depth++ == 0)
        m_owner.store(std::this_thread::get_id());
}

void CCritSection::leave()
{
    if (!heldByCurrentThread())
        lockMisuse("left by a thread that does not hold it");
    if (--m_depth == 0)
        m_owner.store(std::thread::id());
    m_mutex.unlock();
}

bool CCritSection::heldByCurrentThread() const
{
    return m_owner.load() == std::this_thread::get_id();
}

CCritLock::CCritLock(CCritSection& section) : m_section(&section)
{
    if (!section.heldByCurrentThread())
        lockMisuse("CCritLock on a section the caller has not entered");
}

CCritLock::~CCritLock()
{
    if (m_section)
        m_section->leave();
}

namespace Threading
{

CThread::CThread(bool autoDelete, int priority, unsigned stackSize)
    : m_autoDelete(autoDelete), m_threadId(0), m_handle(nullptr)
{
    m_handle = platform::platformThreadCreate(&CThread::threadProc, this, stackSize, &m_threadId);
    if (!m_handle)
    {
        // Reported here so that an owner that only looks at its worker's
        // result still finds the cause in the log.
        int err = errno;
        logError("Thread creation failed, error %d: %s", err, std::strerror(err));
        return;
    }
    platform::platformThreadSetPriority(m_handle, priority);
}

CThread::~CThread()
{
    if (m_handle)
        platform::platformThreadClose(m_handle);
}

int CThread::resume()
{
    if (!m_handle)
        return -1;
    return platform::platformThreadResume(m_handle);
}

bool CThread::wait(double seconds)
{
    if (!m_handle)
        return true;
    return platform::platformThreadJoin(m_handle, waitMilliseconds(seconds));
}

int64_t CThread::waitMilliseconds(double seconds)
{
    if (seconds < 0 || std::isnan(seconds))
        return -1;
    double ms = seconds * 1000.0 + 0.5;
    if (ms >= 9.0e15)
        return -1;
    return static_cast<int64_t>(ms);
}

void CThread::onExcep(const CExcep& e)
{
    std::string source;
    e.formatSource(source);
    logError("Exception %d from: %s", e.code, source.c_str());
}

void CThread::threadProc(void* self)
{
    auto* thread = static_cast<CThread*>(self);
    try
    {
        thread->run();
    }
    catch (const CExcep& e)
    {
        thread->onExcep(e);
        return;
    }
    catch (const std::exception& e)
    {
        // Left to run, a standard exception (out of memory, a bad length)
        // would end the whole process; the worker ends and its owner sees that.
        logError("Exception from thread %u: %s", thread->m_threadId, e.what());
        return;
    }
    if (thread->m_autoDelete)
        delete thread;
}

} // namespace Threading

CBasicThread::CBasicThread(bool autoDelete, int priority) : CThread(autoDelete, priority, 0), m_running(true)
{
}

CBasicThread::~CBasicThread() = default;

void CBasicThread::setRunning(bool value)
{
    m_runLock.enter();
    m_running = value;
    m_runLock.leave();
}

bool CBasicThread::isRunning() const
{
    m_runLock.enter();
    bool value = m_running;
    m_runLock.leave();
    return value;
}

void CBasicThread::stopRun()
{
    throw CStopExcep(EXCEP_HERE());
}

void CBasicThread::checkRun() const
{
    if (!isRunning())
        stopRun();
}

void CBasicThread::run()
{
    try
    {
        onStart();
        while (step())
        {
        }
    }
    catch (const CStopExcep&)
    {
    }
    catch (const CSystemExcep& e)
    {
        onSystemExcep(e);
        return;
    }

    try
    {
        onFinish();
    }
    catch (const CStopExcep&)
    {
    }
    catch (const CSystemExcep& e)
    {
        onSystemExcep(e);
    }
}

void CBasicThread::onStart() {}

void CBasicThread::onFinish() {}

bool CBasicThread::step()
{
    return false;
}

void CBasicThread::onSystemExcep(const CSystemExcep& e)
{
    std::string text;
    e.errorText(text);
    std::string source;
    e.formatSource(source);
    logError("System exception at %s, code %u: %s '%s', source %s", e.codeName(),
             static_cast<unsigned>(e.errorNumber), text.c_str(), e.subject.c_str(), source.c_str());
}
