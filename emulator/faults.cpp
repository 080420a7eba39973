#include "bcuemu/faults.h"

#include <utility>

namespace bcuemu {

void Faults::arm(const Fault& fault) {
    if (fault.times == 0) return;
    std::lock_guard lock(mutex_);
    armed_.push_back(fault);
}

void Faults::clear() {
    std::lock_guard lock(mutex_);
    armed_.clear();
}

int Faults::remaining(FaultKind kind) const {
    std::lock_guard lock(mutex_);
    int total = 0;
    for (const Fault& f : armed_) {
        if (f.kind != kind) continue;
        if (f.times == kForever) return kForever;
        total += f.times;
    }
    return total;
}

std::optional<Fault> Faults::take(FaultKind kind, int byteIndex) {
    std::lock_guard lock(mutex_);
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        if (it->kind != kind) continue;
        if (it->byteIndex != kAnyByte && byteIndex != kAnyByte && it->byteIndex != byteIndex) continue;
        Fault taken = *it;
        if (it->times != kForever && --it->times == 0) armed_.erase(it);
        return taken;
    }
    return std::nullopt;
}

void Faults::noCts(int times, int byteIndex) { arm({FaultKind::kNoCts, times, byteIndex, 0, {}}); }
void Faults::noAnswer(int times, int byteIndex) { arm({FaultKind::kNoAnswer, times, byteIndex, 0, {}}); }
void Faults::wrongAnswer(uint8_t answer, int byteIndex, int times) {
    arm({FaultKind::kWrongAnswer, times, byteIndex, answer, {}});
}
void Faults::breakOff(int afterBytes, int times) { arm({FaultKind::kBreakOff, times, afterBytes, 0, {}}); }
void Faults::badHeader(uint8_t header, int times) { arm({FaultKind::kBadHeader, times, 0, header, {}}); }
void Faults::byteEqualsHeader(int byteIndex, int times) {
    arm({FaultKind::kByteEqualsHeader, times, byteIndex, 0, {}});
}
void Faults::ctsStuckOn(int times) { arm({FaultKind::kCtsStuckOn, times, kAnyByte, 0, {}}); }
void Faults::collisionBeforeHeader(std::vector<uint8_t> frame) {
    arm({FaultKind::kCollisionBeforeHeader, 1, kAnyByte, 0, std::move(frame)});
}
void Faults::ownHeaderAnswer(std::vector<uint8_t> frame) {
    arm({FaultKind::kOwnHeaderAnswer, 1, 0, 0, std::move(frame)});
}

}  // namespace bcuemu
