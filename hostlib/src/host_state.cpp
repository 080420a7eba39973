#include "host_state.h"

#include <cstdlib>

namespace huxtor {

void HostState::reset() {
    onPut.set(nullptr, nullptr);
    onLog.set(nullptr, nullptr);
    failures.reset();
    clients.clear();
    gates.clear();
    log.clear();
}

HostState& state() {
    static HostState* const instance = [] {
        auto* created = new HostState;
        // HUXTOR_LOG_ECHO=<file> or "-" echoes from the first line on, without the host's help.
        if (const char* path = std::getenv("HUXTOR_LOG_ECHO")) created->log.echoTo(path);
        return created;
    }();
    return *instance;
}

namespace {
// Read the environment when the library is loaded, not at the first call.
[[maybe_unused]] const bool g_createdAtLoad = (state(), true);
}  // namespace

}  // namespace huxtor
