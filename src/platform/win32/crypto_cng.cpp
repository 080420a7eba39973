// The crypto table from CNG (bcrypt.dll). Curve25519 needs Windows 10.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <cwchar>

#include "platform/crypto.h"

// Names the MinGW header lacks or keeps to Windows 10 builds, where these
// live (values from the CNG documentation and bcrypt.h).
#ifndef BCRYPT_ECDH_ALGORITHM
#define BCRYPT_ECDH_ALGORITHM L"ECDH"
#endif
#ifndef BCRYPT_ECC_CURVE_NAME
#define BCRYPT_ECC_CURVE_NAME L"ECCCurveName"
#endif
#ifndef BCRYPT_ECC_CURVE_25519
#define BCRYPT_ECC_CURVE_25519 L"curve25519"
#endif
#ifndef BCRYPT_ECDH_PUBLIC_GENERIC_MAGIC
#define BCRYPT_ECDH_PUBLIC_GENERIC_MAGIC 0x504B4345
#endif
#ifndef BCRYPT_ECDH_PRIVATE_GENERIC_MAGIC
#define BCRYPT_ECDH_PRIVATE_GENERIC_MAGIC 0x564B4345
#endif
#ifndef BCRYPT_KDF_RAW_SECRET
#define BCRYPT_KDF_RAW_SECRET L"TRUNCATE"
#endif

