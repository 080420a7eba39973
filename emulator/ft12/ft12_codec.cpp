#include "ft12/ft12_codec.h"

namespace bcuemu::ft12 {

namespace {

uint8_t Sum(uint8_t control, const uint8_t* data, size_t count) {
    unsigned sum = control;
    for (size_t i = 0; i < count; ++i) sum += data[i];
    return static_cast<uint8_t>(sum);
}

}  // namespace

std::vector<uint8_t> FixedFrame(uint8_t control) { return {kFixedStart, control, control, kEnd}; }

std::vector<uint8_t> VariableFrame(uint8_t control, const std::vector<uint8_t>& data) {
    const auto length = static_cast<uint8_t>(data.size() + 1);
    std::vector<uint8_t> out;
    out.reserve(data.size() + 7);
    for (uint8_t b : {kVariableStart, length, length, kVariableStart, control}) out.push_back(b);
    for (uint8_t b : data) out.push_back(b);
    out.push_back(Sum(control, data.data(), data.size()));
    out.push_back(kEnd);
    return out;
}

std::optional<Frame> Parser::Feed(uint8_t byte) {
    if (buffer_.empty()) {
        if (byte == kAckByte) return Frame{};
        if (byte == kFixedStart || byte == kVariableStart) buffer_.push_back(byte);
        return std::nullopt;
    }
    buffer_.push_back(byte);
    const size_t n = buffer_.size();
    if (buffer_[0] == kFixedStart) {
        if (n < 4) return std::nullopt;
        if (buffer_[1] != buffer_[2] || buffer_[3] != kEnd) return Drop();
        Frame f{Frame::Kind::kFixed, buffer_[1], {}};
        buffer_.clear();
        return f;
    }
    if (n == 3 && (buffer_[1] != buffer_[2] || buffer_[1] == 0)) return Drop();
    if (n == 4 && buffer_[3] != kVariableStart) return Drop();
    if (n < 4 || n < static_cast<size_t>(buffer_[1]) + 6) return std::nullopt;
    const size_t dataCount = buffer_[1] - 1u;
    const uint8_t* data = buffer_.data() + 5;
    if (buffer_[n - 2] != Sum(buffer_[4], data, dataCount) || buffer_[n - 1] != kEnd) return Drop();
    Frame f{Frame::Kind::kVariable, buffer_[4], std::vector<uint8_t>(data, data + dataCount)};
    buffer_.clear();
    return f;
}

bool Parser::Abandon() {
    const bool had = !buffer_.empty();
    buffer_.clear();
    return had;
}

std::optional<Frame> Parser::Drop() {
    buffer_.clear();
    return Frame{Frame::Kind::kDropped, 0, {}};
}

}  // namespace bcuemu::ft12
