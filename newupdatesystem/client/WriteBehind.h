// CWriteBehind: downloaded files are checksummed (and small ones put in place)
// on a thread of their own while the next ones arrive, since on a fast link
// the MD5 of a file costs as much as receiving it. Work runs in the order
// posted; the bytes it holds are bounded, so a slow checksum holds the
// receiver back instead of filling memory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class CWriteBehind
{
public:
    using Task = std::function<void()>;
    struct Failure
    {
        std::string tag;
        std::exception_ptr error;
    };

    explicit CWriteBehind(size_t maxBytes);
    // Work not begun is dropped; the task under way is waited for.
    ~CWriteBehind();
    CWriteBehind(const CWriteBehind&) = delete;
    CWriteBehind& operator=(const CWriteBehind&) = delete;

    // Queues the task, which holds bytes until it has run; waits while the
    // bytes held would pass the bound (one task alone may). What a task throws
    // is kept with its tag, and the later tasks of that tag are passed over:
    // the work on one file stops at its first failure.
    void post(Task task, size_t bytes, const std::string& tag);
    // Waits until everything posted has run.
    void drain();
    // The failures kept so far, oldest first, taken out.
    std::vector<Failure> takeFailures();
    bool failed() const { return m_failed.load(); }

private:
    struct Entry
    {
        Task task;
        size_t bytes = 0;
        std::string tag;
    };
    void loop();

    const size_t m_maxBytes;
    std::mutex m_mutex;
    std::condition_variable m_work; // something to run, or the end
    std::condition_variable m_room; // bytes given back
    std::deque<Entry> m_queue;
    size_t m_held = 0; // by the queue and the task under way
    bool m_busy = false;
    bool m_ending = false;
    std::vector<Failure> m_failures;
    std::set<std::string> m_failedTags;
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};
