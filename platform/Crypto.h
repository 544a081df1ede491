// Hashes and signatures from the system's own library (OpenSSL on Linux, CNG
// on Windows): SHA-256, and ECDSA over P-256 with SHA-256, the one signature
// scheme both libraries have. Keys and signatures travel as raw bytes, the
// same on both systems: a public key is the uncompressed point (0x04, X, Y),
// a private key its 32-byte scalar, a signature r and s, 32 bytes each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform
{

constexpr size_t kSha256Size = 32;
constexpr size_t kPublicKeySize = 65;
constexpr size_t kPrivateKeySize = 32;
constexpr size_t kSignatureSize = 64;

using Sha256Digest = std::array<uint8_t, kSha256Size>;
using PublicKey = std::array<uint8_t, kPublicKeySize>;
using PrivateKey = std::array<uint8_t, kPrivateKeySize>;
using Signature = std::array<uint8_t, kSignatureSize>;

// Incremental SHA-256. Throws std::runtime_error when the library fails to
// set up the hash (out of memory), never for the data.
class CSha256
{
public:
    CSha256();
    ~CSha256();
    CSha256(CSha256&&) noexcept;
    CSha256& operator=(CSha256&&) noexcept;
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void update(const void* data, size_t length);
    // The digest of everything added; the hash starts over afterwards.
    Sha256Digest final();

    static Sha256Digest digest(const void* data, size_t length);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A fresh key pair from the system's random source. Throws std::runtime_error.
void generateKeyPair(PrivateKey& privateKey, PublicKey& publicKey);

// Signs the SHA-256 of the message. Throws std::runtime_error, also for a
// private key that does not belong to the public one.
Signature signMessage(const PrivateKey& privateKey, const PublicKey& publicKey, const void* message,
                      size_t length);

// True only for a signature by the key's owner over exactly these bytes; a
// key that is no point of the curve verifies nothing.
bool verifyMessage(const PublicKey& publicKey, const void* message, size_t length,
                   const Signature& signature);

} // namespace platform
