// FT1.2 framing (the PEI of a BCU2 or a cEMI module on a serial line): the
// fixed frame 10 C CS 16, the variable frame 68 L L 68 C data CS 16 and the
// single acknowledgement E5. Pure byte work: the reader takes untrusted bytes
// and drops what is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::ft12 {

constexpr uint8_t kAck = 0xE5;
constexpr uint8_t kFixedStart = 0x10;
constexpr uint8_t kVariableStart = 0x68;
constexpr uint8_t kEnd = 0x16;
constexpr uint8_t kResetControl = 0x40;   // the driver's reset request
constexpr uint8_t kSendControl = 0x53;    // the driver's data frame; 0x73 with the frame-count bit
constexpr uint8_t kFrameCountBit = 0x20;  // alternates from frame to frame, set first after a reset
constexpr uint8_t kReceiveControl = 0xD3; // the interface's data frame; 0xF3 with the frame-count bit
constexpr size_t kMaxData = 64;           // the longest data a frame here carries
constexpr size_t kMaxFrame = kMaxData + 7;

// The reset request, 10 40 40 16, into `out` (4 bytes); returns 4.
size_t ResetFrame(uint8_t* out);
// A variable frame with `control` around `data`; 0 when `n` is over kMaxData.
size_t DataFrame(uint8_t control, const uint8_t* data, size_t n, uint8_t* out);

// What the reader took from the line.
enum class Event : uint8_t {
    kNone,   // nothing whole yet
    kAcknowledged,  // E5
    kFixed,  // a fixed frame; control()
    kData,   // a variable frame; control(), data(), size()
    kBad,    // a malformed frame was dropped (counted)
};

// Byte by byte: a frame whose checksum, length or end byte is wrong is
// dropped, and reading starts again at the next start byte.
class Reader {
public:
    Event Take(uint8_t byte);
    uint8_t control() const { return frame_[kControlAt]; }
    const uint8_t* data() const { return frame_ + kControlAt + 1; }
    size_t size() const { return length_ - 1u; }  // data octets after the control
    uint32_t badFrames() const { return bad_; }
    bool InFrame() const { return have_ != 0; }
    // A frame whose bytes stopped coming is dropped (kBad); kNone when none was begun.
    Event Cut() { return have_ != 0 ? Drop() : Event::kNone; }
    void Clear() { have_ = 0; }

private:
    static constexpr size_t kControlAt = 4;
    Event Drop();
    uint8_t frame_[kMaxFrame + 4] = {};
    size_t have_ = 0;
    uint8_t length_ = 0;
    uint32_t bad_ = 0;
};

}  // namespace qel::ft12
