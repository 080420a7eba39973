#include "routing/routing_frames.h"

#include <cstring>

namespace qel::routing {
namespace {

constexpr size_t kHeaderSize = 6;
constexpr uint8_t kVersion = 0x10;
constexpr uint8_t kBusyInfoSize = 6;
constexpr uint8_t kLostInfoSize = 4;

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

}  // namespace

size_t RoutingIndication(uint8_t* out, const uint8_t* cemi, size_t length) {
    const size_t total = kHeaderSize + length;
    if (total > kMaxDatagram) return 0;
    const auto service = static_cast<uint16_t>(Service::kIndication);
    out[0] = kHeaderSize;
    out[1] = kVersion;
    out[2] = static_cast<uint8_t>(service >> 8);
    out[3] = static_cast<uint8_t>(service);
    out[4] = static_cast<uint8_t>(total >> 8);
    out[5] = static_cast<uint8_t>(total);
    std::memcpy(out + kHeaderSize, cemi, length);
    return total;
}

bool ParseRouted(const uint8_t* bytes, size_t n, Routed* out) {
    if (n < kHeaderSize || bytes[0] != kHeaderSize || bytes[1] != kVersion || Get16(bytes + 4) != n) return false;
    const uint8_t* body = bytes + kHeaderSize;
    const size_t size = n - kHeaderSize;
    switch (Get16(bytes + 2)) {
    case static_cast<uint16_t>(Service::kIndication):
        if (size < 2) return false;
        out->service = Service::kIndication;
        out->cemi = body;
        out->cemiLength = size;
        return true;
    case static_cast<uint16_t>(Service::kBusy):
        if (size < kBusyInfoSize || body[0] != kBusyInfoSize) return false;
        out->service = Service::kBusy;
        out->waitMs = Get16(body + 2);
        out->control = Get16(body + 4);
        return true;
    case static_cast<uint16_t>(Service::kLostMessage):
        if (size < kLostInfoSize || body[0] != kLostInfoSize) return false;
        out->service = Service::kLostMessage;
        out->lost = Get16(body + 2);
        return true;
    default:
        return false;
    }
}

}  // namespace qel::routing
