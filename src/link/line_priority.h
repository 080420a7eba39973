// Thread priority for the line work: time-critical where the platform grants it.
#pragma once

namespace qel {

// Raises the calling thread to time-critical. Where the platform refuses (an
// unprivileged Linux process), the thread stays at normal priority and the
// log says so once per process; `who` prefixes that line.
void RaisePriority(const char* who);
// Back to normal priority, whatever the thread had before.
void NormalPriority();

}  // namespace qel
