// The interface's side of an FT1.2 link, without I/O: bytes from the PC go
// in with the time, the bytes to send come out. Frames from the PC are
// acknowledged and handed up once (a repeat, same frame-count bit as the
// last one, is acknowledged again only; the first after a reset is new
// whatever its bit); messages for the PC go out one at a time, each
// sent again until the PC acknowledges it (at most kSendAttempts times).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "bcuemu/ft12_faults.h"
#include "bcuemu/ft12_interface.h"
#include "ft12/ft12_codec.h"

namespace bcuemu::ft12 {

constexpr int64_t kAckTimeoutUs = 150000;  // the PC acknowledges within a few ms
constexpr int64_t kIdleGapUs = 50000;      // a frame silent this long in the middle is cut
constexpr int kSendAttempts = 3;

class Link {
public:
    struct Up {
        enum class Kind : uint8_t { kReset, kMessage } kind = Kind::kMessage;
        std::vector<uint8_t> message;
    };

    void Receive(const uint8_t* bytes, size_t count, int64_t nowUs);
    // Late acknowledgements, repeats and cut frames that fall due.
    void Tick(int64_t nowUs);
    void Send(std::vector<uint8_t> message);
    // The earliest time Tick() has work, or -1.
    int64_t NextDueUs() const;

    std::vector<uint8_t> TakeOutput();
    std::vector<Up> TakeUp();
    Ft12Faults& Faults() { return faults_; }
    const Ft12Counts& Counts() const { return counts_; }
    // Whether the PC has reset the link since it began.
    bool Established() const { return established_; }

private:
    void Take(const Frame& frame, int64_t nowUs);
    void Acknowledge(int64_t nowUs);
    void Transmit(int64_t nowUs);
    static bool Use(int& count);

    Parser parser_;
    Ft12Faults faults_;
    Ft12Counts counts_;
    bool established_ = false;
    uint8_t expectedBit_ = kFrameCountBit;  // of the PC's next new frame
    bool freshAfterReset_ = true;           // no frame since the reset: any bit is new
    uint8_t sendBit_ = kFrameCountBit;      // of the interface's next new frame
    int64_t lastByteUs_ = 0;
    std::vector<int64_t> lateAcks_;        // when each is due
    std::deque<std::vector<uint8_t>> queue_;  // messages for the PC; the front is on its way
    bool sending_ = false;
    int attempts_ = 0;
    bool repeatFront_ = false;             // send the front once more after its acknowledgement
    int64_t ackDueUs_ = 0;
    std::vector<uint8_t> current_;         // the front as sent, for repeats
    std::vector<uint8_t> output_;
    std::vector<Up> up_;
};

}  // namespace bcuemu::ft12
