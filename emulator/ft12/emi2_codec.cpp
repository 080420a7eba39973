#include "ft12/emi2_codec.h"

namespace bcuemu::ft12 {

namespace {

constexpr size_t kMaxTpdu = 16;  // length field 0..15

}  // namespace

const std::vector<uint8_t>& LinkLayerSwitch() {
    static const std::vector<uint8_t> body = {0x00, 0x18, 0x34, 0x56, 0x78, 0x0A};
    return body;
}

const std::vector<uint8_t>& NormalModeSwitch() {
    static const std::vector<uint8_t> body = {0x1E, 0x12, 0x34, 0x56, 0x78, 0x9A};
    return body;
}

std::vector<uint8_t> EncodeEmi2(const Emi2Frame& frame) {
    const Telegram& t = frame.telegram;
    std::vector<uint8_t> out;
    out.reserve(t.tpdu.size() + 7);
    for (uint8_t b : {frame.messageCode, static_cast<uint8_t>((t.control & 0xFE) | (frame.confirmError ? 1 : 0)),
                                static_cast<uint8_t>(t.source >> 8), static_cast<uint8_t>(t.source),
                                static_cast<uint8_t>(t.destination >> 8), static_cast<uint8_t>(t.destination),
                                static_cast<uint8_t>((t.group ? 0x80 : 0x00) | 0x60 | (t.LengthField() & 0x0F))})
        out.push_back(b);
    for (uint8_t b : t.tpdu) out.push_back(b);
    return out;
}

std::optional<Emi2Frame> DecodeEmi2(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 8) return std::nullopt;
    Emi2Frame f;
    f.messageCode = bytes[0];
    if (f.messageCode != kEmiDataReq && f.messageCode != kEmiDataCon && f.messageCode != kEmiDataInd) return std::nullopt;
    Telegram& t = f.telegram;
    // The PC leaves the frame-type and repeat bits clear: on the bus it is a standard frame, not repeated.
    t.control = static_cast<uint8_t>(0xB0 | (bytes[1] & 0x0C));
    f.confirmError = f.messageCode == kEmiDataCon && (bytes[1] & 0x01) != 0;
    t.source = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
    t.destination = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    t.group = (bytes[6] & 0x80) != 0;
    t.tpdu.assign(bytes.begin() + 7, bytes.end());
    if (t.tpdu.size() > kMaxTpdu || t.tpdu.size() != (bytes[6] & 0x0Fu) + 1) return std::nullopt;
    return f;
}

}  // namespace bcuemu::ft12
