#include "link/line_priority.h"

#include <atomic>

#include "host/log.h"
#include "platform/platform.h"

namespace qel {
namespace {
std::atomic<bool> g_refusalLogged{false};
}  // namespace

void RaisePriority(const char* who) {
    if (platform::Sys().setThreadPriority(platform::Priority::kTimeCritical)) return;
    if (!g_refusalLogged.exchange(true))
        QEL_LOG(text::kPriorityRefused, who);
}

void NormalPriority() { platform::Sys().setThreadPriority(platform::Priority::kNormal); }

}  // namespace qel
