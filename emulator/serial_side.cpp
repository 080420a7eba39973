#include "serial_side.h"

#include <algorithm>
#include <utility>

#include "bcuemu/frames.h"

namespace bcuemu::detail {

namespace {

constexpr int64_t kRealisticByteUs = 1042;   // one character at 9600 bit/s
constexpr int64_t kRealisticPauseUs = 3000;  // after every message
constexpr int64_t kErrorPauseUs = 10000;     // after an error, once the line is idle
constexpr int64_t kMessageTimeoutUs = 130000;
constexpr int64_t kDtrSettleUs = 100000;     // the cable wants this after DTR rises
constexpr int kMaxReactionUs = 3000;

int64_t orDefault(int value, int64_t fallback) { return value >= 0 ? value : fallback; }

}  // namespace

SerialSide::SerialSide(const Options& options, Faults& faults, FrameHandler accepted, FrameHandler sent)
    : options_(options), faults_(faults), accepted_(std::move(accepted)), sent_(std::move(sent)) {
    const bool realistic = options.timing == Timing::kRealistic;
    byteUs_ = realistic ? kRealisticByteUs : 0;
    postPauseUs_ = orDefault(options.postMessagePauseUs, realistic ? kRealisticPauseUs : 0);
    errorPauseUs_ = orDefault(options.errorPauseUs, kErrorPauseUs);
    timeoutUs_ = orDefault(options.messageTimeoutUs, kMessageTimeoutUs);
    random_.seed(options.seed ? options.seed : 1);
}

int64_t SerialSide::reaction() {
    if (options_.reactionUs >= 0) return options_.reactionUs;
    if (options_.timing == Timing::kFast) return 0;
    return std::uniform_int_distribution<int>(0, kMaxReactionUs)(random_);
}

void SerialSide::emit(LineOutput::Kind kind, uint8_t value, int64_t due) {
    // Outputs leave in order: a byte still on the wire delays what follows.
    due = std::max(due, lastDue_);
    lastDue_ = due;
    outputs_.push_back({kind, value, due});
}

void SerialSide::setCts(bool on, int64_t due) {
    if (on == cts_) return;
    if (!on && faults_.take(FaultKind::kCtsStuckOn)) return;
    cts_ = on;
    emit(LineOutput::Kind::kCts, on ? 1 : 0, due);
}

bool SerialSide::midMessage() const {
    switch (phase_) {
    case Phase::kBrokenOff: return true;
    case Phase::kRxCtsOn:
    case Phase::kRxAnswered:
    case Phase::kRxBetween: return !rx_.empty();
    case Phase::kTxRequest:
    case Phase::kTxSent: return txIndex_ > 0;
    default: return false;
    }
}

void SerialSide::connect(int64_t now) {
    connected_ = true;
    rts_ = dtr_ = cts_ = false;
    rtsServed_ = false;
    rx_.clear();
    rxAbandon_ = rxError_ = false;
    txActive_ = false;
    txIndex_ = 0;
    outputs_.clear();
    lastDue_ = now;
    phase_ = Phase::kIdle;
    pauseUntil_ = now;
    startIfPossible(now);
}

void SerialSide::disconnect(int64_t now) {
    error(now);
    connected_ = false;
    rts_ = dtr_ = cts_ = false;
    outputs_.clear();
}

void SerialSide::error(int64_t now) {
    rx_.clear();
    rxExpected_ = 0;
    rxAbandon_ = rxError_ = false;
    if (txActive_) {
        if (!queue_.empty() && queue_.front().once) queue_.pop_front();
        txActive_ = false;
        txIndex_ = 0;
    }
    setCts(false, now + reaction());
    phase_ = Phase::kRecovering;
    recoverAt_ = -1;
    rtsServed_ = true;  // a request already pending is not served; RTS must drop first
}

void SerialSide::rts(bool on, int64_t now) {
    if (on == rts_) return;
    rts_ = on;
    rtsServed_ = false;
    if (on) {
        if (phase_ == Phase::kIdle) {
            startIfPossible(now);
        } else if (phase_ == Phase::kRxBetween) {
            grantMasterByte(now);
        }
        return;
    }
    switch (phase_) {
    case Phase::kRxCtsOn:  // the driver gave up before writing
        setCts(false, now + reaction());
        if (rx_.empty()) {
            phase_ = Phase::kIdle;
            startIfPossible(now);
        } else {
            phase_ = Phase::kRxBetween;
        }
        break;
    case Phase::kRxAnswered:
        if (options_.ctsDropAfterRts) setCts(false, now + reaction());
        finishRxByte(now);
        break;
    case Phase::kTxSent:
        lastActivity_ = now;
        if (txIndex_ >= queue_.front().bytes.size()) {
            Queued done = std::move(queue_.front());
            queue_.pop_front();
            txActive_ = false;
            txIndex_ = 0;
            phase_ = Phase::kIdle;
            pauseUntil_ = now + postPauseUs_;
            sent_(done.bytes, now);
            startIfPossible(now);
        } else {
            requestTxByte(now);
        }
        break;
    case Phase::kRecovering: tick(now); break;
    default: break;
    }
}

void SerialSide::dtr(bool on, int64_t now) {
    if (on == dtr_) return;
    dtr_ = on;
    if (!on) {
        error(now);  // a DTR pulse resets the serial side
        return;
    }
    if (options_.timing == Timing::kRealistic && options_.requireDtr) busyUntil_ = std::max(busyUntil_, now + kDtrSettleUs);
    tick(now);
}

void SerialSide::finishRxByte(int64_t now) {
    if (rxError_) {
        error(now);
        return;
    }
    if (rxAbandon_) {  // the BCU won the line: its own frame goes first
        rx_.clear();
        rxAbandon_ = false;
        phase_ = Phase::kIdle;
        startIfPossible(now);
        return;
    }
    if (rx_.size() >= rxExpected_) {
        rx_.clear();
        phase_ = Phase::kIdle;
        pauseUntil_ = now + postPauseUs_;
        startIfPossible(now);
        return;
    }
    phase_ = Phase::kRxBetween;
}

void SerialSide::grantMasterByte(int64_t now) {
    rtsServed_ = true;
    const int index = static_cast<int>(rx_.size());
    if (faults_.take(FaultKind::kBreakOff, index)) {
        setCts(false, now + reaction());
        phase_ = Phase::kBrokenOff;
        lastActivity_ = now;
        return;
    }
    if (faults_.take(FaultKind::kNoCts, index)) {
        if (!rx_.empty()) error(now);
        return;
    }
    setCts(true, now + reaction());
    phase_ = Phase::kRxCtsOn;
    lastActivity_ = now;
}

void SerialSide::requestTxByte(int64_t now) {
    if (txIndex_ > 0 && faults_.take(FaultKind::kBreakOff, static_cast<int>(txIndex_))) {
        phase_ = Phase::kBrokenOff;
        lastActivity_ = now;
        return;
    }
    setCts(true, now + reaction());
    phase_ = Phase::kTxRequest;
}

void SerialSide::startIfPossible(int64_t now) {
    if (phase_ != Phase::kIdle || !lineUp()) return;
    if (now < pauseUntil_ || now < busyUntil_) return;
    if (rts_) {
        if (!rtsServed_) grantMasterByte(now);
        return;
    }
    if (queue_.empty()) return;
    txActive_ = true;
    txIndex_ = 0;
    requestTxByte(now);
}

void SerialSide::byteFromDriver(uint8_t b, int64_t now) {
    if (!lineUp()) return;
    if (phase_ == Phase::kRxCtsOn) {
        lastActivity_ = now;
        const int index = static_cast<int>(rx_.size());
        const int64_t heard = now + byteUs_ + reaction();  // the byte is in, the BCU reacts
        if (faults_.take(FaultKind::kNoAnswer, index)) {
            error(heard);
            return;
        }
        uint8_t answer = 0x00;
        if (index == 0) {
            if (!isHeaderByte(b)) {  // nothing a BCU can take: it resets its serial side
                error(heard);
                return;
            }
            rxExpected_ = (b & 0x1Fu) + 1;
            answer = 0xFF;
            if (auto f = faults_.take(FaultKind::kOwnHeaderAnswer); f && !f->frame.empty()) {
                queue(f->frame, false, now, true);
                answer = f->frame[0];
                rxAbandon_ = true;
            } else if (options_.answerHeaderWithOwnHeader && !queue_.empty()) {
                answer = queue_.front().bytes[0];
                rxAbandon_ = true;
            }
        }
        if (auto f = faults_.take(FaultKind::kWrongAnswer, index)) {
            answer = f->value;
            // An answer the handshake allows (0x00 to a header) lets the frame go on;
            // any other means the exchange is broken and the BCU starts over.
            rxError_ = !(answer == 0x00 || (index == 0 && answer == 0xFF));
        }
        rx_.push_back(b);
        if (!options_.ctsDropAfterRts) setCts(false, heard);
        emit(LineOutput::Kind::kByte, answer, heard + byteUs_);
        phase_ = Phase::kRxAnswered;
        if (!rxAbandon_ && !rxError_ && rx_.size() == rxExpected_) {
            accepted_(rx_, now);
            if (auto f = faults_.take(FaultKind::kCollisionBeforeHeader)) queue(f->frame, false, now);
        }
        return;
    }
    if (phase_ == Phase::kTxRequest) {
        // The driver's 0xFF or 0x00 clocks out the BCU's next byte.
        lastActivity_ = now;
        const std::vector<uint8_t>& frame = queue_.front().bytes;
        uint8_t out = frame[txIndex_];
        if (txIndex_ == 0) {
            if (auto f = faults_.take(FaultKind::kBadHeader, 0)) out = f->value;
        } else if (faults_.take(FaultKind::kByteEqualsHeader, static_cast<int>(txIndex_))) {
            out = frame[0];
        }
        const int64_t heard = now + byteUs_ + reaction();
        setCts(false, heard);
        emit(LineOutput::Kind::kByte, out, heard + byteUs_);
        ++txIndex_;
        phase_ = Phase::kTxSent;
    }
    // Any other byte comes outside a handshake and is lost.
}

void SerialSide::tick(int64_t now) {
    if (midMessage() && now - lastActivity_ >= timeoutUs_) error(now);
    if (phase_ == Phase::kRecovering) {
        if (!lineUp() || rts_) {
            recoverAt_ = -1;
        } else {
            if (recoverAt_ < 0) recoverAt_ = now + errorPauseUs_;
            if (now >= recoverAt_) {
                phase_ = Phase::kIdle;
                recoverAt_ = -1;
                rtsServed_ = false;
            }
        }
    }
    startIfPossible(now);
}

void SerialSide::queue(std::vector<uint8_t> frame, bool once, int64_t now, bool front) {
    if (frame.empty()) return;
    if (front) {
        auto at = txActive_ && !queue_.empty() ? queue_.begin() + 1 : queue_.begin();
        queue_.insert(at, Queued{std::move(frame), once});
    } else {
        queue_.push_back(Queued{std::move(frame), once});
    }
    if (phase_ == Phase::kIdle) startIfPossible(now);
}

void SerialSide::clearQueue() {
    if (txActive_ && !queue_.empty()) {
        Queued current = std::move(queue_.front());
        queue_.clear();
        queue_.push_back(std::move(current));
    } else {
        queue_.clear();
    }
}

void SerialSide::busyUntil(int64_t until) { busyUntil_ = std::max(busyUntil_, until); }

int64_t SerialSide::nextDeadline(int64_t now) const {
    int64_t best = 0;
    auto consider = [&](int64_t t) {
        if (t > now && (best == 0 || t < best)) best = t;
    };
    if (!outputs_.empty()) consider(outputs_.front().due);
    if (midMessage()) consider(lastActivity_ + timeoutUs_);
    if (phase_ == Phase::kRecovering && recoverAt_ >= 0) consider(recoverAt_);
    if (phase_ == Phase::kIdle) {
        consider(pauseUntil_);
        consider(busyUntil_);
    }
    return best;
}

std::vector<LineOutput> SerialSide::takeDue(int64_t now) {
    std::vector<LineOutput> due;
    while (!outputs_.empty() && outputs_.front().due <= now) {
        due.push_back(outputs_.front());
        outputs_.pop_front();
    }
    return due;
}

}  // namespace bcuemu::detail
