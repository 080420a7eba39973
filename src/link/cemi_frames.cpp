#include "link/cemi_frames.h"

#include <cstring>

namespace qel::cemi {
namespace {

constexpr uint8_t kBcuIndication = 0x49;

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

}  // namespace

uint8_t HeaderByte(uint8_t length) {
    const auto low = static_cast<uint8_t>(0x20 | (length & 0x1F));
    uint8_t parity = 0;
    for (int bit = 0; bit < 7; ++bit) parity ^= static_cast<uint8_t>((low >> bit) & 1);
    return static_cast<uint8_t>(low | parity << 7);
}


size_t CemiFromBcuRequest(const uint8_t* image, uint8_t* cemi) {
    const uint8_t imageLength = image[0] & 0x1F;
    if (imageLength < 8 || image[1] != kLDataReq) return 0;
    const uint8_t routing = image[7];
    const uint8_t length = routing & 0x0F;
    if (8u + length > imageLength) return 0;
    cemi[0] = kLDataReq;
    cemi[1] = 0;  // no additional information
    // A standard frame, not repeated, broadcast, with the request's priority.
    cemi[2] = static_cast<uint8_t>(0xB0 | (image[2] & 0x0C));
    // Group or individual destination and the hop count, as the request says.
    cemi[3] = static_cast<uint8_t>(routing & 0xF0);
    cemi[4] = 0;  // the source: the server fills in the tunnel's address
    cemi[5] = 0;
    cemi[6] = image[5];
    cemi[7] = image[6];
    cemi[8] = length;
    std::memcpy(cemi + 9, image + 8, length + 1u);
    return 10u + length;
}

bool ParseCemi(const uint8_t* cemi, size_t n, CemiData* out) {
    if (n < 2) return false;
    const size_t at = 2u + cemi[1];  // past the additional information
    if (n < at + 8) return false;
    out->code = cemi[0];
    out->control1 = cemi[at];
    out->control2 = cemi[at + 1];
    out->source = Get16(cemi + at + 2);
    out->destination = Get16(cemi + at + 4);
    out->length = cemi[at + 6];
    out->tpdu = cemi + at + 7;
    return n >= at + 8 + out->length;
}

uint8_t BcuIndicationFromCemi(const CemiData& frame, uint8_t* image, size_t size) {
    const bool standard = (frame.control1 & 0x80) != 0;
    if (!standard || frame.length > 15) return 0;
    const auto length = static_cast<uint8_t>(8 + frame.length);
    if (length + 1u > size) return 0;
    image[0] = HeaderByte(length);
    image[1] = kBcuIndication;
    image[2] = frame.control1;
    image[3] = static_cast<uint8_t>(frame.source >> 8);
    image[4] = static_cast<uint8_t>(frame.source);
    image[5] = static_cast<uint8_t>(frame.destination >> 8);
    image[6] = static_cast<uint8_t>(frame.destination);
    image[7] = static_cast<uint8_t>((frame.control2 & 0xF0) | frame.length);
    std::memcpy(image + 8, frame.tpdu, frame.length + 1u);
    return length;
}

}  // namespace qel::cemi
