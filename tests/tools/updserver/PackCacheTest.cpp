#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "newupdatesystem/Common/DataFile.h"
#include "support/Sandbox.h"
#include "tools/updserver/PackCache.h"

namespace fs = std::filesystem;

namespace
{
std::string unpacked(const CDataFile& packed)
{
    CDataFile plain;
    plain.unpackFrom(packed.data(), packed.size());
    return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
}

void write(const char* path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}
} // namespace

class PackCacheTest : public SandboxTest
{
};

TEST_F(PackCacheTest, SecondRequestIsServedFromMemory)
{
    write("a.txt", std::string(5000, 'a'));
    CPackCache cache(1 << 20);
    auto first = cache.get(fs::absolute("a.txt"));
    auto second = cache.get(fs::absolute("a.txt"));
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(unpacked(*second), std::string(5000, 'a'));
    EXPECT_EQ(cache.stats().packs, 1u);
    EXPECT_EQ(cache.stats().hits, 1u);
}

TEST_F(PackCacheTest, ChangedFileIsPackedAgain)
{
    write("a.txt", "one");
    CPackCache cache(1 << 20);
    EXPECT_EQ(unpacked(*cache.get(fs::absolute("a.txt"))), "one");
    write("a.txt", "two"); // same size; the time stamp in nanoseconds tells them apart
    struct timespec times[2] = {{0, UTIME_OMIT}, {1000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, "a.txt", times, 0), 0);
    EXPECT_EQ(unpacked(*cache.get(fs::absolute("a.txt"))), "two");
}

TEST_F(PackCacheTest, StaysWithinItsBudget)
{
    CPackCache cache(4000);
    for (int i = 0; i < 10; ++i)
    {
        std::string name = "f" + std::to_string(i);
        std::string text;
        for (int j = 0; j < 3000; ++j)
            text += static_cast<char>((j * 7919 + i * 104729) % 251); // poorly compressible
        write(name.c_str(), text);
        EXPECT_EQ(unpacked(*cache.get(fs::absolute(name))), text);
        EXPECT_LE(cache.stats().bytes, 4000u);
    }
    EXPECT_GE(cache.stats().entries, 1u);
}

TEST_F(PackCacheTest, MissingFileThrowsAndLeavesNothingBehind)
{
    CPackCache cache(1 << 20);
    EXPECT_ANY_THROW(cache.get(fs::absolute("missing")));
    EXPECT_EQ(cache.stats().entries, 0u);
    fs::create_directory("dir");
    EXPECT_ANY_THROW(cache.get(fs::absolute("dir")));
}

TEST_F(PackCacheTest, ConcurrentRequestsPackOnce)
{
    write("big", std::string(2 << 20, 'z'));
    CPackCache cache(64 << 20);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back(
            [&]
            {
                if (cache.get(fs::absolute("big"))->size() > 12)
                    ++good;
            });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), 8);
    EXPECT_EQ(cache.stats().packs, 1u);
}

namespace
{
// Holds the packing threads that reach it until opened; gives up after ten
// seconds so that a broken test cannot hang.
class Gate
{
public:
    void pass()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        ++m_arrived;
        m_changed.notify_all();
        m_changed.wait_for(hold, std::chrono::seconds(10), [this] { return m_isOpen; });
    }
    void open()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_isOpen = true;
        m_changed.notify_all();
    }
    bool waitArrived(int n)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, std::chrono::seconds(10), [&] { return m_arrived >= n; });
    }
    ~Gate() { open(); }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_arrived = 0;
    bool m_isOpen = false;
};

// Bytes that do not compress, the same for the same seed.
std::string noise(size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::string text(n, '\0');
    for (char& c : text)
        c = static_cast<char>(random());
    return text;
}

CPackCache::Options withWorkers(unsigned workers,
                                std::chrono::milliseconds waitLimit = std::chrono::seconds(10))
{
    CPackCache::Options o;
    o.budget = 64 << 20;
    o.workers = workers;
    o.waitLimit = waitLimit;
    return o;
}

std::vector<fs::path> storeEntries(const char* dir)
{
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path());
    return out;
}
} // namespace

TEST_F(PackCacheTest, RestartOnTheSameStoreServesWithoutPackingAndKeepsTheBaseBytes)
{
    write("a.txt", std::string(7000, 'a'));
    write("b.bin", noise(5000, 1));
    {
        CPackCache first(withWorkers(2));
        first.openStore("packs", 1 << 20);
        first.get(fs::absolute("a.txt"));
        first.get(fs::absolute("b.bin"));
        ASSERT_TRUE(first.waitIdle(std::chrono::seconds(10))); // written after the clients have their file
        EXPECT_EQ(first.stats().packs, 2u);
        EXPECT_EQ(first.stats().diskEntries, 2u);
    }
    fs::copy_file("b.bin", "copy.bin"); // same content under another name
    CPackCache second(withWorkers(2));
    second.openStore("packs", 1 << 20);
    auto a = second.get(fs::absolute("a.txt"));
    auto b = second.get(fs::absolute("copy.bin"));
    EXPECT_EQ(second.stats().packs, 0u);
    EXPECT_EQ(second.stats().diskHits, 2u);
    EXPECT_EQ(unpacked(*b), noise(5000, 1));
    // Exactly what packing now would send.
    CDataFile fresh;
    fresh.packFrom(std::string(7000, 'a').data(), 7000);
    ASSERT_EQ(a->size(), fresh.size());
    EXPECT_EQ(std::memcmp(a->data(), fresh.data(), fresh.size()), 0);
}

