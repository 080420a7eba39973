#include "secure/client_session.h"

#include <cstring>

#include "platform/crypto.h"

namespace qel::secure {
namespace {

using platform::NativeCrypto;

constexpr uint8_t kSerialPrefix[2] = {0x00, 0xFA};

WrapperFields FieldsOf(const ClientSession& s, uint64_t sequence) {
    WrapperFields f;
    f.sessionId = s.sessionId;
    f.sequence = sequence;
    std::memcpy(f.serial, s.serial, kSerialSize);
    f.messageTag = 0;
    return f;
}

}  // namespace

bool BeginSession(ClientSession& s, uint8_t* out, size_t* n) {
    EndSession(s);
    std::memcpy(s.serial, kSerialPrefix, sizeof kSerialPrefix);
    if (!NativeCrypto().randomBytes(s.serial + 2, kSerialSize - 2)) return false;
    if (!NativeCrypto().x25519KeyPair(s.privateKey, s.publicKey)) return false;
    *n = SessionRequest(out, ControlEndpoint{kHostProtocolTcp, 0, 0}, s.publicKey);
    return true;
}

Handshake Respond(ClientSession& s, const Credentials& c, const uint8_t* frame, size_t n, uint8_t* out,
                  size_t outSize, size_t* outLength, uint8_t* status) {
    SecureFrame f;
    if (!ParseSecureFrame(frame, n, &f)) return Handshake::kOther;
    if (f.service == SecureService::kSessionStatus) {
        *status = f.status;
        return Handshake::kStatus;
    }
    if (f.service != SecureService::kSessionResponse) return Handshake::kOther;
    uint8_t mac[kMacSize];
    if (c.deviceKnown) {
        if (!SessionResponseMac(c.deviceKey, f.sessionId, s.publicKey, f.publicKey, mac)) return Handshake::kFailed;
        if (!SameMac(mac, f.mac)) return Handshake::kBadMac;
    }
    uint8_t secret[kPublicKeySize];
    const bool keyed = NativeCrypto().x25519SharedSecret(s.privateKey, f.publicKey, secret) && SessionKey(secret, &s.key);
    Wipe(secret, sizeof secret);
    Wipe(s.privateKey, sizeof s.privateKey);  // the key pair has done its work
    if (!keyed) return Handshake::kFailed;
    s.keyed = true;
    s.sessionId = f.sessionId;
    uint8_t authenticate[kSessionAuthenticateSize];
    if (!SessionAuthenticateMac(c.userKey, c.userId, s.publicKey, f.publicKey, mac)) return Handshake::kFailed;
    SessionAuthenticate(authenticate, c.userId, mac);
    *outLength = Seal(s, authenticate, sizeof authenticate, out, outSize);
    return *outLength != 0 ? Handshake::kAuthenticate : Handshake::kFailed;
}

size_t Seal(ClientSession& s, const uint8_t* inner, size_t n, uint8_t* out, size_t outSize) {
    if (!s.keyed) return 0;
    const size_t length = Wrap(s.key, FieldsOf(s, s.sendSequence), inner, n, out, outSize);
    if (length != 0) ++s.sendSequence;
    return length;
}

Opened Open(ClientSession& s, const uint8_t* frame, size_t n, uint8_t* inner, size_t innerSize, size_t* innerLength) {
    SecureFrame f;
    if (!s.keyed || !ParseSecureFrame(frame, n, &f) || f.service != SecureService::kSecureWrapper)
        return Opened::kNotWrapped;
    if (f.sessionId != s.sessionId) return Opened::kOtherSession;
    WrapperFields fields;
    if (!Unwrap(s.key, frame, n, &fields, inner, innerSize, innerLength)) return Opened::kBadMac;
    // Checked once the MAC proved the number the server's.
    if (s.received && fields.sequence <= s.lastReceived) return Opened::kOldSequence;
    s.received = true;
    s.lastReceived = fields.sequence;
    return Opened::kFrame;
}

bool StatusIn(const uint8_t* inner, size_t n, uint8_t* status) {
    SecureFrame f;
    if (!ParseSecureFrame(inner, n, &f) || f.service != SecureService::kSessionStatus) return false;
    *status = f.status;
    return true;
}

void EndSession(ClientSession& s) {
    Wipe(&s, sizeof s);
}

}  // namespace qel::secure
