#include "host/log.h"
#include "link/line_lock.h"
#include "link/listener_stop.h"
#include "link/listener_wake.h"
#include "routing/routing.h"

namespace qel {
namespace {

SendResult Send(InstanceData* instance, const uint8_t* image, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return SendResult::kLineBusy;
    // A port request may have replaced the routing meanwhile.
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).send(instance, image, onFrame);
    return RoutingSend(instance, image, onFrame) ? SendResult::kSent : SendResult::kFailed;
}

// The group's datagrams until a claim or a stop wakes the listener. Without
// a wake, short turns keep requests waiting little.
bool Serve(InstanceData* instance, ListenerTurn* turn) {
    if (LineClaimed(turn->number) || ListenerStopRequested(turn->number)) return true;
    platform::Wake* wake = ListenerWake(turn->number);
    return ServeRouting(instance, wake, wake != nullptr ? kCtsWaitLimitMs : kIdlePollMs, turn->onFrame);
}

SendResult Check(InstanceData* instance, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return SendResult::kLineBusy;
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).check(instance, onFrame);
    return CheckRouting(instance, onFrame) ? SendResult::kSent : SendResult::kFailed;
}

bool Renew(InstanceData* instance, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return false;
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).renew(instance, onFrame);
    return RenewRouting(instance, onFrame);
}

bool Close(uint32_t handle) {
    CloseRouting(handle);
    return true;
}

}  // namespace

const LinkMethods kRoutingLink = {
    .send = Send,                     // ROUTING_INDICATION, sent counts as confirmed
    .serve = Serve,                   // the group's datagrams
    .check = Check,                   // the socket read; opened again when it failed
    .renew = Renew,                   // the sockets opened again, the group joined again
    .start = NoLineSettings,          // no line settings
    .clearLine = NoLineToClear,       // no input queue, no modem lines
    .dropModemLines = NoModemLines,   // none
    .setModemLine = NoModemLine,      // none
    .hangUp = NoSession,              // no connection to end
    .close = Close,                   // the group left, the sockets closed
    .listenerStartMs = 0,             // nothing to settle
    .workTailMs = 0,                  // no line to let settle
    .bcuCommands = {CommandUse::kAsOnBcu,    // group values, CHK_COMM
                    CommandUse::kDone,       // LINKLAYER: the group carries the link layer already
                    CommandUse::kRenew,      // RESETBCU: the sockets opened again
                    CommandUse::kRefused,    // no BCU cells
                    CommandUse::kRefused,
                    CommandUse::kRefused},   // no modem lines
    .refusalTexts = {nullptr, nullptr, nullptr, text::kBcuCommandOnTunnel, text::kBcuCommandOnTunnel,
                     text::kBcuCommandOnTunnel},
};

}  // namespace qel
