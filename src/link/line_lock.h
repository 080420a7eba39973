// The per-instance lock that gives one thread at a time the serial line.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "platform/platform.h"

namespace qel {

// No request waits longer for the line than this, whatever the BCU does.
constexpr uint32_t kLineLockLimitMs = 5000;

// A request's wait for the line: it claims the line, so that a listener waiting
// for the BCU lets go, and waits at most limitMs. True: the caller owns the
// line (also after a failed wait, which is logged, as the line is then no
// one's). False (logged): the line stayed busy, and the caller must not touch
// it or release the lock.
bool WaitUntilCommNotBusy(const InstanceData* instance, uint32_t limitMs = kLineLockLimitMs);
// The listener's: no claim and no limit, as requests hold the line for a bounded time.
bool TakeLineForListening(platform::Mutex* lock);
// A failed release is logged; nothing else happens.
void ReleaseComm(platform::Mutex* lock);

// Holds the line for a scope when it could be had.
class LineHold {
public:
    // A record without a line lock (no listener runs) has the line to itself.
    explicit LineHold(const InstanceData* instance)
        : lock_(instance->lineLock), held_(lock_ == nullptr || WaitUntilCommNotBusy(instance)) {}
    ~LineHold() {
        if (held_ && lock_ != nullptr) ReleaseComm(lock_);
    }
    LineHold(const LineHold&) = delete;
    LineHold& operator=(const LineHold&) = delete;
    bool Held() const { return held_; }

private:
    platform::Mutex* lock_;
    bool held_;
};

}  // namespace qel
