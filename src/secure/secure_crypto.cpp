#include "secure/secure_crypto.h"

#include <cstring>

#include "platform/crypto.h"

namespace qel::secure {
namespace {

using platform::NativeCrypto;

constexpr uint32_t kIterations = 65536;
constexpr std::string_view kUserPasswordSalt = "user-password.1.secure.ip.knx.org";
constexpr std::string_view kDeviceAuthenticationSalt = "device-authentication-code.1.secure.ip.knx.org";

bool Pbkdf2(std::string_view secret, std::string_view salt, Key* key) {
    return NativeCrypto().pbkdf2Sha256(reinterpret_cast<const uint8_t*>(secret.data()),
                                       static_cast<uint32_t>(secret.size()),
                                       reinterpret_cast<const uint8_t*>(salt.data()),
                                       static_cast<uint32_t>(salt.size()), kIterations, key->data(),
                                       static_cast<uint32_t>(key->size()));
}

// CBC-MAC absorbed byte by byte into the chaining block.
class CbcMacState {
public:
    explicit CbcMacState(const Key& key) : key_(key) {}
    ~CbcMacState() { Wipe(x_, sizeof x_); }
    CbcMacState(const CbcMacState&) = delete;
    CbcMacState& operator=(const CbcMacState&) = delete;

    bool absorb(const uint8_t* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            x_[at_++] ^= bytes[i];
            if (at_ == kBlockSize && !encrypt()) return false;
        }
        return true;
    }
    // Zero padding to the block boundary.
    bool pad() { return at_ == 0 || encrypt(); }
    const uint8_t* value() const { return x_; }

private:
    bool encrypt() {
        at_ = 0;
        return NativeCrypto().aes128EncryptBlock(key_.data(), x_, x_);
    }
    const Key& key_;
    uint8_t x_[kBlockSize] = {};
    size_t at_ = 0;
};

void CountUp(uint8_t* counter) {
    for (size_t i = kBlockSize; i-- > 0;)
        if (++counter[i] != 0) break;
}

// Counter block 0 of the session frames: zeros, then 0xff00.
void SessionCounter0(uint8_t* counter) {
    std::memset(counter, 0, kBlockSize);
    counter[14] = 0xff;
}

// CBC-MAC with a zero B0 and no payload, then its CTR encryption.
bool SessionMac(const Key& key, const uint8_t* assoc, size_t assocLength, uint8_t* mac) {
    const uint8_t b0[kBlockSize] = {};
    uint8_t counter[kBlockSize];
    SessionCounter0(counter);
    return CbcMac(key, b0, assoc, assocLength, nullptr, 0, mac) && CtrCrypt(key, counter, mac, nullptr, 0);
}

void XorKeys(const uint8_t* a, const uint8_t* b, uint8_t* out) {
    for (size_t i = 0; i < kPublicKeySize; ++i) out[i] = a[i] ^ b[i];
}

// B0 and counter block 0 of a wrapper: sequence, serial number, message tag,
// then the payload length (B0) or 0xff00 (counter).
void WrapperBlocks(const WrapperFields& f, size_t payloadLength, uint8_t* b0, uint8_t* counter0) {
    Put48(b0, f.sequence);
    std::memcpy(b0 + 6, f.serial, kSerialSize);
    Put16(b0 + 12, f.messageTag);
    std::memcpy(counter0, b0, 14);
    Put16(b0 + 14, static_cast<uint16_t>(payloadLength));
    counter0[14] = 0xff;
    counter0[15] = 0x00;
}

}  // namespace

void Wipe(void* bytes, size_t n) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
    while (n-- > 0) *p++ = 0;
}

bool UserPasswordKey(std::string_view password, Key* key) { return Pbkdf2(password, kUserPasswordSalt, key); }

bool DeviceAuthenticationKey(std::string_view code, Key* key) {
    return Pbkdf2(code, kDeviceAuthenticationSalt, key);
}