TEST_F(PackCacheTest, DamagedStoreEntriesArePackedAgainNeverServed)
{
    const std::string text = noise(20000, 2);
    write("f.bin", text);
    auto damage = [](const fs::path& entry, int how)
    {
        std::string bytes;
        {
            std::ifstream in(entry, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        if (how == 0)
            bytes[bytes.size() / 2] ^= 0x40; // a flipped bit in the packed data
        else if (how == 1)
            bytes.resize(bytes.size() - 100); // cut short
        else if (how == 2)
            bytes[4] = 99; // another packing format
        else
            bytes.append("tail"); // trailing bytes
        std::ofstream(entry, std::ios::binary | std::ios::trunc) << bytes;
    };
    {
        CPackCache cache(withWorkers(1));
        cache.openStore("packs", 1 << 20);
        cache.get(fs::absolute("f.bin"));
    }
    for (int how = 0; how < 4; ++how)
    {
        auto entries = storeEntries("packs");
        ASSERT_EQ(entries.size(), 1u) << how;
        damage(entries[0], how);
        CPackCache cache(withWorkers(1));
        cache.openStore("packs", 1 << 20);
        EXPECT_EQ(unpacked(*cache.get(fs::absolute("f.bin"))), text) << how;
        EXPECT_EQ(cache.stats().packs, 1u) << how;
        EXPECT_EQ(cache.stats().diskHits, 0u) << how;
        ASSERT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
        EXPECT_EQ(cache.stats().diskEntries, 1u) << how; // written afresh
    }
    // A temporary file of an interrupted write is cleared away.
    write("packs/x.zpk.1.1.part", "half");
    CPackCache cache(withWorkers(1));
    cache.openStore("packs", 1 << 20);
    EXPECT_FALSE(fs::exists("packs/x.zpk.1.1.part"));
}

TEST_F(PackCacheTest, StoreStaysWithinItsBudgetDroppingTheLeastRecentlyUsed)
{
    std::vector<std::string> names;
    for (unsigned i = 0; i < 5; ++i)
    {
        names.push_back("f" + std::to_string(i));
        write(names.back().c_str(), noise(3000, i + 10));
    }
    // Room for three entries of about 3 KB.
    CPackCache::Options o = withWorkers(1);
    o.budget = 0; // every request goes to the store
    CPackCache cache(o);
    cache.openStore("packs", 10000);
    // The write to disk follows the answer: wait for it.
    auto fetch = [&](int i)
    {
        auto packed = cache.get(fs::absolute(names[i]));
        EXPECT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
        return packed;
    };
    for (int i = 0; i < 3; ++i)
        fetch(i);
    fetch(0); // f0 is now the most recent
    EXPECT_EQ(cache.stats().diskHits, 1u);
    fetch(3); // evicts f1
    fetch(4); // evicts f2
    EXPECT_LE(cache.stats().diskBytes, 10000u);
    uint64_t onDisk = 0;
    for (const fs::path& p : storeEntries("packs"))
        onDisk += fs::file_size(p);
    EXPECT_EQ(onDisk, cache.stats().diskBytes);
    EXPECT_EQ(cache.stats().diskEntries, 3u);
    uint64_t packsBefore = cache.stats().packs;
    EXPECT_EQ(unpacked(*fetch(0)), noise(3000, 10));
    EXPECT_EQ(cache.stats().packs, packsBefore) << "f0 was kept";
    fetch(1);
    EXPECT_EQ(cache.stats().packs, packsBefore + 1) << "f1 was evicted";
}

TEST_F(PackCacheTest, ClientsGoAheadOfPrepackingAndWaitForAPackingUnderWay)
{
    write("slow1", noise(4000, 3));
    write("slow2", noise(4000, 4));
    write("wanted", noise(4000, 5));
    Gate gate;
    CPackCache cache(withWorkers(2)); // prepacking takes one of the two
    cache.setPackHook(
        [&](const fs::path& file)
        {
            if (file.filename().string().rfind("slow", 0) == 0)
                gate.pass();
        });
    cache.prepack(fs::absolute("slow1"));
    cache.prepack(fs::absolute("slow2"));
    cache.prepack(fs::absolute("wanted"));
    ASSERT_TRUE(gate.waitArrived(1));
    // Queued behind the held prepacking, yet served at once.
    EXPECT_EQ(unpacked(*cache.get(fs::absolute("wanted"))), noise(4000, 5));
    EXPECT_EQ(cache.stats().pending, 2u);

    // A client asking for the file being packed waits for that packing.
    std::atomic<bool> served{false};
    std::thread client([&] { served = unpacked(*cache.get(fs::absolute("slow1"))) == noise(4000, 3); });
    gate.open();
    client.join();
    EXPECT_TRUE(served.load());
    EXPECT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(cache.stats().packs, 3u);
    EXPECT_EQ(cache.stats().pending, 0u);
}

TEST_F(PackCacheTest, AWaitPastItsDeadlineFailsClearlyAndThePackingStillLands)
{
    write("held", noise(4000, 6));
    Gate gate;
    CPackCache cache(withWorkers(1, std::chrono::milliseconds(200)));
    cache.setPackHook([&](const fs::path&) { gate.pass(); });
    EXPECT_THROW(cache.get(fs::absolute("held")), std::runtime_error);
    EXPECT_EQ(cache.stats().waitTimeouts, 1u);
    gate.open();
    ASSERT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(unpacked(*cache.get(fs::absolute("held"))), noise(4000, 6));
    EXPECT_EQ(cache.stats().packs, 1u);
}

TEST_F(PackCacheTest, AMissPacksTheNextFilesOfTheListAhead)
{
    std::vector<fs::path> files;
    for (int i = 0; i < 6; ++i)
    {
        files.push_back(fs::absolute("f" + std::to_string(i)));
        write(files.back().c_str(), noise(3000, 20 + i));
    }
    CPackCache::Options o = withWorkers(2);
    o.readAhead = 2;
    CPackCache cache(o);
    cache.setOrder(files);
    cache.get(files[0]);
    ASSERT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(cache.stats().packs, 3u);
    EXPECT_EQ(unpacked(*cache.get(files[1])), noise(3000, 21));
    EXPECT_EQ(unpacked(*cache.get(files[2])), noise(3000, 22));
    EXPECT_EQ(cache.stats().hits, 2u) << "hits read nothing ahead";
    ASSERT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(cache.stats().packs, 3u);
    cache.get(files[5]); // the last: nothing after it
    fs::remove(files[4]);
    cache.get(files[3]); // the next one is gone: nothing to pack, nothing to log
    ASSERT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(cache.stats().packs, 5u);
}

// Packing nobody waits for runs on lowered threads; packing a client waits
// for, or packs ahead for it, keeps the normal priority.
TEST_F(PackCacheTest, OnlyPackingNobodyWaitsForRunsLowered)
{
    std::vector<fs::path> files;
    for (int i = 0; i < 3; ++i)
    {
        files.push_back(fs::absolute("o" + std::to_string(i)));
        write(files.back().c_str(), noise(2000, 40 + i));
    }
    write("spare", noise(2000, 50));
    write("peeked", noise(2000, 51));
    std::mutex lock;
    std::map<std::string, bool> lowered;
    CPackCache::Options o = withWorkers(2);
    o.readAhead = 1;
    CPackCache cache(o);
    cache.setPackHook(
        [&](const fs::path& file)
        {
            std::lock_guard<std::mutex> hold(lock);
            lowered[file.filename().string()] = CWorkerPool::onLoweredThread();
        });
    cache.setOrder(files);
    cache.prepack(fs::absolute("spare"));
    EXPECT_EQ(cache.peek(fs::absolute("peeked")), nullptr);
    cache.get(files[0]); // o1 packed ahead
    ASSERT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(lowered,
              (std::map<std::string, bool>{{"o0", false}, {"o1", false}, {"peeked", true}, {"spare", true}}));
}

// A client waiting for a packing on a lowered thread does not wait on it past
// hurryAfter: the file is packed again at the normal priority and served.
TEST_F(PackCacheTest, AClientWaitingOnALoweredPackingHasItPackedAgain)
{
    write("big", noise(4000, 60));
    Gate gate;
    CPackCache::Options o = withWorkers(2);
    o.hurryAfter = std::chrono::milliseconds(0);
    CPackCache cache(o);
    cache.setPackHook(
        [&](const fs::path&)
        {
            if (CWorkerPool::onLoweredThread())
                gate.pass(); // a starved packing: held until the end
        });
    cache.prepack(fs::absolute("big"));
    ASSERT_TRUE(gate.waitArrived(1));
    EXPECT_EQ(unpacked(*cache.get(fs::absolute("big"))), noise(4000, 60));
    EXPECT_EQ(cache.stats().pending, 1u) << "the lowered packing is still under way";
    EXPECT_EQ(unpacked(*cache.get(fs::absolute("big"))), noise(4000, 60)) << "kept once served";

    gate.open();
    ASSERT_TRUE(cache.waitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(cache.stats().pending, 0u);
    EXPECT_EQ(cache.stats().packs, 2u);
    EXPECT_EQ(cache.stats().entries, 1u) << "the late packing replaces nothing";
    EXPECT_EQ(unpacked(*cache.get(fs::absolute("big"))), noise(4000, 60));
}
