// The cryptographic primitives KNX IP Secure is composed of, from the
// operating system's or a maintained library's implementation: OpenSSL's
// libcrypto on Linux, CNG (bcrypt.dll) on Windows. One table, filled by each
// backend; the composition (CCM, key derivations, the keyring) is portable
// and lives above it.
//
// Byte strings are as the documents write them: SHA-256 digests and AES
// blocks in order, X25519 keys and shared secrets in the little-endian
// encoding of RFC 7748.
//
// Error contract: every operation returns false when the platform refused
// (an algorithm missing, a library call failed, an invalid argument such as
// an all-zero X25519 secret); the outputs must then not be used. No
// operation throws, keeps state between calls or logs. All are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::platform {

constexpr size_t kAesBlockSize = 16;
constexpr size_t kAes128KeySize = 16;
constexpr size_t kSha256Size = 32;
constexpr size_t kX25519Size = 32;

struct Crypto {
    // Random bytes from the system's generator.
    bool (*randomBytes)(uint8_t* out, uint32_t n);
    bool (*sha256)(const uint8_t* data, uint32_t n, uint8_t digest[kSha256Size]);
    // PBKDF2 with HMAC-SHA256 as its pseudo-random function.
    bool (*pbkdf2Sha256)(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt, uint32_t saltLength,
                         uint32_t iterations, uint8_t* out, uint32_t outLength);
    // One AES-128 block, encrypted (ECB): enough for CBC-MAC and CTR.
    bool (*aes128EncryptBlock)(const uint8_t key[kAes128KeySize], const uint8_t in[kAesBlockSize],
                               uint8_t out[kAesBlockSize]);
    // AES-128-CBC without padding; n is a multiple of the block size. `out`
    // may be `in`.
    bool (*aes128CbcEncrypt)(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize], const uint8_t* in,
                             uint32_t n, uint8_t* out);
    bool (*aes128CbcDecrypt)(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize], const uint8_t* in,
                             uint32_t n, uint8_t* out);
    // A fresh key pair.
    bool (*x25519KeyPair)(uint8_t privateKey[kX25519Size], uint8_t publicKey[kX25519Size]);
    // The public key of a given private key (an emulated server's fixed key).
    bool (*x25519PublicKey)(const uint8_t privateKey[kX25519Size], uint8_t publicKey[kX25519Size]);
    // The shared secret; false also for a peer key giving the all-zero secret.
    bool (*x25519SharedSecret)(const uint8_t privateKey[kX25519Size], const uint8_t peerPublic[kX25519Size],
                               uint8_t secret[kX25519Size]);
};

// The platform's own table.
const Crypto& NativeCrypto();

}  // namespace qel::platform
