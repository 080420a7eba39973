#include "bcuemu/frames.h"

#include <algorithm>

namespace bcuemu {

uint8_t HeaderFor(unsigned n) {
    uint8_t b = static_cast<uint8_t>(0x20 | (n & 0x1F));
    unsigned ones = 0;
    for (int bit = 0; bit < 7; ++bit) ones += (b >> bit) & 1u;
    if (ones & 1u) b |= 0x80;
    return b;
}

bool IsHeaderByte(uint8_t b) {
    if (b == kResetFrame) return false;
    return (b & 0x1F) != 0 && HeaderFor(b & 0x1F) == b;
}

std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& message) {
    std::vector<uint8_t> frame;
    frame.reserve(message.size() + 1);
    frame.push_back(HeaderFor(static_cast<unsigned>(message.size())));
    frame.insert(frame.end(), message.begin(), message.end());
    return frame;
}

std::vector<uint8_t> MemoryWriteFrame(uint16_t cell, uint8_t value) {
    return FrameOf({kMemoryWrite, 0x01, static_cast<uint8_t>(cell >> 8), static_cast<uint8_t>(cell), value});
}

std::vector<uint8_t> MemoryReadFrame(uint16_t cell, uint8_t count) {
    return FrameOf({kMemoryRead, count, static_cast<uint8_t>(cell >> 8), static_cast<uint8_t>(cell), 0x00});
}

namespace {

std::vector<uint8_t> TelegramMessage(uint8_t code, const Telegram& t) {
    std::vector<uint8_t> m = {code,
                              t.control,
                              static_cast<uint8_t>(t.source >> 8),
                              static_cast<uint8_t>(t.source),
                              static_cast<uint8_t>(t.destination >> 8),
                              static_cast<uint8_t>(t.destination),
                              static_cast<uint8_t>((t.group ? 0x80 : 0x00) | 0x60 | (t.LengthField() & 0x0F))};
    m.insert(m.end(), t.tpdu.begin(), t.tpdu.end());
    return m;
}

}  // namespace

std::vector<uint8_t> IndicationFrame(const Telegram& telegram) {
    return FrameOf(TelegramMessage(kDataIndication, telegram));
}

std::vector<uint8_t> DataRequestFrame(const Telegram& telegram) {
    return FrameOf(TelegramMessage(kDataRequest, telegram));
}

std::optional<Telegram> TelegramOfDataRequest(const std::vector<uint8_t>& frame, uint16_t ownAddress) {
    if (frame.size() < 10 || frame[1] != kDataRequest) return std::nullopt;
    Telegram t;
    t.control = 0xBC;  // the BCU sends every request as a standard low-priority frame
    t.source = static_cast<uint16_t>((frame[3] << 8) | frame[4]);
    if (t.source == 0) t.source = ownAddress;
    t.destination = static_cast<uint16_t>((frame[5] << 8) | frame[6]);
    t.group = (frame[7] & 0x80) != 0;
    const size_t length = frame[7] & 0x0F;
    const size_t end = std::min(frame.size(), 8 + length + 1);
    t.tpdu.assign(frame.begin() + 8, frame.begin() + static_cast<std::ptrdiff_t>(end));
    return t;
}

}  // namespace bcuemu
