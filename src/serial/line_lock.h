// The per-instance lock that gives one thread at a time the serial line.
#pragma once

#include "platform/platform.h"

namespace qel {

// Waits without a limit; a failed wait is logged and the caller goes on as owner.
void WaitUntilCommNotBusy(platform::Mutex* lock);
// A failed release is logged; nothing else happens.
void ReleaseComm(platform::Mutex* lock);

}  // namespace qel
