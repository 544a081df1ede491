// Signed releases between the real tools: a release signed off the server
// installs; a server that rewrites files and lists consistently, one that is
// unsigned, replays an older release, serves an expired manifest or the
// manifest of another folder, or lets a file grow past its size is refused
// with status 13 and nothing in the installation changes.
#include <csignal>
#include <fstream>

#include <sys/stat.h>

#include "newupdatesystem/Common/ManifestFormat.h"
#include "newupdatesystem/Common/TrustProto.h"
#include "tests/e2e/E2eFixture.h"
#include "tools/updctl/ReleaseSigner.h"

namespace fs = std::filesystem;

class TrustE2e : public E2eTest
{
protected:
    void SetUp() override
    {
        E2eTest::SetUp();
        writeFile("content/game.exe", pseudoRandom(300000, 1));
        writeFile("content/data/level.pak", pseudoRandom(5u << 20, 2));
        writeFile("content/readme.txt", "version 1\n");
        CReleaseSigner::generateKeys("release.key");
        fs::create_directory("inst");
    }
    void TearDown() override
    {
        killServer(SIGTERM);
        E2eTest::TearDown();
    }
    ReleaseManifest sign(const fs::path& root, std::optional<uint64_t> release = std::nullopt,
                         const fs::path& key = "release.key")
    {
        SignRequest r;
        r.root = root;
        r.keyFile = key;
        r.release = release;
        return CReleaseSigner::sign(r);
    }
    void serve(const fs::path& root)
    {
        killServer(SIGTERM);
        startServer(root);
    }
    ClientRun trusted() { return update("inst", {"--trust-key", fs::absolute("release.key.pub").string()}); }
    // A refusal: status 13, the reason in the log, the installation as it was.
    void expectRefused(const std::string& reason)
    {
        const Tree before = readTree("inst");
        const std::string state = fs::exists("inst.lst.trust") ? readFile("inst.lst.trust") : "";
        ClientRun run = trusted();
        EXPECT_EQ(run.exitCode, 13) << run.err;
        EXPECT_NE(run.err.find("Release refused: " + reason), std::string::npos) << run.err;
        EXPECT_EQ(readTree("inst"), before);
        EXPECT_EQ(fs::exists("inst.lst.trust") ? readFile("inst.lst.trust") : "", state);
    }
    Tree published(const fs::path& root)
    {
        Tree t = readTree(root);
        t.erase(kSignedReleaseFile);
        return t;
    }
    std::string serverLog()
    {
        std::string all;
        for (const auto& e : fs::directory_iterator("serverlog"))
            all += readFile(e.path());
        return all;
    }
};

