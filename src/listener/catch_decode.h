// Decoding of the frames the BCU sends by itself, and delivery of group values
// to the host's gates.
#pragma once

#include <cstdint>

#include "instance/instance_data.h"

namespace qel {

// 0 when a group value was recognised but not delivered; 1 otherwise.
int CatchDecode(InstanceData* instance);
bool DigitalCatch(InstanceData* instance);
bool AnalogCatch(InstanceData* instance);
bool Analog2Catch(InstanceData* instance);

}  // namespace qel

namespace qel {
// A frame received on the instance's line outside the listener (a collision
// during a send): decoded and delivered like any other, and the frame flag set.
void DeliverReceivedFrame(InstanceData* instance);
}  // namespace qel
