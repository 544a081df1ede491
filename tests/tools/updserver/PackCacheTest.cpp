#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
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
    for (int i = 0; i < 10; ++i) {
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
        threads.emplace_back([&] {
            if (cache.get(fs::absolute("big"))->size() > 12)
                ++good;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), 8);
    EXPECT_EQ(cache.stats().packs, 1u);
}
