#include "serial/line_lock.h"

#include "host/log.h"

namespace qel {

void WaitUntilCommNotBusy(platform::Mutex* lock) {
    // An abandoned lock counts as owned: its last holder has ended.
    if (platform::Sys().lockMutex(lock, platform::kInfinite) == platform::WaitResult::kFailed)
        QEL_LOG(text::kLineLockWaitFailed);
}

void ReleaseComm(platform::Mutex* lock) {
    if (!platform::Sys().unlockMutex(lock)) QEL_LOG(text::kLineLockReleaseFailed);
}

}  // namespace qel
