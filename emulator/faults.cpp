#include "bcuemu/faults.h"

#include <utility>

namespace bcuemu {

void Faults::Arm(const Fault& fault) {
    if (fault.times == 0) return;
    std::lock_guard lock(mutex_);
    armed_.push_back(fault);
}

void Faults::Clear() {
    std::lock_guard lock(mutex_);
    armed_.clear();
}

int Faults::Remaining(FaultKind kind) const {
    std::lock_guard lock(mutex_);
    int total = 0;
    for (const Fault& f : armed_) {
        if (f.kind != kind) continue;
        if (f.times == kForever) return kForever;
        total += f.times;
    }
    return total;
}

std::optional<Fault> Faults::Take(FaultKind kind, int byteIndex) {
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

void Faults::NoCts(int times, int byteIndex) { Arm({FaultKind::kNoCts, times, byteIndex, 0, {}}); }
void Faults::NoAnswer(int times, int byteIndex) { Arm({FaultKind::kNoAnswer, times, byteIndex, 0, {}}); }
void Faults::WrongAnswer(uint8_t answer, int byteIndex, int times) {
    Arm({FaultKind::kWrongAnswer, times, byteIndex, answer, {}});
}
void Faults::BreakOff(int afterBytes, int times) { Arm({FaultKind::kBreakOff, times, afterBytes, 0, {}}); }
void Faults::BadHeader(uint8_t header, int times) { Arm({FaultKind::kBadHeader, times, 0, header, {}}); }
void Faults::ByteEqualsHeader(int byteIndex, int times) {
    Arm({FaultKind::kByteEqualsHeader, times, byteIndex, 0, {}});
}
void Faults::CtsStuckOn(int times) { Arm({FaultKind::kCtsStuckOn, times, kAnyByte, 0, {}}); }
void Faults::CollisionBeforeHeader(std::vector<uint8_t> frame) {
    Arm({FaultKind::kCollisionBeforeHeader, 1, kAnyByte, 0, std::move(frame)});
}
void Faults::OwnHeaderAnswer(std::vector<uint8_t> frame) {
    Arm({FaultKind::kOwnHeaderAnswer, 1, 0, 0, std::move(frame)});
}

}  // namespace bcuemu
