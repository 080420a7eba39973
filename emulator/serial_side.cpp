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

int64_t OrDefault(int value, int64_t fallback) { return value >= 0 ? value : fallback; }

}  // namespace

SerialSide::SerialSide(const Options& options, Faults& faults, FrameHandler accepted, FrameHandler sent)
    : options_(options), faults_(faults), accepted_(std::move(accepted)), sent_(std::move(sent)) {
    const bool realistic = options.timing == Timing::kRealistic;
    byteUs_ = realistic ? kRealisticByteUs : 0;
    postPauseUs_ = OrDefault(options.postMessagePauseUs, realistic ? kRealisticPauseUs : 0);
    errorPauseUs_ = OrDefault(options.errorPauseUs, kErrorPauseUs);
    timeoutUs_ = OrDefault(options.messageTimeoutUs, kMessageTimeoutUs);
    random_.seed(options.seed ? options.seed : 1);
}

int64_t SerialSide::Reaction() {
    if (options_.reactionUs >= 0) return options_.reactionUs;
    if (options_.timing == Timing::kFast) return 0;
    return std::uniform_int_distribution<int>(0, kMaxReactionUs)(random_);
}

void SerialSide::Emit(LineOutput::Kind kind, uint8_t value, int64_t due) {
    // Outputs leave in order: a byte still on the wire delays what follows.
    due = std::max(due, lastDue_);
    lastDue_ = due;
    outputs_.push_back({kind, value, due});
}

void SerialSide::SetCts(bool on, int64_t due) {
    if (on == cts_) return;
    if (!on && faults_.Take(FaultKind::kCtsStuckOn)) return;
    cts_ = on;
    Emit(LineOutput::Kind::kCts, on ? 1 : 0, due);
}

bool SerialSide::MidMessage() const {
    switch (phase_) {
    case Phase::kBrokenOff: return true;
    case Phase::kRxCtsOn:
    case Phase::kRxAnswered:
    case Phase::kRxBetween: return !rx_.empty();
    case Phase::kTxRequest: return txIndex_ > 0 || options_.announcementTimesOut;
    case Phase::kTxSent: return txIndex_ > 0;
    default: return false;
    }
}

void SerialSide::Connect(int64_t now) {
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
    StartIfPossible(now);
}

void SerialSide::Disconnect(int64_t now) {
    Error(now);
    connected_ = false;
    rts_ = dtr_ = cts_ = false;
    outputs_.clear();
}

void SerialSide::Error(int64_t now) {
    rx_.clear();
    rxExpected_ = 0;
    rxAbandon_ = rxError_ = false;
    if (txActive_) {
        if (!queue_.empty() && queue_.front().once) queue_.pop_front();
        txActive_ = false;
        txIndex_ = 0;
    }
    SetCts(false, now + Reaction());
    phase_ = Phase::kRecovering;
    recoverAt_ = -1;
    rtsServed_ = true;  // a request already pending is not served; RTS must drop first
}

void SerialSide::Rts(bool on, int64_t now) {
    if (on == rts_) return;
    rts_ = on;
    rtsServed_ = false;
    if (on) {
        if (phase_ == Phase::kIdle) {
            StartIfPossible(now);
        } else if (phase_ == Phase::kRxBetween) {
            GrantMasterByte(now);
        }
        return;
    }
    switch (phase_) {
    case Phase::kRxCtsOn:  // the driver gave up before writing
        SetCts(false, now + Reaction());
        if (rx_.empty()) {
            phase_ = Phase::kIdle;
            StartIfPossible(now);
        } else {
            phase_ = Phase::kRxBetween;
        }
        break;
    case Phase::kRxAnswered:
        if (options_.ctsDropAfterRts) SetCts(false, now + Reaction());
        FinishRxByte(now);
        break;
    case Phase::kTxSent:
        lastActivity_ = now;
        if (txIndex_ >= queue_.front().bytes.size()) {
            QueuedFrame done = std::move(queue_.front());
            queue_.pop_front();
            txActive_ = false;
            txIndex_ = 0;
            phase_ = Phase::kIdle;
            pauseUntil_ = now + postPauseUs_;
            sent_(done.bytes, now);
            StartIfPossible(now);
        } else {
            RequestTxByte(now);
        }
        break;
    case Phase::kRecovering: Tick(now); break;
    default: break;
    }
}

