#include "bcuemu/recorder.h"

#include <algorithm>
#include <cstdio>

namespace bcuemu {

const char* KindName(LineEvent::Kind kind) {
    switch (kind) {
    case LineEvent::Kind::kRts: return "RTS";
    case LineEvent::Kind::kDtr: return "DTR";
    case LineEvent::Kind::kCts: return "CTS";
    case LineEvent::Kind::kToBcu: return ">BCU";
    case LineEvent::Kind::kFromBcu: return "BCU>";
    case LineEvent::Kind::kConnected: return "connected";
    case LineEvent::Kind::kDisconnected: return "disconnected";
    }
    return "?";
}

std::string Describe(const LineEvent& event) {
    char text[64];
    const bool isByte = event.kind == LineEvent::Kind::kToBcu || event.kind == LineEvent::Kind::kFromBcu;
    std::snprintf(text, sizeof text, isByte ? "%lldus %s %02X" : "%lldus %s %u", static_cast<long long>(event.us),
                  KindName(event.kind), static_cast<unsigned>(event.value));
    return text;
}

Recorder::Recorder() : start_(std::chrono::steady_clock::now()) {}

int64_t Recorder::NowUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
}

void Recorder::Add(LineEvent::Kind kind, uint8_t value) {
    {
        std::lock_guard lock(mutex_);
        if (!enabled_) return;
        recording_.events.push_back({NowUs(), kind, value});
    }
    changed_.notify_all();
}

void Recorder::AddAt(LineEvent::Kind kind, uint8_t value, int64_t us) {
    {
        std::lock_guard lock(mutex_);
        if (!enabled_) return;
        if (!recording_.events.empty()) us = std::max(us, recording_.events.back().us);
        recording_.events.push_back({std::min(us, NowUs()), kind, value});
    }
    changed_.notify_all();
}

void Recorder::AddAccepted(const std::vector<uint8_t>& frame) {
    {
        std::lock_guard lock(mutex_);
        if (!enabled_) return;
        recording_.accepted.push_back(frame);
    }
    changed_.notify_all();
}

void Recorder::AddSent(const std::vector<uint8_t>& frame) {
    {
        std::lock_guard lock(mutex_);
        if (!enabled_) return;
        recording_.sent.push_back(frame);
    }
    changed_.notify_all();
}

void Recorder::Clear() {
    std::lock_guard lock(mutex_);
    recording_ = Recording{};
}

void Recorder::SetEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

Recording Recorder::Snapshot() const {
    std::lock_guard lock(mutex_);
    return recording_;
}

std::vector<LineEvent> Recorder::Events() const {
    std::lock_guard lock(mutex_);
    return recording_.events;
}

std::vector<std::vector<uint8_t>> Recorder::Accepted() const {
    std::lock_guard lock(mutex_);
    return recording_.accepted;
}

std::vector<std::vector<uint8_t>> Recorder::Sent() const {
    std::lock_guard lock(mutex_);
    return recording_.sent;
}

bool Recorder::WaitUntil(const std::function<bool(const Recording&)>& condition, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return condition(recording_); });
}

}  // namespace bcuemu
