// What the server takes from disk on trust, and what it refuses before
// reading: the cache folder's owner and mode, entries planted there, names
// prepared for its temporary files, a budget shared with other servers, and
// files that could never be served whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Md5.h"
#include "platform/Process.h"
#include "support/Sandbox.h"
#include "tools/updserver/PackCache.h"
#include "tools/updserver/PackStore.h"

namespace fs = std::filesystem;

namespace
{
CDataFile packedOf(const std::string& plain)
{
    CDataFile p;
    p.packFrom(plain.data(), static_cast<uint32_t>(plain.size()));
    return p;
}

struct Content
{
    explicit Content(const std::string& text) : plain(text) { CMd5::digest(text.data(), text.size(), md5); }
    std::string plain;
    uint8_t md5[16] = {};
    uint32_t size() const { return static_cast<uint32_t>(plain.size()); }
};

std::string readAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

uint64_t folderBytes(const fs::path& dir)
{
    uint64_t total = 0;
    for (auto& e : fs::directory_iterator(dir))
        total += e.file_size();
    return total;
}
} // namespace

class PackTrustTest : public SandboxTest
{
};

TEST_F(PackTrustTest, ACacheFolderOthersCouldChangeIsRefused)
{
    fs::create_directory("open");
    fs::permissions("open", fs::perms::all);
    EXPECT_THROW(CPackStore("open", 1 << 20), std::runtime_error) << "writable by anyone";
    fs::create_directory("mine");
    fs::create_directory_symlink("mine", "linked");
    EXPECT_THROW(CPackStore("linked", 1 << 20), std::runtime_error) << "a link to a folder";
    if (geteuid() == 0)
    {
        fs::create_directory("theirs");
        ASSERT_EQ(chown("theirs", 4321, 4321), 0);
        EXPECT_THROW(CPackStore("theirs", 1 << 20), std::runtime_error) << "another user's";
    }
    CPackStore made("new/packs", 1 << 20);
    struct stat st;
    ASSERT_EQ(stat("new/packs", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "a folder it makes is its own alone";
}

TEST_F(PackTrustTest, AnEntryWhoseContentIsNotItsKeyIsNeverServed)
{
    Content wanted("the bytes a client asked for"), other("something else entirely");
    {
        CPackStore store("packs", 1 << 20);
        // A valid head and CRC, under the key of other content.
        store.save(wanted.md5, wanted.size(), packedOf(other.plain + std::string(5, 'x')));
        store.save(other.md5, other.size(), packedOf(other.plain));
    }
    CPackStore reopened("packs", 1 << 20);
    EXPECT_EQ(reopened.load(wanted.md5, wanted.size()), nullptr);
    EXPECT_EQ(reopened.stats().damaged, 1u);
    EXPECT_FALSE(fs::exists("packs/" + CPackStore::entryName(wanted.md5, wanted.size())));
    ASSERT_NE(reopened.load(other.md5, other.size()), nullptr) << "a true entry is used";
    // A check of its own for entries keyed otherwise.
    EXPECT_NE(reopened.load(other.md5, other.size(), [](const CDataFile&) { return false; }), nullptr)
        << "checked once: the first load vouched for it";
}

TEST_F(PackTrustTest, ANamePreparedForATemporaryFileIsNotWrittenThrough)
{
    std::ofstream("victim.txt") << "keep me";
    Content c("packed for the cache");
    CPackStore store("packs", 1 << 20);
    const std::string temp = CPackStore::entryName(c.md5, c.size()) + "." +
                             std::to_string(platform::currentProcessId()) + ".1.part";
    fs::create_symlink(fs::absolute("victim.txt"), "packs/" + temp);
    store.save(c.md5, c.size(), packedOf(c.plain));
    EXPECT_EQ(readAll("victim.txt"), "keep me");
    EXPECT_EQ(store.load(c.md5, c.size()), nullptr) << "nothing stored through the link";
}

TEST_F(PackTrustTest, ServersSharingAFolderShareItsBudget)
{
    constexpr uint64_t kBudget = 64 << 10;
    CPackStore a("packs", kBudget), b("packs", kBudget);
    a.setRescanInterval(std::chrono::milliseconds(0));
    b.setRescanInterval(std::chrono::milliseconds(0));
    auto noise = [](int seed)
    {
        std::string s(10000, '\0');
        uint32_t x = uint32_t(seed);
        for (char& ch : s)
            ch = char((x = x * 1103515245u + 12345u) >> 24);
        return s;
    };
    for (int i = 0; i < 5; ++i)
    {
        Content ca(noise(i)), cb(noise(100 + i));
        a.save(ca.md5, ca.size(), packedOf(ca.plain));
        b.save(cb.md5, cb.size(), packedOf(cb.plain));
    }
    EXPECT_LE(folderBytes("packs"), kBudget);
}

TEST_F(PackTrustTest, AFileThatCannotBeServedWholeIsRefusedBeforeReadingAndTheRefusalRemembered)
{
    {
        std::ofstream("huge.bin", std::ios::binary);
    }
    fs::resize_file("huge.bin", uint64_t(600) << 20); // sparse: no disk used
    std::string noise(20000, '\0');
    uint32_t x = 7;
    for (char& ch : noise)
        ch = char((x = x * 1103515245u + 12345u) >> 24);
    std::ofstream("noise.bin", std::ios::binary) << noise;

    CPackCache::Options o;
    o.maxPacked = 10000; // noise packs to more
    CPackCache cache(o);
    std::atomic<int> reads{0};
    cache.setPackHook([&](const fs::path&) { ++reads; });
    EXPECT_THROW(cache.get(fs::absolute("huge.bin")), std::runtime_error);
    EXPECT_EQ(reads.load(), 0) << "beyond what a packed file can hold: not even read";
    EXPECT_THROW(cache.get(fs::absolute("noise.bin")), std::runtime_error);
    EXPECT_THROW(cache.get(fs::absolute("noise.bin")), std::runtime_error);
    EXPECT_EQ(reads.load(), 1) << "packed once; the refusal is remembered";
    std::ofstream("noise.bin", std::ios::binary) << "small now";
    EXPECT_NE(cache.get(fs::absolute("noise.bin")), nullptr) << "a changed file is packed again";
}

namespace
{
// A field of /proc/self/status in KiB, or -1.
long statusKib(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field)));
    return -1;
}
} // namespace

