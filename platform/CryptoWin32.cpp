// Crypto through Windows CNG (bcrypt).
#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Crypto.h"

namespace platform
{

namespace
{
[[noreturn]] void fail(const char* what, NTSTATUS status)
{
    char code[16];
    std::snprintf(code, sizeof code, "%08lx", static_cast<unsigned long>(status));
    throw std::runtime_error(std::string("CNG: ") + what + " (" + code + ")");
}

struct Algorithm
{
    BCRYPT_ALG_HANDLE h = nullptr;
    explicit Algorithm(LPCWSTR id)
    {
        NTSTATUS st = BCryptOpenAlgorithmProvider(&h, id, nullptr, 0);
        if (!BCRYPT_SUCCESS(st))
            fail("algorithm", st);
    }
    ~Algorithm() { BCryptCloseAlgorithmProvider(h, 0); }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
};

struct Key
{
    BCRYPT_KEY_HANDLE h = nullptr;
    Key() = default;
    ~Key()
    {
        if (h != nullptr)
            BCryptDestroyKey(h);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
};

// The blob CNG takes a P-256 key in: its header, X, Y and, for a private
// key, d.
std::vector<uint8_t> keyBlob(const PublicKey& pub, const PrivateKey* priv)
{
    BCRYPT_ECCKEY_BLOB head;
    head.dwMagic = priv ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    head.cbKey = 32;
    std::vector<uint8_t> blob(sizeof head + 64 + (priv ? 32 : 0));
    std::memcpy(blob.data(), &head, sizeof head);
    std::memcpy(blob.data() + sizeof head, pub.data() + 1, 64);
    if (priv)
        std::memcpy(blob.data() + sizeof head + 64, priv->data(), 32);
    return blob;
}

bool importKey(BCRYPT_ALG_HANDLE alg, const PublicKey& pub, const PrivateKey* priv, Key& out)
{
    if (pub[0] != 0x04)
        return false;
    std::vector<uint8_t> blob = keyBlob(pub, priv);
    NTSTATUS st = BCryptImportKeyPair(alg, nullptr, priv ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
                                      &out.h, blob.data(), static_cast<ULONG>(blob.size()), 0);
    SecureZeroMemory(blob.data(), blob.size());
    return BCRYPT_SUCCESS(st);
}
} // namespace

struct CSha256::State
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State()
    {
        if (hash != nullptr)
            BCryptDestroyHash(hash);
        if (alg != nullptr)
            BCryptCloseAlgorithmProvider(alg, 0);
    }
};

CSha256::CSha256() : m_state(std::make_unique<State>())
{
    NTSTATUS st = BCryptOpenAlgorithmProvider(&m_state->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(st))
        st = BCryptCreateHash(m_state->alg, &m_state->hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(st))
        fail("SHA-256", st);
}

CSha256::~CSha256() = default;
CSha256::CSha256(CSha256&&) noexcept = default;
CSha256& CSha256::operator=(CSha256&&) noexcept = default;

void CSha256::update(const void* data, size_t length)
{
    const auto* at = static_cast<const uint8_t*>(data);
    while (length != 0)
    {
        // The length is a ULONG.
        ULONG n = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        NTSTATUS st = BCryptHashData(m_state->hash, const_cast<PUCHAR>(at), n, 0);
        if (!BCRYPT_SUCCESS(st))
            fail("SHA-256", st);
        at += n;
        length -= n;
    }
}

Sha256Digest CSha256::final()
{
    Sha256Digest out{};
    NTSTATUS st = BCryptFinishHash(m_state->hash, out.data(), static_cast<ULONG>(out.size()), 0);
    if (!BCRYPT_SUCCESS(st))
        fail("SHA-256", st);
    BCryptDestroyHash(m_state->hash);
    m_state->hash = nullptr;
    st = BCryptCreateHash(m_state->alg, &m_state->hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(st))
        fail("SHA-256", st);
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
    Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
    Key key;
    NTSTATUS st = BCryptGenerateKeyPair(alg.h, &key.h, 256, 0);
    if (BCRYPT_SUCCESS(st))
        st = BCryptFinalizeKeyPair(key.h, 0);
    std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 96);
    ULONG n = 0;
    if (BCRYPT_SUCCESS(st))
        st = BCryptExportKey(key.h, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                             static_cast<ULONG>(blob.size()), &n, 0);
    if (!BCRYPT_SUCCESS(st) || n != blob.size())
        fail("key generation", st);
    publicKey[0] = 0x04;
    std::memcpy(publicKey.data() + 1, blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    std::memcpy(privateKey.data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB) + 64, 32);
    SecureZeroMemory(blob.data(), blob.size());
}

Signature signMessage(const PrivateKey& privateKey, const PublicKey& publicKey, const void* message,
                      size_t length)
{
    Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
    Key key;
    if (!importKey(alg.h, publicKey, &privateKey, key))
        throw std::runtime_error("CNG: the private key does not match its public key");
    Sha256Digest hash = CSha256::digest(message, length);
    Signature out{};
    ULONG n = 0;
    NTSTATUS st = BCryptSignHash(key.h, nullptr, hash.data(), static_cast<ULONG>(hash.size()), out.data(),
                                 static_cast<ULONG>(out.size()), &n, 0);
    if (!BCRYPT_SUCCESS(st) || n != out.size())
        fail("signing", st);
    // CNG takes a private key without checking it against the public one.
    if (!verifyMessage(publicKey, message, length, out))
        throw std::runtime_error("CNG: the private key does not match its public key");
    return out;
}

bool verifyMessage(const PublicKey& publicKey, const void* message, size_t length, const Signature& signature)
{
    Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
    Key key;
    if (!importKey(alg.h, publicKey, nullptr, key))
        return false;
    Sha256Digest hash = CSha256::digest(message, length);
    NTSTATUS st =
        BCryptVerifySignature(key.h, nullptr, hash.data(), static_cast<ULONG>(hash.size()),
                              const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0);
    return BCRYPT_SUCCESS(st);
}

} // namespace platform
