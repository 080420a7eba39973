// The KNXnet/IP tunnel: a link (kTunnelLink) beside the BCU's handshake line,
// for a KNX IP interface or knxd. One link-layer tunnel per instance, over
// UDP or a TCP connection of its own (tunnel_transport.h); its handle, kept
// in InstanceData::portHandle, is the tunnel object.
//
// Like the handshake line, the tunnel is used only with the line lock held: by
// the listener (ServeTunnel, ended by its wake) and by one request at a time
// (TunnelSend, CheckTunnel, RenewTunnel). Whoever holds the line reads the
// socket: the server's L_Data.ind go to the handler as BCU indication images
// in ReceivedFrame, whatever the holder waits for. The listener keeps the
// tunnel alive (a connection-state request every 60 s, 10 s for its answer,
// three tries) and connects it again, once a second, when it is lost.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "link/link.h"
#include "platform/platform.h"

namespace qel {

// The tunnel's operations for the commands, the listener and the instance.
extern const LinkMethods kTunnelLink;

// Called with the instance when an L_Data.ind has been put into ReceivedFrame.
using IndicationHandler = FrameHandler;

enum class TunnelResult : uint8_t { kConfirmed, kNotConfirmed, kDown };

// Opens a knxip:// target's tunnel: resolves the host, takes a UDP socket (or
// a TCP connection, with ?tcp; inside a secure session, with ?secure=, its
// credentials read now) and connects (at most 10 s). kNoPort (logged under
// `owner`, the instance name) when it cannot.
uint32_t OpenTunnel(const char* target, const char* owner);
// Disconnects (at most 1 s for the server's answer); from the request on,
// nothing more is sent on the channel. The tunnel stays open, unconnected.
void HangUpTunnel(uint32_t handle);
// Hangs up and frees the tunnel.
void CloseTunnel(uint32_t handle);

// Sends a BCU data request image as L_Data.req: over UDP 1 s for the
// acknowledgement, sent once more with the same number, then the tunnel
// counts as lost; then 3 s for the L_Data.con. kConfirmed on a positive one.
TunnelResult TunnelSend(InstanceData* instance, const uint8_t* image, IndicationHandler onIndication);
// Serves the tunnel until `wake` is signalled or maxMs passed. False when
// the socket failed.
bool ServeTunnel(InstanceData* instance, platform::Wake* wake, uint32_t maxMs, IndicationHandler onIndication);
// A connection-state exchange (1 s for the answer), and a new connection when
// it fails; true when the tunnel is up.
bool CheckTunnel(InstanceData* instance, IndicationHandler onIndication);
// Disconnects and connects again; true when the tunnel is up.
bool RenewTunnel(InstanceData* instance, IndicationHandler onIndication);

}  // namespace qel
