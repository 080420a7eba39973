#include "instance/instance_numbers.h"

#include <atomic>


namespace qel {
namespace {

// Owner of each number; only the host's request thread changes them, but the
// atomics keep a second host thread from corrupting the table.
std::atomic<InstanceData*> g_owners[kInstanceSlots];
std::atomic<int32_t> g_count{0};

}  // namespace

int32_t ReserveInstanceNumber(InstanceData* instance) {
    for (int32_t number = kFirstInstanceNumber; number <= kLastInstanceNumber; ++number) {
        InstanceData* expected = nullptr;
        if (g_owners[number].compare_exchange_strong(expected, instance)) {
            g_count.fetch_add(1);
            return number;
        }
    }
    return 0;
}

bool HoldsInstanceNumber(const InstanceData* instance) {
    const int32_t number = instance->instanceNumber;
    return IsInstanceNumber(number) && g_owners[number].load() == instance;
}

bool ReleaseInstanceNumber(InstanceData* instance) {
    const int32_t number = instance->instanceNumber;
    if (!IsInstanceNumber(number)) return false;
    InstanceData* expected = instance;
    if (!g_owners[number].compare_exchange_strong(expected, nullptr)) return false;
    g_count.fetch_sub(1);
    return true;
}

int32_t InstanceCount() { return g_count.load(); }

bool ListenerRuns(const InstanceData* instance) {
    return instance->listenerThread != nullptr && instance->lineLock != nullptr && HoldsInstanceNumber(instance);
}

}  // namespace qel
