// The BCU's side of the RTS/CTS byte handshake: a state machine over the
// driver's lines (RTS, DTR), the driver's bytes and time. It decides CTS and
// the bytes the BCU sends, as outputs due at a given time, and hands whole
// frames accepted from the driver to its owner. Not thread-safe: the owner
// serialises every call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <vector>

#include "bcuemu/faults.h"
#include "bcuemu/options.h"

namespace bcuemu::detail {

struct LineOutput {
    enum class Kind : uint8_t { kCts, kByte } kind;
    uint8_t value;  // kCts: 0/1; kByte: the byte
    int64_t due;    // microseconds
};

class SerialSide {
public:
    using FrameHandler = std::function<void(const std::vector<uint8_t>& frame, int64_t now)>;

    SerialSide(const Options& options, Faults& faults, FrameHandler accepted, FrameHandler sent);

    void Connect(int64_t now);
    void Disconnect(int64_t now);
    void Rts(bool on, int64_t now);
    void Dtr(bool on, int64_t now);
    void ByteFromDriver(uint8_t b, int64_t now);
    void Tick(int64_t now);

    // Frames to send; `once` frames are dropped, not repeated, when an error
    // interrupts them (the reset frame).
    void Queue(std::vector<uint8_t> frame, bool once, int64_t now, bool front = false);
    void ClearQueue();
    size_t Queued() const { return queue_.size(); }
    // The BCU cannot serve the line before `until` (EEPROM write, reset).
    void BusyUntil(int64_t until);

    // Earliest time at which Tick() or TakeDue() has something to do; 0: none.
    int64_t NextDeadline(int64_t now) const;
    std::vector<LineOutput> TakeDue(int64_t now);

    bool Cts() const { return cts_; }
    bool RtsOn() const { return rts_; }
    bool DtrOn() const { return dtr_; }
    int64_t ByteUs() const { return byteUs_; }

private:
    enum class Phase : uint8_t {
        kIdle,        // nothing in progress
        kRxCtsOn,     // driver sends: CTS granted, waiting for its byte
        kRxAnswered,  // driver sends: answered, waiting for RTS low
        kRxBetween,   // driver sends: between two bytes of its frame
        kTxRequest,   // BCU sends: CTS raised, waiting for the driver's byte
        kTxSent,      // BCU sends: byte sent, waiting for RTS low
        kBrokenOff,   // silent mid-frame until the stall time-out
        kRecovering,  // after an error: waiting for an idle line and the error pause
    };
    struct QueuedFrame {
        std::vector<uint8_t> bytes;
        bool once;
    };

    bool LineUp() const { return connected_ && (dtr_ || !options_.requireDtr); }
    bool MidMessage() const;
    int64_t Reaction();
    void Emit(LineOutput::Kind kind, uint8_t value, int64_t due);
    void SetCts(bool on, int64_t due);
    void StartIfPossible(int64_t now);
    void GrantMasterByte(int64_t now);
    void RequestTxByte(int64_t now);
    void FinishRxByte(int64_t now);
    void Error(int64_t now);

    const Options options_;
    Faults& faults_;
    FrameHandler accepted_;
    FrameHandler sent_;
    int64_t byteUs_, postPauseUs_, errorPauseUs_, timeoutUs_;
    std::minstd_rand random_;

    bool connected_ = false;
    bool rts_ = false;
    bool dtr_ = false;
    bool cts_ = false;
    bool rtsServed_ = false;  // the current RTS-high period was granted or refused
    Phase phase_ = Phase::kIdle;
    std::vector<uint8_t> rx_;
    size_t rxExpected_ = 0;
    bool rxAbandon_ = false;  // the frame ends with this byte's handshake (own header, wrong answer)
    bool rxError_ = false;    // ... and that counts as an error
    bool txActive_ = false;
    size_t txIndex_ = 0;
    int64_t lastActivity_ = 0;
    int64_t pauseUntil_ = 0;
    int64_t busyUntil_ = 0;
    int64_t recoverAt_ = -1;
    int64_t lastDue_ = 0;
    std::deque<QueuedFrame> queue_;
    std::deque<LineOutput> outputs_;
};

}  // namespace bcuemu::detail
