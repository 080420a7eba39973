#include "secure/secure_frames.h"

#include <cstring>

namespace qel::secure {
namespace {

constexpr uint8_t kHeaderLength = 0x06;
constexpr uint8_t kProtocolVersion = 0x10;
constexpr uint8_t kHpaiSize = 0x08;

}  // namespace

void Put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

void Put48(uint8_t* at, uint64_t value) {
    for (int i = 5; i >= 0; --i, value >>= 8) at[i] = static_cast<uint8_t>(value);
}

uint64_t Get48(const uint8_t* at) {
    uint64_t value = 0;
    for (int i = 0; i < 6; ++i) value = value << 8 | at[i];
    return value;
}

void PutHeader(uint8_t* out, SecureService service, size_t total) {
    out[0] = kHeaderLength;
    out[1] = kProtocolVersion;
    Put16(out + 2, static_cast<uint16_t>(service));
    Put16(out + 4, static_cast<uint16_t>(total));
}

size_t SessionRequest(uint8_t* out, const ControlEndpoint& control, const uint8_t* clientPublic) {
    PutHeader(out, SecureService::kSessionRequest, kSessionRequestSize);
    uint8_t* hpai = out + kHeaderSize;
    hpai[0] = kHpaiSize;
    hpai[1] = control.protocol;
    Put16(hpai + 2, static_cast<uint16_t>(control.address >> 16));
    Put16(hpai + 4, static_cast<uint16_t>(control.address));
    Put16(hpai + 6, control.port);
    std::memcpy(hpai + kHpaiSize, clientPublic, kPublicKeySize);
    return kSessionRequestSize;
}

size_t SessionResponse(uint8_t* out, uint16_t sessionId, const uint8_t* serverPublic, const uint8_t* mac) {
    PutHeader(out, SecureService::kSessionResponse, kSessionResponseSize);
    Put16(out + kHeaderSize, sessionId);
    std::memcpy(out + kHeaderSize + 2, serverPublic, kPublicKeySize);
    std::memcpy(out + kHeaderSize + 2 + kPublicKeySize, mac, kMacSize);
    return kSessionResponseSize;
}

size_t SessionAuthenticate(uint8_t* out, uint8_t userId, const uint8_t* mac) {
    PutHeader(out, SecureService::kSessionAuthenticate, kSessionAuthenticateSize);
    out[kHeaderSize] = 0x00;  // reserved
    out[kHeaderSize + 1] = userId;
    std::memcpy(out + kHeaderSize + 2, mac, kMacSize);
    return kSessionAuthenticateSize;
}

size_t SessionStatusFrame(uint8_t* out, uint8_t status) {
    PutHeader(out, SecureService::kSessionStatus, kSessionStatusSize);
    out[kHeaderSize] = status;
    out[kHeaderSize + 1] = 0x00;  // reserved
    return kSessionStatusSize;
}

bool ParseSecureFrame(const uint8_t* bytes, size_t n, SecureFrame* out) {
    if (n < kHeaderSize || bytes[0] != kHeaderLength || bytes[1] != kProtocolVersion || Get16(bytes + 4) != n)
        return false;
    *out = SecureFrame{};
    out->service = static_cast<SecureService>(Get16(bytes + 2));
    const uint8_t* body = bytes + kHeaderSize;
    switch (out->service) {
        case SecureService::kSessionRequest:
            if (n != kSessionRequestSize || body[0] != kHpaiSize ||
                (body[1] != kHostProtocolUdp && body[1] != kHostProtocolTcp))
                return false;
            out->control.protocol = body[1];
            out->control.address = static_cast<uint32_t>(Get16(body + 2)) << 16 | Get16(body + 4);
            out->control.port = Get16(body + 6);
            out->publicKey = body + kHpaiSize;
            return true;
        case SecureService::kSessionResponse:
            if (n != kSessionResponseSize) return false;
            out->sessionId = Get16(body);
            out->publicKey = body + 2;
            out->mac = body + 2 + kPublicKeySize;
            return true;
        case SecureService::kSessionAuthenticate:
            if (n != kSessionAuthenticateSize) return false;
            out->userId = body[1];
            out->mac = body + 2;
            return true;
        case SecureService::kSessionStatus:
            if (n != kSessionStatusSize) return false;
            out->status = body[0];
            return true;
        case SecureService::kSecureWrapper:
            // An encrypted frame holds at least a KNXnet/IP header.
            if (n < kWrapperOverhead + kHeaderSize) return false;
            out->sessionId = Get16(body);
            out->sequence = Get48(body + 2);
            out->serial = body + 8;
            out->messageTag = Get16(body + 8 + kSerialSize);
            out->encrypted = body + kWrapperFieldsSize;
            out->encryptedLength = n - kWrapperOverhead;
            out->mac = bytes + n - kMacSize;
            return true;
        case SecureService::kTimerNotify:
            if (n != kTimerNotifySize) return false;
            out->sequence = Get48(body);
            out->serial = body + 6;
            out->messageTag = Get16(body + 6 + kSerialSize);
            out->mac = body + 8 + kSerialSize;
            return true;
    }
    return false;
}

}  // namespace qel::secure
