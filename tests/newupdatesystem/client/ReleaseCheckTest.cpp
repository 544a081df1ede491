// The client's judgement of signed releases, without a server: key rotation,
// the kept state and the checks of lists and files.
#include <gtest/gtest.h>

#include <fstream>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/client/ReleaseCheck.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{
constexpr uint64_t kNow = 1800000000;

struct Key
{
    platform::PrivateKey priv;
    platform::PublicKey pub;
    Key() { platform::generateKeyPair(priv, pub); }
    void save(const std::string& file) const
    {
        std::ofstream(file, std::ios::binary) << KeyFile::encodePublic(pub);
    }
};

std::vector<uint8_t> envelope(const Key& by, uint64_t release, const Key* next = nullptr,
                              uint64_t expires = kNow + 1000)
{
    ReleaseManifest m;
    m.release = release;
    m.expires = expires;
    if (next)
        m.nextKey = next->pub;
    m.ignoreSha256 = platform::CSha256::digest("", 0);
    m.tree["a.txt"] = ManifestEntry{false, 3, platform::CSha256::digest("abc", 3)};
    m.tree["sub"] = ManifestEntry{true, 0, {}};
    SignedRelease s;
    s.manifest = m.encode();
    s.signature = platform::signMessage(by.priv, by.pub, s.manifest.data(), s.manifest.size());
    const std::string text = s.encode();
    return std::vector<uint8_t>(text.begin(), text.end());
}

void fillList(CFileList& list, uint32_t flags = 0, uint64_t size = 3)
{
    FileInfo file;
    file.size = size;
    file.flags = flags;
    list.updateFileInfo("a.txt", file);
    FileInfo folder;
    folder.flags = FI_FOLDER;
    list.updateFileInfo("sub/", folder);
}

bool refused(const std::function<void()>& step)
{
    try
    {
        step();
    }
    catch (const CSystemExcep& e)
    {
        return e.code == Z_CORRUPTED;
    }
    return false;
}
} // namespace

class ReleaseCheckTest : public SandboxTest
{
protected:
    // One update run: manifest, then the three lists; false when refused.
    bool run(const std::vector<uint8_t>& bytes, uint64_t now = kNow)
    {
        CReleaseCheck check("trusted.pub", "files.lst.trust", CReleaseCheck::Job::Update);
        return !refused(
            [&]
            {
                check.acceptManifest(bytes, now);
                CFileList list;
                fillList(list);
                check.checkList("list", list);
                check.checkIgnore("", 0);
                CFileList self;
                check.checkList("self_upd", self);
            });
    }
    std::string state() { return fs::exists("files.lst.trust") ? readAll("files.lst.trust") : ""; }
    static std::string readAll(const char* path)
    {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(ReleaseCheckTest, RollbackExpiryAndForeignKeysLeaveTheStateAlone)
{
    Key root, stranger;
    root.save("trusted.pub");
    ASSERT_TRUE(run(envelope(root, 5)));
    const std::string kept = state();
    EXPECT_NE(kept.find("release 5\n"), std::string::npos);

    EXPECT_FALSE(run(envelope(root, 4)));              // rollback
    EXPECT_FALSE(run(envelope(root, 6), kNow + 1000)); // expired
    EXPECT_FALSE(run(envelope(stranger, 7)));          // another key
    EXPECT_FALSE(run({}));                             // nothing sent
    std::vector<uint8_t> bent = envelope(root, 8);
    bent[bent.size() - 3] ^= 1; // a byte of the signed text
    EXPECT_FALSE(run(bent));
    EXPECT_EQ(state(), kept);
    EXPECT_TRUE(run(envelope(root, 5))); // the same release again
    EXPECT_EQ(state(), kept);

    // A new configured key starts over.
    stranger.save("trusted.pub");
    EXPECT_TRUE(run(envelope(stranger, 1)));
}

TEST_F(ReleaseCheckTest, RotationMovesToTheNextKeyAndKeepsTheOldOneForTheTransition)
{
    Key root, next, stranger;
    root.save("trusted.pub");
    ASSERT_TRUE(run(envelope(root, 1, &next)));
    EXPECT_NE(state().find("previous "), std::string::npos);
    EXPECT_TRUE(run(envelope(next, 2)));
    // The old key still counts where it names the new one, as releases signed
    // during the roll-out do; without that it counts no more.
    EXPECT_TRUE(run(envelope(root, 3, &next)));
    EXPECT_FALSE(run(envelope(root, 4)));
    EXPECT_FALSE(run(envelope(root, 4, &stranger)));
    EXPECT_TRUE(run(envelope(next, 4)));
}

TEST_F(ReleaseCheckTest, ListsAndFilesMustMatchTheManifest)
{
    Key root;
    root.save("trusted.pub");
    CReleaseCheck check("trusted.pub", "files.lst.trust", CReleaseCheck::Job::Update);
    CFileList early;
    fillList(early);
    EXPECT_TRUE(refused([&] { check.checkList("list", early); }));
    check.acceptManifest(envelope(root, 1), kNow);

    CFileList bigger, unchecked, extra;
    fillList(bigger, 0, 4);
    fillList(unchecked, FI_NOCOMPARE);
    fillList(extra);
    extra.updateFileInfo("b.txt", FileInfo{});
    EXPECT_TRUE(refused([&] { check.checkList("list", bigger); }));
    EXPECT_TRUE(refused([&] { check.checkList("list", unchecked); }));
    EXPECT_TRUE(refused([&] { check.checkList("list", extra); }));
    EXPECT_TRUE(refused([&] { check.checkIgnore("x", 1); }));
    CFileList missing;
    EXPECT_TRUE(refused([&] { check.checkList("list", missing); }));

    EXPECT_FALSE(refused([&] { check.checkFile("a.txt", 3, platform::CSha256::digest("abc", 3)); }));
    EXPECT_TRUE(refused([&] { check.checkFile("a.txt", 3, platform::CSha256::digest("abd", 3)); }));
    EXPECT_TRUE(refused([&] { check.checkFile("a.txt", 4, platform::CSha256::digest("abc", 3)); }));
    EXPECT_TRUE(refused([&] { check.checkFile("sub", 0, platform::CSha256::digest("", 0)); }));
    EXPECT_TRUE(refused([&] { check.checkFile("c.txt", 3, platform::CSha256::digest("abc", 3)); }));
    EXPECT_FALSE(fs::exists("files.lst.trust"));
}
