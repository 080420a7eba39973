// KNXnet/IP routing: a link (kRoutingLink) beside the tunnel, for a KNX IP
// router or any device on a routing multicast group. The bus's telegrams
// come as ROUTING_INDICATIONs to the group; the driver's go the same way.
// Its handle, kept in InstanceData::portHandle, is the routing object.
//
// Two sockets: one joined to the group on its port, which the holder of the
// line reads, and one on a port of its own that sends; what comes back from
// that one's endpoint is the driver's own and is not indicated. Routing
// confirms nothing: a telegram counts as sent, and confirmed, once its
// datagram went. Sending keeps the routing pace (routing_pace.h).
//
// Like the tunnel, used only with the line lock held: by the listener
// (ServeRouting, ended by its wake) and by one request at a time.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "link/link.h"
#include "platform/platform.h"

namespace qel {

// The routing's operations for the commands, the listener and the instance.
extern const LinkMethods kRoutingLink;

// Opens a knxrouting:// target's sockets and joins the group. kNoPort
// (logged under `owner`, the instance name) when it cannot.
uint32_t OpenRouting(const char* target, const char* owner);
// Leaves the group and frees the routing object.
void CloseRouting(uint32_t handle);

// Sends a BCU data request image as a ROUTING_INDICATION (L_Data.ind), once
// the pace lets it, waiting at most 3 s for busy routers. True once sent.
bool RoutingSend(InstanceData* instance, const uint8_t* image, FrameHandler onIndication);
// Serves the group's socket until `wake` is signalled or maxMs passed. False
// when the socket failed or there is none.
bool ServeRouting(InstanceData* instance, platform::Wake* wake, uint32_t maxMs, FrameHandler onIndication);
// Takes what waits on the socket; a socket that failed is opened again. True
// when the sockets work.
bool CheckRouting(InstanceData* instance, FrameHandler onIndication);
// Leaves the group, opens the sockets again and joins; true when it worked.
bool RenewRouting(InstanceData* instance, FrameHandler onIndication);

}  // namespace qel
