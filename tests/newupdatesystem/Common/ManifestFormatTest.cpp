#include <gtest/gtest.h>

#include <string>

#include "newupdatesystem/Common/ManifestFormat.h"

namespace
{
ReleaseManifest sample()
{
    ReleaseManifest m;
    m.release = 12;
    m.expires = 1900000000;
    m.ignoreSize = 5;
    m.ignoreSha256 = platform::CSha256::digest("*.ini", 5);
    m.tree["bin"] = ManifestEntry{true, 0, {}};
    m.tree["bin/game.exe"] = ManifestEntry{false, 3, platform::CSha256::digest("exe", 3)};
    m.tree["read me.txt"] = ManifestEntry{false, 0, platform::CSha256::digest("", 0)};
    m.self["launcher"] = ManifestEntry{false, 2, platform::CSha256::digest("ln", 2)};
    return m;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}
} // namespace

TEST(ManifestFormatTest, RoundTripKeepsEveryField)
{
    ReleaseManifest m = sample();
    platform::PublicKey next{};
    next[0] = 0x04;
    next[9] = 0xab;
    m.nextKey = next;
    const std::string text = m.encode();
    ReleaseManifest back;
    ASSERT_TRUE(ReleaseManifest::decode(text, back));
    EXPECT_EQ(back.encode(), text);
    EXPECT_EQ(back.release, 12u);
    EXPECT_EQ(back.expires, 1900000000u);
    ASSERT_TRUE(back.nextKey);
    EXPECT_EQ(*back.nextKey, next);
    EXPECT_TRUE(back.tree.at("bin").folder);
    EXPECT_EQ(back.tree.at("bin/game.exe").sha256, m.tree.at("bin/game.exe").sha256);
    EXPECT_EQ(back.self.at("launcher").size, 2u);
}

TEST(ManifestFormatTest, ReaderRefusesAnythingButTheStrictForm)
{
    const std::string good = sample().encode();
    ReleaseManifest out;
    ASSERT_TRUE(ReleaseManifest::decode(good, out));
    const std::string bad[] = {
        good.substr(0, good.size() - 1),                              // last line without LF
        good + "x",                                                   // trailing bytes
        replaced(good, "release 12", "release 012"),                  // leading zero
        replaced(good, "release 12", "release 0"),                    // release 0
        replaced(good, "release 12", "release 99999999999999999999"), // overflow
        replaced(good, "updmanifest 1", "updmanifest 2"),             // another version
        replaced(good, "d bin\n", ""),                                // still fine? no: checked below
        replaced(good, "f 3 ", "f 3  "),                              // double blank
        replaced(good, "bin/game.exe", "bin/../game.exe"),            // path leaving its folder
        replaced(good, "bin/game.exe", "bin\\game.exe"),              // backslash
        replaced(good, "d bin\n", "d bin\nd bin\n"),                  // twice
        replaced(good, "d bin\n", "") + "d bin\n",                    // tree after self
        replaced(good, "s 2 ", "s 2 ")
            .replace(good.find("s 2 "), 0, "f 1 " + std::string(64, 'a') + " a\n"), // out of order
        replaced(good, "launcher", "sub/launcher"),                                 // self with a folder
        replaced(good, "ignore 5 ", "ignore 5 A"), // upper-case hex, too long
    };
    int index = 0;
    for (const std::string& text : bad)
    {
        ++index;
        if (index == 7)
        {
            // Leaving out a folder record is a different manifest, not a broken one.
            EXPECT_TRUE(ReleaseManifest::decode(text, out));
            continue;
        }
        EXPECT_FALSE(ReleaseManifest::decode(text, out)) << "case " << index << ":\n" << text;
    }
}

TEST(ManifestFormatTest, EnvelopeAndKeyFiles)
{
    SignedRelease s;
    s.signature[0] = 1;
    s.signature[63] = 0xfe;
    s.manifest = sample().encode();
    SignedRelease back;
    ASSERT_TRUE(SignedRelease::decode(s.encode(), back));
    EXPECT_EQ(back.signature, s.signature);
    EXPECT_EQ(back.manifest, s.manifest);
    EXPECT_FALSE(SignedRelease::decode("updsigned 1\nsignature 00\n", back));
    EXPECT_FALSE(SignedRelease::decode(s.manifest, back));

    platform::PrivateKey priv;
    platform::PublicKey pub;
    platform::generateKeyPair(priv, pub);
    platform::PublicKey pubBack;
    platform::PrivateKey privBack;
    platform::PublicKey pairBack;
    ASSERT_TRUE(KeyFile::decodePublic(KeyFile::encodePublic(pub), pubBack));
    EXPECT_EQ(pubBack, pub);
    ASSERT_TRUE(KeyFile::decodePrivate(KeyFile::encodePrivate(priv, pub), privBack, pairBack));
    EXPECT_EQ(privBack, priv);
    EXPECT_EQ(pairBack, pub);
    // The one file cannot be taken for the other.
    EXPECT_FALSE(KeyFile::decodePublic(KeyFile::encodePrivate(priv, pub), pubBack));
    EXPECT_FALSE(KeyFile::decodePrivate(KeyFile::encodePublic(pub), privBack, pairBack));
}