// The peak resident size is the kernel's own counter, reset before the
// request: a file read whole shows as its size however briefly it is held.
TEST_F(PackTrustTest, AFileThatPacksTooLargeIsRefusedWithoutBeingHeldWhole)
{
    constexpr uint32_t kFile = 48u << 20;
    {
        std::string noise(kFile, '\0');
        uint32_t x = 11;
        for (char& ch : noise)
            ch = char((x = x * 1103515245u + 12345u) >> 24);
        std::ofstream("noise.bin", std::ios::binary) << noise;
    }
    CPackCache::Options o;
    o.maxPacked = 4u << 20;
    o.workers = 1;
    CPackCache cache(o);
    std::atomic<int> reads{0};
    cache.setPackHook([&](const fs::path&) { ++reads; });
    if (!(std::ofstream("/proc/self/clear_refs") << "5" << std::flush))
        GTEST_SKIP() << "the peak resident size cannot be reset here";
    const long before = statusKib("VmRSS:");
    ASSERT_GT(before, 0);
    EXPECT_THROW(cache.get(fs::absolute("noise.bin")), std::runtime_error);
    const long peak = statusKib("VmHWM:");
    RecordProperty("peakGrowthKiB", static_cast<int>(peak - before));
    EXPECT_EQ(reads.load(), 1);
    // The cap, one block read and the packer's state; never the file.
    EXPECT_LT(peak - before, 12L << 10)
        << "peak grew by " << (peak - before) << " KiB for a file of " << (kFile >> 10) << " KiB";
    EXPECT_THROW(cache.get(fs::absolute("noise.bin")), std::runtime_error);
    EXPECT_EQ(reads.load(), 1) << "the refusal is remembered";
}
