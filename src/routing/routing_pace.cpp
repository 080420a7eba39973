#include "routing/routing_pace.h"

namespace qel::routing {
namespace {

// From `now` until `at`, negative when `at` has passed; good across the clock's wrap.
int32_t Until(uint32_t now, uint32_t at) { return static_cast<int32_t>(at - now); }

}  // namespace

uint32_t BusyCount(const Pace& pace, uint32_t now) {
    const int32_t since = -Until(now, pace.decayFromMs);
    if (pace.count == 0 || since < 0) return pace.count;
    const auto dropped = static_cast<uint32_t>(since) / kBusyDecayStepMs;
    return dropped >= pace.count ? 0 : pace.count - dropped;
}

void Busy(Pace& pace, uint32_t now, uint32_t waitMs, uint32_t random) {
    uint32_t count = BusyCount(pace, now);
    if (!pace.busySeen || now - pace.lastBusyMs >= kBusySameMs) ++count;
    pace.busySeen = true;
    pace.lastBusyMs = now;
    const uint32_t waitEnd = now + waitMs;
    const uint32_t resume = waitEnd + random % (count * kBusyRandomStepMs + 1);
    if (!pace.paused || Until(pace.resumeMs, resume) > 0) pace.resumeMs = resume;
    pace.paused = true;
    pace.count = count;
    pace.decayFromMs = waitEnd + count * kBusyCalmStepMs;
}

uint32_t WaitBeforeSend(const Pace& pace, uint32_t now) {
    int32_t wait = 0;
    const uint32_t gap = now - pace.lastSentMs;
    if (pace.sentAny && gap < kSendGapMs) wait = static_cast<int32_t>(kSendGapMs - gap);
    if (pace.paused && Until(now, pace.resumeMs) > wait) wait = Until(now, pace.resumeMs);
    return wait > 0 ? static_cast<uint32_t>(wait) : 0;
}

void Sent(Pace& pace, uint32_t now) {
    pace.sentAny = true;
    pace.lastSentMs = now;
    // Over: a pause long past must not look ahead once the clock wraps.
    if (pace.paused && Until(now, pace.resumeMs) <= 0) pace.paused = false;
}

}  // namespace qel::routing
