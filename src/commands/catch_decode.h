// Decoding of the frames the BCU sends by itself, and delivery of group values
// to the host's gates.
#pragma once

#include "abi/records.h"
#include "commands/command_table.h"
#include "link/link.h"

namespace qel {

// Decodes ReceivedFrame: a memory answer is kept for a waiting cell read, a
// group value is delivered to the host's gate. False when a group value was
// recognised but not delivered.
bool CatchDecode(InstanceData* instance);

// A frame received on the instance's line: decoded and delivered, and the
// frame flag set.
void DeliverReceivedFrame(InstanceData* instance);

// Sends a frame; a BCU frame that comes first is delivered like any other.
SendResult SendDelivering(InstanceData* instance, const FrameImage& frame);

}  // namespace qel