bool SessionKey(const uint8_t* sharedSecret, Key* key) {
    uint8_t any = 0;
    for (size_t i = 0; i < kPublicKeySize; ++i) any |= sharedSecret[i];
    uint8_t digest[platform::kSha256Size];
    const bool ok = any != 0 && NativeCrypto().sha256(sharedSecret, kPublicKeySize, digest);
    if (ok) std::memcpy(key->data(), digest, key->size());
    Wipe(digest, sizeof digest);
    return ok;
}

bool CbcMac(const Key& key, const uint8_t* b0, const uint8_t* assoc, size_t assocLength, const uint8_t* payload,
            size_t payloadLength, uint8_t* mac, bool padAssoc) {
    if (assocLength > 0xFEFF) return false;  // longer needs another length encoding
    CbcMacState state(key);
    bool ok = state.absorb(b0, kBlockSize);
    if (ok && assocLength > 0) {
        uint8_t length[2];
        Put16(length, static_cast<uint16_t>(assocLength));
        ok = state.absorb(length, 2) && state.absorb(assoc, assocLength) && (!padAssoc || state.pad());
    }
    ok = ok && state.absorb(payload, payloadLength) && state.pad();
    if (ok) std::memcpy(mac, state.value(), kBlockSize);
    return ok;
}

bool CtrCrypt(const Key& key, const uint8_t* counter0, uint8_t* mac, uint8_t* data, size_t n) {
    uint8_t counter[kBlockSize];
    uint8_t stream[kBlockSize];
    std::memcpy(counter, counter0, kBlockSize);
    bool ok = NativeCrypto().aes128EncryptBlock(key.data(), counter, stream);
    for (size_t i = 0; ok && i < kBlockSize; ++i) mac[i] ^= stream[i];
    for (size_t done = 0; ok && done < n; done += kBlockSize) {
        CountUp(counter);
        ok = NativeCrypto().aes128EncryptBlock(key.data(), counter, stream);
        for (size_t i = 0; ok && i < kBlockSize && done + i < n; ++i) data[done + i] ^= stream[i];
    }
    Wipe(stream, sizeof stream);
    return ok;
}

bool SessionResponseMac(const Key& deviceKey, uint16_t sessionId, const uint8_t* clientPublic,
                        const uint8_t* serverPublic, uint8_t* mac) {
    uint8_t assoc[kHeaderSize + 2 + kPublicKeySize];
    PutHeader(assoc, SecureService::kSessionResponse, kSessionResponseSize);
    Put16(assoc + kHeaderSize, sessionId);
    XorKeys(clientPublic, serverPublic, assoc + kHeaderSize + 2);
    return SessionMac(deviceKey, assoc, sizeof assoc, mac);
}

bool SessionAuthenticateMac(const Key& userKey, uint8_t userId, const uint8_t* clientPublic,
                            const uint8_t* serverPublic, uint8_t* mac) {
    uint8_t assoc[kHeaderSize + 2 + kPublicKeySize];
    PutHeader(assoc, SecureService::kSessionAuthenticate, kSessionAuthenticateSize);
    assoc[kHeaderSize] = 0x00;
    assoc[kHeaderSize + 1] = userId;
    XorKeys(clientPublic, serverPublic, assoc + kHeaderSize + 2);
    return SessionMac(userKey, assoc, sizeof assoc, mac);
}

bool SameMac(const uint8_t* a, const uint8_t* b) {
    uint8_t diff = 0;
    for (size_t i = 0; i < kMacSize; ++i) diff |= a[i] ^ b[i];
    return diff == 0;
}

