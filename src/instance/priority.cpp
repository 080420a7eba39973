#include "instance/priority.h"

#include <atomic>

#include "entry/host_services.h"
#include "platform/platform.h"

namespace qel {
namespace {
std::atomic<bool> g_refusalLogged{false};
}  // namespace

void RaisePriority(const char* who) {
    if (platform::sys().setThreadPriority(platform::Priority::kTimeCritical)) return;
    if (!g_refusalLogged.exchange(true))
        QEL_LOG("%s: time-critical priority not granted, running at normal priority", who);
}

void NormalPriority() { platform::sys().setThreadPriority(platform::Priority::kNormal); }

}  // namespace qel
