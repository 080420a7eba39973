#include "ft12/ft12_link.h"

#include <algorithm>
#include <utility>

namespace bcuemu::ft12 {

bool Link::Use(int& count) {
    if (count <= 0) return false;
    --count;
    return true;
}

void Link::Receive(const uint8_t* bytes, size_t count, int64_t nowUs) {
    Tick(nowUs);
    for (size_t i = 0; i < count; ++i) {
        lastByteUs_ = nowUs;
        if (const std::optional<Frame> frame = parser_.Feed(bytes[i])) Take(*frame, nowUs);
    }
}

void Link::Tick(int64_t nowUs) {
    if (parser_.InFrame() && nowUs - lastByteUs_ >= kIdleGapUs && parser_.Abandon()) ++counts_.dropped;
    for (auto it = lateAcks_.begin(); it != lateAcks_.end();) {
        if (*it > nowUs) {
            ++it;
            continue;
        }
        output_.push_back(kAckByte);
        it = lateAcks_.erase(it);
    }
    if (sending_ && nowUs >= ackDueUs_) {
        if (attempts_ < kSendAttempts) {
            ++attempts_;
            output_.insert(output_.end(), current_.begin(), current_.end());
            ackDueUs_ = nowUs + kAckTimeoutUs;
        } else {
            ++counts_.abandoned;
            queue_.pop_front();
            sending_ = repeatFront_ = false;
            sendBit_ ^= kFrameCountBit;
        }
    }
    Transmit(nowUs);
}

void Link::Send(std::vector<uint8_t> message) { queue_.push_back(std::move(message)); }

int64_t Link::NextDueUs() const {
    int64_t due = -1;
    auto consider = [&due](int64_t at) { due = due < 0 ? at : std::min(due, at); };
    for (int64_t at : lateAcks_) consider(at);
    if (sending_) consider(ackDueUs_);
    if (parser_.InFrame()) consider(lastByteUs_ + kIdleGapUs);
    if (!sending_ && established_ && !queue_.empty()) consider(0);
    return due;
}

std::vector<uint8_t> Link::TakeOutput() { return std::exchange(output_, {}); }

std::vector<Link::Up> Link::TakeUp() { return std::exchange(up_, {}); }

void Link::Take(const Frame& frame, int64_t nowUs) {
    switch (frame.kind) {
    case Frame::Kind::kDropped:
        ++counts_.dropped;
        return;
    case Frame::Kind::kAck:
        if (!sending_) return;
        if (repeatFront_) {
            // The same frame again, frame-count bit unchanged: the PC must see it as a repeat.
            repeatFront_ = false;
            output_.insert(output_.end(), current_.begin(), current_.end());
            attempts_ = 1;
            ackDueUs_ = nowUs + kAckTimeoutUs;
            return;
        }
        queue_.pop_front();
        sending_ = false;
        sendBit_ ^= kFrameCountBit;
        Transmit(nowUs);
        return;
    case Frame::Kind::kFixed:
        if (frame.control != kResetControl) {
            Acknowledge(nowUs);
            return;
        }
        if (Use(faults_.ignoredResets)) return;
        Acknowledge(nowUs);
        ++counts_.resets;
        established_ = true;
        freshAfterReset_ = true;
        sendBit_ = kFrameCountBit;
        sending_ = repeatFront_ = false;  // a message on its way starts again, counted anew
        up_.push_back({Up::Kind::kReset, {}});
        Transmit(nowUs);
        return;
    case Frame::Kind::kVariable:
        Acknowledge(nowUs);
        if ((frame.control & ~kFrameCountBit) != kSendFromPc || frame.data.empty()) return;
        // The first frame after a reset has no last frame to repeat: knxd sends
        // it with the bit set, knxultimate with the bit clear.
        if (!freshAfterReset_ && (frame.control & kFrameCountBit) != expectedBit_) {
            ++counts_.repeats;
            return;
        }
        freshAfterReset_ = false;
        expectedBit_ = (frame.control & kFrameCountBit) ^ kFrameCountBit;
        ++counts_.taken;
        up_.push_back({Up::Kind::kMessage, frame.data});
        return;
    }
}

void Link::Acknowledge(int64_t nowUs) {
    if (Use(faults_.lostAcks)) return;
    if (Use(faults_.lateAcks)) {
        lateAcks_.push_back(nowUs + faults_.lateAckUs);
        return;
    }
    output_.push_back(kAckByte);
}

void Link::Transmit(int64_t nowUs) {
    if (sending_ || queue_.empty() || !established_) return;
    current_ = VariableFrame(static_cast<uint8_t>(kSendFromUnit | sendBit_), queue_.front());
    std::vector<uint8_t> wire = current_;
    if (Use(faults_.badChecksums)) wire[wire.size() - 2] ^= 0xFF;
    if (Use(faults_.cutFrames)) wire.resize(wire.size() / 2);
    repeatFront_ = Use(faults_.repeatedFrames);
    output_.insert(output_.end(), wire.begin(), wire.end());
    sending_ = true;
    attempts_ = 1;
    ackDueUs_ = nowUs + kAckTimeoutUs;
}

}  // namespace bcuemu::ft12
