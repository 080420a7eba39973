// The crypto table from OpenSSL 3's libcrypto (EVP interfaces only).
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "platform/crypto.h"

namespace qel::platform {
namespace openssl {
namespace {

bool FitsInt(uint32_t n) { return n <= static_cast<uint32_t>(INT_MAX); }

bool Aes128(bool encrypt, const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv, const uint8_t* in,
            uint32_t n, uint8_t* out) {
    if (n % kAesBlockSize != 0 || !FitsInt(n)) return false;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr) return false;
    int moved = 0;
    int last = 0;
    const bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_CipherUpdate(ctx, out, &moved, in, static_cast<int>(n)) == 1 &&
                    EVP_CipherFinal_ex(ctx, out + moved, &last) == 1 && static_cast<uint32_t>(moved + last) == n;
    EVP_CIPHER_CTX_free(ctx);  // clears the key schedule
    return ok;
}

EVP_PKEY* PrivateKey(const uint8_t* privateKey) {
    return EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, privateKey, kX25519Size);
}

bool PublicOf(EVP_PKEY* key, uint8_t* publicKey) {
    size_t n = kX25519Size;
    return EVP_PKEY_get_raw_public_key(key, publicKey, &n) == 1 && n == kX25519Size;
}

}  // namespace

bool RandomBytes(uint8_t* out, uint32_t n) { return FitsInt(n) && RAND_bytes(out, static_cast<int>(n)) == 1; }

bool Sha256(const uint8_t* data, uint32_t n, uint8_t* digest) {
    unsigned int size = 0;
    return EVP_Digest(data, n, digest, &size, EVP_sha256(), nullptr) == 1 && size == kSha256Size;
}

bool Pbkdf2Sha256(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt, uint32_t saltLength,
                  uint32_t iterations, uint8_t* out, uint32_t outLength) {
    if (!FitsInt(passwordLength) || !FitsInt(saltLength) || !FitsInt(iterations) || !FitsInt(outLength) ||
        iterations == 0)
        return false;
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password), static_cast<int>(passwordLength), salt,
                             static_cast<int>(saltLength), static_cast<int>(iterations), EVP_sha256(),
                             static_cast<int>(outLength), out) == 1;
}

bool Aes128EncryptBlock(const uint8_t* key, const uint8_t* in, uint8_t* out) {
    return Aes128(true, EVP_aes_128_ecb(), key, nullptr, in, kAesBlockSize, out);
}

bool Aes128CbcEncrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint32_t n, uint8_t* out) {
    return Aes128(true, EVP_aes_128_cbc(), key, iv, in, n, out);
}

bool Aes128CbcDecrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint32_t n, uint8_t* out) {
    return Aes128(false, EVP_aes_128_cbc(), key, iv, in, n, out);
}

bool X25519PublicKey(const uint8_t* privateKey, uint8_t* publicKey) {
    EVP_PKEY* key = PrivateKey(privateKey);
    if (key == nullptr) return false;
    const bool ok = PublicOf(key, publicKey);
    EVP_PKEY_free(key);
    return ok;
}

bool X25519KeyPair(uint8_t* privateKey, uint8_t* publicKey) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr);
    if (ctx == nullptr) return false;
    EVP_PKEY* key = nullptr;
    size_t n = kX25519Size;
    const bool ok = EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &key) == 1 &&
                    EVP_PKEY_get_raw_private_key(key, privateKey, &n) == 1 && n == kX25519Size &&
                    PublicOf(key, publicKey);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

bool X25519SharedSecret(const uint8_t* privateKey, const uint8_t* peerPublic, uint8_t* secret) {
    EVP_PKEY* own = PrivateKey(privateKey);
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublic, kX25519Size);
    EVP_PKEY_CTX* ctx = own != nullptr ? EVP_PKEY_CTX_new(own, nullptr) : nullptr;
    size_t n = kX25519Size;
    // OpenSSL refuses a peer key that gives the all-zero secret.
    const bool ok = ctx != nullptr && peer != nullptr && EVP_PKEY_derive_init(ctx) == 1 &&
                    EVP_PKEY_derive_set_peer(ctx, peer) == 1 && EVP_PKEY_derive(ctx, secret, &n) == 1 &&
                    n == kX25519Size;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(own);
    return ok;
}

}  // namespace openssl

const Crypto& NativeCrypto() {
    static const Crypto table = {
        .randomBytes = openssl::RandomBytes,
        .sha256 = openssl::Sha256,
        .pbkdf2Sha256 = openssl::Pbkdf2Sha256,
        .aes128EncryptBlock = openssl::Aes128EncryptBlock,
        .aes128CbcEncrypt = openssl::Aes128CbcEncrypt,
        .aes128CbcDecrypt = openssl::Aes128CbcDecrypt,
        .x25519KeyPair = openssl::X25519KeyPair,
        .x25519PublicKey = openssl::X25519PublicKey,
        .x25519SharedSecret = openssl::X25519SharedSecret,
    };
    return table;
}

}  // namespace qel::platform
