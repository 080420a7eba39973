#include "tunnel/knxnet_frames.h"

#include <cstdio>
#include <cstring>

namespace qel::knxnet {
namespace {

constexpr uint8_t kProtocolVersion = 0x10;
constexpr uint8_t kHpaiSize = 0x08;
constexpr uint8_t kUdp = 0x01;
constexpr uint8_t kTcp = 0x02;
constexpr uint8_t kTunnelConnection = 0x04;
constexpr uint8_t kTunnelLinkLayer = 0x02;
constexpr uint8_t kConnectionHeaderSize = 0x04;

void Put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}
uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

size_t Header(uint8_t* out, Service service, size_t total) {
    out[0] = kHeaderSize;
    out[1] = kProtocolVersion;
    Put16(out + 2, static_cast<uint16_t>(service));
    Put16(out + 4, static_cast<uint16_t>(total));
    return kHeaderSize;
}

size_t PutHpai(uint8_t* at, const Hpai& hpai) {
    at[0] = kHpaiSize;
    at[1] = hpai.tcp ? kTcp : kUdp;
    Put16(at + 2, static_cast<uint16_t>(hpai.address >> 16));
    Put16(at + 4, static_cast<uint16_t>(hpai.address));
    Put16(at + 6, hpai.port);
    return kHpaiSize;
}

bool GetHpai(const uint8_t* at, size_t left, Hpai* hpai) {
    if (left < kHpaiSize || at[0] != kHpaiSize || (at[1] != kUdp && at[1] != kTcp)) return false;
    hpai->tcp = at[1] == kTcp;
    hpai->address = static_cast<uint32_t>(Get16(at + 2)) << 16 | Get16(at + 4);
    hpai->port = Get16(at + 6);
    return true;
}

size_t ChannelFrame(uint8_t* out, Service service, uint8_t channel, uint8_t second, const Hpai* control) {
    const size_t total = kHeaderSize + 2 + (control != nullptr ? kHpaiSize : 0);
    size_t n = Header(out, service, total);
    out[n++] = channel;
    out[n++] = second;
    if (control != nullptr) n += PutHpai(out + n, *control);
    return n;
}

}  // namespace

size_t ConnectRequest(uint8_t* out, const Hpai& control, const Hpai& data) {
    size_t n = Header(out, Service::kConnectRequest, kHeaderSize + 2 * kHpaiSize + 4);
    n += PutHpai(out + n, control);
    n += PutHpai(out + n, data);
    const uint8_t cri[] = {0x04, kTunnelConnection, kTunnelLinkLayer, 0x00};
    std::memcpy(out + n, cri, sizeof cri);
    return n + sizeof cri;
}

size_t ConnectionStateRequest(uint8_t* out, uint8_t channel, const Hpai& control) {
    return ChannelFrame(out, Service::kConnectionStateRequest, channel, 0, &control);
}

size_t DisconnectRequest(uint8_t* out, uint8_t channel, const Hpai& control) {
    return ChannelFrame(out, Service::kDisconnectRequest, channel, 0, &control);
}

size_t DisconnectResponse(uint8_t* out, uint8_t channel, uint8_t status) {
    return ChannelFrame(out, Service::kDisconnectResponse, channel, status, nullptr);
}

size_t TunnellingRequest(uint8_t* out, uint8_t channel, uint8_t sequence, const uint8_t* cemi, size_t length) {
    size_t n = Header(out, Service::kTunnellingRequest, kHeaderSize + kConnectionHeaderSize + length);
    const uint8_t connection[] = {kConnectionHeaderSize, channel, sequence, 0x00};
    std::memcpy(out + n, connection, sizeof connection);
    n += sizeof connection;
    std::memcpy(out + n, cemi, length);
    return n + length;
}

size_t TunnellingAck(uint8_t* out, uint8_t channel, uint8_t sequence, uint8_t status) {
    size_t n = Header(out, Service::kTunnellingAck, kHeaderSize + kConnectionHeaderSize);
    const uint8_t connection[] = {kConnectionHeaderSize, channel, sequence, status};
    std::memcpy(out + n, connection, sizeof connection);
    return n + sizeof connection;
}

size_t FrameLength(const uint8_t* header) {
    const size_t total = Get16(header + 4);
    if (header[0] != kHeaderSize || header[1] != kProtocolVersion || total < kHeaderSize || total > kMaxDatagram) return 0;
    return total;
}

bool ParseDatagram(const uint8_t* bytes, size_t n, Received* out) {
    if (n < kHeaderSize || bytes[0] != kHeaderSize || bytes[1] != kProtocolVersion) return false;
    const size_t total = Get16(bytes + 4);
    if (total < kHeaderSize || total > n) return false;
    const uint8_t* body = bytes + kHeaderSize;
    const size_t left = total - kHeaderSize;
    *out = Received{};
    out->service = static_cast<Service>(Get16(bytes + 2));
    switch (out->service) {
    case Service::kConnectResponse:
        if (left < 2) return false;
        out->channel = body[0];
        out->status = body[1];
        if (out->status != kNoError) return true;
        // The data endpoint, then the connection's own description with the tunnel's address.
        if (!GetHpai(body + 2, left - 2, &out->endpoint)) return false;
        if (left < 2 + kHpaiSize + 4 || body[2 + kHpaiSize] < 4 || body[3 + kHpaiSize] != kTunnelConnection) return false;
        out->individualAddress = Get16(body + 4 + kHpaiSize);
        return true;
    case Service::kConnectionStateResponse:
    case Service::kDisconnectResponse:
        if (left < 2) return false;
        out->channel = body[0];
        out->status = body[1];
        return true;
    case Service::kDisconnectRequest:
        if (left < 2) return false;
        out->channel = body[0];
        return GetHpai(body + 2, left - 2, &out->endpoint);
    case Service::kTunnellingAck:
    case Service::kTunnellingRequest:
        if (left < kConnectionHeaderSize || body[0] != kConnectionHeaderSize) return false;
        out->channel = body[1];
        out->sequence = body[2];
        out->status = body[3];
        out->cemi = body + kConnectionHeaderSize;
        out->cemiLength = left - kConnectionHeaderSize;
        return out->service == Service::kTunnellingAck || out->cemiLength > 0;
    default:
        return false;
    }
}

const char* StatusName(uint8_t status, char* scratch, size_t size) {
    switch (status) {
    case 0x00: return "E_NO_ERROR";
    case 0x01: return "E_HOST_PROTOCOL_TYPE";
    case 0x02: return "E_VERSION_NOT_SUPPORTED";
    case 0x04: return "E_SEQUENCE_NUMBER";
    case 0x21: return "E_CONNECTION_ID";
    case 0x22: return "E_CONNECTION_TYPE";
    case 0x23: return "E_CONNECTION_OPTION";
    case 0x24: return "E_NO_MORE_CONNECTIONS";
    case 0x26: return "E_DATA_CONNECTION";
    case 0x27: return "E_KNX_CONNECTION";
    case 0x29: return "E_TUNNELLING_LAYER";
    default:
        std::snprintf(scratch, size, "E_0x%02X", static_cast<unsigned>(status));
        return scratch;
    }
}

}  // namespace qel::knxnet
