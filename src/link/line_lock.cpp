#include "link/line_lock.h"

#include "host/log.h"
#include "link/listener_wake.h"

namespace qel {
namespace {

bool LockLine(platform::Mutex* lock, uint32_t limitMs) {
    // An abandoned lock counts as owned: its last holder has ended.
    switch (platform::Sys().lockMutex(lock, limitMs)) {
    case platform::WaitResult::kSignalled:
    case platform::WaitResult::kAbandoned:
        return true;
    case platform::WaitResult::kFailed:
        QEL_LOG(text::kLineLockWaitFailed);
        return true;
    case platform::WaitResult::kTimedOut:
        break;
    }
    QEL_LOG(text::kLineLockWaitTimedOut);
    return false;
}

}  // namespace

bool WaitUntilCommNotBusy(const InstanceData* instance, uint32_t limitMs) {
    ClaimLine(instance->instanceNumber);
    const bool held = LockLine(instance->lineLock, limitMs);
    UnclaimLine(instance->instanceNumber);
    return held;
}

bool TakeLineForListening(platform::Mutex* lock) { return LockLine(lock, platform::kInfinite); }

void ReleaseComm(platform::Mutex* lock) {
    if (!platform::Sys().unlockMutex(lock)) QEL_LOG(text::kLineLockReleaseFailed);
}

}  // namespace qel
