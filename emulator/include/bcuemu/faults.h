// Scripted misbehaviour of the emulated BCU, armed on demand by tests.
//
// Each fault is armed for the next `times` occurrences (kForever: until
// cleared). Faults that break an exchange of the driver's frame (no CTS
// after its first byte, no answer, a wrong answer other than 0x00 to a
// header, a break-off) also make the BCU abandon that frame and reset its
// serial side, as a real BCU does after a line error: it then waits for RTS
// low plus the error pause (10 ms) before it serves the line again, so the
// driver's next attempt starts a new frame. A wrong answer of 0x00 to a
// header is one the handshake allows: the frame goes on.
// Thread-safe: tests arm faults while the BCU's server thread consumes them.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace bcuemu {

constexpr int kForever = -1;
constexpr int kAnyByte = -1;

enum class FaultKind : uint8_t {
    kNoCts,                  // driver sends: RTS rises, CTS stays off (byte `byteIndex` or any)
    kNoAnswer,               // driver sends: the byte is taken, no answer byte comes
    kWrongAnswer,            // driver sends: answer `value` instead of 0xFF / 0x00
    kBreakOff,               // either way: after `byteIndex` bytes of a frame, the BCU goes silent until its stall time-out
    kBadHeader,              // BCU sends: its header byte is replaced by `value` (e.g. 0x25, 0xA0)
    kByteEqualsHeader,       // BCU sends: message byte `byteIndex` (or the first) is replaced by the header
    kCtsStuckOn,             // either way: CTS does not drop when it should (each suppressed drop is one occurrence)
    kCollisionBeforeHeader,  // once the next driver frame is accepted, `frame` is queued: CTS is on before the driver's next header
    kOwnHeaderAnswer,        // driver sends: its header is answered with the header of `frame`, which the BCU then sends
};

struct Fault {
    FaultKind kind = FaultKind::kNoCts;
    int times = 1;                // occurrences left; kForever never runs out
    int byteIndex = kAnyByte;     // byte of the frame (header = 0), where the kind uses one
    uint8_t value = 0;            // kWrongAnswer, kBadHeader
    std::vector<uint8_t> frame;   // kCollisionBeforeHeader, kOwnHeaderAnswer: a whole frame, header first
};

class Faults {
public:
    void Arm(const Fault& fault);
    void Clear();
    // Occurrences left of a kind (kForever if any is armed for ever).
    int Remaining(FaultKind kind) const;

    // Shorthands for Arm().
    void NoCts(int times = 1, int byteIndex = kAnyByte);
    void NoAnswer(int times = 1, int byteIndex = kAnyByte);
    void WrongAnswer(uint8_t answer, int byteIndex = kAnyByte, int times = 1);
    void BreakOff(int afterBytes, int times = 1);
    void BadHeader(uint8_t header, int times = 1);
    void ByteEqualsHeader(int byteIndex = 1, int times = 1);
    void CtsStuckOn(int times = kForever);
    void CollisionBeforeHeader(std::vector<uint8_t> frame);
    void OwnHeaderAnswer(std::vector<uint8_t> frame);

    // Used by the BCU: takes one occurrence of a fault of `kind` that applies
    // to byte `byteIndex`, if one is armed.
    std::optional<Fault> Take(FaultKind kind, int byteIndex = kAnyByte);

private:
    mutable std::mutex mutex_;
    std::vector<Fault> armed_;
};

}  // namespace bcuemu
