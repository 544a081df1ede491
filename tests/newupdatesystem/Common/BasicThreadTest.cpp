#include "newupdatesystem/Common/BasicThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "newupdatesystem/Common/LogControl.h"
#include "platform/Environment.h"
#include "platform/Thread.h"
#include "support/Sandbox.h"

namespace
{

// Records the course of the frame; step() runs the action given for the step.
class RecordingThread : public CBasicThread
{
public:
    enum Action
    {
        STEP_DONE,   // returns false
        STEP_MORE,   // returns true
        STEP_CHECK,  // calls checkRun, then returns true
        STEP_SYSTEM, // throws CSystemExcep
        STEP_PROTO,  // throws CProtoExcep
    };

    explicit RecordingThread(std::vector<Action> steps, bool autoDelete = false)
        : CBasicThread(autoDelete, 0), m_steps(std::move(steps))
    {
    }

    std::string events()
    {
        std::lock_guard lock(m_mutex);
        return m_trace;
    }

    bool throwOnStart = false;
    bool throwOnFinish = false;

protected:
    void onStart() override
    {
        add("start ");
        if (throwOnStart)
            throw CSystemExcep(FILE_OPEN, EK_NONE, 0, "start.dat", EXCEP_SITE("Test::onStart"));
    }

    bool step() override
    {
        add("step ");
        Action action = m_next < m_steps.size() ? m_steps[m_next++] : STEP_DONE;
        switch (action)
        {
        case STEP_DONE:
            return false;
        case STEP_MORE:
            return true;
        case STEP_CHECK:
            checkRun();
            --m_next; // keep checking until stopped
            return true;
        case STEP_SYSTEM:
            throw CSystemExcep(FILE_WRITE, EK_ERRNO, 28, "out.dat", EXCEP_SITE("Test::step"));
        case STEP_PROTO:
            throw CProtoExcep(PROTO_BUSY, EXCEP_SITE("Test::step"));
        }
        return false;
    }

    void onFinish() override
    {
        add("finish ");
        if (throwOnFinish)
            throw CSystemExcep(FILE_CLOSE, EK_NONE, 0, "end.dat", EXCEP_SITE("Test::onFinish"));
    }

    void onSystemExcep(const CSystemExcep& e) override
    {
        add("system ");
        CBasicThread::onSystemExcep(e);
    }

    void onExcep(const CExcep& e) override
    {
        add("excep ");
        CBasicThread::onExcep(e);
    }

private:
    void add(const char* what)
    {
        std::lock_guard lock(m_mutex);
        // Steps are recorded once, so a checking loop leaves a short trace.
        if (std::string(what) == "step " && m_trace.find(what) != std::string::npos)
            return;
        m_trace += what;
    }

