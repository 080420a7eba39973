#include "soak_ledger.h"

namespace qel::soak {
namespace {
constexpr uint8_t kGroupIndication = 0x49;
constexpr size_t kWordFrameSize = 12;  // header + 11: a two-byte value
constexpr size_t kValues = 65536;
}  // namespace

Ledger::Ledger() : flags_(kGroups * kValues, 0), places_(kGroups * kValues) {}

bool Ledger::IsSoakGroup(uint16_t group) const { return group >= kFirstGroup && group < kFirstGroup + kGroups; }

uint8_t& Ledger::At(uint16_t group, uint16_t value) { return flags_[(group - kFirstGroup) * kValues + value]; }

void Ledger::Offered(uint16_t group, uint16_t value) {
    std::lock_guard hold(mutex_);
    if (IsSoakGroup(group)) At(group, value) |= kOffered;
}

void Ledger::Delivered(uint16_t group, uint16_t value) {
    std::lock_guard hold(mutex_);
    if (!IsSoakGroup(group)) return;
    uint8_t& flags = At(group, value);
    if (flags & kDelivered) ++duplicates_;
    flags |= kDelivered;
}

void Ledger::Completed(const std::vector<std::vector<uint8_t>>& frames, size_t excusedFrom) {
    // Other frames keep their place, so that `excusedFrom` still counts them.
    std::vector<Key> telegrams;
    for (const std::vector<uint8_t>& f : frames) {
        if (f.size() != kWordFrameSize || f[1] != kGroupIndication) telegrams.push_back({0, 0});
        else telegrams.push_back({static_cast<uint16_t>(f[5] << 8 | f[6]), static_cast<uint16_t>(f[10] << 8 | f[11])});
    }
    Completed(telegrams, excusedFrom);
}

void Ledger::Completed(const std::vector<Key>& telegrams, size_t excusedFrom) {
    std::lock_guard hold(mutex_);
    ++periods_;
    for (size_t i = 0; i < telegrams.size(); ++i) {
        if (!IsSoakGroup(telegrams[i].first)) continue;
        At(telegrams[i].first, telegrams[i].second) |= i >= excusedFrom ? kExcused : kCompleted;
        places_[(telegrams[i].first - kFirstGroup) * kValues + telegrams[i].second] =
            Place{periods_, static_cast<uint16_t>(telegrams.size()), static_cast<uint16_t>(i),
                  static_cast<uint16_t>(excusedFrom)};
    }
}

Figures Ledger::Settle() const {
    std::lock_guard hold(mutex_);
    Figures f;
    f.duplicates = duplicates_;
    for (uint8_t flags : flags_) {
        if (!(flags & kOffered)) continue;
        ++f.offered;
        const bool done = flags & kCompleted, excused = flags & kExcused, delivered = flags & kDelivered;
        if (delivered) ++f.delivered;
        if (done || excused) ++f.sentComplete;
        if (!done && excused && !delivered) ++f.inFlightAtEnd;
        if (done && !delivered) ++f.lostByDriver;
        if (!done && !excused) ++f.neverSent;
    }
    return f;
}

Ledger::Place Ledger::PlaceOf(Key key) const {
    std::lock_guard hold(mutex_);
    return IsSoakGroup(key.first) ? places_[(key.first - kFirstGroup) * kValues + key.second] : Place{};
}

std::vector<Ledger::Key> Ledger::LostSample(size_t count) const {
    std::lock_guard hold(mutex_);
    std::vector<Key> lost;
    for (size_t i = 0; i < flags_.size() && lost.size() < count; ++i) {
        const uint8_t flags = flags_[i];
        if ((flags & kOffered) && (flags & kCompleted) && !(flags & kDelivered))
            lost.push_back({static_cast<uint16_t>(kFirstGroup + i / kValues), static_cast<uint16_t>(i % kValues)});
    }
    return lost;
}

}  // namespace qel::soak
