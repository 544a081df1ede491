// Uploads streamed to disk: whatever their chunking, and refused when they
// unpack beyond the limit or their own header.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "newupdatesystem/Common/DataFile.h"
#include "support/Sandbox.h"
#include "tools/updserver/UploadStore.h"

namespace fs = std::filesystem;

namespace
{
std::string packed(const std::string& plain)
{
    CDataFile p;
    p.packFrom(plain.data(), static_cast<uint32_t>(plain.size()));
    return std::string(reinterpret_cast<const char*>(p.data()), p.size());
}

std::string mixed(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
    {
        seed = seed * 1103515245u + 12345u;
        s[i] = i % 3 ? char(seed >> 24) : 'a';
    }
    return s;
}

std::string readAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void putLe(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + i] = char(v >> (8 * i));
}

// Feeds bytes in chunks of the given sizes, round and round; false as soon
// as the store refuses.
bool feed(CUploadStore& store, const std::string& bytes, std::initializer_list<size_t> sizes)
{
    size_t at = 0;
    while (at < bytes.size())
    {
        for (size_t n : sizes)
        {
            n = std::min(n, bytes.size() - at);
            if (!store.append(bytes.data() + at, static_cast<uint32_t>(n)))
                return false;
            at += n;
            if (at == bytes.size())
                break;
        }
    }
    return true;
}

size_t filesIn(const fs::path& dir)
{
    size_t n = 0;
    for (auto& e : fs::directory_iterator(dir))
    {
        (void)e;
        ++n;
    }
    return n;
}
} // namespace

class UploadStoreTest : public SandboxTest
{
};

TEST_F(UploadStoreTest, StreamsChunksOfAnySizeIntoPlaceWithTheirTime)
{
    std::string plain = mixed(300000, 7);
    for (auto sizes : {std::initializer_list<size_t>{1, 5, 11}, {16360}, {12, 100000}})
    {
        fs::remove_all("tree");
        CUploadStore store(fs::path("tree/a/b/file.bin"), 1 << 20);
        ASSERT_TRUE(store.open());
        ASSERT_TRUE(feed(store, packed(plain), sizes)) << store.failure();
        ASSERT_TRUE(store.commit(1000000000)) << store.failure();
        EXPECT_EQ(readAll("tree/a/b/file.bin"), plain);
        struct stat st;
        ASSERT_EQ(::stat("tree/a/b/file.bin", &st), 0);
        EXPECT_EQ(st.st_mtime, 1000000000);
        EXPECT_EQ(filesIn("tree/a/b"), 1u) << "no temporary file is left";
    }
    // An empty file is an upload like any other.
    CUploadStore empty(fs::path("tree/empty.txt"), 1 << 20);
    ASSERT_TRUE(empty.open());
    ASSERT_TRUE(feed(empty, packed(""), {3}));
    ASSERT_TRUE(empty.commit(5));
    EXPECT_TRUE(fs::exists("tree/empty.txt"));
    EXPECT_EQ(fs::file_size("tree/empty.txt"), 0u);
}

TEST_F(UploadStoreTest, RefusesWhatUnpacksBeyondTheLimitOrItsHeaderAndKeepsTheOldFile)
{
    fs::create_directory("tree");
    std::ofstream("tree/f") << "old";
    auto refused = [](const std::string& bytes, uint64_t limit, const char* what)
    {
        CUploadStore store(fs::path("tree/f"), limit);
        ASSERT_TRUE(store.open());
        feed(store, bytes, {1000});
        EXPECT_FALSE(store.commit(1)) << what;
        EXPECT_FALSE(store.failure().empty()) << what;
        EXPECT_EQ(readAll("tree/f"), "old") << what;
        EXPECT_EQ(filesIn("tree"), 1u) << what << ": the temporary file is removed";
    };
    std::string zeros = packed(std::string(8 << 20, '\0'));
    {
        // A bomb is refused on its header, before anything is unpacked.
        CUploadStore store(fs::path("tree/f"), 1 << 20);
        ASSERT_TRUE(store.open());
        EXPECT_FALSE(store.append(zeros.data(), 12));
        EXPECT_NE(store.failure().find("limit"), std::string::npos) << store.failure();
    }
    refused(zeros, 1 << 20, "over the limit");

    std::string lying = zeros;
    putLe(lying, 4, 1000);
    refused(lying, 64 << 20, "more than the header says");

    refused(zeros.substr(0, zeros.size() - 10), 64 << 20, "cut short");
    refused("this is not packed data at all", 64 << 20, "not packed");

    std::string trailing = packed("abc") + "more";
    putLe(trailing, 8, static_cast<uint32_t>(trailing.size() - 12));
    refused(trailing, 64 << 20, "bytes after the stream");

    std::string corrupt = packed(mixed(5000, 1));
    corrupt[corrupt.size() / 2] ^= 0x55;
    refused(corrupt, 64 << 20, "corrupt stream");

    fs::create_directory("tree/dir");
    CUploadStore onFolder(fs::path("tree/dir"), 1 << 20);
    EXPECT_FALSE(onFolder.open()) << "an upload never replaces a folder";
}
