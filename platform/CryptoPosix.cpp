// Crypto through OpenSSL 3's EVP interface.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <stdexcept>
#include <vector>

#include "platform/Crypto.h"

namespace platform
{

namespace
{
template <typename T, void (*Free)(T*)> struct Owned
{
    T* p = nullptr;
    Owned() = default;
    explicit Owned(T* q) : p(q) {}
    ~Owned() { Free(p); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};
using Pkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtx = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtx = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using Bignum = Owned<BIGNUM, BN_clear_free>;
using ParamBld = Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Owned<OSSL_PARAM, OSSL_PARAM_free>;
using EcdsaSig = Owned<ECDSA_SIG, ECDSA_SIG_free>;

[[noreturn]] void fail(const char* what)
{
    throw std::runtime_error(std::string("OpenSSL: ") + what);
}

// A key of the curve from its raw bytes; null when the bytes are no key.
EVP_PKEY* importKey(const PublicKey& pub, const PrivateKey* priv)
{
    ParamBld bld(OSSL_PARAM_BLD_new());
    Bignum d;
    if (bld.p == nullptr || !OSSL_PARAM_BLD_push_utf8_string(bld.p, OSSL_PKEY_PARAM_GROUP_NAME, "P-256", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.p, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()))
        return nullptr;
    if (priv != nullptr)
    {
        d.p = BN_bin2bn(priv->data(), static_cast<int>(priv->size()), nullptr);
        if (d.p == nullptr || !OSSL_PARAM_BLD_push_BN(bld.p, OSSL_PKEY_PARAM_PRIV_KEY, d.p))
            return nullptr;
    }
    Params params(OSSL_PARAM_BLD_to_param(bld.p));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (params.p == nullptr || ctx.p == nullptr || EVP_PKEY_fromdata_init(ctx.p) != 1 ||
        EVP_PKEY_fromdata(ctx.p, &key, priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.p) != 1)
        return nullptr;
    // The point must lie on the curve, and the scalar belong to it.
    PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    bool ok = check.p != nullptr &&
              (priv ? EVP_PKEY_pairwise_check(check.p) == 1 : EVP_PKEY_public_check(check.p) == 1);
    if (!ok)
    {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}
} // namespace

struct CSha256::State
{
    MdCtx ctx{EVP_MD_CTX_new()};
};

CSha256::CSha256() : m_state(std::make_unique<State>())
{
    if (m_state->ctx.p == nullptr || EVP_DigestInit_ex(m_state->ctx.p, EVP_sha256(), nullptr) != 1)
        fail("SHA-256");
}

CSha256::~CSha256() = default;
CSha256::CSha256(CSha256&&) noexcept = default;
CSha256& CSha256::operator=(CSha256&&) noexcept = default;

void CSha256::update(const void* data, size_t length)
{
    if (length != 0 && EVP_DigestUpdate(m_state->ctx.p, data, length) != 1)
        fail("SHA-256");
}

Sha256Digest CSha256::final()
{
    Sha256Digest out{};
    unsigned n = 0;
    if (EVP_DigestFinal_ex(m_state->ctx.p, out.data(), &n) != 1 || n != out.size() ||
        EVP_DigestInit_ex(m_state->ctx.p, EVP_sha256(), nullptr) != 1)
        fail("SHA-256");
    return out;
}

Sha256Digest CSha256::digest(const void* data, size_t length)
{
    CSha256 h;
    h.update(data, length);
    return h.final();
}

void generateKeyPair(PrivateKey& privateKey, PublicKey& publicKey)
{
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (key.p == nullptr)
        fail("key generation");
    BIGNUM* raw = nullptr;
    size_t n = 0;
    if (EVP_PKEY_get_bn_param(key.p, OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1)
        fail("private key");
    Bignum d(raw);
    if (BN_bn2binpad(d.p, privateKey.data(), static_cast<int>(privateKey.size())) != int(privateKey.size()) ||
        EVP_PKEY_get_octet_string_param(key.p, OSSL_PKEY_PARAM_PUB_KEY, publicKey.data(), publicKey.size(),
                                        &n) != 1 ||
        n != publicKey.size() || publicKey[0] != 0x04)
        fail("public key");
}

Signature signMessage(const PrivateKey& privateKey, const PublicKey& publicKey, const void* message,
                      size_t length)
{
    Pkey key(importKey(publicKey, &privateKey));
    if (key.p == nullptr)
        fail("the private key does not match its public key");
    MdCtx ctx(EVP_MD_CTX_new());
    size_t derLength = 0;
    if (ctx.p == nullptr || EVP_DigestSignInit(ctx.p, nullptr, EVP_sha256(), nullptr, key.p) != 1 ||
        EVP_DigestSignUpdate(ctx.p, message, length) != 1 ||
        EVP_DigestSignFinal(ctx.p, nullptr, &derLength) != 1)
        fail("signing");
    std::vector<uint8_t> der(derLength);
    if (EVP_DigestSignFinal(ctx.p, der.data(), &derLength) != 1)
        fail("signing");
    const unsigned char* at = der.data();
    EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(derLength)));
    Signature out{};
    if (sig.p == nullptr || BN_bn2binpad(ECDSA_SIG_get0_r(sig.p), out.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.p), out.data() + 32, 32) != 32)
        fail("signature");
    return out;
}

bool verifyMessage(const PublicKey& publicKey, const void* message, size_t length, const Signature& signature)
{
    Pkey key(importKey(publicKey, nullptr));
    if (key.p == nullptr)
        return false;
    EcdsaSig sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (sig.p == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.p, r, s) != 1)
    {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    int derLength = i2d_ECDSA_SIG(sig.p, &der);
    if (derLength <= 0)
        return false;
    MdCtx ctx(EVP_MD_CTX_new());
    bool ok = ctx.p != nullptr && EVP_DigestVerifyInit(ctx.p, nullptr, EVP_sha256(), nullptr, key.p) == 1 &&
              EVP_DigestVerifyUpdate(ctx.p, message, length) == 1 &&
              EVP_DigestVerifyFinal(ctx.p, der, static_cast<size_t>(derLength)) == 1;
    OPENSSL_free(der);
    return ok;
}

} // namespace platform
