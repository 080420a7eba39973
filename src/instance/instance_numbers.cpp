#include "instance/instance_numbers.h"

#include <atomic>

#include "link/poll_until.h"


namespace qel {
namespace {

// Owner of each number; only the host's request thread changes them, but the
// atomics keep a second host thread from corrupting the table.
std::atomic<InstanceData*> g_owners[kInstanceSlots];
std::atomic<int32_t> g_count{0};
std::atomic<bool> g_orphaned[kInstanceSlots];
std::atomic<bool> g_closing[kInstanceSlots];
std::atomic<int32_t> g_lineRequests[kInstanceSlots];

constexpr uint32_t kDrainStepMs = 10;

}  // namespace

int32_t ReserveInstanceNumber(InstanceData* instance) {
    for (int32_t number = kFirstInstanceNumber; number <= kLastInstanceNumber; ++number) {
        InstanceData* expected = nullptr;
        if (g_owners[number].compare_exchange_strong(expected, instance)) {
            g_closing[number].store(false);
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

void OrphanInstanceNumber(int32_t number) {
    if (IsInstanceNumber(number)) g_orphaned[number].store(true);
}

void ReleaseIfOrphaned(int32_t number) {
    if (!IsInstanceNumber(number) || !g_orphaned[number].exchange(false)) return;
    g_owners[number].store(nullptr);
    g_count.fetch_sub(1);
}

LineRequest::LineRequest(const InstanceData* instance) {
    if (!HoldsInstanceNumber(instance)) return;
    const int32_t number = instance->instanceNumber;
    g_lineRequests[number].fetch_add(1);
    counted_ = number;
    if (g_closing[number].load()) admitted_ = false;
}

LineRequest::~LineRequest() {
    if (counted_ != 0) g_lineRequests[counted_].fetch_sub(1);
}

bool CloseToLineRequests(const InstanceData* instance, uint32_t limitMs) {
    if (!HoldsInstanceNumber(instance)) return true;
    const int32_t number = instance->instanceNumber;
    g_closing[number].store(true);
    return PollUntil(limitMs, [number] { return g_lineRequests[number].load() == 0; }, SleepStep(kDrainStepMs));
}

}  // namespace qel
