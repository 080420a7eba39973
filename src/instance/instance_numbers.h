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

}  // namespace qel