size_t Wrap(const Key& sessionKey, const WrapperFields& fields, const uint8_t* inner, size_t innerLength,
            uint8_t* out, size_t outSize) {
    const size_t total = innerLength + kWrapperOverhead;
    if (total > 0xFFFF || total > outSize || fields.sequence >> 48 != 0) return 0;
    PutHeader(out, SecureService::kSecureWrapper, total);
    uint8_t* at = out + kHeaderSize;
    Put16(at, fields.sessionId);
    Put48(at + 2, fields.sequence);
    std::memcpy(at + 8, fields.serial, kSerialSize);
    Put16(at + 8 + kSerialSize, fields.messageTag);
    uint8_t* payload = at + kWrapperFieldsSize;
    std::memmove(payload, inner, innerLength);
    uint8_t* mac = payload + innerLength;
    uint8_t b0[kBlockSize];
    uint8_t counter0[kBlockSize];
    WrapperBlocks(fields, innerLength, b0, counter0);
    // The header and the session id are the associated data.
    const bool ok = CbcMac(sessionKey, b0, out, kHeaderSize + 2, payload, innerLength, mac, false) &&
                    CtrCrypt(sessionKey, counter0, mac, payload, innerLength);
    return ok ? total : 0;
}

bool Unwrap(const Key& sessionKey, const uint8_t* frame, size_t n, WrapperFields* fields, uint8_t* inner,
            size_t innerSize, size_t* innerLength) {
    SecureFrame parsed;
    if (!ParseSecureFrame(frame, n, &parsed) || parsed.service != SecureService::kSecureWrapper ||
        parsed.encryptedLength > innerSize)
        return false;
    WrapperFields f;
    f.sessionId = parsed.sessionId;
    f.sequence = parsed.sequence;
    std::memcpy(f.serial, parsed.serial, kSerialSize);
    f.messageTag = parsed.messageTag;
    uint8_t b0[kBlockSize];
    uint8_t counter0[kBlockSize];
    WrapperBlocks(f, parsed.encryptedLength, b0, counter0);
    uint8_t received[kMacSize];
    std::memcpy(received, parsed.mac, kMacSize);
    std::memcpy(inner, parsed.encrypted, parsed.encryptedLength);
    uint8_t computed[kMacSize];
    const bool ok = CtrCrypt(sessionKey, counter0, received, inner, parsed.encryptedLength) &&
                    CbcMac(sessionKey, b0, frame, kHeaderSize + 2, inner, parsed.encryptedLength, computed, false) &&
                    SameMac(received, computed);
    if (!ok) {
        Wipe(inner, parsed.encryptedLength);
        return false;
    }
    *fields = f;
    *innerLength = parsed.encryptedLength;
    return true;
}

// A MAC over the header alone, with the wrapper's B0 and counter block 0.
bool TimerNotifyMac(const Key& key, const WrapperFields& f, const uint8_t* header, uint8_t* mac) {
    uint8_t b0[kBlockSize];
    uint8_t counter0[kBlockSize];
    WrapperBlocks(f, 0, b0, counter0);
    return CbcMac(key, b0, header, kHeaderSize, nullptr, 0, mac) && CtrCrypt(key, counter0, mac, nullptr, 0);
}

bool TimerNotify(const Key& backboneKey, const WrapperFields& fields, uint8_t* out) {
    if (fields.sequence >> 48 != 0) return false;
    PutHeader(out, SecureService::kTimerNotify, kTimerNotifySize);
    uint8_t* at = out + kHeaderSize;
    Put48(at, fields.sequence);
    std::memcpy(at + 6, fields.serial, kSerialSize);
    Put16(at + 6 + kSerialSize, fields.messageTag);
    return TimerNotifyMac(backboneKey, fields, out, at + 8 + kSerialSize);
}

bool OpenTimerNotify(const Key& backboneKey, const uint8_t* frame, size_t n, WrapperFields* fields) {
    SecureFrame parsed;
    if (!ParseSecureFrame(frame, n, &parsed) || parsed.service != SecureService::kTimerNotify) return false;
    WrapperFields f;
    f.sequence = parsed.sequence;
    std::memcpy(f.serial, parsed.serial, kSerialSize);
    f.messageTag = parsed.messageTag;
    uint8_t computed[kMacSize];
    if (!TimerNotifyMac(backboneKey, f, frame, computed) || !SameMac(computed, parsed.mac)) return false;
    *fields = f;
    return true;
}

}  // namespace qel::secure
