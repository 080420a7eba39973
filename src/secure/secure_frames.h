// The frames of KNX IP Secure, as bytes: SESSION_REQUEST, SESSION_RESPONSE,
// SESSION_AUTHENTICATE, SESSION_STATUS, the SECURE_WRAPPER around every frame
// of an established session or a secure routing group, and the group's
// TIMER_NOTIFY. Pure byte
// work, no cryptography (secure_crypto.h computes the MACs and wraps): every
// parser takes untrusted bytes and refuses what is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::secure {

constexpr size_t kHeaderSize = 6;
constexpr size_t kPublicKeySize = 32;
constexpr size_t kMacSize = 16;
constexpr size_t kSerialSize = 6;

enum class SecureService : uint16_t {
    kSecureWrapper = 0x0950,
    kSessionRequest = 0x0951,
    kSessionResponse = 0x0952,
    kSessionAuthenticate = 0x0953,
    kSessionStatus = 0x0954,
    kTimerNotify = 0x0955,
};

enum SessionStatus : uint8_t {
    kAuthenticationSuccess = 0x00,
    kAuthenticationFailed = 0x01,
    kUnauthenticated = 0x02,
    kTimeout = 0x03,
    kKeepAlive = 0x04,
    kClose = 0x05,
};

// The user id of the management user; tunnelling users count from 2.
constexpr uint8_t kManagementUser = 0x01;

constexpr uint8_t kHostProtocolUdp = 0x01;
constexpr uint8_t kHostProtocolTcp = 0x02;

// A control endpoint (host order); over TCP it is 0.0.0.0:0.
struct ControlEndpoint {
    uint8_t protocol;
    uint32_t address;
    uint16_t port;
};

// Fixed sizes of the session frames, header included.
constexpr size_t kSessionRequestSize = kHeaderSize + 8 + kPublicKeySize;               // 46
constexpr size_t kSessionResponseSize = kHeaderSize + 2 + kPublicKeySize + kMacSize;   // 56
constexpr size_t kSessionAuthenticateSize = kHeaderSize + 2 + kMacSize;                // 24
constexpr size_t kSessionStatusSize = kHeaderSize + 2;                                  // 8
// Session id, sequence, serial number and message tag before the encrypted frame.
constexpr size_t kWrapperFieldsSize = 2 + 6 + kSerialSize + 2;
constexpr size_t kWrapperOverhead = kHeaderSize + kWrapperFieldsSize + kMacSize;       // 38
// Timer value, serial number and message tag, then the MAC.
constexpr size_t kTimerNotifySize = kHeaderSize + 6 + kSerialSize + 2 + kMacSize;      // 36

// The KNXnet/IP header of a frame of `total` bytes.
void PutHeader(uint8_t* out, SecureService service, size_t total);

// Each writes one frame into `out` (its size above) and returns its length.
size_t SessionRequest(uint8_t* out, const ControlEndpoint& control, const uint8_t clientPublic[kPublicKeySize]);
size_t SessionResponse(uint8_t* out, uint16_t sessionId, const uint8_t serverPublic[kPublicKeySize],
                       const uint8_t mac[kMacSize]);
size_t SessionAuthenticate(uint8_t* out, uint8_t userId, const uint8_t mac[kMacSize]);
size_t SessionStatusFrame(uint8_t* out, uint8_t status);

// One parsed frame; the pointers point into the parsed bytes.
struct SecureFrame {
    SecureService service{};
    uint16_t sessionId = 0;                 // RESPONSE, WRAPPER
    ControlEndpoint control{};              // REQUEST
    const uint8_t* publicKey = nullptr;     // REQUEST (client's), RESPONSE (server's)
    const uint8_t* mac = nullptr;           // RESPONSE, AUTHENTICATE, WRAPPER, TIMER_NOTIFY
    uint8_t userId = 0;                     // AUTHENTICATE
    uint8_t status = 0;                     // STATUS
    uint64_t sequence = 0;                  // WRAPPER, TIMER_NOTIFY (its timer value): 48 bits
    const uint8_t* serial = nullptr;        // WRAPPER, TIMER_NOTIFY: kSerialSize bytes
    uint16_t messageTag = 0;                // WRAPPER, TIMER_NOTIFY
    const uint8_t* encrypted = nullptr;     // WRAPPER: the encrypted frame
    size_t encryptedLength = 0;
};
// False for anything but a well-formed frame of the services above, its
// total length equal to n.
bool ParseSecureFrame(const uint8_t* bytes, size_t n, SecureFrame* out);

// Big-endian helpers shared with the composition.
void Put16(uint8_t* at, uint16_t value);
uint16_t Get16(const uint8_t* at);
void Put48(uint8_t* at, uint64_t value);
uint64_t Get48(const uint8_t* at);

}  // namespace qel::secure
