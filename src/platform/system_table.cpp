#include <atomic>

#include "platform/platform.h"

namespace qel::platform {
namespace {
std::atomic<const System*> g_installed{nullptr};
}  // namespace

const System& Sys() {
    const System* table = g_installed.load(std::memory_order_acquire);
    return table != nullptr ? *table : NativeSystem();
}

void SetSystem(const System* table) { g_installed.store(table, std::memory_order_release); }

}  // namespace qel::platform
