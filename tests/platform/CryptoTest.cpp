#include <gtest/gtest.h>

#include <string>

#include "newupdatesystem/Common/ManifestFormat.h"
#include "platform/Crypto.h"

using namespace platform;

namespace
{
std::string hex(const uint8_t* b, size_t n)
{
    return toHex(b, n);
}

// A signature must verify on both systems, byte for byte the same encoding:
// one made by OpenSSL, one by CNG (under Wine), over the same message.
struct Vector
{
    const char* publicKey;
    const char* signature;
};
const Vector kVectors[] = {
    {"0464468b837cca11cce8731893b7aece12a01f9d7f0db107ac28da1ec1665de449ed2cd3a9e0f495fd4af9041fb67cf0bbb50da"
     "7a36b615948df962127ae0fa12b",
     "84bcf9998e183bc1133319bcb78e2d2577d1f82cf549f971e2dd6b541a388a43340d084f318c198dce0b1c0063085347fc768ad"
     "f7ba3dc1db57c974bda85762b"},
    {"04432151d31265d8166a96f71ba04273a240829469b654f286117da278a03b155e50e6dc414a5cc390ea558e37c24ee844723e4"
     "3e7c3ddbedeb67bea53f6be8afd",
     "5e649222677a0c69068f5c900b7339a9be32d2e7743b50af446878d93acbbc9a2ed10a6034bc65f45abf0b69797448844a0ae50"
     "e2eb41525c3707f87aef1fd3e"},
};
constexpr const char* kVectorMessage = "signed on one system, verified on the other";
} // namespace

TEST(CryptoTest, Sha256KnownAnswersWholeAndInPieces)
{
    Sha256Digest empty = CSha256::digest("", 0);
    EXPECT_EQ(hex(empty.data(), empty.size()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256Digest abc = CSha256::digest("abc", 3);
    EXPECT_EQ(hex(abc.data(), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    std::string million(1000000, 'a');
    CSha256 h;
    for (size_t at = 0; at < million.size(); at += 4099)
        h.update(million.data() + at, std::min<size_t>(4099, million.size() - at));
    Sha256Digest d = h.final();
    EXPECT_EQ(hex(d.data(), d.size()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // The hash starts over after final.
    h.update("abc", 3);
    EXPECT_EQ(h.final(), abc);
}

TEST(CryptoTest, SignVerifyRoundTripAndTampering)
{
    PrivateKey priv;
    PublicKey pub;
    generateKeyPair(priv, pub);
    EXPECT_EQ(pub[0], 0x04);
    const std::string message = "release 7";
    Signature sig = signMessage(priv, pub, message.data(), message.size());
    EXPECT_TRUE(verifyMessage(pub, message.data(), message.size(), sig));

    const std::string other = "release 8";
    EXPECT_FALSE(verifyMessage(pub, other.data(), other.size(), sig));
    Signature flipped = sig;
    flipped[40] ^= 1;
    EXPECT_FALSE(verifyMessage(pub, message.data(), message.size(), flipped));
    EXPECT_FALSE(verifyMessage(pub, message.data(), message.size(), Signature{}));

    PrivateKey priv2;
    PublicKey pub2;
    generateKeyPair(priv2, pub2);
    EXPECT_NE(pub, pub2);
    EXPECT_FALSE(verifyMessage(pub2, message.data(), message.size(), sig));
    // A private key that is not the public key's is refused, not used.
    EXPECT_THROW(signMessage(priv2, pub, message.data(), message.size()), std::runtime_error);
    // A point off the curve verifies nothing.
    PublicKey bent = pub;
    bent[64] ^= 1;
    EXPECT_FALSE(verifyMessage(bent, message.data(), message.size(), sig));
}

TEST(CryptoTest, SignaturesOfBothSystemsVerify)
{
    for (const Vector& v : kVectors)
    {
        PublicKey pub;
        Signature sig;
        ASSERT_TRUE(fromHex(v.publicKey, pub.data(), pub.size()));
        ASSERT_TRUE(fromHex(v.signature, sig.data(), sig.size()));
        const std::string message = kVectorMessage;
        EXPECT_TRUE(verifyMessage(pub, message.data(), message.size(), sig));
        EXPECT_FALSE(verifyMessage(pub, message.data(), message.size() - 1, sig));
    }
}
