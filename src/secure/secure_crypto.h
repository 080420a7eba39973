// KNX IP Secure's composition of the platform's primitives
// (platform/crypto.h): the key derivations, KNX's CCM (CBC-MAC over
// B0 | associated data | payload, then CTR over the MAC and the payload with
// counter blocks ending 0xff00, 0xff01, ...), the MACs of SESSION_RESPONSE
// and SESSION_AUTHENTICATE, the SECURE_WRAPPER around a session's or a
// routing group's frames, and the group's TIMER_NOTIFY.
//
// Every function returns false when a primitive failed or a frame does not
// authenticate; outputs are then not to be used. Nothing here logs, and keys
// on the stack are wiped before return.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "secure/secure_frames.h"

namespace qel::secure {

using Key = std::array<uint8_t, 16>;
constexpr size_t kBlockSize = 16;

// Key derivations: PBKDF2-HMAC-SHA256, 65536 iterations, 16 bytes.
bool UserPasswordKey(std::string_view password, Key* key);
bool DeviceAuthenticationKey(std::string_view code, Key* key);
// The session key: the first 16 bytes of SHA-256 of the X25519 shared
// secret. False for the all-zero secret.
bool SessionKey(const uint8_t sharedSecret[kPublicKeySize], Key* key);

// The CCM core. `mac` is the 16-byte CBC-MAC of B0 | len16(assoc) | assoc |
// payload, each zero-padded to a block (the length and assoc only when
// there is associated data). With `padAssoc` false the payload follows the
// associated data without padding and only the end is padded: the secure
// wrapper's layout, which KNX IP Secure peers (knxultimate) use.
bool CbcMac(const Key& key, const uint8_t b0[kBlockSize], const uint8_t* assoc, size_t assocLength,
            const uint8_t* payload, size_t payloadLength, uint8_t mac[kBlockSize], bool padAssoc = true);
// CTR in place: the MAC with counter block 0, the data with the blocks after it
// (counter0 counted up as a big-endian number). Encrypts and decrypts alike.
bool CtrCrypt(const Key& key, const uint8_t counter0[kBlockSize], uint8_t mac[kBlockSize], uint8_t* data,
              size_t n);

// The MAC of a SESSION_RESPONSE, under the device authentication key.
bool SessionResponseMac(const Key& deviceKey, uint16_t sessionId, const uint8_t clientPublic[kPublicKeySize],
                        const uint8_t serverPublic[kPublicKeySize], uint8_t mac[kMacSize]);
// The MAC of a SESSION_AUTHENTICATE, under the user's password key.
bool SessionAuthenticateMac(const Key& userKey, uint8_t userId, const uint8_t clientPublic[kPublicKeySize],
                            const uint8_t serverPublic[kPublicKeySize], uint8_t mac[kMacSize]);
// Equal MACs, compared in constant time.
bool SameMac(const uint8_t* a, const uint8_t* b);

struct WrapperFields {
    uint16_t sessionId = 0;
    uint64_t sequence = 0;  // 48 bits
    uint8_t serial[kSerialSize] = {};
    uint16_t messageTag = 0;
};

// A SECURE_WRAPPER around `inner` (a whole KNXnet/IP frame) into `out`, which
// holds innerLength + kWrapperOverhead bytes. Returns its length, 0 on failure.
size_t Wrap(const Key& sessionKey, const WrapperFields& fields, const uint8_t* inner, size_t innerLength, uint8_t* out,
            size_t outSize);
// The frame inside a SECURE_WRAPPER, decrypted into `inner` (innerSize bytes)
// once its MAC is right. False for a malformed wrapper, a wrong MAC or too
// small a buffer; `inner` then holds nothing usable.
bool Unwrap(const Key& sessionKey, const uint8_t* frame, size_t n, WrapperFields* fields, uint8_t* inner,
            size_t innerSize, size_t* innerLength);

// A TIMER_NOTIFY (timer value in `fields.sequence`, the session id unused)
// under the backbone key into `out` (kTimerNotifySize bytes).
bool TimerNotify(const Key& backboneKey, const WrapperFields& fields, uint8_t* out);
// The fields of a TIMER_NOTIFY once its MAC is right; false otherwise.
bool OpenTimerNotify(const Key& backboneKey, const uint8_t* frame, size_t n, WrapperFields* fields);

// Overwrites secrets in a way the compiler keeps.
void Wipe(void* bytes, size_t n);

}  // namespace qel::secure