void SerialSide::Dtr(bool on, int64_t now) {
    if (on == dtr_) return;
    dtr_ = on;
    if (!on) {
        Error(now);  // a DTR pulse resets the serial side
        return;
    }
    if (options_.timing == Timing::kRealistic && options_.requireDtr) busyUntil_ = std::max(busyUntil_, now + kDtrSettleUs);
    Tick(now);
}

void SerialSide::FinishRxByte(int64_t now) {
    if (rxError_) {
        Error(now);
        return;
    }
    if (rxAbandon_) {  // the BCU won the line: its own frame goes first
        rx_.clear();
        rxAbandon_ = false;
        phase_ = Phase::kIdle;
        StartIfPossible(now);
        return;
    }
    if (rx_.size() >= rxExpected_) {
        rx_.clear();
        phase_ = Phase::kIdle;
        pauseUntil_ = now + postPauseUs_;
        StartIfPossible(now);
        return;
    }
    phase_ = Phase::kRxBetween;
}

void SerialSide::GrantMasterByte(int64_t now) {
    rtsServed_ = true;
    const int index = static_cast<int>(rx_.size());
    if (faults_.Take(FaultKind::kBreakOff, index)) {
        SetCts(false, now + Reaction());
        phase_ = Phase::kBrokenOff;
        lastActivity_ = now;
        return;
    }
    if (faults_.Take(FaultKind::kNoCts, index)) {
        if (!rx_.empty()) Error(now);
        return;
    }
    SetCts(true, now + Reaction());
    phase_ = Phase::kRxCtsOn;
    lastActivity_ = now;
}

void SerialSide::RequestTxByte(int64_t now) {
    if (txIndex_ > 0 && faults_.Take(FaultKind::kBreakOff, static_cast<int>(txIndex_))) {
        phase_ = Phase::kBrokenOff;
        lastActivity_ = now;
        return;
    }
    SetCts(true, now + Reaction());
    phase_ = Phase::kTxRequest;
    if (txIndex_ == 0) lastActivity_ = now;  // the announcement starts the message
}

void SerialSide::StartIfPossible(int64_t now) {
    if (phase_ != Phase::kIdle || !LineUp()) return;
    if (now < pauseUntil_ || now < busyUntil_) return;
    if (rts_) {
        if (!rtsServed_) GrantMasterByte(now);
        return;
    }
    if (queue_.empty()) return;
    txActive_ = true;
    txIndex_ = 0;
    RequestTxByte(now);
}

