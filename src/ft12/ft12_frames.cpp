#include "ft12/ft12_frames.h"

#include <cstring>

namespace qel::ft12 {
namespace {

uint8_t Sum(const uint8_t* bytes, size_t n) {
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

}  // namespace

size_t ResetFrame(uint8_t* out) {
    out[0] = kFixedStart;
    out[1] = kResetControl;
    out[2] = kResetControl;
    out[3] = kEnd;
    return 4;
}

size_t DataFrame(uint8_t control, const uint8_t* data, size_t n, uint8_t* out) {
    if (n > kMaxData) return 0;
    const auto length = static_cast<uint8_t>(n + 1);
    out[0] = kVariableStart;
    out[1] = length;
    out[2] = length;
    out[3] = kVariableStart;
    out[4] = control;
    std::memcpy(out + 5, data, n);
    out[5 + n] = Sum(out + 4, length);
    out[6 + n] = kEnd;
    return n + 7;
}

Event Reader::Drop() {
    have_ = 0;
    ++bad_;
    return Event::kBad;
}

Event Reader::Take(uint8_t byte) {
    if (have_ == 0) {
        if (byte == kAck) return Event::kAcknowledged;
        if (byte != kFixedStart && byte != kVariableStart) return Event::kNone;  // noise between frames
    }
    frame_[have_++] = byte;
    if (frame_[0] == kFixedStart) {
        // 10 C CS 16: the control byte sits where a variable frame's does.
        if (have_ < 4) return Event::kNone;
        have_ = 0;
        if (frame_[2] != frame_[1] || frame_[3] != kEnd) return Drop();
        frame_[kControlAt] = frame_[1];
        length_ = 1;
        return Event::kFixed;
    }
    if (have_ == 3) {
        length_ = frame_[1];
        if (frame_[2] != length_ || length_ == 0 || length_ > kMaxData + 1) return Drop();
    }
    if (have_ == 4 && byte != kVariableStart) return Drop();
    if (have_ < 4u + length_ + 2u) return Event::kNone;
    have_ = 0;
    if (frame_[4u + length_] != Sum(frame_ + 4, length_) || frame_[5u + length_] != kEnd) return Drop();
    return Event::kData;
}

}  // namespace qel::ft12