    std::mutex m_mutex;
    std::string m_trace;
    std::vector<Action> m_steps;
    size_t m_next = 0;
};

// A log in the test's own folder, read back as text.
class ThreadLogTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        platform::setEnvironmentVariable("computername", "THREADS");
        logSetConsoleStream(nullptr);
        logRestart();
    }
    void TearDown() override
    {
        logStop();
        logSetConsoleStream(stdout);
        platform::unsetEnvironmentVariable("computername");
    }
    std::string logText()
    {
        std::ifstream in(logFileName(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static int count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
};

TEST(CThread, WaitRoundsToMilliseconds)
{
    EXPECT_EQ(Threading::CThread::waitMilliseconds(0.0012), 1);
    EXPECT_EQ(Threading::CThread::waitMilliseconds(0.0018), 2);
    EXPECT_EQ(Threading::CThread::waitMilliseconds(0.0), 0);
    EXPECT_EQ(Threading::CThread::waitMilliseconds(0.0004), 0);
    EXPECT_EQ(Threading::CThread::waitMilliseconds(10.0), 10000);
    EXPECT_EQ(Threading::CThread::waitMilliseconds(-1.0), -1);
    EXPECT_EQ(Threading::CThread::waitMilliseconds(-0.0001), -1);
}

TEST(CThread, RunsNothingBeforeResume)
{
    RecordingThread thread({RecordingThread::STEP_DONE});
    ASSERT_TRUE(thread.created());
    EXPECT_NE(thread.getThreadId(), 0u);
    EXPECT_FALSE(thread.wait(0.02)); // a bounded wait that must time out
    EXPECT_EQ(thread.events(), "");
    EXPECT_EQ(thread.resume(), 1);
    EXPECT_TRUE(thread.wait(-1.0));
    EXPECT_EQ(thread.events(), "start step finish ");
    EXPECT_EQ(thread.resume(), 0);
}

TEST(CThread, DestroyedBeforeResumeNeverRuns)
{
    std::atomic<int> calls{0};
    struct Counting : CBasicThread
    {
        explicit Counting(std::atomic<int>& calls) : CBasicThread(false, 0), calls(calls) {}
        void onStart() override { ++calls; }
        std::atomic<int>& calls;
    };
    for (int i = 0; i < 20; ++i)
        Counting thread(calls);
    EXPECT_EQ(calls.load(), 0);
}

TEST(CThread, WaitZeroPollsWhileRunning)
{
    std::atomic<bool> release{false};
    struct Blocking : CBasicThread
    {
        explicit Blocking(std::atomic<bool>& release) : CBasicThread(false, 0), release(release) {}
        void onStart() override
        {
            waitFor([this] { return release.load(); }, std::chrono::seconds(30));
        }
        std::atomic<bool>& release;
    };
    Blocking thread(release);
    thread.resume();
    EXPECT_FALSE(thread.wait(0.0));
    EXPECT_FALSE(thread.wait(0.0012));
    release = true;
    EXPECT_TRUE(thread.wait(-1.0));
    EXPECT_TRUE(thread.wait(0.0));
}

TEST(CThread, AutoDeleteObjectDeletesItselfAfterANormalRun)
{
    std::atomic<bool> destroyed{false};
    struct Self : CBasicThread
    {
        explicit Self(std::atomic<bool>& destroyed) : CBasicThread(true, 0), destroyed(destroyed) {}
        ~Self() override { destroyed = true; }
        std::atomic<bool>& destroyed;
    };
    (new Self(destroyed))->resume();
    EXPECT_TRUE(waitFor([&] { return destroyed.load(); }));
}

TEST_F(ThreadLogTest, CreationFailureIsReportedAndNeverClaimsSuccess)
{
    platform::platformThreadFailNextCreate();
    RecordingThread thread({});
    EXPECT_FALSE(thread.created());
    EXPECT_EQ(thread.resume(), -1);
    EXPECT_TRUE(thread.wait(0.0)); // ended without running: a poller is not kept waiting
    EXPECT_TRUE(thread.wait(-1.0));
    EXPECT_EQ(thread.events(), "");
    EXPECT_EQ(count(logText(), "Thread creation failed, error"), 1);
}

TEST_F(ThreadLogTest, StopBeforeResumeRunsStartAndFinishOnly)
{
    RecordingThread thread({RecordingThread::STEP_CHECK});
    thread.setRunning(false);
    EXPECT_FALSE(thread.isRunning());
    thread.resume();
    ASSERT_TRUE(thread.wait(-1.0));
    EXPECT_EQ(thread.events(), "start step finish ");
    EXPECT_EQ(logText().find("xception"), std::string::npos); // a stop logs nothing
}

TEST_F(ThreadLogTest, StopRequestReachesARunningThread)
{
    RecordingThread thread({RecordingThread::STEP_MORE, RecordingThread::STEP_CHECK});
    thread.resume();
    EXPECT_TRUE(waitFor([&] { return thread.events().find("step") != std::string::npos; }));
    EXPECT_FALSE(thread.wait(0.0));
    thread.setRunning(false);
    ASSERT_TRUE(thread.wait(30.0));
    EXPECT_EQ(thread.events(), "start step finish ");
}

TEST_F(ThreadLogTest, StepsRunUntilOneReturnsFalse)
{
    RecordingThread thread(
        {RecordingThread::STEP_MORE, RecordingThread::STEP_MORE, RecordingThread::STEP_DONE});
    thread.resume();
    ASSERT_TRUE(thread.wait(-1.0));
    EXPECT_EQ(thread.events(), "start step finish ");
    EXPECT_TRUE(thread.isRunning()); // the classes never touch the flag themselves
}

TEST_F(ThreadLogTest, SystemExceptionFromStartSkipsFinish)
{
    RecordingThread thread({});
    thread.throwOnStart = true;
    thread.resume();
    ASSERT_TRUE(thread.wait(-1.0));
    EXPECT_EQ(thread.events(), "start system ");
    std::string log = logText();
    EXPECT_EQ(count(log, "System exception at "), 1);
    EXPECT_NE(log.find("System exception at FILE_OPEN, code 0:  'start.dat', source "), std::string::npos);
    EXPECT_NE(log.find("Test::onStart(), compiled: "), std::string::npos);
}

TEST_F(ThreadLogTest, SystemExceptionFromStepShowsErrnoText)
{
    RecordingThread thread({RecordingThread::STEP_SYSTEM});
    thread.resume();
    ASSERT_TRUE(thread.wait(-1.0));
    EXPECT_EQ(thread.events(), "start step system ");
    std::string expected =
        std::string("System exception at FILE_WRITE, code 28: ") + std::strerror(28) + " 'out.dat'";
    EXPECT_NE(logText().find(expected), std::string::npos) << logText();
}

TEST_F(ThreadLogTest, SystemExceptionFromFinishIsReported)
{
    RecordingThread thread({});
    thread.throwOnFinish = true;
    thread.resume();
    ASSERT_TRUE(thread.wait(-1.0));
    EXPECT_EQ(thread.events(), "start step finish system ");
    EXPECT_EQ(count(logText(), "System exception at FILE_CLOSE"), 1);
}

TEST_F(ThreadLogTest, OtherExceptionReachesOnExcepAndKeepsAutoDeleteObject)
{
    auto* thread = new RecordingThread({RecordingThread::STEP_PROTO}, true);
    thread->resume();
    ASSERT_TRUE(thread->wait(-1.0)); // not deleted: the exception path keeps it
    EXPECT_EQ(thread->events(), "start step excep ");
    std::string log = logText();
    EXPECT_EQ(count(log, "Exception 8 from: "), 1);
    EXPECT_NE(log.find("Test::step(), compiled: "), std::string::npos);
    delete thread;
}

TEST_F(ThreadLogTest, StandardExceptionEndsOnlyTheThread)
{
    struct Throwing : CBasicThread
    {
        Throwing() : CBasicThread(false, 0) {}
        bool step() override { throw std::length_error("list too long"); }
    };
    Throwing thread;
    thread.resume();
    ASSERT_TRUE(thread.wait(-1.0));
    EXPECT_NE(logText().find(": list too long"), std::string::npos);
}

TEST(CCritSection, IsRecursive)
{
    CCritSection section;
    section.enter();
    section.enter();
    std::atomic<bool> entered{false};
    std::thread other(
        [&]
        {
            section.enter();
            entered = true;
            section.leave();
        });
    section.leave();
    EXPECT_FALSE(waitFor([&] { return entered.load(); }, std::chrono::milliseconds(20)));
    EXPECT_TRUE(section.heldByCurrentThread());
    section.leave();
    EXPECT_TRUE(waitFor([&] { return entered.load(); }));
    other.join();
    EXPECT_FALSE(section.heldByCurrentThread());
}

TEST(CCritLock, LeavesWhenAnExceptionPasses)
{
    CCritSection section;
    try
    {
        section.enter();
        CCritLock hold(section);
        throw CUpdExcep(UPD_SELF_LIST, EXCEP_SITE("Test"));
    }
    catch (const CExcep&)
    {
    }
    EXPECT_FALSE(section.heldByCurrentThread());
}

TEST(CCritLock, ReleasedHolderDoesNotLeaveAgain)
{
    CCritSection section;
    section.enter();
    {
        section.enter();
        CCritLock hold(section);
        section.leave();
        hold.release();
    }
    EXPECT_TRUE(section.heldByCurrentThread());
    section.leave();
    EXPECT_FALSE(section.heldByCurrentThread());
}

TEST(CCritLockDeathTest, RefusesASectionTheCallerHasNotEntered)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CCritSection section;
    EXPECT_DEATH({ CCritLock hold(section); }, "not entered");
}

} // namespace
