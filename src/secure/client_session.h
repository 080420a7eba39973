// The client's side of one KNX IP Secure session, as bytes in and out (no
// I/O, no clock): the SESSION_REQUEST with a fresh X25519 key pair, the
// answer to SESSION_RESPONSE (its MAC checked when the device authentication
// code is known, the session key derived, SESSION_AUTHENTICATE wrapped), then
// every frame sealed in a SECURE_WRAPPER and every wrapper opened, refusing
// a wrong MAC, another session or a sequence number that does not increase.
//
// The client's serial number is 00 FA and four random bytes, new each
// session; its message tag is 0 (tags tell multicast senders apart).
#pragma once

#include <cstddef>
#include <cstdint>

#include "secure/credentials.h"
#include "secure/secure_crypto.h"

namespace qel::secure {

struct ClientSession {
    uint8_t privateKey[kPublicKeySize];
    uint8_t publicKey[kPublicKeySize];
    Key key;
    bool keyed;  // the session key is there
    uint16_t sessionId;
    uint64_t sendSequence;
    bool received;  // a wrapper was taken; lastReceived holds its sequence
    uint64_t lastReceived;
    uint8_t serial[kSerialSize];
};

// A new session: key pair, serial number, SESSION_REQUEST (over TCP) into
// `out` (kSessionRequestSize bytes). False when the platform refused.
bool BeginSession(ClientSession& s, uint8_t* out, size_t* n);

enum class Handshake : uint8_t {
    kAuthenticate,  // `out` holds the wrapped SESSION_AUTHENTICATE
    kStatus,        // a plain SESSION_STATUS: the server refused (*status)
    kBadMac,        // the SESSION_RESPONSE's MAC is not the device's
    kFailed,        // a primitive refused
    kOther,         // no session frame: ignored
};
// The server's answer to the SESSION_REQUEST.
Handshake Respond(ClientSession& s, const Credentials& c, const uint8_t* frame, size_t n, uint8_t* out,
                  size_t outSize, size_t* outLength, uint8_t* status);

// `inner` (a whole frame) sealed into `out`; its length, 0 on failure.
size_t Seal(ClientSession& s, const uint8_t* inner, size_t n, uint8_t* out, size_t outSize);

enum class Opened : uint8_t { kFrame, kNotWrapped, kOtherSession, kBadMac, kOldSequence };
// A received frame opened into `inner`; anything but kFrame is to be dropped.
Opened Open(ClientSession& s, const uint8_t* frame, size_t n, uint8_t* inner, size_t innerSize, size_t* innerLength);
// The status of an opened SESSION_STATUS; false for another frame.
bool StatusIn(const uint8_t* inner, size_t n, uint8_t* status);

// Wipes the keys: the session is over.
void EndSession(ClientSession& s);

}  // namespace qel::secure
