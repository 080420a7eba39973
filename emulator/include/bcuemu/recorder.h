// What happened on one emulated line: modem-line changes and bytes in both
// directions, each with the time in microseconds since the recorder started,
// and the whole frames the BCU accepted from the driver and sent to it.
// Thread-safe; waits use a condition variable, not sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace bcuemu {

struct LineEvent {
    enum class Kind : uint8_t {
        kRts,           // driver's RTS; value 0/1
        kDtr,           // driver's DTR; value 0/1
        kCts,           // BCU's CTS; value 0/1
        kToBcu,         // data byte driver -> BCU; value the byte
        kFromBcu,       // data byte BCU -> driver; value the byte
        kConnected,     // a driver opened the line
        kDisconnected,  // the driver closed it
    };
    int64_t us = 0;  // microseconds since the recorder started
    Kind kind = Kind::kRts;
    uint8_t value = 0;
};

const char* KindName(LineEvent::Kind kind);
// "12345us RTS 1", "12400us >BCU A5" ... one line, for diagnostics.
std::string Describe(const LineEvent& event);

// Everything recorded so far.
struct Recording {
    std::vector<LineEvent> events;
    std::vector<std::vector<uint8_t>> accepted;  // frames from the driver, header first
    std::vector<std::vector<uint8_t>> sent;      // frames to the driver, as the BCU meant them
};

class Recorder {
public:
    Recorder();

    int64_t NowUs() const;  // microseconds since start
    void Add(LineEvent::Kind kind, uint8_t value);
    // An event that happened at `us`, recorded late; never before the last
    // event kept, so the recording stays in time order.
    void AddAt(LineEvent::Kind kind, uint8_t value, int64_t us);
    void AddAccepted(const std::vector<uint8_t>& frame);
    void AddSent(const std::vector<uint8_t>& frame);
    // Forgets everything recorded; the time base stays.
    void Clear();
    // Off: nothing more is kept (a long-running simulator without a VCD).
    void SetEnabled(bool enabled);

    Recording Snapshot() const;
    std::vector<LineEvent> Events() const;
    std::vector<std::vector<uint8_t>> Accepted() const;
    std::vector<std::vector<uint8_t>> Sent() const;

    // Waits up to timeoutMs until `condition` holds over the recording.
    bool WaitUntil(const std::function<bool(const Recording&)>& condition, int timeoutMs) const;

private:
    std::chrono::steady_clock::time_point start_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Recording recording_;
    bool enabled_ = true;
};

}  // namespace bcuemu