void SerialSide::ByteFromDriver(uint8_t b, int64_t now) {
    if (!LineUp()) return;
    // A byte taken late (this thread held off) after the message time-out
    // has passed finds the message given up, as a real BCU's timer would
    // have given it up in time: it is not answered.
    if (MidMessage() && now - lastActivity_ >= timeoutUs_) {
        Error(now);
        return;
    }
    if (phase_ == Phase::kRxCtsOn) {
        lastActivity_ = now;
        const int index = static_cast<int>(rx_.size());
        const int64_t heard = now + byteUs_ + Reaction();  // the byte is in, the BCU reacts
        if (faults_.Take(FaultKind::kNoAnswer, index)) {
            Error(heard);
            return;
        }
        uint8_t answer = 0x00;
        if (index == 0) {
            if (!IsHeaderByte(b)) {  // nothing a BCU can take: it resets its serial side
                Error(heard);
                return;
            }
            rxExpected_ = (b & 0x1Fu) + 1;
            answer = 0xFF;
            if (auto f = faults_.Take(FaultKind::kOwnHeaderAnswer); f && !f->frame.empty()) {
                Queue(f->frame, false, now, true);
                answer = f->frame[0];
                rxAbandon_ = true;
            } else if (options_.answerHeaderWithOwnHeader && !queue_.empty()) {
                answer = queue_.front().bytes[0];
                rxAbandon_ = true;
            }
        }
        if (auto f = faults_.Take(FaultKind::kWrongAnswer, index)) {
            answer = f->value;
            // An answer the handshake allows (0x00 to a header) lets the frame go on;
            // any other means the exchange is broken and the BCU starts over.
            rxError_ = !(answer == 0x00 || (index == 0 && answer == 0xFF));
        }
        rx_.push_back(b);
        if (!options_.ctsDropAfterRts) SetCts(false, heard);
        Emit(LineOutput::Kind::kByte, answer, heard + byteUs_);
        phase_ = Phase::kRxAnswered;
        if (!rxAbandon_ && !rxError_ && rx_.size() == rxExpected_) {
            accepted_(rx_, now);
            if (auto f = faults_.Take(FaultKind::kCollisionBeforeHeader)) Queue(f->frame, false, now);
        }
        return;
    }
    if (phase_ == Phase::kTxRequest) {
        // The driver's 0xFF or 0x00 clocks out the BCU's next byte.
        lastActivity_ = now;
        const std::vector<uint8_t>& frame = queue_.front().bytes;
        if (txIndex_ == 0 && b != 0xFF) {
            // Both sides asked for the line at once: the driver sent its own
            // header into the BCU's request. The BCU wins: it answers with its
            // header and offers its frame again from the start once RTS drops.
            const int64_t heard = now + byteUs_ + Reaction();
            SetCts(false, heard);
            Emit(LineOutput::Kind::kByte, frame[0], heard + byteUs_);
            phase_ = Phase::kTxSent;
            return;
        }
        uint8_t out = frame[txIndex_];
        if (txIndex_ == 0) {
            if (auto f = faults_.Take(FaultKind::kBadHeader, 0)) out = f->value;
        } else if (faults_.Take(FaultKind::kByteEqualsHeader, static_cast<int>(txIndex_))) {
            out = frame[0];
        }
        const int64_t heard = now + byteUs_ + Reaction();
        SetCts(false, heard);
        Emit(LineOutput::Kind::kByte, out, heard + byteUs_);
        ++txIndex_;
        phase_ = Phase::kTxSent;
    }
    // Any other byte comes outside a handshake and is lost.
}

void SerialSide::Tick(int64_t now) {
    if (MidMessage() && now - lastActivity_ >= timeoutUs_) Error(now);
    if (phase_ == Phase::kRecovering) {
        if (!LineUp() || rts_) {
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
    StartIfPossible(now);
}

void SerialSide::Queue(std::vector<uint8_t> frame, bool once, int64_t now, bool front) {
    if (frame.empty()) return;
    if (front) {
        auto at = txActive_ && !queue_.empty() ? queue_.begin() + 1 : queue_.begin();
        queue_.insert(at, QueuedFrame{std::move(frame), once});
    } else {
        queue_.push_back(QueuedFrame{std::move(frame), once});
    }
    if (phase_ == Phase::kIdle) StartIfPossible(now);
}

void SerialSide::ClearQueue() {
    if (txActive_ && !queue_.empty()) {
        QueuedFrame current = std::move(queue_.front());
        queue_.clear();
        queue_.push_back(std::move(current));
    } else {
        queue_.clear();
    }
}

void SerialSide::BusyUntil(int64_t until) { busyUntil_ = std::max(busyUntil_, until); }

int64_t SerialSide::NextDeadline(int64_t now) const {
    int64_t best = 0;
    auto consider = [&](int64_t t) {
        if (t > now && (best == 0 || t < best)) best = t;
    };
    if (!outputs_.empty()) consider(outputs_.front().due);
    if (MidMessage()) consider(lastActivity_ + timeoutUs_);
    if (phase_ == Phase::kRecovering && recoverAt_ >= 0) consider(recoverAt_);
    if (phase_ == Phase::kIdle) {
        consider(pauseUntil_);
        consider(busyUntil_);
    }
    return best;
}

std::vector<LineOutput> SerialSide::TakeDue(int64_t now) {
    std::vector<LineOutput> due;
    while (!outputs_.empty() && outputs_.front().due <= now) {
        due.push_back(outputs_.front());
        outputs_.pop_front();
    }
    return due;
}

}  // namespace bcuemu::detail
