// When the driver may send its next ROUTING_INDICATION: at most 50 a second
// (20 ms apart), and not while routers ask for a pause. A ROUTING_BUSY
// (control 0: to everyone) holds sending back for its wait time, then for a
// random extra 0..N x 50 ms, N counting the busy frames (those within
// 10 ms of the one before count once); once no busy frame came for N x 100 ms
// after the wait, N drops by one every 5 ms. Pure arithmetic on a wrapping
// millisecond clock: the caller gives the time and the random number.
#pragma once

#include <cstdint>

namespace qel::routing {

constexpr uint32_t kSendGapMs = 20;
constexpr uint32_t kBusySameMs = 10;
constexpr uint32_t kBusyRandomStepMs = 50;
constexpr uint32_t kBusyCalmStepMs = 100;
constexpr uint32_t kBusyDecayStepMs = 5;

struct Pace {
    bool sentAny = false;
    uint32_t lastSentMs = 0;
    bool paused = false;
    uint32_t resumeMs = 0;
    bool busySeen = false;
    uint32_t lastBusyMs = 0;
    uint32_t count = 0;        // N, as it was at decayFromMs
    uint32_t decayFromMs = 0;
};

// A ROUTING_BUSY asking for waitMs came at `now`; `random` picks the random extra.
void Busy(Pace& pace, uint32_t now, uint32_t waitMs, uint32_t random);
// N at `now`.
uint32_t BusyCount(const Pace& pace, uint32_t now);
// How long from `now` until a datagram may go; 0: at once.
uint32_t WaitBeforeSend(const Pace& pace, uint32_t now);
// A datagram went at `now`.
void Sent(Pace& pace, uint32_t now);

}  // namespace qel::routing
