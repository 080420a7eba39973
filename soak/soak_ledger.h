// The soak run's books: which telegrams were offered on the bus, which the
// BCU handed over the line complete, which reached their gate.
//
// A telegram is lost by the driver when the BCU sent its whole frame to the
// driver and the frame never reached its gate, unless it was in flight at an
// EndQel: the frame the listener was holding when EndQel was called (the last
// one the BCU had completed by then) and every frame completed after that
// call, until the next ColdStart. Frames the BCU completed before that point
// were all decoded before the listener took its next frame (one line, one
// frame at a time), so nothing excuses their absence.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace qel::soak {

// The soak groups: main group 2, sub groups 1..kGroups, two-byte values used
// as sequence numbers 1..65535.
constexpr uint16_t kGroups = 8;
constexpr uint16_t kFirstGroup = 0x1001;

struct Figures {
    uint64_t offered = 0;           // soak telegrams put on the bus
    uint64_t sentComplete = 0;      // their frames the BCU completed to the driver (first time)
    uint64_t delivered = 0;         // distinct soak telegrams that reached their gate
    uint64_t duplicates = 0;        // deliveries of a telegram already delivered
    uint64_t inFlightAtEnd = 0;     // completed, in flight at an EndQel, not delivered (excused)
    uint64_t lostByDriver = 0;      // completed, not excused, never delivered
    uint64_t neverSent = 0;         // offered, never completed to the driver: dropped before it
};

class Ledger {
public:
    using Key = std::pair<uint16_t, uint16_t>;  // group address, sequence value

    void Offered(uint16_t group, uint16_t value);
    void Delivered(uint16_t group, uint16_t value);
    // The frames the BCU completed to the driver during one running period,
    // in order; `excusedFrom` is the index of the first one in flight at its EndQel.
    void Completed(const std::vector<std::vector<uint8_t>>& frames, size_t excusedFrom);
    // The same for a link that hands over telegrams other than as BCU frames
    // (the tunnel: those its client acknowledged); keys outside the soak groups are skipped.
    void Completed(const std::vector<Key>& telegrams, size_t excusedFrom);
    Figures Settle() const;
    // The first few lost telegrams, for the report.
    std::vector<Key> LostSample(size_t count) const;
    // Where a completed telegram stood: its running period (1 = the first
    // ColdStart's), the frames that period completed, and its place among them.
    struct Place {
        uint16_t period = 0, frames = 0, index = 0, excusedFrom = 0;
    };
    Place PlaceOf(Key key) const;

    Ledger();

private:
    // One byte of flags per group and value, allocated and touched up front
    // so that the books do not grow the resident memory the run measures.
    enum Flag : uint8_t { kOffered = 1, kDelivered = 2, kCompleted = 4, kExcused = 8 };
    uint8_t& At(uint16_t group, uint16_t value);
    bool IsSoakGroup(uint16_t group) const;
    mutable std::mutex mutex_;
    std::vector<uint8_t> flags_;
    std::vector<Place> places_;  // as flags_, touched up front too
    uint16_t periods_ = 0;
    uint64_t duplicates_ = 0;
};

}  // namespace qel::soak