namespace qel::platform {
namespace cng {
namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

// An algorithm provider, closed when it goes out of scope.
class Algorithm {
public:
    Algorithm(const wchar_t* name, ULONG flags) { ok_ = Ok(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, flags)); }
    ~Algorithm() {
        if (ok_) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    bool ok() const { return ok_; }
    BCRYPT_ALG_HANDLE handle() const { return handle_; }
    bool setString(const wchar_t* property, const wchar_t* value) {
        const ULONG size = static_cast<ULONG>((std::wcslen(value) + 1) * sizeof(wchar_t));
        return ok_ && Ok(BCryptSetProperty(handle_, property, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(value)),
                                           size, 0));
    }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
    bool ok_ = false;
};

struct KeyCloser {
    BCRYPT_KEY_HANDLE key = nullptr;
    ~KeyCloser() {
        if (key != nullptr) BCryptDestroyKey(key);
    }
};

bool Aes128(bool encrypt, const wchar_t* mode, const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint32_t n,
            uint8_t* out) {
    if (n % kAesBlockSize != 0) return false;
    Algorithm aes(BCRYPT_AES_ALGORITHM, 0);
    if (!aes.setString(BCRYPT_CHAINING_MODE, mode)) return false;
    KeyCloser k;
    if (!Ok(BCryptGenerateSymmetricKey(aes.handle(), &k.key, nullptr, 0, const_cast<PUCHAR>(key),
                                       static_cast<ULONG>(kAes128KeySize), 0)))
        return false;
    // CNG moves the chaining value through the IV buffer: a copy keeps the caller's.
    uint8_t chain[kAesBlockSize] = {};
    if (iv != nullptr) std::memcpy(chain, iv, sizeof chain);
    ULONG moved = 0;
    const NTSTATUS status =
        encrypt ? BCryptEncrypt(k.key, const_cast<PUCHAR>(in), n, nullptr, iv != nullptr ? chain : nullptr,
                                iv != nullptr ? static_cast<ULONG>(sizeof chain) : 0, out, n, &moved, 0)
                : BCryptDecrypt(k.key, const_cast<PUCHAR>(in), n, nullptr, iv != nullptr ? chain : nullptr,
                                iv != nullptr ? static_cast<ULONG>(sizeof chain) : 0, out, n, &moved, 0);
    SecureZeroMemory(chain, sizeof chain);
    return Ok(status) && moved == n;
}

// CNG's ECC blobs hold numbers big-endian; RFC 7748 writes them little-endian.
void Reverse(const uint8_t* in, uint8_t* out) {
    for (size_t i = 0; i < kX25519Size; ++i) out[i] = in[kX25519Size - 1 - i];
}

// BCRYPT_ECCKEY_BLOB, then X, Y and (private blobs) d, each cbKey bytes.
struct PrivateBlob {
    BCRYPT_ECCKEY_BLOB header;
    uint8_t x[kX25519Size];
    uint8_t y[kX25519Size];
    uint8_t d[kX25519Size];
};
struct PublicBlob {
    BCRYPT_ECCKEY_BLOB header;
    uint8_t x[kX25519Size];
    uint8_t y[kX25519Size];
};

bool OpenCurve25519(Algorithm& ecdh) { return ecdh.setString(BCRYPT_ECC_CURVE_NAME, BCRYPT_ECC_CURVE_25519); }

// The private scalar alone: the agreement needs no public key, and the
// caller holds none to give.
bool ImportPrivate(Algorithm& ecdh, const uint8_t* privateKey, KeyCloser* k) {
    PrivateBlob blob{};
    blob.header.dwMagic = BCRYPT_ECDH_PRIVATE_GENERIC_MAGIC;
    blob.header.cbKey = static_cast<ULONG>(kX25519Size);
    Reverse(privateKey, blob.d);
    const bool ok = Ok(BCryptImportKeyPair(ecdh.handle(), nullptr, BCRYPT_ECCPRIVATE_BLOB, &k->key,
                                           reinterpret_cast<PUCHAR>(&blob), static_cast<ULONG>(sizeof blob),
                                           BCRYPT_NO_KEY_VALIDATION));
    SecureZeroMemory(&blob, sizeof blob);
    return ok;
}

bool ImportPublic(Algorithm& ecdh, const uint8_t* publicKey, KeyCloser* k) {
    PublicBlob blob{};
    blob.header.dwMagic = BCRYPT_ECDH_PUBLIC_GENERIC_MAGIC;
    blob.header.cbKey = static_cast<ULONG>(kX25519Size);
    Reverse(publicKey, blob.x);
    return Ok(BCryptImportKeyPair(ecdh.handle(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &k->key,
                                  reinterpret_cast<PUCHAR>(&blob), static_cast<ULONG>(sizeof blob), 0));
}

}  // namespace

bool RandomBytes(uint8_t* out, uint32_t n) {
    return Ok(BCryptGenRandom(nullptr, out, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool Sha256(const uint8_t* data, uint32_t n, uint8_t* digest) {
    Algorithm sha(BCRYPT_SHA256_ALGORITHM, 0);
    if (!sha.ok()) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!Ok(BCryptCreateHash(sha.handle(), &hash, nullptr, 0, nullptr, 0, 0))) return false;
    const bool ok = Ok(BCryptHashData(hash, const_cast<PUCHAR>(data), n, 0)) &&
                    Ok(BCryptFinishHash(hash, digest, static_cast<ULONG>(kSha256Size), 0));
    BCryptDestroyHash(hash);
    return ok;
}

bool Pbkdf2Sha256(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt, uint32_t saltLength,
                  uint32_t iterations, uint8_t* out, uint32_t outLength) {
    if (iterations == 0) return false;
    Algorithm hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    return hmac.ok() && Ok(BCryptDeriveKeyPBKDF2(hmac.handle(), const_cast<PUCHAR>(password), passwordLength,
                                                 const_cast<PUCHAR>(salt), saltLength, iterations, out, outLength, 0));
}

bool Aes128EncryptBlock(const uint8_t* key, const uint8_t* in, uint8_t* out) {
    return Aes128(true, BCRYPT_CHAIN_MODE_ECB, key, nullptr, in, kAesBlockSize, out);
}

bool Aes128CbcEncrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint32_t n, uint8_t* out) {
    return Aes128(true, BCRYPT_CHAIN_MODE_CBC, key, iv, in, n, out);
}

bool Aes128CbcDecrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint32_t n, uint8_t* out) {
    return Aes128(false, BCRYPT_CHAIN_MODE_CBC, key, iv, in, n, out);
}

bool X25519SharedSecret(const uint8_t* privateKey, const uint8_t* peerPublic, uint8_t* secret) {
    Algorithm ecdh(BCRYPT_ECDH_ALGORITHM, 0);
    if (!OpenCurve25519(ecdh)) return false;
    KeyCloser own;
    KeyCloser peer;
    if (!ImportPrivate(ecdh, privateKey, &own) || !ImportPublic(ecdh, peerPublic, &peer)) return false;
    BCRYPT_SECRET_HANDLE agreed = nullptr;
    if (!Ok(BCryptSecretAgreement(own.key, peer.key, &agreed, 0))) return false;
    // The raw secret comes little-endian, as RFC 7748 encodes it.
    ULONG n = 0;
    const bool ok = Ok(BCryptDeriveKey(agreed, BCRYPT_KDF_RAW_SECRET, nullptr, secret,
                                       static_cast<ULONG>(kX25519Size), &n, 0)) &&
                    n == kX25519Size;
    BCryptDestroySecret(agreed);
    uint8_t any = 0;
    for (size_t i = 0; ok && i < kX25519Size; ++i) any |= secret[i];
    return ok && any != 0;
}

// X25519(k, 9) is k's public key: the same agreement with the base point.
bool X25519PublicKey(const uint8_t* privateKey, uint8_t* publicKey) {
    uint8_t basePoint[kX25519Size] = {9};
    return X25519SharedSecret(privateKey, basePoint, publicKey);
}

bool X25519KeyPair(uint8_t* privateKey, uint8_t* publicKey) {
    // Any 32 random bytes are a private key (RFC 7748 clamps them in use).
    return RandomBytes(privateKey, static_cast<uint32_t>(kX25519Size)) && X25519PublicKey(privateKey, publicKey);
}

}  // namespace cng

const Crypto& NativeCrypto() {
    static const Crypto table = {
        .randomBytes = cng::RandomBytes,
        .sha256 = cng::Sha256,
        .pbkdf2Sha256 = cng::Pbkdf2Sha256,
        .aes128EncryptBlock = cng::Aes128EncryptBlock,
        .aes128CbcEncrypt = cng::Aes128CbcEncrypt,
        .aes128CbcDecrypt = cng::Aes128CbcDecrypt,
        .x25519KeyPair = cng::X25519KeyPair,
        .x25519PublicKey = cng::X25519PublicKey,
        .x25519SharedSecret = cng::X25519SharedSecret,
    };
    return table;
}

}  // namespace qel::platform
