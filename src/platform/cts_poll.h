// The CTS wait of a device port that cannot block on a modem-line change and a
// wake at once: a Linux tty (TIOCMIWAIT ends only on a signal) and a Windows
// COM port opened for plain I/O (WaitCommEvent ends only on the event). CTS is
// read every kCtsCheckMs while the wake is waited for.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel::platform {

constexpr uint32_t kCtsCheckMs = 20;

// awaitCts for such a port, through its own getCts and the native wake.
bool PollCtsUntilWoken(Port* port, Wake* wake, uint32_t maxMs);

}  // namespace qel::platform
