#include "ft12/ft12_line.h"
#include "host/log.h"
#include "link/line_lock.h"
#include "link/listener_stop.h"
#include "link/listener_wake.h"

namespace qel {
namespace {

SendResult Send(InstanceData* instance, const uint8_t* image, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return SendResult::kLineBusy;
    // A port request may have replaced the line meanwhile.
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).send(instance, image, onFrame);
    return Ft12Send(instance, Ft12LineOf(handle), image, onFrame);
}

// The interface's frames until a claim or a stop wakes the listener. Without
// a wake, short turns keep requests waiting little.
bool Serve(InstanceData* instance, ListenerTurn* turn) {
    if (LineClaimed(turn->number) || ListenerStopRequested(turn->number)) return true;
    platform::Wake* wake = ListenerWake(turn->number);
    return ServeFt12(instance, Ft12LineOf(instance->portHandle), wake, wake != nullptr ? kCtsWaitLimitMs : kIdlePollMs,
                     turn->onFrame);
}

// CHK_COMM, ColdStart, WarmStart, a read's recovery and RESETBCU alike: a reset and a confirmed switch.
SendResult Check(InstanceData* instance, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return SendResult::kLineBusy;
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).check(instance, onFrame);
    return EstablishFt12(instance, Ft12LineOf(handle), onFrame);
}

bool Renew(InstanceData* instance, FrameHandler onFrame) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return false;
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).renew(instance, onFrame);
    return EstablishFt12(instance, Ft12LineOf(handle), onFrame) == SendResult::kSent;
}

bool ClearLine(InstanceData* instance) {
    const uint32_t handle = instance->portHandle;
    const LineHold line(instance);
    if (!line.Held()) return false;
    if (instance->portHandle != handle) return LinkOf(instance->portHandle).clearLine(instance);
    DropFt12Input(Ft12LineOf(handle));
    return true;
}

constexpr CommandUse kRefused = CommandUse::kRefused;

}  // namespace

const LinkMethods kFt12Link = {
    .send = Send,                    // the message acknowledged; an L_Data.req confirmed
    .serve = Serve,                  // the interface's frames, acknowledged
    .check = Check,                  // a reset and the switch to link layer
    .renew = Renew,                  // the same for RESETBCU
    .start = NoLineSettings,         // the line is set at its open
    .clearLine = ClearLine,          // input dropped; no modem lines
    .dropModemLines = NoModemLines,  // none
    .setModemLine = NoModemLine,     // none
    .hangUp = NoSession,             // no session to end
    .close = CloseFt12,              // the port closed, the line freed
    .listenerStartMs = 0,            // the interface's frames want acknowledging from the start
    .workTailMs = 0,                 // no line to let settle
    .bcuCommands = {CommandUse::kAsOnBcu,   // group values, CHK_COMM
                    CommandUse::kDone,      // LINKLAYER: switched at the start
                    CommandUse::kRenew,     // RESETBCU: a reset and the switch again
                    CommandUse::kAsOnBcu,   // the cells through PC_GetValue.req and PC_SetValue.req
                    CommandUse::kAsOnBcu,
                    kRefused},              // no modem lines
    .refusalTexts = {nullptr, nullptr, nullptr, nullptr, nullptr, text::kModemLineOnFt12},
};

const LinkMethods kFt12CemiLink = {
    .send = Send,
    .serve = Serve,
    .check = Check,
    .renew = Renew,
    .start = NoLineSettings,
    .clearLine = ClearLine,
    .dropModemLines = NoModemLines,
    .setModemLine = NoModemLine,
    .hangUp = NoSession,
    .close = CloseFt12,
    .listenerStartMs = 0,
    .workTailMs = 0,
    .bcuCommands = {CommandUse::kAsOnBcu, CommandUse::kDone, CommandUse::kRenew,
                    kRefused,   // a cEMI interface has no BCU cells
                    kRefused,
                    kRefused},
    .refusalTexts = {nullptr, nullptr, nullptr, text::kBcuCommandOnCemi, text::kBcuCommandOnCemi,
                     text::kModemLineOnFt12},
};

}  // namespace qel
