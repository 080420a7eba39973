// Instance numbers 1 to 4, reserved per live instance so that two live
// instances never share a number, a name, named objects or flag slots.
#pragma once

#include <cstdint>

#include "abi/records.h"

namespace qel {

// The lowest free number, now owned by `instance`; 0 when all are taken.
int32_t ReserveInstanceNumber(InstanceData* instance);
// True when `instance` owns the number in its instanceNumber field.
bool HoldsInstanceNumber(const InstanceData* instance);
// Frees the record's number; false when it held none.
bool ReleaseInstanceNumber(InstanceData* instance);
// Instances started and not yet ended (failed starts included).
int32_t InstanceCount();
// True while the instance's listener thread exists and owns its line lock and number.
bool ListenerRuns(const InstanceData* instance);

// A number whose listener outlived EndQel stays reserved, so that no later
// start revives that listener; the listener frees it as it ends.
void OrphanInstanceNumber(int32_t number);
void ReleaseIfOrphaned(int32_t number);

// Host requests that use an instance's line, counted while they run, so that
// EndQel closes the line and its lock only after the last one has left.
class LineRequest {
public:
    explicit LineRequest(const InstanceData* instance);
    ~LineRequest();
    LineRequest(const LineRequest&) = delete;
    LineRequest& operator=(const LineRequest&) = delete;
    // False when the instance is being ended: the request must not start.
    bool Admitted() const { return admitted_; }

private:
    int32_t counted_ = 0;
    bool admitted_ = true;
};
// Refuses new line requests of the instance and waits (at most `limitMs`)
// for those in flight; false when some are still running.
bool CloseToLineRequests(const InstanceData* instance, uint32_t limitMs);

}  // namespace qel
