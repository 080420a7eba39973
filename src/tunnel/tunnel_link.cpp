#include "host/log.h"
#include "link/line_lock.h"
#include "link/listener_stop.h"
#include "link/listener_wake.h"
#include "tunnel/tunnel.h"

namespace qel {
namespace {

SendResult Send(InstanceData* instance, const uint8_t* image, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return SendResult::kLineBusy;
    // A port request may have replaced the tunnel meanwhile.
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).send(instance, image, onFrame);
    return TunnelSend(instance, image, onFrame) == TunnelResult::kConfirmed ? SendResult::kSent : SendResult::kFailed;
}

// Its frames, heartbeat and reconnection until a claim or a stop wakes the
// listener. Without a wake, short turns keep requests waiting little.
bool Serve(InstanceData* instance, ListenerTurn* turn) {
    if (LineClaimed(turn->number) || ListenerStopRequested(turn->number)) return true;
    platform::Wake* wake = ListenerWake(turn->number);
    return ServeTunnel(instance, wake, wake != nullptr ? kCtsWaitLimitMs : kIdlePollMs, turn->onFrame);
}

SendResult Check(InstanceData* instance, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return SendResult::kLineBusy;
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).check(instance, onFrame);
    return CheckTunnel(instance, onFrame) ? SendResult::kSent : SendResult::kFailed;
}

bool Renew(InstanceData* instance, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return false;
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).renew(instance, onFrame);
    return RenewTunnel(instance, onFrame);
}

bool Close(uint32_t handle) {
    CloseTunnel(handle);
    return true;
}

}  // namespace

const LinkMethods kTunnelLink = {
    .send = Send,                     // L_Data.req, acknowledged and confirmed
    .serve = Serve,                   // frames, heartbeat, reconnection
    .check = Check,                   // a connection-state exchange, a new connection when it fails
    .renew = Renew,                   // disconnect and connect again
    .start = NoLineSettings,          // no line settings
    .clearLine = NoLineToClear,       // no input queue, no modem lines
    .dropModemLines = NoModemLines,   // none
    .setModemLine = NoModemLine,      // none
    .hangUp = HangUpTunnel,           // DISCONNECT_REQUEST
    .close = Close,                   // hang up, the socket closed
    .listenerStartMs = 0,             // the server wants its datagrams acknowledged from the start
    .workTailMs = 0,                  // no line to let settle
    .bcuCommands = {CommandUse::kAsOnBcu,    // group values, CHK_COMM
                    CommandUse::kDone,       // LINKLAYER: a link-layer tunnel already
                    CommandUse::kRenew,      // RESETBCU: disconnect and connect again
                    CommandUse::kRefused,    // no BCU cells
                    CommandUse::kRefused,
                    CommandUse::kRefused},   // no modem lines
    .refusalTexts = {nullptr, nullptr, nullptr, text::kBcuCommandOnTunnel, text::kBcuCommandOnTunnel,
                     text::kBcuCommandOnTunnel},
};

}  // namespace qel
