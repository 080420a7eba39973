#include "serial/line_lock.h"

#include "entry/host_services.h"

namespace qel {
namespace {
constexpr int kWaitFailed = -1;  // the value a failed wait reports
}  // namespace

void WaitUntilCommNotBusy(platform::Mutex* lock) {
    // An abandoned lock counts as owned: its last holder has ended.
    if (platform::sys().lockMutex(lock, platform::kInfinite) == platform::WaitResult::kFailed)
        QEL_LOG("QELEIB: WaitUntilCommNotBusy(): WaitSem fail %d", kWaitFailed);
}

void ReleaseComm(platform::Mutex* lock) {
    if (!platform::sys().unlockMutex(lock)) QEL_LOG("QELEIB: ReleaseComm(): ClearSem fail %d", 0);
}

}  // namespace qel
