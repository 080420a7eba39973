// FT1.2 frames on the PC's serial line (19200 baud 8E1): the fixed frame
// 10 C C 16, the variable frame 68 L L 68 C data CS 16 and the single
// acknowledgement E5. Pure byte work: the parser takes untrusted bytes one
// at a time and reports whole frames, and frames it had to drop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace bcuemu::ft12 {

constexpr uint8_t kFixedStart = 0x10;
constexpr uint8_t kVariableStart = 0x68;
constexpr uint8_t kEnd = 0x16;
constexpr uint8_t kAckByte = 0xE5;  // the single acknowledgement

// Control bytes. The frame-count bit alternates per new frame; FCV says it counts.
constexpr uint8_t kFrameCountBit = 0x20;
constexpr uint8_t kResetControl = 0x40;    // PC: reset of the link (fixed frame)
constexpr uint8_t kSendFromPc = 0x53;      // PC: SEND/UCONF, FCV set, | kFrameCountBit
constexpr uint8_t kSendFromUnit = 0xD3;    // interface: direction bit set, | kFrameCountBit
constexpr size_t kMaxData = 253;           // L is one byte and counts the control byte

std::vector<uint8_t> FixedFrame(uint8_t control);
std::vector<uint8_t> VariableFrame(uint8_t control, const std::vector<uint8_t>& data);

struct Frame {
    enum class Kind : uint8_t { kAck, kFixed, kVariable, kDropped } kind = Kind::kAck;
    uint8_t control = 0;
    std::vector<uint8_t> data;  // kVariable: the bytes after the control byte
};

class Parser {
public:
    // One byte in; a frame once it is whole, or kDropped once a started frame
    // proves wrong (bad checksum, lengths or end byte). Bytes that start no
    // frame are skipped silently.
    std::optional<Frame> Feed(uint8_t byte);
    // Forgets a frame in progress (the line fell idle in the middle of it);
    // true if there was one.
    bool Abandon();
    bool InFrame() const { return !buffer_.empty(); }

private:
    std::optional<Frame> Drop();
    std::vector<uint8_t> buffer_;
};

}  // namespace bcuemu::ft12