TEST_F(TrustE2e, SignedReleaseInstallsAndAClientWithoutKeyAsksNothingNew)
{
    sign("content");
    struct stat st
    {
    };
    ASSERT_EQ(stat("release.key", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    serve("content");

    ClientRun plain = update("inst");
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(serverLog().find("streaming list 'release'"), std::string::npos);
    fs::remove_all("inst");
    fs::create_directory("inst");

    ClientRun run = trusted();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Signed release 1 verified"), std::string::npos) << run.err;
    EXPECT_EQ(readTree("inst"), published("content"));
    EXPECT_NE(readFile("inst.lst.trust").find("release 1\n"), std::string::npos);
    // The next run finds nothing to do and still checks.
    run = trusted();
    ASSERT_EQ(run.exitCode, 0) << run.err;
}

TEST_F(TrustE2e, CompromisedServerRewritingFilesAndListsIsRefused)
{
    sign("content");
    serve("content");
    ASSERT_EQ(trusted().exitCode, 0);

    // Same size, other bytes: the lists agree with the file, the manifest not.
    std::string exe = readFile("content/game.exe");
    exe[1000] ^= 0x55;
    writeFile("content/game.exe", exe);
    serve("content");
    expectRefused("'game.exe' differs from the signed manifest in size or SHA-256");

    // A file that grows past its size in the manifest.
    writeFile("content/game.exe", readFile("inst/game.exe") + std::string(1 << 20, 'x'));
    serve("content");
    expectRefused("'game.exe' in list 'list' differs from the signed manifest");

    // A file the manifest does not name.
    writeFile("content/game.exe", readFile("inst/game.exe"));
    writeFile("content/evil.dll", "MZ");
    serve("content");
    expectRefused("'evil.dll' in list 'list' is not in the signed manifest");
}

TEST_F(TrustE2e, UnsignedReplayedExpiredForeignAndWrongKeyAreRefused)
{
    serve("content");
    expectRefused("the server offers no signed releases");

    // Release 1 is kept to be replayed; release 2 is installed.
    fs::copy("content", "old", fs::copy_options::recursive);
    sign("old", 1);
    writeFile("content/readme.txt", "version 2\n");
    sign("content", 2);
    serve("content");
    ASSERT_EQ(trusted().exitCode, 0);
    EXPECT_EQ(readFile("inst/readme.txt"), "version 2\n");
    serve("old");
    expectRefused("release 1 is older than release 2 accepted before");

    // An expired manifest, signed with the right key.
    fs::copy("content", "stale", fs::copy_options::recursive);
    writeFile("stale/readme.txt", "version 3\n");
    sign("stale", 3);
    SignedRelease envelope;
    ASSERT_TRUE(SignedRelease::decode(readFile("stale/release.updsig"), envelope));
    ReleaseManifest m;
    ASSERT_TRUE(ReleaseManifest::decode(envelope.manifest, m));
    m.expires = 1000;
    platform::PrivateKey priv;
    platform::PublicKey pub;
    ASSERT_TRUE(KeyFile::decodePrivate(readFile("release.key"), priv, pub));
    envelope.manifest = m.encode();
    envelope.signature = platform::signMessage(priv, pub, envelope.manifest.data(), envelope.manifest.size());
    fs::permissions("stale/release.updsig", fs::perms::owner_write, fs::perm_options::add);
    writeFile("stale/release.updsig", envelope.encode());
    serve("stale");
    expectRefused("release 3 expired");

    // Mix and match: a good manifest of another folder.
    fs::create_directory("other");
    writeFile("other/readme.txt", "another game\n");
    sign("other", 9);
    fs::copy_file("other/release.updsig", "stale/release.updsig", fs::copy_options::overwrite_existing);
    serve("stale");
    expectRefused("'data' in list 'list' is not in the signed manifest");

    // Signed, but by a key the installation does not trust.
    CReleaseSigner::generateKeys("stranger.key");
    sign("stale", 10, "stranger.key");
    serve("stale");
    expectRefused("the manifest's signature does not verify with the trusted key");
    EXPECT_EQ(readFile("inst/readme.txt"), "version 2\n");
}

TEST_F(TrustE2e, SelfUpdateTakesOnlyVerifiedFiles)
{
    writeFile("self/Tool.exe", "tool version 2");
    SignRequest r;
    r.root = "content";
    r.selfDir = "self";
    r.keyFile = "release.key";
    CReleaseSigner::sign(r);
    // Changed on the server after signing: same size, other bytes.
    writeFile("self/Tool.exe", "tool version 3");
    startServer("content", {"--self-update", fs::absolute("self").string()});
    writeFile("inst/tool.exe", "tool version 1");
    const std::vector<std::string> args = {
        "--list",    "Files.lst", "--realm", "main", "--trust-key", fs::absolute("release.key.pub").string(),
        "selfupdate"};
    Tree before = readTree("inst");
    ClientRun run = runClient("inst", args);
    EXPECT_EQ(run.exitCode, 13) << run.err;
    EXPECT_EQ(run.out, "") << "no script to run";
    EXPECT_NE(run.err.find("Release refused: 'tool.exe' differs from the signed manifest"), std::string::npos)
        << run.err;
    // Beside the files: the list, the log and the kept release (the manifest
    // and its lists were genuine; one file was not). No temporary folder.
    Tree after = readTree("inst");
    std::erase_if(after, [](const auto& e)
                  { return e.first.rfind("files.lst", 0) == 0 || e.first.rfind("log_", 0) == 0; });
    before.erase("files.lst");
    EXPECT_EQ(after, before);

    r.release = 2;
    CReleaseSigner::sign(r);
    killServer(SIGTERM);
    startServer("content", {"--self-update", fs::absolute("self").string()});
    run = runClient("inst", args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out, "");
}
